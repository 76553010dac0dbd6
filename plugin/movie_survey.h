// What a movie is made of, for hosts that show it (info, extract): every file its stream loads,
// by Amiga path with where the host found it, and the open movie model itself. Only the build
// with QF_OPEN_DIAGNOSTICS has it; quillframer.vtp is not changed by it.
#ifndef QUILLFRAMER_MOVIE_SURVEY_H
#define QUILLFRAMER_MOVIE_SURVEY_H

#include <stdint.h>

#include "movie/movie_model.h"
#include "plugin/open_diagnostics.h"

#ifdef __cplusplus
extern "C" {
#endif

enum AssetSource {
    AssetPending = 0,
    AssetEmbedded,       // read from the movie file itself (after "y")
    AssetLoaded,         // named by Amiga path, found and loaded
    AssetNotLoaded,      // found but could not be read: the movie plays without it
    AssetVolumeMissing,  // no directory for its volume
    AssetFileMissing,    // its volume has a directory, the file is not there
    AssetPathRefused     // no volume in the path, or a volume name too long
};

enum { SurveyPathSize = 1024, SurveyedAssetLimit = 4096 };

struct SurveyedAsset {
    int32_t kind;    // AssetKind
    int32_t source;  // AssetSource
    // Place in its list (background, face set or sound number as the stream counts them), or
    // -1 when nothing was added to the list.
    int32_t index;
    uint32_t command;  // the command byte that loads it
    int64_t offset;    // that command's offset in the movie file
    char amigaPath[SurveyPathSize];  // "Work:Anims/Hero" ("" when embedded)
    char volume[SurveyPathSize];     // "Work", without colon
    char hostPath[SurveyPathSize];   // where the host was asked to open it ("" when not asked)
};

struct MovieSurvey {
    int32_t opened;
    struct OpenDiagnostics diagnostics;
    // The open movie, until QfEndSurvey; null when the open failed. With skipMissing, a
    // file that was not found is an empty record in its list (no pixels, no samples, no faces).
    const MovieHandle *movie;
    int32_t assetCount;
    int32_t assetsDropped;  // beyond SurveyedAssetLimit
    struct SurveyedAsset *assets;
};

// Opens the movie through this build's own copy of the plug-in on host (InitPlugin first) and
// records the files it loads. With skipMissing, a file whose volume or path cannot be found does
// not end the open: it is recorded and the open goes on, so every missing file is listed at once.
// Returns out->opened. One survey at a time; end each with QfEndSurvey.
__attribute__((visibility("default"))) int32_t QfSurveyMovie(HostBase *host, const char *name, uint32_t openOption,
                                                              int32_t skipMissing, struct MovieSurvey *out);
__attribute__((visibility("default"))) void QfEndSurvey(struct MovieSurvey *survey);

#ifdef __cplusplus
}
#endif

#ifdef QF_OPEN_DIAGNOSTICS
void NoteAssetStart(const MovieHandle *movie, int32_t kind, int32_t embedded, const char *directory,
                    const char *fileName);
void NoteAssetEnd(const MovieHandle *movie);
void NoteAssetHostPath(const char *path);
// A survey that skips missing files: records why this one is missing, adds an empty record
// in its place so later numbers still match, and answers 1 (go on). Otherwise 0.
int32_t SkipMissingAsset(MovieHandle *movie, int32_t kind, int32_t source, const char *volume);
// A face set added by SkipMissingAsset: its sprites are not placed.
int32_t IsMissingFaceSet(const FaceSet *set);
#endif

#endif
