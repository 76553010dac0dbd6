// The time axis: frame count, packet pairs, seeking, scene lookup and palette loading.
#include <string.h>

#include "playback/playback.h"
#include "plugin/memory.h"

static const double PacketInterval = 0.04;

// Truncates towards zero, saturating at both ends of the unsigned range.
static uint32_t TruncateToU32(double value)
{
    if (!(value > 0.0)) return 0;
    if (value >= 4294967295.0) return 4294967295u;
    return (uint32_t)value;
}

uint32_t SecondsToMs(double seconds) { return TruncateToU32(seconds * 1000.0); }

int32_t FindScene(const MovieHandle *movie, uint32_t ms)
{
    if (movie->sceneCount <= 0) return movie->sceneCount;
    uint32_t end = 0;
    for (int32_t k = 1; k < movie->sceneCount; ++k) {
        end = NextSceneStart(movie, k, end);
        if (ms < end) return k;
    }
    return movie->sceneCount;
}

uint32_t SceneStart(const MovieHandle *movie, int32_t scene)
{
    uint32_t start = 0;
    for (int32_t k = 1; k < scene && k <= movie->sceneCount; ++k) start = NextSceneStart(movie, k, start);
    return start;
}

uint32_t PixelWord(uint8_t red, uint8_t green, uint8_t blue)
{
    uint8_t bytes[4] = {0, red, green, blue};
    uint32_t word;
    memcpy(&word, bytes, sizeof word);
    return word;
}

void LoadScenePalette(MovieHandle *movie, const SceneRecord *scene)
{
    for (int k = 0; k < ScenePaletteColors; ++k) {
        const uint8_t *rgb = scene->palette + 3 * k;
        movie->paletteWords[k] = PixelWord(rgb[0], rgb[1], rgb[2]);
    }
}

uint32_t GetVideoFrames(MovieHandle *movie)
{
    return TruncateToU32((double)movie->duration / 1000.0 * (double)QF_FRAMES_PER_SECOND);
}

int32_t NextPacket(MovieHandle *movie, PacketRecord *packet)
{
    TimingPacket *payload = (TimingPacket *)AllocZeroed(sizeof(TimingPacket));
    if (!payload) return -2;
    double time = movie->packetTime;
    payload->time = time;
    // The end test comes before the pair flag moves, so the end never splits a pair.
    if (SecondsToMs(time) >= movie->duration) {
        FreeBlock(payload);
        return -1;
    }
    int32_t stream;
    if (movie->packetToggle == 0) {
        movie->packetToggle = 1;
        stream = 0;
    } else {
        movie->packetToggle = 0;
        movie->packetTime = time + PacketInterval;
        stream = 1;
    }
    packet->payload = payload;
    packet->streamIndex = stream;
    packet->payloadSize = (int32_t)sizeof(TimingPacket);
    packet->time = time;
    return 0;
}

void FreePacket(TimingPacket *payload) { FreeBlock(payload); }

static int32_t HasScenePalette(const SceneRecord *scene)
{
    return scene->palette != 0 && scene->paletteCount == ScenePaletteColors;
}

int32_t SeekVideo(MovieHandle *movie, uint32_t ms)
{
    int32_t s = FindScene(movie, ms);
    movie->packetTime = (double)ms / 1000.0;
    memset(movie->channels, 0, sizeof movie->channels);
    // The nearest 32-colour palette at or before the target; entry 0 only when there are no scenes.
    int32_t k = s;
    do {
        const SceneRecord *scene = &movie->scenes[k];
        if (HasScenePalette(scene)) {
            LoadScenePalette(movie, scene);
            for (int i = 0; i < CycleCount; ++i) movie->activeCycles[i] = 0;
            return 0;
        }
        --k;
    } while (k >= 1);
    return 0;
}
