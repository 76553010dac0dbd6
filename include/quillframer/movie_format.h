/* The numbers of the movie format and of the plug-in's output that hosts, writers and tests share:
 * plain C99, so any of them can include it. The audio packet's shape is in host_api.h. */
#ifndef QUILLFRAMER_MOVIE_FORMAT_H
#define QUILLFRAMER_MOVIE_FORMAT_H

#include <stddef.h>
#include <string.h>

/* A movie starts with one of these 12-byte signatures (no terminator in the file), then 21 bytes
 * the player ignores; the first command is at offset 33. */
#define QF_SIGNATURE_QUILLFRAMER "xQuillframer"
#define QF_SIGNATURE_SCENE_EDITOR "xSceneEditor"
enum {
    QF_SIGNATURE_LENGTH = 12,
    QF_FIRST_COMMAND_OFFSET = 33
};

/* 1 when the size bytes at head start with either signature; shorter heads never match. */
static inline int QfIsMovieSignature(const void *head, size_t size)
{
    if (size < QF_SIGNATURE_LENGTH) return 0;
    return memcmp(head, QF_SIGNATURE_QUILLFRAMER, QF_SIGNATURE_LENGTH) == 0 ||
           memcmp(head, QF_SIGNATURE_SCENE_EDITOR, QF_SIGNATURE_LENGTH) == 0;
}

/* The Amiga PAL colour clock in Hz: a sample played at period P runs at clock / (2 P) per second. */
#define QF_AMIGA_PAL_CLOCK 7093789.2

/* Scene durations count 20 ms ticks; the stream runs at 25 pictures a second. */
enum {
    QF_TICK_MS = 20,
    QF_FRAMES_PER_SECOND = 25,
    QF_PACKET_MS = 40
};

/* The plug-in asks for an unknown Amiga volume with exactly this message: head, the volume name
 * without its colon, tail. */
#define QF_REQUESTER_HEAD "Please select replacement path for Amiga volume \""
#define QF_REQUESTER_TAIL ":\"!"

#endif
