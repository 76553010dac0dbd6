// The record behind QfSurveyMovie. Compiled only into the recording build.
#ifdef QF_RECORDING

#include "recording/movie_survey.h"

#include <stdlib.h>
#include <string.h>

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
static SurveyedAsset *NewAsset(SurveyRecord *survey)
{
    if (survey->assetCount == survey->assetCapacity) {
        if (survey->assetCapacity >= SurveyedAssetLimit) {
            survey->assetsDropped++;
            return 0;
        }
        int32_t capacity = survey->assetCapacity ? survey->assetCapacity * 2 : 16;
        SurveyedAsset *grown = (SurveyedAsset *)realloc(survey->assets, (size_t)capacity * sizeof(SurveyedAsset));
        if (!grown) {
            survey->assetsDropped++;
            return 0;
        }
        survey->assets = grown;
        survey->assetCapacity = capacity;
    }
    SurveyedAsset *asset = &survey->assets[survey->assetCount++];
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

void SurveyAssetStart(SurveyRecord *survey, const MovieHandle *movie, int32_t kind, int32_t embedded,
                      const char *directory, const char *fileName, int64_t offset)
{
    SurveyedAsset *asset = survey->current = NewAsset(survey);
    if (!asset) return;
    survey->countBefore = ListCount(movie, kind);
    asset->kind = kind;
    asset->source = embedded ? AssetEmbedded : AssetPending;
    asset->index = -1;
    asset->offset = offset;
    asset->command = kind == AssetBackground ? 'a' : kind == AssetFaceSet ? 'b' : 'j';
    CopyText(asset->fileName, fileName);  // an embedded file's name too, where its writer gave one
    if (embedded) return;
    JoinAmigaPath(asset->amigaPath, directory, fileName);
    const char *colon = strchr(directory, ':');
    if (colon) {
        size_t length = (size_t)(colon - directory);
        if (length >= SurveyPathSize) length = SurveyPathSize - 1;
        memcpy(asset->volume, directory, length);
        asset->volume[length] = 0;
    }
}

void SurveyAssetHostPath(SurveyRecord *survey, const char *path)
{
    if (survey->current) CopyText(survey->current->hostPath, path);
}

void SurveyAssetEnd(SurveyRecord *survey, const MovieHandle *movie)
{
    SurveyedAsset *asset = survey->current;
    if (!asset) return;
    int32_t added = ListCount(movie, asset->kind) > survey->countBefore;
    if (added) asset->index = survey->countBefore;
    if (asset->source == AssetPending) asset->source = added ? AssetLoaded : AssetNotLoaded;
    survey->current = 0;
}

int32_t SurveyMissingFile(SurveyRecord *survey, int32_t source, const char *volume)
{
    SurveyedAsset *asset = survey->current;
    if (asset) {
        asset->source = source;
        if (volume && !asset->volume[0]) CopyText(asset->volume, volume);
    }
    return survey->skipMissing;
}

int32_t QfSurveyMovie(HostBase *host, const char *name, uint32_t openOption, int32_t skipMissing, MovieSurvey *out)
{
    memset(out, 0, sizeof *out);
    SurveyRecord survey;
    memset(&survey, 0, sizeof survey);
    survey.skipMissing = skipMissing;
    Recorder recorder;
    memset(&recorder, 0, sizeof recorder);
    recorder.survey = &survey;
    MovieHandle *movie = 0;
    out->opened = OpenRecorded(host, name, openOption, &movie, &recorder);
    memcpy(&out->diagnostics, &recorder.record, sizeof out->diagnostics);
    out->movie = movie;
    out->assets = survey.assets;  // the survey's now
    out->assetCount = survey.assetCount;
    out->assetsDropped = survey.assetsDropped;
    return out->opened;
}

void QfEndSurvey(MovieSurvey *survey)
{
    CloseVideo((MovieHandle *)survey->movie);
    free(survey->assets);
    memset(survey, 0, sizeof *survey);
}

#endif
