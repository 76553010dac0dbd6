// What a movie is made of, for hosts that show it (info, extract): every file its stream loads,
// by Amiga path with where the host found it, and the open movie model itself. Only the recording
// build has it; quillframer.vtp is not changed by it.
#ifndef QUILLFRAMER_MOVIE_SURVEY_H
#define QUILLFRAMER_MOVIE_SURVEY_H

#include <stdint.h>

#include "movie/movie_model.h"
#include "recording/open_explanation.h"

#ifdef __cplusplus
extern "C" {
#endif

enum AssetSource {
    AssetPending = 0,
    AssetEmbedded,   // read from the movie file itself (after "y")
    AssetLoaded,     // named by Amiga path, found and loaded
    AssetNotLoaded,  // found but could not be read: the movie plays without it
    AssetVolumeMissing = MissingVolume,
    AssetFileMissing = MissingFile,
    AssetPathRefused = MissingPathRefused
};

enum {
    SurveyPathSize = 1024,
    SurveyedAssetLimit = 4096
};

struct SurveyedAsset {
    int32_t kind;    // AssetKind
    int32_t source;  // AssetSource
    // Place in its list (background, face set or sound number as the stream counts them), or
    // -1 when nothing was added to the list.
    int32_t index;
    uint32_t command;                // the command byte that loads it
    int64_t offset;                  // that command's offset in the movie file
    char amigaPath[SurveyPathSize];  // "Work:Anims/Hero" ("" when embedded)
    char volume[SurveyPathSize];     // "Work", without colon
    char hostPath[SurveyPathSize];   // where the host was asked to open it ("" when not asked)
    char fileName[SurveyPathSize];   // the command's file-name field, read in both modes: "Hero"
};

struct MovieSurvey {
    int32_t opened;
    struct OpenDiagnostics diagnostics;
    // The open movie, until QfEndSurvey; null when the open failed. With skipMissing, a
    // file that was not found is an empty record in its list (no pixels, no samples, no faces;
    // a face set of it is marked standIn).
    const MovieHandle *movie;
    int32_t assetCount;
    int32_t assetsDropped;  // beyond SurveyedAssetLimit
    struct SurveyedAsset *assets;
};

// Opens the movie through this build's own copy of the plug-in on host (InitPlugin first) and
// records the files it loads. With skipMissing, a file whose volume or path cannot be found does
// not end the open: it is recorded and the open goes on, so every missing file is listed at once.
// Returns out->opened. Surveys are independent of each other; end each with QfEndSurvey.
__attribute__((visibility("default"))) int32_t QfSurveyMovie(HostBase *host, const char *name, uint32_t openOption,
                                                             int32_t skipMissing, struct MovieSurvey *out);
__attribute__((visibility("default"))) void QfEndSurvey(struct MovieSurvey *survey);

#ifdef __cplusplus
}
#endif

#ifdef QF_RECORDING
// What a survey keeps while the open runs.
struct SurveyRecord {
    int32_t skipMissing;
    struct SurveyedAsset *assets;  // the record's own memory, not the plug-in's
    int32_t assetCount;
    int32_t assetCapacity;
    int32_t assetsDropped;
    struct SurveyedAsset *current;  // the file being loaded, or null
    int32_t countBefore;            // its list's length before
};

void SurveyAssetStart(SurveyRecord *survey, const MovieHandle *movie, int32_t kind, int32_t embedded,
                      const char *directory, const char *fileName, int64_t offset);
void SurveyAssetHostPath(SurveyRecord *survey, const char *path);
void SurveyAssetEnd(SurveyRecord *survey, const MovieHandle *movie);
// Records where a file that was not found came from; 1 when the survey goes on without it.
int32_t SurveyMissingFile(SurveyRecord *survey, int32_t source, const char *volume);
#endif

#endif
