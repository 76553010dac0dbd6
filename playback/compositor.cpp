// DecodeVideoFrame: background, sprite layers, palette and colour cycling into pixel words.
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QF_EXPAND_AVX512 1
#endif

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
    else CopyClipped(movie->frameBuffer, frameBytes, 0, image->pixels, bw * bh);
}

// Index 0 is transparent. Written as a select over whole rows (a sprite never overlaps the frame
// buffer) so the compiler turns it into vector blends.
static void DrawSpriteRow(uint8_t *__restrict target, const uint8_t *__restrict source, size_t count)
{
    for (size_t c = 0; c < count; ++c) target[c] = source[c] != 0 ? source[c] : target[c];
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
    for (int64_t r = 0; r < ch; ++r)
        DrawSpriteRow(movie->frameBuffer + (y + r) * movie->width + x,
                      placement->pixels + (skipY + r) * placement->width + skipX, (size_t)cw);
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

static void ExpandWords(const uint32_t *palette, const uint8_t *indices, uint32_t *output, size_t count)
{
    for (size_t i = 0; i < count; ++i) output[i] = palette[indices[i]];
}

#if defined(__SSE2__)
// Four looked-up words per aligned store: one store per word is what limits the plain loop.
static void ExpandSse2(const uint32_t *palette, const uint8_t *indices, uint32_t *output, size_t count)
{
    size_t i = (size_t)((16 - ((uintptr_t)output & 15)) & 15) / 4;
    if (i > count || ((uintptr_t)output & 3)) i = count;  // words not on word boundaries: plain loop
    ExpandWords(palette, indices, output, i);
    for (; i + 4 <= count; i += 4) {
        __m128i words = _mm_setr_epi32((int)palette[indices[i]], (int)palette[indices[i + 1]],
                                       (int)palette[indices[i + 2]], (int)palette[indices[i + 3]]);
        _mm_store_si128((__m128i *)(output + i), words);
    }
    ExpandWords(palette, indices + i, output + i, count - i);
}
#endif

#if defined(QF_EXPAND_AVX512)
// GCC 12's lane shuffle starts from an undefined register and warns about it.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// 64 pixels per step with no memory lookups: the palette is split into four 256-byte tables (one
// per byte of the word), each held in four registers and read with byte permutes; the four
// results are interleaved back into words. Stores are aligned to 64 bytes.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) static void
ExpandAvx512(const uint32_t *palette, const uint8_t *indices, uint32_t *output, size_t count)
{
    size_t head = (size_t)((64 - ((uintptr_t)output & 63)) & 63) / 4;
    if (head > count) head = count;
    ExpandWords(palette, indices, output, head);
    alignas(64) uint8_t bytes[4][256];
    for (int entry = 0; entry < 256; ++entry) {
        uint8_t word[4];
        memcpy(word, &palette[entry], 4);
        for (int k = 0; k < 4; ++k) bytes[k][entry] = word[k];
    }
    __m512i table[4][4];
    for (int k = 0; k < 4; ++k)
        for (int q = 0; q < 4; ++q) table[k][q] = _mm512_load_si512(bytes[k] + 64 * q);
    size_t i = head;
    for (; i + 64 <= count; i += 64) {
        __m512i index = _mm512_loadu_si512(indices + i);
        __mmask64 upper = _mm512_movepi8_mask(index);  // entries 128..255
        __m512i part[4];
        for (int k = 0; k < 4; ++k)
            part[k] = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(table[k][0], index, table[k][1]),
                                             _mm512_permutex2var_epi8(table[k][2], index, table[k][3]));
        __m512i low01 = _mm512_unpacklo_epi8(part[0], part[1]), high01 = _mm512_unpackhi_epi8(part[0], part[1]);
        __m512i low23 = _mm512_unpacklo_epi8(part[2], part[3]), high23 = _mm512_unpackhi_epi8(part[2], part[3]);
        // Each 128-bit lane L of w[j] holds pixels 16L + 4j .. 16L + 4j + 3.
        __m512i w0 = _mm512_unpacklo_epi16(low01, low23), w1 = _mm512_unpackhi_epi16(low01, low23);
        __m512i w2 = _mm512_unpacklo_epi16(high01, high23), w3 = _mm512_unpackhi_epi16(high01, high23);
        __m512i a01 = _mm512_shuffle_i32x4(w0, w1, 0x44), a23 = _mm512_shuffle_i32x4(w2, w3, 0x44);
        __m512i b01 = _mm512_shuffle_i32x4(w0, w1, 0xEE), b23 = _mm512_shuffle_i32x4(w2, w3, 0xEE);
        _mm512_store_si512(output + i, _mm512_shuffle_i32x4(a01, a23, 0x88));
        _mm512_store_si512(output + i + 16, _mm512_shuffle_i32x4(a01, a23, 0xDD));
        _mm512_store_si512(output + i + 32, _mm512_shuffle_i32x4(b01, b23, 0x88));
        _mm512_store_si512(output + i + 48, _mm512_shuffle_i32x4(b01, b23, 0xDD));
    }
    ExpandWords(palette, indices + i, output + i, count - i);
}
#pragma GCC diagnostic pop
#endif

static void ExpandPixels(const MovieHandle *movie, uint32_t *output)
{
    size_t count = PictureBytes(movie);
#if defined(QF_EXPAND_AVX512)
    // The word-aligned case only: the aligned stores need it, and every host hands words.
    if (count >= 256 && ((uintptr_t)output & 3) == 0 && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx512bw"))
        return ExpandAvx512(movie->paletteWords, movie->frameBuffer, output, count);
#endif
#if defined(__SSE2__)
    ExpandSse2(movie->paletteWords, movie->frameBuffer, output, count);
#else
    ExpandWords(movie->paletteWords, movie->frameBuffer, output, count);
#endif
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
