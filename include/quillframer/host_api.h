/*
 * Quill Framer plug-in for Veltrane: the binary interface between a host and quillframer.vtp.
 *
 * Plain C99, usable from C++. A host needs nothing but this header to load the plug-in with
 * dlopen, hand it a HostBase of service tables and play movies through the thirteen entry points.
 */
#ifndef QUILLFRAMER_HOST_API_H
#define QUILLFRAMER_HOST_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QF_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define QF_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---- Host services ---------------------------------------------------------------------- */

/* A host file handle is the host's own; the plug-in only stores it and tests it against 0. */
typedef void *HostFile;

/* Table entries are stored untyped; cast to the service's type below before calling. */
typedef void (*HostFunction)(void);

typedef HostFile (*HostOpenFileFn)(const char *name, int32_t mode);
typedef void (*HostCloseFileFn)(HostFile file);
/* mode: HOST_SEEK_RELATIVE, HOST_SEEK_START or HOST_SEEK_END. Result: new position, or -1. */
typedef int64_t (*HostSeekFn)(HostFile file, int64_t offset, int32_t mode);
/* Returns the number of bytes delivered. */
typedef int32_t (*HostReadFn)(HostFile file, void *buffer, uint32_t count);
/* Next byte, 0..255; 0 at or past the end. */
typedef int32_t (*HostReadByteFn)(HostFile file);
typedef int32_t (*HostAtEndOfFileFn)(HostFile file);
/* options: 32-bit words, tag/value pairs ending with a 0 tag. */
typedef HostFile (*HostOpenFileTaggedFn)(const char *name, int32_t mode, const uint32_t *options);
/* Appends one path component to the directory path in buffer, never writing past size bytes. */
typedef int32_t (*HostJoinPathFn)(char *buffer, const char *component, uint32_t size);
/* 0 means the two names are equal. */
typedef int32_t (*HostCompareNamesFn)(const char *a, const char *b);
/* Leaves the chosen directory in buffer; 0 = cancelled. */
typedef int32_t (*HostPathRequesterFn)(const char *message, char *buffer, uint32_t size, uint32_t flags);

enum {
    HOST_FILE_OPEN = 0,
    HOST_FILE_CLOSE = 1,
    HOST_FILE_SEEK = 2,
    HOST_FILE_READ = 3,
    HOST_FILE_READ_BYTE = 5,
    HOST_FILE_AT_END = 7,
    HOST_FILE_JOIN_PATH = 20,
    HOST_FILE_OPEN_TAGGED = 32,
    HOST_FILE_TABLE_SIZE = 33
};

enum {
    HOST_UTILITY_COMPARE_NAMES = 23,
    HOST_UTILITY_TABLE_SIZE = 24
};

enum {
    HOST_REQUESTER_PATH = 2,
    HOST_REQUESTER_TABLE_SIZE = 3
};

enum {
    HOST_SEEK_RELATIVE = 0,
    HOST_SEEK_START = 1,
    HOST_SEEK_END = 2
};

/* Option tag of the tagged open; the option list is {HOST_OPEN_TAG_OPTION, value, 0}. */
enum {
    HOST_OPEN_TAG_OPTION = 1
};

/* The host's service record, counted in pointer-sized words. */
typedef struct HostBase {
    intptr_t version;                   /* word 0: host version (signed 32-bit value) */
    void *reserved1;                    /* word 1 */
    const HostFunction *utilityTable;   /* word 2 */
    void *reserved3;                    /* word 3 */
    const HostFunction *fileTable;      /* word 4 */
    void *reserved5;                    /* word 5 */
    void *reserved6;                    /* word 6 */
    const HostFunction *requesterTable; /* word 7 */
} HostBase;

QF_STATIC_ASSERT(offsetof(HostBase, version) == 0 * sizeof(void *), "HostBase word 0");
QF_STATIC_ASSERT(offsetof(HostBase, utilityTable) == 2 * sizeof(void *), "HostBase word 2");
QF_STATIC_ASSERT(offsetof(HostBase, fileTable) == 4 * sizeof(void *), "HostBase word 4");
QF_STATIC_ASSERT(offsetof(HostBase, requesterTable) == 7 * sizeof(void *), "HostBase word 7");

/* ---- Records the host allocates and the plug-in fills ------------------------------------ */

typedef struct PluginInfo {
    int32_t hostWord1;  /* 64 */
    int32_t version;    /* 1 */
    int32_t revision;   /* 2 */
    int32_t hostWord4;  /* 5 */
    int32_t hostWord5;  /* 0 */
    const char *name;   /* "Quill Framer" */
    const char *module; /* "quillframer" */
    const char *author;
    const char *description;
    const char *licence;
    const char *webAddress;
    const char *date; /* "01.07.15" */
    void *zero1;
    void *zero2;
} PluginInfo;

QF_STATIC_ASSERT(offsetof(PluginInfo, hostWord5) == 16, "PluginInfo integers");
QF_STATIC_ASSERT(offsetof(PluginInfo, name) == (sizeof(void *) == 8 ? 24 : 20), "PluginInfo strings");
QF_STATIC_ASSERT(offsetof(PluginInfo, date) == offsetof(PluginInfo, name) + 6 * sizeof(void *), "PluginInfo date");
QF_STATIC_ASSERT(offsetof(PluginInfo, zero2) == offsetof(PluginInfo, name) + 8 * sizeof(void *), "PluginInfo tail");

typedef struct StreamDescriptor {
    int32_t width;       /* 0 */
    int32_t height;      /* 4 */
    uint32_t duration;   /* 8: ms */
    uint32_t sampleRate; /* 12 */
    uint32_t word16;     /* 16: 2 */
    uint32_t word20;     /* 20: 0 */
    uint32_t word24;     /* 24: 0 */
    uint32_t word28;     /* 28: 1 */
    uint32_t flags;      /* 32: bit 0 set by the plug-in */
    uint32_t word36;     /* 36: untouched */
    uint32_t word40;     /* 40: 0 */
    uint32_t word44;     /* 44: 0 */
    uint32_t word48;     /* 48: untouched */
    uint32_t word52;     /* 52: untouched */
    uint32_t openOption; /* 56: read only */
} StreamDescriptor;

QF_STATIC_ASSERT(offsetof(StreamDescriptor, width) == 0, "StreamDescriptor width");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, height) == 4, "StreamDescriptor height");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, duration) == 8, "StreamDescriptor duration");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, sampleRate) == 12, "StreamDescriptor sampleRate");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word16) == 16, "StreamDescriptor 16");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word20) == 20, "StreamDescriptor 20");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word24) == 24, "StreamDescriptor 24");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word28) == 28, "StreamDescriptor 28");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, flags) == 32, "StreamDescriptor flags");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word36) == 36, "StreamDescriptor 36");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word40) == 40, "StreamDescriptor 40");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word44) == 44, "StreamDescriptor 44");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word48) == 48, "StreamDescriptor 48");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, word52) == 52, "StreamDescriptor 52");
QF_STATIC_ASSERT(offsetof(StreamDescriptor, openOption) == 56, "StreamDescriptor openOption");

/* The 8-byte packet payload: the presentation time in seconds. */
typedef struct TimingPacket {
    double time;
} TimingPacket;

QF_STATIC_ASSERT(sizeof(TimingPacket) == 8, "TimingPacket size");

typedef struct PacketRecord {
    TimingPacket *payload;
    int32_t streamIndex; /* 0 = video, 1 = audio */
    int32_t payloadSize; /* 8 */
    int32_t reserved;    /* left untouched */
    double time;
} PacketRecord;

QF_STATIC_ASSERT(offsetof(PacketRecord, streamIndex) == sizeof(void *), "PacketRecord stream");
QF_STATIC_ASSERT(offsetof(PacketRecord, payloadSize) == sizeof(void *) + 4, "PacketRecord size");
QF_STATIC_ASSERT(offsetof(PacketRecord, reserved) == sizeof(void *) + 8, "PacketRecord reserved");
QF_STATIC_ASSERT(offsetof(PacketRecord, time) == (sizeof(void *) == 8 ? 24 : 16), "PacketRecord time");

typedef struct VideoFrameRecord {
    void **buffers;   /* the first buffer receives width x height pixel words */
    int32_t *pitches; /* the first pitch becomes width x 4 */
    int32_t word2;    /* 0 */
    int32_t word3;    /* 0 */
    double time;      /* the packet's time */
    double unused;    /* -1.0 */
} VideoFrameRecord;

QF_STATIC_ASSERT(offsetof(VideoFrameRecord, pitches) == sizeof(void *), "VideoFrameRecord pitches");
QF_STATIC_ASSERT(offsetof(VideoFrameRecord, word2) == 2 * sizeof(void *), "VideoFrameRecord word2");
QF_STATIC_ASSERT(offsetof(VideoFrameRecord, word3) == 2 * sizeof(void *) + 4, "VideoFrameRecord word3");
QF_STATIC_ASSERT(offsetof(VideoFrameRecord, time) == 2 * sizeof(void *) + 8, "VideoFrameRecord time");
QF_STATIC_ASSERT(offsetof(VideoFrameRecord, unused) == 2 * sizeof(void *) + 16, "VideoFrameRecord last");

enum {
    QF_AUDIO_FRAMES_PER_PACKET = 882,
    QF_AUDIO_BYTES_PER_PACKET = 3528,
    QF_AUDIO_SAMPLE_RATE = 22050
};

typedef struct AudioFrameRecord {
    void *buffer;       /* at least 3528 bytes: 882 frames of two int16 samples */
    uint32_t word1;     /* neither read nor written */
    uint32_t byteCount; /* 3528 */
    uint32_t word3;     /* 1 */
} AudioFrameRecord;

QF_STATIC_ASSERT(offsetof(AudioFrameRecord, word1) == sizeof(void *), "AudioFrameRecord word1");
QF_STATIC_ASSERT(offsetof(AudioFrameRecord, byteCount) == sizeof(void *) + 4, "AudioFrameRecord count");
QF_STATIC_ASSERT(offsetof(AudioFrameRecord, word3) == sizeof(void *) + 8, "AudioFrameRecord word3");

/* ---- Entry points ----------------------------------------------------------------------- */

/* Opaque to hosts. */
typedef struct MovieHandle MovieHandle;

#if defined(QUILLFRAMER_BUILDING_PLUGIN)
#define QF_EXPORT __attribute__((visibility("default")))
#else
#define QF_EXPORT
#endif

QF_EXPORT int32_t InitPlugin(PluginInfo *info, HostBase *host);
QF_EXPORT void ClosePlugin(void);
QF_EXPORT MovieHandle *OpenVideo(const char *name, StreamDescriptor *descriptor);
QF_EXPORT void CloseVideo(MovieHandle *movie);
QF_EXPORT const char *GetVideoFormat(void);
QF_EXPORT uint32_t GetVideoFrames(MovieHandle *movie);
QF_EXPORT int32_t NextPacket(MovieHandle *movie, PacketRecord *packet);
QF_EXPORT void FreePacket(TimingPacket *payload);
QF_EXPORT int32_t SeekVideo(MovieHandle *movie, uint32_t ms);
QF_EXPORT int32_t DecodeVideoFrame(MovieHandle *movie, TimingPacket *payload, VideoFrameRecord *frame);
QF_EXPORT int32_t DecodeAudioFrame(MovieHandle *movie, TimingPacket *payload, AudioFrameRecord *audio);
QF_EXPORT void FlushAudio(void);
QF_EXPORT void FlushVideo(void);

/* Pointer types for hosts that resolve the entry points with dlsym. */
typedef int32_t (*InitPluginFn)(PluginInfo *, HostBase *);
typedef void (*ClosePluginFn)(void);
typedef MovieHandle *(*OpenVideoFn)(const char *, StreamDescriptor *);
typedef void (*CloseVideoFn)(MovieHandle *);
typedef const char *(*GetVideoFormatFn)(void);
typedef uint32_t (*GetVideoFramesFn)(MovieHandle *);
typedef int32_t (*NextPacketFn)(MovieHandle *, PacketRecord *);
typedef void (*FreePacketFn)(TimingPacket *);
typedef int32_t (*SeekVideoFn)(MovieHandle *, uint32_t);
typedef int32_t (*DecodeVideoFrameFn)(MovieHandle *, TimingPacket *, VideoFrameRecord *);
typedef int32_t (*DecodeAudioFrameFn)(MovieHandle *, TimingPacket *, AudioFrameRecord *);
typedef void (*FlushAudioFn)(void);
typedef void (*FlushVideoFn)(void);

#ifdef __cplusplus
}
#endif

#endif
