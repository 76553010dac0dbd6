// CloseVideo: frees a movie in any state the parser can leave it in.
#include "movie/movie_model.h"
#include "movie/record_list.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"

void FreeSceneContents(SceneRecord *scene)
{
    for (int layer = 0; layer < LayerCount; ++layer) {
        SpritePlacement *placement = scene->layers[layer];
        while (placement) {
            SpritePlacement *next = placement->next;
            FreeBlock(placement);  // pixels are the face's
            placement = next;
        }
        scene->layers[layer] = 0;
    }
    FreeBlock(scene->scroll);
    scene->scroll = 0;
    if (scene->palette && scene->paletteOwned) FreeBlock(scene->palette);
    scene->palette = 0;
}

static void FreeBackgroundPixels(void *image) { FreeBlock(((BackgroundImage *)image)->pixels); }

static void FreeSoundData(void *sample) { FreeBlock(((SoundSample *)sample)->data); }

static void FreeFacePixels(void *image) { FreeBlock(((FaceImage *)image)->pixels); }

static void FreeFaces(void *record)
{
    FaceSet *set = (FaceSet *)record;
    FreeRecords(set->images, offsetof(FaceImage, next), FreeFacePixels);
    FreeBlock(set->faceIndex);
}

void CloseVideo(MovieHandle *movie)
{
    if (!movie) return;
    FreeBlock(movie->noBackground);
    FreeRecords(movie->backgrounds, offsetof(BackgroundImage, next), FreeBackgroundPixels);
    FreeRecords(movie->soundSamples, offsetof(SoundSample, next), FreeSoundData);
    FreeRecords(movie->faceSets, offsetof(FaceSet, next), FreeFaces);
    if (movie->scenes) {
        for (int32_t i = 0; i <= movie->sceneCount; ++i) FreeSceneContents(&movie->scenes[i]);
        FreeBlock(movie->scenes);
    }
    FreeRecords(movie->volumeMappings, offsetof(VolumeMapping, next), 0);
    FreeBlock(movie->backgroundIndex.records);
    FreeBlock(movie->soundIndex.records);
    FreeBlock(movie->faceSetIndex.records);
    FreeBlock(movie->frameBuffer);
    if (movie->file) HostCloseFile(movie->file);
    FreeBlock(movie);
}
