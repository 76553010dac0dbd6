// Why an open failed, for hosts that explain failures. Only the build with QF_OPEN_DIAGNOSTICS
// records anything: in quillframer.vtp every QF_NOTE(...) compiles to nothing, so the plug-in
// behaves and exports exactly as without it.
#ifndef QUILLFRAMER_OPEN_DIAGNOSTICS_H
#define QUILLFRAMER_OPEN_DIAGNOSTICS_H

#include <stddef.h>
#include <stdint.h>

#include "quillframer/host_api.h"

#ifdef __cplusplus
extern "C" {
#endif

enum OpenFailure {
    OpenFailureNone = 0,
    OpenFailureMovieFile,       // the host could not open the movie
    OpenFailureSignature,       // neither signature
    OpenFailureUnknownCommand,  // a command byte outside "a" to "z"
    OpenFailureTruncated,       // the failing command's payload runs past the end of the file
    OpenFailureIndex,           // what names an entry beyond limit
    OpenFailureOrder,           // a command that needs an earlier one (what says which)
    OpenFailureMemory,          // size bytes for what could not be allocated
    OpenFailurePath,            // an Amiga path the resolver cannot map (what says why; text is the path)
    OpenFailureCancelled,       // no directory for the volume in text
    OpenFailureReferencedFile,  // the host could not open the file in text
    OpenFailureNoScenes         // the stream ended without a scene table
};

enum { OpenDiagnosticsTextSize = 1024, OpenWarningLimit = 16 };

// A file named by path that was opened but could not be loaded: the movie plays without it.
struct AssetWarning {
    int32_t assetKind;  // AssetKind
    int32_t failure;    // OpenFailure: why (OpenFailureMemory so far)
    const char *what;   // what could not be allocated
    uint64_t size;
    char path[OpenDiagnosticsTextSize];  // the host path
};

struct OpenDiagnostics {
    int32_t failure;        // OpenFailure; the first one of the open
    uint32_t command;       // the command byte being run, 0 before the stream
    int64_t offset;         // its offset in the movie file, -1 when not known
    int64_t fileSize;       // of the movie file, -1 when not known
    uint32_t payloadSize;   // fixed payload bytes after the command byte
    int64_t index;          // OpenFailureIndex: the value; OpenFailurePath: the volume name's length
    int64_t limit;          // OpenFailureIndex: how many there are; OpenFailurePath: the longest allowed
    const char *what;       // static text naming the entry, the rule or the allocation
    uint64_t size;          // OpenFailureMemory: bytes asked for
    char text[OpenDiagnosticsTextSize];  // a path or a volume name
    int32_t warningCount;
    int32_t warningsDropped;  // beyond OpenWarningLimit
    struct AssetWarning warnings[OpenWarningLimit];
};

// Opens the movie through this build's own copy of the plug-in on host (InitPlugin first, as its
// host base is its own), records why it failed into out, and closes it again. Returns 1 when the
// open succeeded (out may still hold warnings).
__attribute__((visibility("default"))) int32_t QfExplainOpen(HostBase *host, const char *name, uint32_t openOption,
                                                             struct OpenDiagnostics *out);

#ifdef __cplusplus
}
#endif

#ifdef QF_OPEN_DIAGNOSTICS
#define QF_NOTE(call) call
void NoteFailedAllocation(size_t size);
void NoteOutOfMemory(const char *what);  // size: the allocation that failed last
void NoteFailure(int32_t failure, const char *what, const char *text);
void NoteIndexOutOfRange(const char *what, int64_t index, int64_t limit);
void NoteVolumeTooLong(const char *path, size_t length, size_t longest);
void NoteStreamSize(HostFile file);
void NoteCommandStart(HostFile file);
void NoteCommandFailed(uint32_t command);
void NoteAssetLoad(int32_t loaded, int32_t assetKind, const char *path);
// The open goes on after the failure noted last (a survey skipping a missing file).
void ClearOpenFailure(void);
int64_t NotedCommandOffset(void);
// Opens name on host with a fresh record copied to out; the open movie is kept in *keep when
// keep is not null, else closed. 1 when the open succeeded.
int32_t OpenRecorded(HostBase *host, const char *name, uint32_t openOption, MovieHandle **keep,
                     struct OpenDiagnostics *out);
#else
#define QF_NOTE(call) ((void)0)
#endif

#endif
