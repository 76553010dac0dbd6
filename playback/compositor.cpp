// DecodeVideoFrame: background, sprite layers, palette and colour cycling into pixel words.
#include <string.h>

#include "playback/playback.h"

static size_t PictureBytes(const MovieHandle *movie) { return (size_t)movie->width * (size_t)movie->height; }

// Non-negative remainder, so any stored offset lands inside the background.
static size_t WrapOffset(int32_t offset, size_t size)
{
    int64_t r = (int64_t)offset % (int64_t)size;
    return (size_t)(r < 0 ? r + (int64_t)size : r);
}

// Copies count bytes to frame position at, never past the frame buffer's end.
static void CopyClipped(uint8_t *frame, size_t frameBytes, size_t at, const uint8_t *source, size_t count)
{
    if (at >= frameBytes) return;
    if (count > frameBytes - at) count = frameBytes - at;
    memcpy(frame + at, source, count);
}

static void LayBackgroundHorizontal(uint8_t *frame, size_t frameBytes, const uint8_t *pixels, size_t bw, size_t bh,
                                    size_t sx)
{
    // Frame column c shows background column (c - sx) mod bw.
    for (size_t r = 0; r < bh; ++r) {
        const uint8_t *row = pixels + r * bw;
        CopyClipped(frame, frameBytes, r * bw + sx, row, bw - sx);
        CopyClipped(frame, frameBytes, r * bw, row + (bw - sx), sx);
    }
}

static void LayBackgroundVertical(uint8_t *frame, size_t frameBytes, const uint8_t *pixels, size_t bw, size_t bh,
                                  size_t sy)
{
    // Frame row r shows background row (r - sy) mod bh.
    CopyClipped(frame, frameBytes, sy * bw, pixels, (bh - sy) * bw);
    CopyClipped(frame, frameBytes, 0, pixels + (bh - sy) * bw, sy * bw);
}

static void LayBackground(MovieHandle *movie, const SceneRecord *scene)
{
    const BackgroundImage *image = scene->background;
    size_t frameBytes = PictureBytes(movie);
    if (!image || image == movie->noBackground || !image->pixels) {
        memset(movie->frameBuffer, 0, frameBytes);
        return;
    }
    size_t bw = image->width;
    size_t bh = image->height;
    if (bw == 0 || bh == 0) return;  // an empty picture covers nothing
    if (scene->scrollX != 0)
        LayBackgroundHorizontal(movie->frameBuffer, frameBytes, image->pixels, bw, bh, WrapOffset(scene->scrollX, bw));
    else if (scene->scrollY != 0)
        LayBackgroundVertical(movie->frameBuffer, frameBytes, image->pixels, bw, bh, WrapOffset(scene->scrollY, bh));
    else
        CopyClipped(movie->frameBuffer, frameBytes, 0, image->pixels, bw * bh);
}

static void DrawPlacement(MovieHandle *movie, const SpritePlacement *placement)
{
    if (!placement->pixels) return;  // its face never loaded
    int64_t x = placement->x, y = placement->y;
    int64_t cw = placement->width, ch = placement->height;
    int64_t skipX = 0, skipY = 0;
    if (x < 0) {
        skipX = -x;
        cw += x;
        x = 0;
    }
    if (y < 0) {
        skipY = -y;
        ch += y;
        y = 0;
    }
    if (x + cw > movie->width) cw = movie->width - x;
    if (y + ch > movie->height) ch = movie->height - y;
    if (cw <= 0 || ch <= 0) return;
    for (int64_t r = 0; r < ch; ++r) {
        const uint8_t *source = placement->pixels + (skipY + r) * placement->width + skipX;
        uint8_t *target = movie->frameBuffer + (y + r) * movie->width + x;
        for (int64_t c = 0; c < cw; ++c)
            if (source[c] != 0) target[c] = source[c];  // index 0 is transparent
    }
}

static void DrawSpriteLayers(MovieHandle *movie, const SceneRecord *scene)
{
    // Layer 15 first, so layer 0 ends on top.
    for (int layer = LayerCount - 1; layer >= 0; --layer)
        for (const SpritePlacement *p = scene->layers[layer]; p; p = p->next) DrawPlacement(movie, p);
}

static void RotateRange(uint32_t *words, const ColorCycle *range)
{
    if (range->low >= range->high) return;
    if (range->low < 0 || range->high >= PaletteWordCount) return;  // reaches past the palette: left alone
    int32_t low = range->low, high = range->high;
    if (range->direction == 0) {
        uint32_t top = words[high];
        memmove(words + low + 1, words + low, (size_t)(high - low) * sizeof *words);
        words[low] = top;
    } else {
        uint32_t bottom = words[low];
        memmove(words + low, words + low + 1, (size_t)(high - low) * sizeof *words);
        words[high] = bottom;
    }
}

static void StepColorCycles(MovieHandle *movie, SceneRecord *scene)
{
    for (int i = 0; i < CycleCount; ++i) {
        ColorCycle *cycle = &scene->cycles[i];
        if (cycle->command == 1) movie->activeCycles[i] = cycle;
        if (cycle->command == 2) {
            movie->activeCycles[i] = 0;
            continue;
        }
        if (movie->activeCycles[i]) RotateRange(movie->paletteWords, movie->activeCycles[i]);
    }
}

static void ExpandPixels(const MovieHandle *movie, uint32_t *output)
{
    size_t count = PictureBytes(movie);
    for (size_t i = 0; i < count; ++i) output[i] = movie->paletteWords[movie->frameBuffer[i]];
}

int32_t DecodeVideoFrame(MovieHandle *movie, TimingPacket *payload, VideoFrameRecord *frame)
{
    double time = payload->time;
    SceneRecord *scene = &movie->scenes[FindScene(movie, SecondsToMs(time))];
    frame->pitches[0] = movie->width * 4;
    frame->time = time;
    frame->word2 = 0;
    frame->word3 = 0;
    frame->unused = -1.0;
    LayBackground(movie, scene);
    DrawSpriteLayers(movie, scene);
    if (scene->palette && scene->paletteCount == ScenePaletteColors) LoadScenePalette(movie, scene);
    StepColorCycles(movie, scene);
    if ((int64_t)movie->width * movie->height >= 1) ExpandPixels(movie, (uint32_t *)frame->buffers[0]);
    return 0;
}
