// What the plug-in's code tells a recorder while it opens a movie. Only the recording build
// (QF_RECORDING, recording/) has the bodies; in quillframer.vtp every note compiles to nothing
// and every hook to its plain answer, so the plug-in behaves and exports as without them.
#ifndef QUILLFRAMER_NOTES_H
#define QUILLFRAMER_NOTES_H

#include <stddef.h>
#include <stdint.h>

#include "quillframer/host_api.h"

#ifdef __cplusplus
extern "C" {
#endif

// Why an open stopped: the first failure of the open.
enum OpenFailure {
    OpenFailureNone = 0,
    OpenFailureMovieFile,       // the host could not open the movie
    OpenFailureSignature,       // neither signature
    OpenFailureUnknownCommand,  // a command byte outside "a" to "z"
    OpenFailureTruncated,       // the failing command's payload runs past the end of the file
    OpenFailureIndex,           // subject names an entry beyond limit
    OpenFailureOrder,           // a command that needs an earlier one (what says which)
    OpenFailureMemory,          // size bytes for what could not be allocated
    OpenFailurePath,            // an Amiga path the resolver cannot map (text is the path)
    OpenFailureCancelled,       // no directory for the volume in text
    OpenFailureReferencedFile,  // the host could not open the file in text
    OpenFailureNoScenes         // the stream ended without a scene table
};

// What an index failure names.
enum IndexSubject {
    SubjectScene = 1,
    SubjectSpriteTarget,  // the scene a sprite goes to
    SubjectBackground,
    SubjectSound,
    SubjectFaceSet,
    SubjectFace,
    SubjectLayer
};

#ifdef __cplusplus
}
#endif

// Why a file is missing; a survey lists it so (AssetSource continues these numbers).
enum MissingSource {
    MissingVolume = 4,  // no directory for its volume
    MissingFile,        // its volume has a directory, the file is not there
    MissingPathRefused  // no volume in the path, or a volume name too long
};

struct Recorder;

// A failed check answers with this: 0 as a number, null as a pointer.
struct NotedFailure {
    operator int32_t() const { return 0; }
    template <typename T>
    operator T *() const
    {
        return 0;
    }
};

#ifdef QF_RECORDING
// return QF_FAIL(movie, Kind, ...): records OpenFailureKind with its details, then fails.
#define QF_FAIL(movie, kind, ...) (NoteFailed##kind(movie, ##__VA_ARGS__), NotedFailure())
#define QF_NOTE(call) call
// A file that cannot be found: 1 when the recorder wants the open to go on without it.
#define QF_GO_ON_WITHOUT(movie, kind, source, volume) GoOnWithoutFile(movie, kind, source, volume)

void NoteFailedMovieFile(const MovieHandle *movie, const char *name);
void NoteFailedSignature(const MovieHandle *movie, const char *name);
void NoteFailedUnknownCommand(const MovieHandle *movie);
void NoteFailedIndex(const MovieHandle *movie, int32_t subject, int64_t index, int64_t limit);
void NoteFailedOrder(const MovieHandle *movie, const char *rule);
void NoteFailedMemory(const MovieHandle *movie, const char *what, size_t size);
void NoteFailedPath(const MovieHandle *movie, const char *path);  // no colon
void NoteFailedVolumeName(const MovieHandle *movie, const char *path, size_t length, size_t longest);
void NoteFailedCancelled(const MovieHandle *movie, const char *volume);
void NoteFailedReferencedFile(const MovieHandle *movie, const char *path);
void NoteFailedNoScenes(const MovieHandle *movie);

// Before a movie record exists, the recorder is named directly.
void NoteNoMovieRecord(Recorder *recorder, size_t size);
void NoteStreamSize(const MovieHandle *movie);
void NoteCommandStart(const MovieHandle *movie);
void NoteCommandFailed(const MovieHandle *movie, uint32_t command);
void NoteCurrentScene(const MovieHandle *movie, int32_t scene);
void NoteAssetStart(const MovieHandle *movie, int32_t kind, int32_t embedded, const char *directory,
                    const char *fileName);
void NoteAssetHostPath(const MovieHandle *movie, const char *path);
void NoteAssetLoad(const MovieHandle *movie, int32_t loaded, int32_t kind, const char *path);
void NoteAssetEnd(const MovieHandle *movie);
int32_t GoOnWithoutFile(const MovieHandle *movie, int32_t kind, int32_t source, const char *volume);
#else
#define QF_FAIL(movie, kind, ...) ((void)(movie), NotedFailure())
#define QF_NOTE(call) ((void)0)
#define QF_GO_ON_WITHOUT(movie, kind, source, volume) ((void)(source), (void)(volume), 0)
#endif

#endif
