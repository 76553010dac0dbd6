// Background wrap, sprite clipping and order, palette reload and colour cycling, pixel expansion.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/playback/movie_builder.h"

using qfplay::MovieBuilder;
using qfplay::Palette32;
using qfplay::Rgb;
using qfplay::WordOf;

namespace {

// Marker words, so each output word names the colour index it came from.
uint32_t Marker(int index) { return 0x5A000000u + (uint32_t)index; }

void MarkPalette(MovieHandle *m)
{
    for (int i = 0; i < 256; ++i) m->paletteWords[i] = Marker(i);
}

// Decodes at the given time into a buffer between guard words; checks the record.
std::vector<uint32_t> Decode(MovieHandle *m, double time)
{
    size_t n = (size_t)m->width * (size_t)m->height;
    std::vector<uint32_t> buffer(n + 2, 0xEEEEEEEEu);
    void *buffers[1] = {buffer.data() + 1};
    int32_t pitches[1] = {-7};
    VideoFrameRecord record{};
    record.buffers = buffers;
    record.pitches = pitches;
    record.word2 = record.word3 = 9;
    record.unused = 3.0;
    TimingPacket packet{time};
    EXPECT_EQ(DecodeVideoFrame(m, &packet, &record), 0);
    EXPECT_EQ(buffer.front(), 0xEEEEEEEEu);
    EXPECT_EQ(buffer.back(), 0xEEEEEEEEu);
    EXPECT_EQ(pitches[0], m->width * 4);
    EXPECT_EQ(record.time, time);
    EXPECT_EQ(record.word2, 0);
    EXPECT_EQ(record.word3, 0);
    EXPECT_EQ(record.unused, -1.0);
    return std::vector<uint32_t>(buffer.begin() + 1, buffer.end() - 1);
}

// Colour indices of the output, read back through the marker palette.
std::vector<int> Indices(MovieHandle *m, double time = 0.0)
{
    std::vector<int> result;
    for (uint32_t w : Decode(m, time)) result.push_back((int)(w - 0x5A000000u));
    return result;
}

// Background pixel value for (column, row): distinct and never 0.
int Cell(int c, int r) { return 1 + c + 16 * r; }

std::vector<uint8_t> Grid(int w, int h)
{
    std::vector<uint8_t> pixels;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) pixels.push_back((uint8_t)Cell(c, r));
    return pixels;
}

int Mod(int a, int n) { return ((a % n) + n) % n; }

TEST(Background, WrapsByTheRawOffsetReducedModuloTheSize)
{
    // Frame (c, r) shows background (c - shiftX, r - shiftY) mod size. The branch is chosen on the raw
    // offsets: a non-zero scrollX hides scrollY, even when it equals the width.
    const struct {
        int bw, bh;
        int32_t scrollX, scrollY;
        int shiftX, shiftY;
    } cases[] = {
        {10, 2, 3, 0, 3, 0},  {10, 2, 1, 0, 1, 0},   {10, 2, 9, 0, 9, 0},  {3, 5, 0, 2, 0, 2},
        {10, 5, 10, 0, 0, 0}, {10, 5, 0, 5, 0, 0},   {10, 5, 3, 2, 3, 0},  {10, 5, 10, 2, 0, 0},
        {10, 5, 0, 0, 0, 0},  {10, 5, -3, 0, 7, 0},  {10, 5, 13, 0, 3, 0}, {10, 5, -10, 4, 0, 0},
        {10, 5, 0, -1, 0, 4}, {10, 5, 0, 7, 0, 2},   {10, 5, 0, -5, 0, 0},
        {10, 5, 2147483647, 0, 7, 0},       // 2^31 - 1 = 10 x 214748364 + 7
        {10, 5, -2147483647 - 1, 0, 2, 0},  // -2^31 mod 10 = 2
    };
    for (auto w : cases) {
        MovieBuilder b(1, w.bw, w.bh);
        b.scene(1).background = b.background((uint16_t)w.bw, (uint16_t)w.bh, Grid(w.bw, w.bh));
        b.scene(1).scrollX = w.scrollX;
        b.scene(1).scrollY = w.scrollY;
        MarkPalette(b.m);
        std::vector<int> got = Indices(b.m);
        for (int r = 0; r < w.bh; ++r)
            for (int c = 0; c < w.bw; ++c)
                ASSERT_EQ(got[(size_t)(r * w.bw + c)], Cell(Mod(c - w.shiftX, w.bw), Mod(r - w.shiftY, w.bh)))
                    << "scroll " << w.scrollX << "," << w.scrollY << " at " << c << "," << r;
        if (w.scrollX == 3 && w.scrollY == 0) {  // by hand: columns 0..2 show 7..9, 3..9 show 0..6
            EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 10),
                      (std::vector<int>{8, 9, 10, 1, 2, 3, 4, 5, 6, 7}));
        }
    }
}

TEST(Background, OtherSizesUseTheirOwnRowLengthAndStayInsideTheFrame)
{
    // The background is laid with its own row length into the first bw x bh bytes, clipped to the
    // picture; bytes past it keep what they held (9). The frame buffer is exactly w x h bytes, so the
    // sanitizer catches any write past it.
    const struct {
        int w, h, bw, bh, scrollX, scrollY;
    } cases[] = {{4, 3, 2, 2, 0, 0}, {4, 3, 2, 2, 1, 0}, {3, 2, 4, 3, 0, 0},
                 {3, 2, 4, 3, 1, 0}, {3, 2, 4, 3, 0, 1}, {3, 2, 4, 3, 3, 0}};
    for (auto o : cases) {
        MovieBuilder b(1, o.w, o.h);
        b.scene(1).background = b.background((uint16_t)o.bw, (uint16_t)o.bh, Grid(o.bw, o.bh));
        b.scene(1).scrollX = o.scrollX;
        b.scene(1).scrollY = o.scrollY;
        std::memset(b.m->frameBuffer, 9, (size_t)(o.w * o.h));
        MarkPalette(b.m);
        std::vector<int> got = Indices(b.m);
        for (int i = 0; i < o.w * o.h; ++i) {
            int c = i % o.bw, r = i / o.bw;
            EXPECT_EQ(got[(size_t)i], r < o.bh ? Cell(Mod(c - o.scrollX, o.bw), Mod(r - o.scrollY, o.bh)) : 9)
                << o.bw << "x" << o.bh << " in " << o.w << "x" << o.h << " scroll " << o.scrollX << "," << o.scrollY
                << " byte " << i;
        }
    }
}

// Times 0.0, 0.1, 0.2, ... fall in scenes 1, 2, 3, ... of 5 ticks each.
double SceneTime(int s) { return 0.1 * (s - 1) + 0.05; }

TEST(Background, MissingOrEmptyPictures)
{
    MovieBuilder b(5, 3, 2);
    b.frames({5, 5, 5, 5, 5});
    for (uint32_t w : Decode(b.m, 0.0)) EXPECT_EQ(w, 0u);  // no palette yet: all-zero words
    b.scene(2).background = b.m->noBackground;
    b.scene(3).background = b.background(3, 2, {}, false);  // no BODY decoded
    b.scene(4).background = b.background(0, 2, {});         // decoded but empty: copies nothing
    b.scene(5).background = b.background(3, 0, {});
    MarkPalette(b.m);
    for (int s = 1; s <= 5; ++s) {
        std::memset(b.m->frameBuffer, 7, 6);
        EXPECT_EQ(Indices(b.m, SceneTime(s)), std::vector<int>(6, s <= 3 ? 0 : 7)) << "scene " << s;
    }

    // A first background of width 0 makes a 0 x 5 picture: no word is written, the record is filled.
    MovieBuilder empty(1, 0, 5);
    empty.scene(1).background = empty.background(3, 2, Grid(3, 2));
    empty.place(1, 0, 0, 0, 2, 1, empty.facePixels(2, 1, {1, 2}));
    empty.scene(1).cycles[0] = ColorCycle{0, 3, 0, 1};
    EXPECT_TRUE(Decode(empty.m, 0.5).empty());
}

TEST(Sprites, ClippedAtEachEdgeAndWhollyOutside)
{
    // One sprite on a 6 x 4 picture over index 0; sprite pixel (sc, sr) is 10 + sr x width + sc.
    const struct {
        int32_t x, y, w, h;
    } cases[] = {
        {-2, 0, 5, 1}, {4, 2, 5, 1}, {0, -2, 1, 5}, {3, 2, 2, 5}, {-1, -1, 8, 6}, {1, 1, 2, 2},
        {-3, 0, 3, 2}, {0, -2, 3, 2}, {6, 0, 3, 2}, {0, 4, 3, 2}, {-1000, -1000, 3, 2}, {1000, 1000, 3, 2},
    };
    for (auto p : cases) {
        MovieBuilder b(1, 6, 4);
        MarkPalette(b.m);
        std::vector<uint8_t> pixels;
        for (int i = 0; i < p.w * p.h; ++i) pixels.push_back((uint8_t)(10 + i));
        b.place(1, 0, p.x, p.y, p.w, p.h, b.facePixels((uint32_t)p.w, (uint32_t)p.h, pixels));
        b.place(1, 1, 0, 0, 6, 4, nullptr);  // a face that never loaded draws nothing
        std::vector<int> got = Indices(b.m);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 6; ++c) {
                int sc = c - p.x, sr = r - p.y;
                int want = sc >= 0 && sc < p.w && sr >= 0 && sr < p.h ? 10 + sr * p.w + sc : 0;
                ASSERT_EQ(got[(size_t)(r * 6 + c)], want) << "sprite at " << p.x << "," << p.y << ": " << c << "," << r;
            }
    }
}

TEST(Sprites, TransparencyAndOrder)
{
    MovieBuilder b(1, 6, 4);
    MarkPalette(b.m);
    b.scene(1).background = b.background(6, 4, std::vector<uint8_t>(24, 5));
    // Layer 15 drawn first, layer 0 last (on top).
    b.place(1, 15, 0, 0, 2, 1, b.facePixels(2, 1, {40, 41}));
    b.place(1, 0, 1, 0, 2, 1, b.facePixels(2, 1, {50, 51}));
    b.place(1, 7, 0, 0, 3, 1, b.facePixels(3, 1, {60, 61, 62}));
    // Within a layer, the later placement in the list is on top; its 0 shows the one beneath.
    b.place(1, 3, 0, 2, 3, 1, b.facePixels(3, 1, {70, 71, 72}));
    b.place(1, 3, 1, 2, 3, 1, b.facePixels(3, 1, {80, 0, 82}));
    EXPECT_EQ(Indices(b.m), (std::vector<int>{60, 50, 51, 5, 5, 5, 5, 5, 5, 5, 5, 5,  //
                                              70, 80, 72, 82, 5, 5, 5, 5, 5, 5, 5, 5}));
}

// Random pictures, sprites and palettes against a plain model of the rules, into output buffers
// at every word alignment: covers the vector forms of sprite rows and of the palette expansion.
TEST(Composition, RandomScenesMatchThePlainRules)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 120; ++round) {
        int w = 1 + (int)(rng() % 90), h = 1 + (int)(rng() % 12);
        MovieBuilder b(1, w, h);
        std::vector<uint8_t> back((size_t)(w * h)), expected;
        for (auto &v : back) v = (uint8_t)rng();
        b.scene(1).background = b.background((uint16_t)w, (uint16_t)h, back);
        expected = back;
        for (int i = 0; i < 256; ++i) b.m->paletteWords[i] = (uint32_t)rng();
        for (int layer = 1; layer >= 0; --layer) {  // layer 1 first, layer 0 on top
            int sw = 1 + (int)(rng() % 70), sh = 1 + (int)(rng() % 5), x = (int)(rng() % 100) - 30, y = (int)(rng() % 14) - 3;
            std::vector<uint8_t> face((size_t)(sw * sh));
            for (auto &v : face) v = rng() % 3 ? (uint8_t)rng() : 0;
            b.place(1, layer, x, y, sw, sh, b.facePixels((uint32_t)sw, (uint32_t)sh, face));
            for (int r = 0; r < sh; ++r)
                for (int c = 0; c < sw; ++c)
                    if (face[(size_t)(r * sw + c)] && x + c >= 0 && x + c < w && y + r >= 0 && y + r < h)
                        expected[(size_t)((y + r) * w + x + c)] = face[(size_t)(r * sw + c)];
        }
        size_t offset = rng() % 16, n = (size_t)(w * h);
        std::vector<uint32_t> buffer(n + 32, 0xEEEEEEEEu);
        void *buffers[1] = {buffer.data() + offset};
        int32_t pitches[1] = {0};
        VideoFrameRecord record{buffers, pitches, 0, 0, 0.0, 0.0};
        TimingPacket packet{0.0};
        DecodeVideoFrame(b.m, &packet, &record);
        for (size_t i = 0; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], i >= offset && i < offset + n ? b.m->paletteWords[expected[i - offset]] : 0xEEEEEEEEu)
                << w << "x" << h << " word " << i << " offset " << offset;
    }
}

// Scenes of 1 tick each (20 ms) over a 4 x 1 background of indices 2..5; In(s) lies in scene s.
struct Cycling : ::testing::Test {
    MovieBuilder b{6, 4, 1};
    void SetUp() override
    {
        b.frames({1, 1, 1, 1, 1, 1});
        BackgroundImage *image = b.background(4, 1, {2, 3, 4, 5});
        for (int s = 1; s <= 6; ++s) b.scene(s).background = image;
        MarkPalette(b.m);
    }
    static double In(int s) { return 0.02 * (s - 1) + 0.001; }
    void Set(int s, int slot, int32_t low, int32_t high, int32_t direction, int32_t command)
    {
        b.scene(s).cycles[slot] = ColorCycle{low, high, direction, command};
    }
    using V = std::vector<int>;
};

TEST_F(Cycling, DirectionsOneStepPerCallEvenForTheSamePacket)
{
    Set(1, 0, 2, 5, 0, 1);
    EXPECT_EQ(Indices(b.m, In(1)), (V{5, 2, 3, 4}));  // A B C D -> D A B C
    EXPECT_EQ(Indices(b.m, In(1)), (V{4, 5, 2, 3}));
    MarkPalette(b.m);
    Set(1, 0, 2, 5, -1, 1);
    EXPECT_EQ(Indices(b.m, In(1)), (V{3, 4, 5, 2}));  // B C D A
    EXPECT_EQ(b.m->paletteWords[1], Marker(1));
    EXPECT_EQ(b.m->paletteWords[6], Marker(6));
    for (int i = 0; i < 3; ++i) Indices(b.m, In(1));  // four steps of four words bring it back
    for (int i = 0; i < 256; ++i) EXPECT_EQ(b.m->paletteWords[i], Marker(i));
}

TEST_F(Cycling, StartLeaveStopAcrossScenes)
{
    Set(1, 1, 2, 5, 0, 1);  // start; scenes 2 and 5 carry command 0: leave
    Set(3, 1, 0, 0, 0, 7);  // any other command leaves the slot running
    Set(4, 1, 9, 9, 9, 2);  // stop: no step in the stopping call
    const V want[5] = {{5, 2, 3, 4}, {4, 5, 2, 3}, {3, 4, 5, 2}, {3, 4, 5, 2}, {3, 4, 5, 2}};
    for (int s = 1; s <= 5; ++s) EXPECT_EQ(Indices(b.m, In(s)), want[s - 1]) << "scene " << s;
    EXPECT_EQ(b.m->activeCycles[1], nullptr);
}

TEST_F(Cycling, LaterStartRepointsTheSlotAndSlotsAreIndependent)
{
    Set(1, 0, 2, 3, 0, 1);
    Set(1, 2, 4, 5, 0, 1);
    Set(2, 0, 3, 5, 1, 1);  // slot 0 now runs scene 2's range
    Set(3, 2, 0, 0, 0, 2);  // slot 2 stops; slot 0 keeps going
    EXPECT_EQ(Indices(b.m, In(1)), (V{3, 2, 5, 4}));
    // 3 2 5 4: range 3..5 towards lower makes 2 5 4 into 5 4 2; then slot 2 swaps 4..5.
    EXPECT_EQ(Indices(b.m, In(2)), (V{3, 5, 2, 4}));
    EXPECT_EQ(b.m->activeCycles[0], &b.scene(2).cycles[0]);
    EXPECT_EQ(Indices(b.m, In(3)), (V{3, 2, 4, 5}));
    EXPECT_EQ(b.m->activeCycles[2], nullptr);
}

TEST_F(Cycling, EmptyAndOutOfRangeRangesNeverRotate)
{
    Set(1, 0, 3, 3, 0, 1);
    Set(1, 1, 5, 2, 0, 1);
    Set(1, 2, 250, 256, 0, 1);
    Set(1, 3, 300, 310, 1, 1);
    for (int i = 0; i < 3; ++i) Indices(b.m, In(1));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(b.m->paletteWords[i], Marker(i)) << i;
    Set(2, 2, 254, 255, 0, 1);  // the last word is still inside
    Indices(b.m, In(2));
    EXPECT_EQ(b.m->paletteWords[254], Marker(255));
    EXPECT_EQ(b.m->paletteWords[255], Marker(254));
}

TEST_F(Cycling, ThirtyTwoColourSceneShowsItsPaletteRotatedOnce)
{
    std::vector<Rgb> colors = Palette32(1);
    b.palette(1, colors);
    Set(1, 0, 2, 5, 0, 1);
    Set(1, 1, 40, 42, 0, 1);  // above word 31: no reload, so it accumulates
    const std::vector<uint32_t> once = {WordOf(colors[5]), WordOf(colors[2]), WordOf(colors[3]), WordOf(colors[4])};
    for (int call = 1; call <= 3; ++call) {
        EXPECT_EQ(Decode(b.m, In(1)), once) << call;
        EXPECT_EQ(b.m->paletteWords[0], WordOf(colors[0]));
        EXPECT_EQ(b.m->paletteWords[31], WordOf(colors[31]));
    }
    EXPECT_EQ(b.m->paletteWords[40], Marker(40));  // three steps of three words
    EXPECT_EQ(b.m->paletteWords[32], Marker(32));
    // A 16-colour palette is not applied: scene 2 shows the words rotated once more.
    b.palette(2, std::vector<Rgb>(16, Rgb{9, 9, 9}));
    EXPECT_EQ(Decode(b.m, In(2))[0], WordOf(colors[4]));
}

}  // namespace
