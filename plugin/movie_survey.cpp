// The record behind QfSurveyMovie. Compiled only into the diagnostics build.
#ifdef QF_OPEN_DIAGNOSTICS

#include "plugin/movie_survey.h"

#include <stdlib.h>
#include <string.h>

#include "iff/iff_loaders.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"

static int32_t surveying;
static int32_t skipMissing;
static SurveyedAsset *assets;
static int32_t assetCount;
static int32_t assetCapacity;
static int32_t assetsDropped;
static SurveyedAsset *current;  // the file being loaded, or null
static int32_t countBefore;

static void CopyText(char *buffer, const char *text)
{
    buffer[0] = 0;
    if (text) strncat(buffer, text, SurveyPathSize - 1);
}

static int32_t ListCount(const MovieHandle *movie, int32_t kind)
{
    if (kind == AssetBackground) return movie->backgroundCount;
    if (kind == AssetFaceSet) return movie->faceSetCount;
    return movie->soundCount;
}

// The record's own memory, not the plug-in's: a failing allocation here must not be taken for
// one of the movie's.
static SurveyedAsset *NewAsset(void)
{
    if (assetCount == assetCapacity) {
        if (assetCapacity >= SurveyedAssetLimit) {
            assetsDropped++;
            return 0;
        }
        int32_t capacity = assetCapacity ? assetCapacity * 2 : 16;
        SurveyedAsset *grown = (SurveyedAsset *)realloc(assets, (size_t)capacity * sizeof(SurveyedAsset));
        if (!grown) {
            assetsDropped++;
            return 0;
        }
        assets = grown;
        assetCapacity = capacity;
    }
    SurveyedAsset *asset = &assets[assetCount++];
    memset(asset, 0, sizeof *asset);
    return asset;
}

// Amiga paths join with "/" unless the directory ends at its volume or at a "/".
static void JoinAmigaPath(char *buffer, const char *directory, const char *fileName)
{
    CopyText(buffer, directory);
    size_t length = strlen(buffer);
    if (*fileName && length && buffer[length - 1] != ':' && buffer[length - 1] != '/')
        strncat(buffer, "/", SurveyPathSize - 1 - length);
    strncat(buffer, fileName, SurveyPathSize - 1 - strlen(buffer));
}

void NoteAssetStart(const MovieHandle *movie, int32_t kind, int32_t embedded, const char *directory,
                    const char *fileName)
{
    current = 0;
    if (!surveying) return;
    current = NewAsset();
    if (!current) return;
    countBefore = ListCount(movie, kind);
    current->kind = kind;
    current->source = embedded ? AssetEmbedded : AssetPending;
    current->index = -1;
    current->offset = NotedCommandOffset();
    current->command = kind == AssetBackground ? 'a' : kind == AssetFaceSet ? 'b' : 'j';
    if (embedded) return;
    JoinAmigaPath(current->amigaPath, directory, fileName);
    const char *colon = strchr(directory, ':');
    if (colon) {
        size_t length = (size_t)(colon - directory);
        if (length >= SurveyPathSize) length = SurveyPathSize - 1;
        memcpy(current->volume, directory, length);
        current->volume[length] = 0;
    }
}

void NoteAssetHostPath(const char *path)
{
    if (current) CopyText(current->hostPath, path);
}

void NoteAssetEnd(const MovieHandle *movie)
{
    if (!current) return;
    int32_t added = ListCount(movie, current->kind) > countBefore;
    if (added) current->index = countBefore;
    if (current->source == AssetPending) current->source = added ? AssetLoaded : AssetNotLoaded;
    current = 0;
}

// Empty records stand for files that were not found; a face set of them is told apart by address.
static const FaceSet **missingSets;
static int32_t missingSetCount;

int32_t IsMissingFaceSet(const FaceSet *set)
{
    for (int32_t i = 0; i < missingSetCount; ++i)
        if (missingSets[i] == set) return 1;
    return 0;
}

static int32_t RememberMissingSet(const FaceSet *set)
{
    const FaceSet **grown = (const FaceSet **)realloc(missingSets, ((size_t)missingSetCount + 1) * sizeof *grown);
    if (!grown) return 0;
    missingSets = grown;
    missingSets[missingSetCount++] = set;
    return 1;
}

static int32_t AppendEmptyRecord(MovieHandle *movie, int32_t kind)
{
    if (kind == AssetBackground) {
        BackgroundImage *image = (BackgroundImage *)AllocZeroed(sizeof(BackgroundImage));
        if (image) AppendBackground(movie, image);
        return image != 0;
    }
    if (kind == AssetFaceSet) {
        FaceSet *set = (FaceSet *)AllocZeroed(sizeof(FaceSet));
        if (!set) return 0;
        if (!RememberMissingSet(set)) {
            FreeBlock(set);
            return 0;
        }
        AppendFaceSet(movie, set);
        return 1;
    }
    SoundSample *sample = (SoundSample *)AllocZeroed(sizeof(SoundSample));
    if (sample) AppendSound(movie, sample);
    return sample != 0;
}

int32_t SkipMissingAsset(MovieHandle *movie, int32_t kind, int32_t source, const char *volume)
{
    if (!surveying) return 0;
    if (current) {
        current->source = source;
        if (volume && !current->volume[0]) CopyText(current->volume, volume);
    }
    if (!skipMissing || !AppendEmptyRecord(movie, kind)) return 0;
    ClearOpenFailure();  // recorded with the file instead: the open goes on
    return 1;
}

static void ForgetRecords(void)
{
    free(assets);
    free(missingSets);
    assets = 0;
    missingSets = 0;
    assetCount = assetCapacity = assetsDropped = missingSetCount = 0;
    current = 0;
}

int32_t QfSurveyMovie(HostBase *host, const char *name, uint32_t openOption, int32_t skip, MovieSurvey *out)
{
    memset(out, 0, sizeof *out);
    ForgetRecords();
    surveying = 1;
    skipMissing = skip;
    MovieHandle *movie = 0;
    out->opened = OpenRecorded(host, name, openOption, &movie, &out->diagnostics);
    surveying = 0;
    out->movie = movie;
    out->assets = assets;
    out->assetCount = assetCount;
    out->assetsDropped = assetsDropped;
    assets = 0;  // the survey's now
    assetCount = assetCapacity = 0;
    return out->opened;
}

void QfEndSurvey(MovieSurvey *survey)
{
    CloseVideo((MovieHandle *)survey->movie);
    free(survey->assets);
    free(missingSets);
    missingSets = 0;
    missingSetCount = 0;
    memset(survey, 0, sizeof *survey);
}

#endif
