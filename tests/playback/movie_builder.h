// Builds MovieHandles by hand for the playback suites. Every block hangs from the handle the way
// the parser leaves it, so CloseVideo frees it all (and the sanitizer checks that it does).
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "movie/movie_model.h"
#include "playback/playback.h"
#include "plugin/memory.h"

namespace qfplay {

struct Rgb {
    uint8_t r, g, b;
};

template <class T> T *New() { return static_cast<T *>(AllocZeroed(sizeof(T))); }

// Appends at the tail of a singly linked list.
template <class T> T *Append(T **head, T *item)
{
    while (*head) head = &(*head)->next;
    return *head = item;
}

template <class T> T *CopyBlock(const std::vector<T> &values)
{
    auto *block = static_cast<T *>(AllocRaw(values.size() * sizeof(T)));
    if (!values.empty()) std::memcpy(block, values.data(), values.size() * sizeof(T));
    return block;
}

class MovieBuilder {
public:
    // sceneCount scenes (entry 0 extra), a width x height frame buffer, all zero.
    MovieBuilder(int32_t sceneCount, int32_t width, int32_t height)
    {
        m = New<MovieHandle>();
        m->noBackground = New<BackgroundImage>();
        m->sceneCount = sceneCount;
        m->scenes = static_cast<SceneRecord *>(AllocZeroed(sizeof(SceneRecord) * (size_t)(sceneCount + 1)));
        m->width = width;
        m->height = height;
        m->frameBuffer = static_cast<uint8_t *>(AllocZeroed((size_t)width * (size_t)height));
    }
    ~MovieBuilder() { CloseVideo(m); }
    MovieBuilder(const MovieBuilder &) = delete;
    MovieBuilder &operator=(const MovieBuilder &) = delete;

    SceneRecord &scene(int32_t k) { return m->scenes[k]; }

    // Scene durations in ticks, scene 1 first; duration becomes their sum x 20 ms.
    void frames(std::initializer_list<int32_t> ticks)
    {
        int32_t k = 1;
        m->duration = 0;
        for (int32_t t : ticks) {
            m->scenes[k++].frames = t;
            m->duration += 20u * (uint32_t)t;
        }
    }

    // A background with pixels (row after row); withPixels false = no BODY decoded.
    BackgroundImage *background(uint16_t width, uint16_t height, const std::vector<uint8_t> &pixels,
                                bool withPixels = true)
    {
        auto *image = New<BackgroundImage>();
        image->width = width;
        image->height = height;
        if (withPixels) image->pixels = CopyBlock(pixels);
        ++m->backgroundCount;
        return Append(&m->backgrounds, image);
    }

    // A face's pixel block, owned by the handle's one face set.
    uint8_t *facePixels(uint32_t width, uint32_t height, const std::vector<uint8_t> &pixels)
    {
        if (!m->faceSets) {
            m->faceSets = New<FaceSet>();
            m->faceSetCount = 1;
        }
        auto *image = New<FaceImage>();
        image->width = width;
        image->height = height;
        image->pixels = CopyBlock(pixels);
        ++m->faceSets->imageCount;
        return Append(&m->faceSets->images, image)->pixels;
    }

    // Appends a placement at the tail of the layer's list (drawn after those already there).
    void place(int32_t sceneIndex, int layer, int32_t x, int32_t y, int32_t width, int32_t height, uint8_t *pixels)
    {
        auto *p = Append(&m->scenes[sceneIndex].layers[layer], New<SpritePlacement>());
        p->x = x;
        p->y = y;
        p->width = width;
        p->height = height;
        p->pixels = pixels;
    }

    // An owned palette of count colours (32 for one that playback applies).
    void palette(int32_t sceneIndex, const std::vector<Rgb> &colors)
    {
        SceneRecord &s = m->scenes[sceneIndex];
        s.palette = static_cast<uint8_t *>(AllocZeroed(colors.size() * 3));
        std::memcpy(s.palette, colors.data(), colors.size() * 3);
        s.paletteCount = (int32_t)colors.size();
        s.paletteOwned = 1;
    }

    SoundSample *sound(const std::vector<int8_t> &samples, bool withData = true)
    {
        auto *sample = New<SoundSample>();
        if (withData) sample->data = CopyBlock(samples);
        sample->length = (uint32_t)samples.size();
        ++m->soundCount;
        return Append(&m->soundSamples, sample);
    }

    void startSound(int32_t sceneIndex, int channel, SoundSample *sample, uint16_t rate, uint8_t volume)
    {
        SceneRecord &s = m->scenes[sceneIndex];
        s.sounds[channel] = sample;
        s.rates[channel] = rate;
        s.volumes[channel] = volume;
    }

    MovieHandle *m;
};

static_assert(sizeof(Rgb) == 3);

// A palette of 32 distinct colours, colour i = (base + i, 2 * i, 255 - i).
inline std::vector<Rgb> Palette32(uint8_t base)
{
    std::vector<Rgb> colors;
    for (int i = 0; i < 32; ++i) colors.push_back(Rgb{(uint8_t)(base + i), (uint8_t)(2 * i), (uint8_t)(255 - i)});
    return colors;
}

// The pixel word of a colour, built byte by byte: 0, red, green, blue in memory order.
inline uint32_t WordOf(Rgb c)
{
    uint8_t bytes[4] = {0, c.r, c.g, c.b};
    uint32_t word;
    std::memcpy(&word, bytes, 4);
    return word;
}

}  // namespace qfplay
