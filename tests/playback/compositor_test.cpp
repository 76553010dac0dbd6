// Background wrap, sprite clipping and order, palette reload and colour cycling, pixel expansion.
#include <gtest/gtest.h>

#include <cstring>
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

// Decodes at the given time; the output buffer is surrounded by guard words.
std::vector<uint32_t> Decode(MovieHandle *m, double time, VideoFrameRecord *out = nullptr)
{
    size_t n = (size_t)m->width * (size_t)m->height;
    std::vector<uint32_t> buffer(n + 2, 0xEEEEEEEEu);
    void *buffers[1] = {buffer.data() + 1};
    int32_t pitches[1] = {-7};
    VideoFrameRecord record{};
    record.buffers = buffers;
    record.pitches = pitches;
    record.word2 = 9;
    record.word3 = 9;
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
    if (out) *out = record;
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
uint8_t Cell(int c, int r) { return (uint8_t)(1 + c + 16 * r); }

std::vector<uint8_t> Grid(int w, int h)
{
    std::vector<uint8_t> pixels;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) pixels.push_back(Cell(c, r));
    return pixels;
}

int Mod(int a, int n) { return ((a % n) + n) % n; }

// Picture of the background's size; checks frame (c, r) against background (c - sx, r - sy) mod size.
void ExpectWrap(int bw, int bh, int32_t scrollX, int32_t scrollY, int shiftX, int shiftY)
{
    MovieBuilder b(1, bw, bh);
    b.scene(1).background = b.background((uint16_t)bw, (uint16_t)bh, Grid(bw, bh));
    b.scene(1).scrollX = scrollX;
    b.scene(1).scrollY = scrollY;
    MarkPalette(b.m);
    std::vector<int> got = Indices(b.m);
    for (int r = 0; r < bh; ++r)
        for (int c = 0; c < bw; ++c)
            EXPECT_EQ(got[(size_t)(r * bw + c)], Cell(Mod(c - shiftX, bw), Mod(r - shiftY, bh)))
                << "scroll " << scrollX << "," << scrollY << " at " << c << "," << r;
}

TEST(Background, HorizontalWrap)
{
    // scrollX 3 on width 10: columns 3..9 show 0..6 and columns 0..2 show 7..9.
    MovieBuilder b(1, 10, 2);
    b.scene(1).background = b.background(10, 2, Grid(10, 2));
    b.scene(1).scrollX = 3;
    MarkPalette(b.m);
    std::vector<int> got = Indices(b.m);
    const int row0[10] = {8, 9, 10, 1, 2, 3, 4, 5, 6, 7};
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(got[(size_t)c], row0[c]) << c;
        EXPECT_EQ(got[(size_t)(10 + c)], row0[c] + 16) << c;
    }
    ExpectWrap(10, 2, 1, 0, 1, 0);
    ExpectWrap(10, 2, 9, 0, 9, 0);
}

TEST(Background, VerticalWrap)
{
    // scrollY 2 on height 5: rows 2..4 show 0..2 and rows 0..1 show 3..4.
    MovieBuilder b(1, 3, 5);
    b.scene(1).background = b.background(3, 5, Grid(3, 5));
    b.scene(1).scrollY = 2;
    MarkPalette(b.m);
    std::vector<int> got = Indices(b.m);
    const int rows[5] = {3, 4, 0, 1, 2};
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(got[(size_t)(r * 3 + c)], Cell(c, rows[r])) << c << "," << r;
}

TEST(Background, OffsetsEqualToTheSizeAndBothSet)
{
    ExpectWrap(10, 5, 10, 0, 0, 0);  // equal to the width: unscrolled
    ExpectWrap(10, 5, 0, 5, 0, 0);   // equal to the height: unscrolled
    ExpectWrap(10, 5, 3, 2, 3, 0);   // both set: only the horizontal wrap
    // The branch is chosen on the raw offset: a width-sized scrollX still hides scrollY.
    ExpectWrap(10, 5, 10, 2, 0, 0);
    ExpectWrap(10, 5, 0, 0, 0, 0);
}

TEST(Background, OutOfRangeOffsetsWrapInsideTheImage)
{
    ExpectWrap(10, 5, -3, 0, 7, 0);
    ExpectWrap(10, 5, 13, 0, 3, 0);
    ExpectWrap(10, 5, -10, 4, 0, 0);
    ExpectWrap(10, 5, 2147483647, 0, 7, 0);    // 2^31 - 1 = 10 x 214748364 + 7
    ExpectWrap(10, 5, -2147483647 - 1, 0, 2, 0);  // -2^31 mod 10 = 2
    ExpectWrap(10, 5, 0, -1, 0, 4);
    ExpectWrap(10, 5, 0, 7, 0, 2);
    ExpectWrap(10, 5, 0, -5, 0, 0);
}

TEST(Background, SmallerThanThePictureKeepsTheBytesBeyond)
{
    // Picture 4 x 3 = 12 bytes; a 2 x 2 background fills the first 4 bytes with row length 2.
    MovieBuilder b(2, 4, 3);
    b.frames({5, 5});
    BackgroundImage *small = b.background(2, 2, {1, 2, 3, 4});
    b.scene(1).background = small;
    b.scene(2).background = small;
    b.scene(2).scrollX = 1;
    std::memset(b.m->frameBuffer, 9, 12);
    MarkPalette(b.m);
    std::vector<int> got = Indices(b.m, 0.0);
    const int want[12] = {1, 2, 3, 4, 9, 9, 9, 9, 9, 9, 9, 9};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(got[(size_t)i], want[i]) << i;
    // Scene 2 wraps by one column within its own rows; the rest still holds 9.
    got = Indices(b.m, 0.15);
    const int wrapped[12] = {2, 1, 4, 3, 9, 9, 9, 9, 9, 9, 9, 9};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(got[(size_t)i], wrapped[i]) << i;
}

TEST(Background, LargerThanThePictureStopsAtItsEnd)
{
    // Picture 3 x 2 = 6 bytes; background 4 x 3 laid with row length 4, clipped at byte 6.
    // The frame buffer is exactly 6 bytes, so the sanitizer catches any write past it.
    MovieBuilder b(4, 3, 2);
    b.frames({5, 5, 5, 5});
    BackgroundImage *big = b.background(4, 3, Grid(4, 3));
    for (int s = 1; s <= 4; ++s) b.scene(s).background = big;
    b.scene(2).scrollX = 1;
    b.scene(3).scrollY = 1;
    b.scene(4).scrollX = 3;
    MarkPalette(b.m);
    std::vector<int> got = Indices(b.m, 0.0);
    const int plain[6] = {Cell(0, 0), Cell(1, 0), Cell(2, 0), Cell(3, 0), Cell(0, 1), Cell(1, 1)};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[(size_t)i], plain[i]) << i;
    got = Indices(b.m, 0.15);
    const int right[6] = {Cell(3, 0), Cell(0, 0), Cell(1, 0), Cell(2, 0), Cell(3, 1), Cell(0, 1)};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[(size_t)i], right[i]) << i;
    got = Indices(b.m, 0.25);  // frame row 0 = background row 2, row 1 = row 0
    const int down[6] = {Cell(0, 2), Cell(1, 2), Cell(2, 2), Cell(3, 2), Cell(0, 0), Cell(1, 0)};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[(size_t)i], down[i]) << i;
    got = Indices(b.m, 0.35);
    const int three[6] = {Cell(1, 0), Cell(2, 0), Cell(3, 0), Cell(0, 0), Cell(1, 1), Cell(2, 1)};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[(size_t)i], three[i]) << i;
}

TEST(Background, MissingPicturesDrawIndexZero)
{
    MovieBuilder b(5, 3, 2);
    b.frames({5, 5, 5, 5, 5});
    b.scene(2).background = b.m->noBackground;
    b.scene(3).background = b.background(3, 2, {}, false);  // no BODY decoded
    b.scene(4).background = b.background(0, 2, {});         // empty picture: copies nothing
    b.scene(5).background = b.background(3, 0, {});
    MarkPalette(b.m);
    for (int s = 1; s <= 3; ++s) {
        std::memset(b.m->frameBuffer, 7, 6);
        for (int v : Indices(b.m, 0.1 * (s - 1) + 0.05)) EXPECT_EQ(v, 0) << "scene " << s;
    }
    for (int s = 4; s <= 5; ++s) {
        std::memset(b.m->frameBuffer, 7, 6);
        for (int v : Indices(b.m, 0.1 * (s - 1) + 0.05)) EXPECT_EQ(v, 7) << "scene " << s;
    }
}

TEST(Background, EmptyPictureWritesNoWordsButFillsTheRecord)
{
    // A first background of width 0 makes a 0 x 5 picture; nothing may be written anywhere.
    MovieBuilder b(1, 0, 5);
    b.scene(1).background = b.background(3, 2, Grid(3, 2));
    b.place(1, 0, 0, 0, 2, 1, b.facePixels(2, 1, {1, 2}));
    b.scene(1).cycles[0] = ColorCycle{0, 3, 0, 1};
    EXPECT_TRUE(Decode(b.m, 0.5).empty());
}

TEST(Background, NoPaletteYetGivesZeroWords)
{
    MovieBuilder b(1, 4, 2);
    for (uint32_t w : Decode(b.m, 0.0)) EXPECT_EQ(w, 0u);
}

// Picture 6 x 4 over index 0; sprite pixels are 10 + their position within the sprite.
struct Sprites : ::testing::Test {
    MovieBuilder b{1, 6, 4};
    void SetUp() override { MarkPalette(b.m); }
    uint8_t *Face(int w, int h)
    {
        std::vector<uint8_t> pixels;
        for (int i = 0; i < w * h; ++i) pixels.push_back((uint8_t)(10 + i));
        return b.facePixels((uint32_t)w, (uint32_t)h, pixels);
    }
    int At(const std::vector<int> &got, int c, int r) { return got[(size_t)(r * 6 + c)]; }
    int CountNonZero(const std::vector<int> &got)
    {
        int n = 0;
        for (int v : got) n += v != 0;
        return n;
    }
};

TEST_F(Sprites, ClippedAtTheLeftAndRight)
{
    b.place(1, 0, -2, 0, 5, 1, Face(5, 1));  // columns 2..4 at 0..2
    b.place(1, 0, 4, 2, 5, 1, Face(5, 1));   // width - 2: columns 0..1 at 4..5
    std::vector<int> got = Indices(b.m);
    EXPECT_EQ(At(got, 0, 0), 12);
    EXPECT_EQ(At(got, 1, 0), 13);
    EXPECT_EQ(At(got, 2, 0), 14);
    EXPECT_EQ(At(got, 4, 2), 10);
    EXPECT_EQ(At(got, 5, 2), 11);
    EXPECT_EQ(CountNonZero(got), 5);
}

TEST_F(Sprites, ClippedAtTheTopAndBottom)
{
    b.place(1, 0, 0, -2, 1, 5, Face(1, 5));  // rows 2..4 at 0..2
    b.place(1, 0, 3, 2, 2, 5, Face(2, 5));   // height - 2: rows 0..1 at 2..3
    std::vector<int> got = Indices(b.m);
    EXPECT_EQ(At(got, 0, 0), 12);
    EXPECT_EQ(At(got, 0, 1), 13);
    EXPECT_EQ(At(got, 0, 2), 14);
    EXPECT_EQ(At(got, 3, 2), 10);
    EXPECT_EQ(At(got, 4, 2), 11);
    EXPECT_EQ(At(got, 3, 3), 12);
    EXPECT_EQ(At(got, 4, 3), 13);
    EXPECT_EQ(CountNonZero(got), 7);
}

TEST_F(Sprites, ClippedOnAllSidesAtOnce)
{
    b.place(1, 0, -1, -1, 8, 6, Face(8, 6));  // covers everything; frame (c, r) = sprite (c + 1, r + 1)
    std::vector<int> got = Indices(b.m);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c) EXPECT_EQ(At(got, c, r), 10 + (r + 1) * 8 + (c + 1));
}

TEST_F(Sprites, WhollyOutsideDrawsNothing)
{
    b.place(1, 0, -3, 0, 3, 2, Face(3, 2));
    b.place(1, 1, 0, -2, 3, 2, Face(3, 2));
    b.place(1, 2, 6, 0, 3, 2, Face(3, 2));
    b.place(1, 3, 0, 4, 3, 2, Face(3, 2));
    b.place(1, 4, -1000, -1000, 3, 2, Face(3, 2));
    b.place(1, 5, 1000, 1000, 3, 2, Face(3, 2));
    b.place(1, 6, 1, 1, 2, 2, nullptr);  // a face that never loaded
    EXPECT_EQ(CountNonZero(Indices(b.m)), 0);
}

TEST_F(Sprites, TransparencyAndOrder)
{
    b.scene(1).background = b.background(6, 4, std::vector<uint8_t>(24, 5));
    // Layer 15 drawn first, layer 0 last (on top).
    b.place(1, 15, 0, 0, 2, 1, b.facePixels(2, 1, {40, 41}));
    b.place(1, 0, 1, 0, 2, 1, b.facePixels(2, 1, {50, 51}));
    b.place(1, 7, 0, 0, 3, 1, b.facePixels(3, 1, {60, 61, 62}));
    // Within a layer, the later placement in the list is on top.
    b.place(1, 3, 0, 2, 3, 1, b.facePixels(3, 1, {70, 71, 72}));
    b.place(1, 3, 1, 2, 3, 1, b.facePixels(3, 1, {80, 0, 82}));  // its 0 shows the one beneath
    std::vector<int> got = Indices(b.m);
    EXPECT_EQ(At(got, 0, 0), 60);
    EXPECT_EQ(At(got, 1, 0), 50);
    EXPECT_EQ(At(got, 2, 0), 51);
    EXPECT_EQ(At(got, 3, 0), 5);
    EXPECT_EQ(At(got, 0, 2), 70);
    EXPECT_EQ(At(got, 1, 2), 80);
    EXPECT_EQ(At(got, 2, 2), 72);  // transparent pixel of the upper sprite
    EXPECT_EQ(At(got, 3, 2), 82);
    EXPECT_EQ(At(got, 0, 1), 5);
}

// Scenes of 1 tick each (20 ms); decode times 0.0, 0.02, 0.04, ... land in scenes 1, 2, 3, ...
struct Cycling : ::testing::Test {
    MovieBuilder b{6, 4, 1};
    void SetUp() override
    {
        b.frames({1, 1, 1, 1, 1, 1});
        BackgroundImage *image = b.background(4, 1, {2, 3, 4, 5});
        for (int s = 1; s <= 6; ++s) b.scene(s).background = image;
        MarkPalette(b.m);
    }
    double In(int s) { return 0.02 * (s - 1) + 0.001; }
    void SetCycle(int s, int slot, int32_t low, int32_t high, int32_t direction, int32_t command)
    {
        b.scene(s).cycles[slot] = ColorCycle{low, high, direction, command};
    }
};

TEST_F(Cycling, DirectionsRotateOneStep)
{
    SetCycle(1, 0, 2, 5, 0, 1);
    std::vector<int> got = Indices(b.m, In(1));  // words 2..5 were A B C D, now D A B C
    EXPECT_EQ(got, (std::vector<int>{5, 2, 3, 4}));
    MarkPalette(b.m);
    b.m->activeCycles[0] = nullptr;
    SetCycle(1, 0, 2, 5, -1, 1);
    got = Indices(b.m, In(1));  // B C D A
    EXPECT_EQ(got, (std::vector<int>{3, 4, 5, 2}));
    EXPECT_EQ(b.m->paletteWords[1], Marker(1));
    EXPECT_EQ(b.m->paletteWords[6], Marker(6));
    // Four steps of a range of four words bring it back.
    for (int i = 0; i < 3; ++i) Indices(b.m, In(1));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(b.m->paletteWords[i], Marker(i));
}

TEST_F(Cycling, StartLeaveStopAcrossScenes)
{
    SetCycle(1, 1, 2, 5, 0, 1);  // start
    SetCycle(3, 1, 0, 0, 0, 7);  // any other command leaves the slot running
    SetCycle(4, 1, 9, 9, 9, 2);  // stop
    // scene 2 and 5 carry command 0: leave.
    std::vector<int> want = {5, 2, 3, 4};
    EXPECT_EQ(Indices(b.m, In(1)), want);
    want = {4, 5, 2, 3};
    EXPECT_EQ(Indices(b.m, In(2)), want);
    want = {3, 4, 5, 2};
    EXPECT_EQ(Indices(b.m, In(3)), want);
    EXPECT_EQ(b.m->activeCycles[1], &b.scene(1).cycles[1]);  // still the range of scene 1
    EXPECT_EQ(Indices(b.m, In(4)), want);  // stopped: no step in the stopping call
    EXPECT_EQ(b.m->activeCycles[1], nullptr);
    EXPECT_EQ(Indices(b.m, In(5)), want);
}

TEST_F(Cycling, LaterStartRepointsTheSlotAndSlotsAreIndependent)
{
    SetCycle(1, 0, 2, 3, 0, 1);
    SetCycle(1, 2, 4, 5, 0, 1);
    SetCycle(2, 0, 3, 5, 1, 1);  // slot 0 now runs scene 2's range
    SetCycle(3, 2, 0, 0, 0, 2);  // slot 2 stops; slot 0 keeps going
    EXPECT_EQ(Indices(b.m, In(1)), (std::vector<int>{3, 2, 5, 4}));
    // words 2..5 = 3 2 5 4 -> range 3..5 towards lower: 2 5 4 becomes 5 4 2; then slot 2 swaps 4..5.
    EXPECT_EQ(Indices(b.m, In(2)), (std::vector<int>{3, 5, 2, 4}));
    EXPECT_EQ(b.m->activeCycles[0], &b.scene(2).cycles[0]);
    EXPECT_EQ(Indices(b.m, In(3)), (std::vector<int>{3, 2, 4, 5}));
    EXPECT_EQ(b.m->activeCycles[2], nullptr);
}

TEST_F(Cycling, EmptyAndOutOfRangeRangesNeverRotate)
{
    SetCycle(1, 0, 3, 3, 0, 1);
    SetCycle(1, 1, 5, 2, 0, 1);
    SetCycle(1, 2, 250, 256, 0, 1);
    SetCycle(1, 3, 300, 310, 1, 1);
    for (int i = 0; i < 3; ++i) Indices(b.m, In(1));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(b.m->paletteWords[i], Marker(i)) << i;
    // The last word is still inside.
    SetCycle(2, 2, 254, 255, 0, 1);
    Indices(b.m, In(2));
    EXPECT_EQ(b.m->paletteWords[254], Marker(255));
    EXPECT_EQ(b.m->paletteWords[255], Marker(254));
}

TEST_F(Cycling, SamePacketTwiceAdvancesTwice)
{
    SetCycle(1, 0, 2, 5, 0, 1);
    Indices(b.m, In(1));
    EXPECT_EQ(Indices(b.m, In(1)), (std::vector<int>{4, 5, 2, 3}));
}

TEST_F(Cycling, ThirtyTwoColourSceneShowsItsPaletteRotatedOnce)
{
    std::vector<Rgb> colors = Palette32(1);
    b.palette(1, colors);
    SetCycle(1, 0, 2, 5, 0, 1);
    SetCycle(1, 1, 40, 42, 0, 1);  // above word 31: no reload, so it accumulates
    for (int call = 1; call <= 3; ++call) {
        std::vector<uint32_t> words = Decode(b.m, In(1));
        EXPECT_EQ(words[0], WordOf(colors[5])) << call;
        EXPECT_EQ(words[1], WordOf(colors[2])) << call;
        EXPECT_EQ(words[2], WordOf(colors[3])) << call;
        EXPECT_EQ(words[3], WordOf(colors[4])) << call;
        EXPECT_EQ(b.m->paletteWords[0], WordOf(colors[0]));
        EXPECT_EQ(b.m->paletteWords[31], WordOf(colors[31]));
    }
    EXPECT_EQ(b.m->paletteWords[40], Marker(40));  // three steps of three words
    EXPECT_EQ(b.m->paletteWords[32], Marker(32));

    // A 16-colour palette is not applied: scene 2 shows what the words hold.
    b.palette(2, std::vector<Rgb>(16, Rgb{9, 9, 9}));
    std::vector<uint32_t> words = Decode(b.m, In(2));
    EXPECT_EQ(words[0], WordOf(colors[4]));  // rotated once more, no reload
}

}  // namespace
