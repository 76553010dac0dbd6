// The in-memory movie: one MovieHandle and the records hanging from it.
// Plain records, zero-filled when made (calloc), freed by CloseVideo.
#ifndef QUILLFRAMER_MOVIE_MODEL_H
#define QUILLFRAMER_MOVIE_MODEL_H

#include <stdint.h>

#include "quillframer/host_api.h"
#include "quillframer/movie_format.h"

struct Recorder;

enum AssetKind {
    AssetBackground = 0,
    AssetFaceSet = 1,
    AssetSound = 2
};

enum {
    LayerCount = 16,
    ChannelCount = 4,
    CycleCount = 4,
    PaletteWordCount = 256,
    ScenePaletteColors = 32
};

struct ColorCycle {
    int32_t low;
    int32_t high;
    int32_t direction;  // 0 = towards higher indices
    int32_t command;    // 1 start, 2 stop, other = leave
};

struct ScrollMotion {
    int32_t horizontal;
    int32_t velocity;
    int32_t limit;
    int32_t acceleration;
};

struct SpritePlacement {
    int32_t width;
    int32_t height;
    int32_t x;
    int32_t y;
    uint8_t *pixels;  // borrowed from a FaceImage
    SpritePlacement *next;
};

struct BackgroundImage {
    uint16_t width;
    uint16_t height;
    uint16_t x;
    uint16_t y;
    uint8_t planeCount;
    uint8_t masking;
    uint8_t compression;
    uint8_t pad;
    uint16_t transparentColor;
    uint8_t xAspect;
    uint8_t yAspect;
    uint16_t pageWidth;
    uint16_t pageHeight;
    uint8_t colors[256 * 3];
    uint32_t colorCount;
    uint8_t *pixels;  // owned; null until a BODY was decoded
    uint32_t bodyLength;
    BackgroundImage *next;
};

struct FaceImage {
    uint32_t width;
    uint32_t height;
    uint32_t faceWord2;
    uint32_t faceWord3;
    int32_t offsetX;
    int32_t offsetY;
    uint8_t *pixels;  // owned
    uint32_t bodyLength;
    FaceImage *next;
};

struct FaceSet {
    uint8_t colors[256 * 3];
    int32_t colorCount;
    FaceImage *images;  // owned
    int32_t imageCount;
    FaceSet *next;
    // 1 when it stands for a file that was not found (an open going on without it): no faces
    // to place, and placing one is not a failure.
    int32_t standIn;
    // Private to the parser: images by face number - 1, made on the set's first placement so
    // each placement finds its face at once. Owned.
    FaceImage **faceIndex;
};

struct SoundSample {
    uint32_t oneShotSamples;
    uint32_t repeatSamples;
    uint32_t samplesPerCycle;
    uint16_t samplesPerSecond;
    uint8_t octaveCount;
    uint8_t compression;
    uint32_t headerVolume;
    int8_t *data;  // owned
    uint32_t length;
    SoundSample *next;
};

struct VolumeMapping {
    VolumeMapping *next;
    char volume[256];
    char directory[1024];
};

struct AudioChannel {
    const int8_t *data;  // borrowed; null = silent
    uint32_t length;
    uint32_t rate;
    double position;
    double step;
    uint32_t volume;
    int32_t startScene;
};

// Records of one list by place, for the parser: filled up to count, grown as the list grows.
struct RecordIndex {
    void **records;  // owned; the records are the list's
    int32_t count;
    int32_t capacity;
};

struct SceneRecord {
    BackgroundImage *background;  // borrowed
    ScrollMotion *scroll;         // owned
    int32_t scrollX;
    int32_t scrollY;
    SpritePlacement *layers[LayerCount];  // owned lists
    int32_t frames;
    uint8_t *palette;
    int32_t paletteCount;
    int32_t paletteOwned;
    SoundSample *sounds[ChannelCount];  // borrowed
    uint16_t rates[ChannelCount];
    uint8_t volumes[ChannelCount];
    ColorCycle cycles[CycleCount];
};

struct MovieHandle {
    HostFile file;
    uint8_t *frameBuffer;
    uint32_t paletteWords[PaletteWordCount];
    uint32_t duration;
    int32_t width;
    int32_t height;
    int32_t backgroundCount;
    int32_t soundCount;
    int32_t faceSetCount;
    int32_t sceneCount;
    double packetTime;
    uint32_t packetToggle;
    SceneRecord *scenes;
    BackgroundImage *backgrounds;
    SoundSample *soundSamples;
    FaceSet *faceSets;
    BackgroundImage *noBackground;
    ColorCycle *activeCycles[CycleCount];  // borrowed
    AudioChannel channels[ChannelCount];
    VolumeMapping *volumeMappings;
    // Private to the loaders: the last record of each list, so a movie of many files is not
    // walked from the head for every one it appends.
    BackgroundImage *lastBackground;
    SoundSample *lastSound;
    FaceSet *lastFaceSet;
    // Private to the parser: the lists by place, so a command naming entry 65534 does not walk there.
    RecordIndex backgroundIndex;
    RecordIndex soundIndex;
    RecordIndex faceSetIndex;
    // What the open tells (plugin/notes.h); null but in the recording build.
    Recorder *recorder;
};

// A scene lasts its frames in 20 ms ticks; sums of these wrap, as the running end of the movie does.
static inline uint32_t SceneLengthMs(const SceneRecord *scene)
{
    return (uint32_t)QF_TICK_MS * (uint32_t)scene->frames;
}

// Frees one scene table entry's owned records (placements, scroll, own palette).
void FreeSceneContents(SceneRecord *scene);

#endif
