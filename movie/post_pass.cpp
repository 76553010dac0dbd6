// After the command stream: what scenes inherit, where each scene's scroll stands, the length,
// the picture size and the frame buffer.
#include "movie/movie_loading.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/notes.h"

struct ScrollState {
    int32_t horizontal;
    int32_t velocity;
    int32_t limit;
    int32_t acceleration;
    int32_t position;
};

static int32_t Magnitude(int32_t value) { return value < 0 ? (int32_t)(0u - (uint32_t)value) : value; }

// Wrapping adds: hostile velocities may run for 65535 scenes without a background to wrap by.
static int32_t AddWrapping(int32_t a, int32_t b) { return (int32_t)((uint32_t)a + (uint32_t)b); }

static void InheritBackground(SceneRecord *scene, BackgroundImage **last)
{
    if (!scene->background) scene->background = *last;
    else *last = scene->background;
}

static void InheritFrames(SceneRecord *scene, int32_t *last)
{
    if (scene->frames == 0) scene->frames = *last;
    else *last = scene->frames;
}

static void AdvanceScroll(SceneRecord *scene, ScrollState *scroll)
{
    scene->scrollX = 0;
    scene->scrollY = 0;
    if (scroll->velocity == 0 && scroll->acceleration == 0) return;
    scroll->position = AddWrapping(scroll->position, scroll->velocity);
    scroll->velocity = AddWrapping(scroll->velocity, scroll->acceleration);
    if (Magnitude(scroll->velocity) >= Magnitude(scroll->limit)) scroll->acceleration = 0;
    // Without a background there is no size to wrap by: the position stays as it is.
    int32_t size = 0;
    if (scene->background) size = scroll->horizontal ? scene->background->width : scene->background->height;
    if (scroll->position > size) scroll->position -= size;
    if (scroll->position < 0) scroll->position += size;
    if (scroll->horizontal) scene->scrollX = scroll->position;
    else scene->scrollY = scroll->position;
}

static void StartScrollMotion(SceneRecord *scene, ScrollState *scroll)
{
    if (!scene->scroll) return;
    scene->scrollX = 0;
    scene->scrollY = 0;
    scroll->horizontal = scene->scroll->horizontal;
    scroll->velocity = scene->scroll->velocity;
    scroll->limit = scene->scroll->limit;
    scroll->acceleration = scene->scroll->acceleration;
    if ((scroll->acceleration > 0 && scroll->velocity > scroll->limit) ||
        (scroll->acceleration < 0 && scroll->velocity < scroll->limit))
        scroll->acceleration = 0;
    scroll->position = 0;
}

static void SettleScenes(MovieHandle *movie)
{
    BackgroundImage *lastBackground = 0;
    int32_t lastFrames = 0;
    ScrollState scroll = {1, 0, 0, 0, 0};
    for (int32_t i = 1; i <= movie->sceneCount; ++i) {
        SceneRecord *scene = &movie->scenes[i];
        InheritBackground(scene, &lastBackground);
        InheritFrames(scene, &lastFrames);
        AdvanceScroll(scene, &scroll);
        StartScrollMotion(scene, &scroll);
    }
}

static uint32_t SumDuration(const MovieHandle *movie)
{
    uint32_t total = 0;
    for (int32_t i = 1; i <= movie->sceneCount; ++i) total += SceneLengthMs(&movie->scenes[i]);
    return total;
}

int32_t FinishMovie(MovieHandle *movie)
{
    HostCloseFile(movie->file);
    movie->file = 0;
    if (!movie->scenes) return QF_FAIL(movie, NoScenes);  // nothing to play without a scene table
    SettleScenes(movie);
    movie->duration = SumDuration(movie);
    if (movie->backgroundCount != 0) {
        movie->width = movie->backgrounds->width;
        movie->height = movie->backgrounds->height;
    } else {
        movie->width = 352;
        movie->height = 240;
    }
    // Cleared once, so bytes no background covers show colour 0, not old heap contents.
    size_t size = (size_t)movie->width * (size_t)movie->height;
    movie->frameBuffer = (uint8_t *)AllocZeroed(size);
    if (!movie->frameBuffer) return QF_FAIL(movie, Memory, "the frame buffer", size);
    return 1;
}

void FillStreamDescriptor(const MovieHandle *movie, StreamDescriptor *descriptor)
{
    descriptor->width = movie->width;
    descriptor->height = movie->height;
    descriptor->duration = movie->duration;
    descriptor->sampleRate = QF_AUDIO_SAMPLE_RATE;
    descriptor->word16 = 2;
    descriptor->word20 = 0;
    descriptor->word24 = 0;
    descriptor->word28 = 1;
    descriptor->flags |= 1;
    descriptor->word40 = 0;
    descriptor->word44 = 0;
}
