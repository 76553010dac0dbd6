// CloseVideo: frees a movie in any state the parser can leave it in.
#include "movie/movie_model.h"
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

static void FreeBackgrounds(BackgroundImage *image)
{
    while (image) {
        BackgroundImage *next = image->next;
        FreeBlock(image->pixels);
        FreeBlock(image);
        image = next;
    }
}

static void FreeSounds(SoundSample *sample)
{
    while (sample) {
        SoundSample *next = sample->next;
        FreeBlock(sample->data);
        FreeBlock(sample);
        sample = next;
    }
}

static void FreeFaceSets(FaceSet *set)
{
    while (set) {
        FaceSet *nextSet = set->next;
        FaceImage *image = set->images;
        while (image) {
            FaceImage *next = image->next;
            FreeBlock(image->pixels);
            FreeBlock(image);
            image = next;
        }
        FreeBlock(set->faceIndex);
        FreeBlock(set);
        set = nextSet;
    }
}

static void FreeVolumeMappings(VolumeMapping *mapping)
{
    while (mapping) {
        VolumeMapping *next = mapping->next;
        FreeBlock(mapping);
        mapping = next;
    }
}

void CloseVideo(MovieHandle *movie)
{
    if (!movie) return;
    FreeBlock(movie->noBackground);
    FreeBackgrounds(movie->backgrounds);
    FreeSounds(movie->soundSamples);
    FreeFaceSets(movie->faceSets);
    if (movie->scenes) {
        for (int32_t i = 0; i <= movie->sceneCount; ++i) FreeSceneContents(&movie->scenes[i]);
        FreeBlock(movie->scenes);
    }
    FreeVolumeMappings(movie->volumeMappings);
    FreeBlock(movie->backgroundIndex.records);
    FreeBlock(movie->soundIndex.records);
    FreeBlock(movie->faceSetIndex.records);
    FreeBlock(movie->frameBuffer);
    if (movie->file) HostCloseFile(movie->file);
    FreeBlock(movie);
}
