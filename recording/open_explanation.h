// Why an open failed, for hosts that explain failures: the record the recording build's notes
// fill in while its own copy of the plug-in opens the movie.
#ifndef QUILLFRAMER_OPEN_EXPLANATION_H
#define QUILLFRAMER_OPEN_EXPLANATION_H

#include <stddef.h>
#include <stdint.h>

#include "plugin/notes.h"
#include "quillframer/host_api.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    OpenDiagnosticsTextSize = 1024,
    OpenWarningLimit = 16
};

// A file named by path that was opened but could not be loaded: the movie plays without it.
struct AssetWarning {
    int32_t assetKind;  // AssetKind
    int32_t failure;    // OpenFailure: why (OpenFailureMemory so far)
    const char *what;   // what could not be allocated
    uint64_t size;
    char path[OpenDiagnosticsTextSize];  // the host path
};

struct OpenDiagnostics {
    int32_t failure;                     // OpenFailure; the first one of the open
    uint32_t command;                    // the command byte being run, 0 before the stream
    int64_t offset;                      // its offset in the movie file, -1 when not known
    int64_t fileSize;                    // of the movie file, -1 when not known
    uint32_t payloadSize;                // fixed payload bytes after the command byte
    int32_t scene;                       // the current scene when the command ran, -1 before the scene table
    int32_t listed;                      // "a", "b", "j": files of its kind loaded before it, so its number
    int32_t subject;                     // OpenFailureIndex: IndexSubject
    int64_t index;                       // OpenFailureIndex: the value; OpenFailurePath: the volume name's length
    int64_t limit;                       // OpenFailureIndex: how many there are; OpenFailurePath: the longest allowed
    const char *what;                    // static text naming the rule or the allocation
    uint64_t size;                       // OpenFailureMemory: bytes asked for
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

#ifdef QF_RECORDING
struct SurveyRecord;

// The state of one recorded open; the movie's handle points at it while it lives.
struct Recorder {
    OpenDiagnostics record;
    int64_t commandOffset;  // of the command being run, -1 before the stream
    int32_t scene;          // the parser's current scene, -1 before the scene table
    // A survey's, null otherwise: the files the stream loads, in the survey's own memory.
    struct SurveyRecord *survey;
};

// Opens name on host with recorder's record starting afresh; the open movie is kept in *keep
// when keep is not null, else closed. 1 when the open succeeded.
int32_t OpenRecorded(HostBase *host, const char *name, uint32_t openOption, MovieHandle **keep, Recorder *recorder);
#endif

#endif
