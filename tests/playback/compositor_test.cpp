// Background wrap, sprite clipping and order, palette reload and colour cycling, pixel expansion.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "tests/playback/written_movie.h"

using qfplay::Asset;
using qfplay::Marks;
using qfplay::MarkWord;
using qfplay::MovieWriter;
using qfplay::Picture;
using qfplay::Played;
using Ranges = std::array<qfauthor::CycleRange, 4>;

namespace {

// Scenes last 6 ticks (the least a movie gives): In(s) lies in scene s.
double In(int s) { return 0.12 * (s - 1) + 0.001; }

// Decodes at the given time into a buffer between guard words; checks the record and that each
// word is the palette word of the index composed under it.
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
    std::vector<uint32_t> words(buffer.begin() + 1, buffer.end() - 1);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(words[i], m->paletteWords[m->frameBuffer[i]]) << "word " << i;
    return words;
}

// The colour indices composed at the given time.
std::vector<int> Composed(MovieHandle *m, double time)
{
    Decode(m, time);
    return std::vector<int>(m->frameBuffer, m->frameBuffer + (size_t)m->width * (size_t)m->height);
}

// Which colour of palette 0 each output word shows.
std::vector<int> Shown(MovieHandle *m, double time)
{
    std::vector<int> result;
    for (uint32_t w : Decode(m, time)) result.push_back(qfplay::MarkIndex(w));
    return result;
}

// Embedded pictures (the first sets the frame's size) and face sets, then the scene table.
MovieWriter Embedded(const std::vector<qfauthor::Bytes> &pictures, const std::vector<qfauthor::Bytes> &faceSets,
                     uint16_t sceneCount)
{
    MovieWriter writer;
    writer.embedded();
    for (const auto &p : pictures) writer.load(Asset::Background, p);
    for (const auto &f : faceSets) writer.load(Asset::FaceSet, f);
    return writer.scenes(sceneCount);
}

// A face set of these faces, then `missing` more of w x h whose BODY never comes (pixels null).
qfauthor::Bytes Faces(const std::vector<qfauthor::IndexedImage> &images, int missing = 0, int w = 0, int h = 0)
{
    std::vector<qfauthor::FaceEntry> entries;
    for (const auto &image : images) entries.emplace_back().image = image;
    qfauthor::Bytes bytes = qfauthor::WriteFaceSet(entries, std::vector<qfauthor::Color>(32));
    qfauthor::IffChunk header{"FACE", {}};
    qfauthor::PutU16(header.data, (uint32_t)w);
    qfauthor::PutU16(header.data, (uint32_t)h);
    header.data.resize(12, 0);
    for (int i = 0; i < missing; ++i) {
        qfauthor::Bytes group = qfauthor::WriteGroup("FORM", "FIMG", {&header, 1}, false);
        bytes.insert(bytes.end(), group.begin(), group.end());
    }
    bytes[7] = (uint8_t)(images.size() + (size_t)missing);  // the image count
    return bytes;
}

// Places face `face` of set 0 at (x, y) in the scene's layer.
void Put(MovieWriter &w, uint16_t scene, uint16_t face, int16_t x, int16_t y, uint16_t layer)
{
    w.scene(scene).faceSet(0, x, y).sprite(face, 0, 0, layer);
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
    // Frame (c, r) shows background (c - shiftX, r - shiftY) mod size. Scene 1 starts a scroll and
    // the post pass moves the last scene by the velocities, taking off or adding the size once: the
    // raw offset may be a size's worth, past it or below 0. Scenes without a picture never wrap, so
    // tens of thousands of them lead up to offsets near both ends of the range.
    const struct {
        int bw, bh;
        bool horizontal;
        int16_t velocity, limit, acceleration;
        uint16_t scenes;
        int32_t raw;
        int shiftX, shiftY;
    } cases[] = {
        {10, 2, true, 3, 0, 0, 2, 3, 3, 0},
        {10, 2, true, 1, 0, 0, 2, 1, 1, 0},
        {10, 2, true, 9, 0, 0, 2, 9, 9, 0},
        {3, 5, false, 2, 0, 0, 2, 2, 0, 2},
        {10, 5, true, 10, 0, 0, 2, 10, 0, 0},
        {10, 5, false, 5, 0, 0, 2, 5, 0, 0},
        {10, 5, true, 0, 0, 0, 2, 0, 0, 0},
        {10, 5, true, -13, 0, 0, 2, -3, 7, 0},
        {10, 5, true, 23, 0, 0, 2, 13, 3, 0},
        {10, 5, false, -6, 0, 0, 2, -1, 0, 4},
        {10, 5, false, 12, 0, 0, 2, 7, 0, 2},
        {10, 5, false, -10, 0, 0, 2, -5, 0, 0},
        // 32767 + 32896 x 65280 = 2^31 - 1, less 10: 10 x 214748363 + 7.
        {10, 5, true, 32767, 32767, 32513, 32898, 2147483637, 7, 0},
        // -32768 - 32768 x 65535 = -2^31, plus 10: -2^31 + 10 mod 10 = 2.
        {10, 5, true, -32768, -32768, -32767, 32770, -2147483638, 2, 0},
    };
    for (auto w : cases) {
        MovieWriter writer = Embedded({Picture(w.bw, w.bh, Grid(w.bw, w.bh))}, {}, w.scenes);
        writer.scene(1).duration(6).scroll(w.velocity, w.limit, w.acceleration, w.horizontal);
        Played p(writer.scene(w.scenes).background(0));
        const SceneRecord &last = p.m->scenes[w.scenes];
        ASSERT_EQ(w.horizontal ? last.scrollX : last.scrollY, w.raw);
        ASSERT_EQ(w.horizontal ? last.scrollY : last.scrollX, 0);
        std::vector<int> got = Composed(p.m, In(w.scenes));
        for (int r = 0; r < w.bh; ++r)
            for (int c = 0; c < w.bw; ++c)
                ASSERT_EQ(got[(size_t)(r * w.bw + c)], Cell(Mod(c - w.shiftX, w.bw), Mod(r - w.shiftY, w.bh)))
                    << "offset " << w.raw << " at " << c << "," << r;
        if (w.raw == 3 && w.bh == 2) {  // by hand: columns 0..2 show 7..9, 3..9 show 0..6
            EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 10),
                      (std::vector<int>{8, 9, 10, 1, 2, 3, 4, 5, 6, 7}));
        }
    }
}

TEST(Background, OtherSizesUseTheirOwnRowLengthAndStayInsideTheFrame)
{
    // Scene 2's background is laid with its own row length into the first bw x bh bytes, clipped
    // to the picture; bytes past it keep what scene 1's picture left (9). The frame buffer is
    // exactly w x h bytes, so the sanitizer catches any write past it.
    const struct {
        int w, h, bw, bh, scrollX, scrollY;
    } cases[] = {{4, 3, 2, 2, 0, 0}, {4, 3, 2, 2, 1, 0}, {3, 2, 4, 3, 0, 0},
                 {3, 2, 4, 3, 1, 0}, {3, 2, 4, 3, 0, 1}, {3, 2, 4, 3, 3, 0}};
    for (auto o : cases) {
        MovieWriter w = Embedded(
            {Picture(o.w, o.h, std::vector<uint8_t>((size_t)(o.w * o.h), 9)), Picture(o.bw, o.bh, Grid(o.bw, o.bh))},
            {}, 2);
        w.scene(1).duration(6).background(0).scroll((int16_t)(o.scrollX + o.scrollY), 0, 0, o.scrollY == 0);
        Played p(w.scene(2).background(1));
        ASSERT_EQ(p.m->scenes[2].scrollX, o.scrollX);
        ASSERT_EQ(p.m->scenes[2].scrollY, o.scrollY);
        EXPECT_EQ(Composed(p.m, In(1)), std::vector<int>((size_t)(o.w * o.h), 9));
        std::vector<int> got = Composed(p.m, In(2));
        for (int i = 0; i < o.w * o.h; ++i) {
            int c = i % o.bw, r = i / o.bw;
            EXPECT_EQ(got[(size_t)i], r < o.bh ? Cell(Mod(c - o.scrollX, o.bw), Mod(r - o.scrollY, o.bh)) : 9)
                << o.bw << "x" << o.bh << " in " << o.w << "x" << o.h << " scroll " << o.scrollX << "," << o.scrollY
                << " byte " << i;
        }
    }
}

TEST(Background, MissingOrEmptyPictures)
{
    // Picture 1 has no BODY, 2 is 0 x 2 and 3 is 3 x 0 (decoded but empty: they copy nothing).
    // Scenes 2, 4, 6 and 8 show picture 0 (all 7) so the next one shows what it clears or keeps.
    qfauthor::IffChunk header{"BMHD", {0, 3, 0, 2}};
    header.data.resize(20, 0);
    MovieWriter w =
        Embedded({Picture(3, 2, std::vector<uint8_t>(6, 7)), qfauthor::WriteGroup("FORM", "ILBM", {&header, 1}, true),
                  Picture(0, 2, {}), Picture(3, 0, {})},
                 {}, 9);
    w.scene(1).duration(6).scene(3).background(0xFFFF).scene(5).background(1).scene(7).background(2);
    w.scene(9).background(3);
    for (uint16_t s : {2, 4, 6, 8}) w.scene(s).background(0);
    Played p(w);
    ASSERT_EQ(p.m->scenes[1].background, nullptr);
    ASSERT_EQ(p.m->backgrounds->next->pixels, nullptr);
    for (uint32_t word : Decode(p.m, In(1))) EXPECT_EQ(word, 0u);  // no palette at all: all-zero words
    const int want[9] = {0, 7, 0, 7, 0, 7, 7, 7, 7};
    for (int s = 1; s <= 9; ++s) EXPECT_EQ(Composed(p.m, In(s)), std::vector<int>(6, want[s - 1])) << "scene " << s;

    // A first background of width 0 makes a 0 x 5 picture: no word is written, the record is filled.
    MovieWriter e = Embedded({Picture(0, 5, {}), Picture(3, 2, Grid(3, 2))}, {Faces({{2, 1, {1, 2}}})}, 1);
    e.scene(1).duration(6).background(1).cycles(Ranges{{{0, 3, 0, 1}}});
    Put(e, 1, 1, 0, 0, 0);
    Played empty(e);
    ASSERT_EQ(empty.m->width, 0);
    EXPECT_TRUE(Decode(empty.m, 0.05).empty());
}

TEST(Sprites, ClippedAtEachEdgeAndWhollyOutside)
{
    // One sprite on a 6 x 4 picture over index 0; sprite pixel (sc, sr) is 1 + (sr x width + sc) mod 31.
    const struct {
        int16_t x, y;
        int w, h;
    } cases[] = {
        {-2, 0, 5, 1}, {4, 2, 5, 1},  {0, -2, 1, 5}, {3, 2, 2, 5}, {-1, -1, 8, 6},       {1, 1, 2, 2},
        {-3, 0, 3, 2}, {0, -2, 3, 2}, {6, 0, 3, 2},  {0, 4, 3, 2}, {-1000, -1000, 3, 2}, {1000, 1000, 3, 2},
    };
    for (auto s : cases) {
        qfauthor::IndexedImage face{s.w, s.h, {}};
        for (int i = 0; i < s.w * s.h; ++i) face.pixels.push_back((uint8_t)(1 + i % 31));
        MovieWriter w = Embedded({Picture(6, 4, std::vector<uint8_t>(24, 0))}, {Faces({face}, 1, 6, 4)}, 1);
        w.scene(1).duration(6);
        Put(w, 1, 1, s.x, s.y, 0);
        Put(w, 1, 2, 0, 0, 1);  // a face that never loaded draws nothing
        Played p(w);
        ASSERT_EQ(p.m->scenes[1].layers[1]->pixels, nullptr);
        std::vector<int> got = Composed(p.m, 0.0);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 6; ++c) {
                int sc = c - s.x, sr = r - s.y;
                int want = sc >= 0 && sc < s.w && sr >= 0 && sr < s.h ? 1 + (sr * s.w + sc) % 31 : 0;
                ASSERT_EQ(got[(size_t)(r * 6 + c)], want) << "sprite at " << s.x << "," << s.y << ": " << c << "," << r;
            }
    }
}

TEST(Sprites, TransparencyAndOrder)
{
    MovieWriter w = Embedded(
        {Picture(6, 4, std::vector<uint8_t>(24, 5))},
        {Faces({{2, 1, {10, 11}}, {2, 1, {12, 13}}, {3, 1, {14, 15, 16}}, {3, 1, {17, 18, 19}}, {3, 1, {20, 0, 21}}})},
        1);
    w.scene(1).duration(6).background(0);
    // Layer 15 drawn first, layer 0 last (on top).
    Put(w, 1, 1, 0, 0, 15);
    Put(w, 1, 2, 1, 0, 0);
    Put(w, 1, 3, 0, 0, 7);
    // Within a layer the parser puts each placement at the head of the list, so the earlier
    // command is drawn last, on top; its 0 shows the one beneath.
    Put(w, 1, 5, 1, 2, 3);
    Put(w, 1, 4, 0, 2, 3);
    Played p(w);
    EXPECT_EQ(Composed(p.m, 0.0), (std::vector<int>{14, 12, 13, 5,  5, 5, 5, 5, 5, 5, 5, 5,  //
                                                    17, 20, 19, 21, 5, 5, 5, 5, 5, 5, 5, 5}));
}

// Random pictures, sprites and palettes against a plain model of the rules, into output buffers
// at every word alignment: covers the vector forms of sprite rows and of the palette expansion.
// A movie loads only 32 words, so 56 scenes of new palettes, each turned four places by four
// slots cycling all 256 words, fill the rest before the last scene stops them.
TEST(Composition, RandomScenesMatchThePlainRules)
{
    std::mt19937 rng(4);
    auto randomPalette = [&] {
        std::array<uint16_t, 32> colors{};
        for (auto &c : colors) c = (uint16_t)(rng() & 0xFFF);
        return colors;
    };
    for (int round = 0; round < 120; ++round) {
        int w = 1 + (int)(rng() % 90), h = 1 + (int)(rng() % 12);
        std::vector<uint8_t> back((size_t)(w * h)), expected;
        for (auto &v : back) v = (uint8_t)rng();
        expected = back;
        std::vector<qfauthor::IndexedImage> faces;
        std::vector<int16_t> at;
        for (int layer = 1; layer >= 0; --layer) {  // layer 1 first, layer 0 on top
            int sw = 1 + (int)(rng() % 70), sh = 1 + (int)(rng() % 5);
            int x = (int)(rng() % 100) - 30, y = (int)(rng() % 14) - 3;
            qfauthor::IndexedImage face{sw, sh, qfauthor::Bytes((size_t)(sw * sh))};
            for (auto &v : face.pixels) v = rng() % 3 ? (uint8_t)(rng() % 32) : 0;
            for (int r = 0; r < sh; ++r)
                for (int c = 0; c < sw; ++c)
                    if (face.pixels[(size_t)(r * sw + c)] && x + c >= 0 && x + c < w && y + r >= 0 && y + r < h)
                        expected[(size_t)((y + r) * w + x + c)] = face.pixels[(size_t)(r * sw + c)];
            faces.push_back(face);
            at.insert(at.end(), {(int16_t)x, (int16_t)y});
        }
        MovieWriter writer = Embedded({Picture(w, h, back)}, {Faces(faces)}, 57);
        writer.scene(1).duration(6).cycles(Ranges{{{0, 255, 0, 1}, {0, 255, 0, 1}, {0, 255, 0, 1}, {0, 255, 0, 1}}});
        for (uint16_t s = 1; s <= 57; ++s) writer.scene(s).palette(randomPalette());
        writer.scene(57).background(0).cycles(Ranges{});
        Put(writer, 57, 1, at[0], at[1], 1);
        Put(writer, 57, 2, at[2], at[3], 0);
        Played p(writer);
        for (int s = 1; s <= 56; ++s) Decode(p.m, In(s));
        size_t offset = rng() % 16, n = (size_t)(w * h);
        std::vector<uint32_t> buffer(n + 32, 0xEEEEEEEEu);
        void *buffers[1] = {buffer.data() + offset};
        int32_t pitches[1] = {0};
        VideoFrameRecord record{buffers, pitches, 0, 0, 0.0, 0.0};
        TimingPacket packet{In(57)};
        DecodeVideoFrame(p.m, &packet, &record);
        ASSERT_GT(std::set<uint32_t>(p.m->paletteWords, p.m->paletteWords + 256).size(), 200u);
        for (size_t i = 0; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], i >= offset && i < offset + n ? p.m->paletteWords[expected[i - offset]] : 0xEEEEEEEEu)
                << w << "x" << h << " word " << i << " offset " << offset;
    }
}

// Scene 1 loads palette 0 and stops every slot, so decoding it starts over; all scenes show a
// 4 x 1 background of indices 2..5, and scenes 2 on add their own cycling commands.
MovieWriter CycleMovie(uint16_t sceneCount)
{
    MovieWriter w = Embedded({Picture(4, 1, {2, 3, 4, 5}), Picture(4, 1, {2, 3, 4, 5}, 16)}, {}, sceneCount);
    return w.scene(1).duration(6).background(0).palette(Marks(0)).cycles(Ranges{});
}

// Slot commands: 1 starts, 0 (stored as 2) stops, any other leaves the slot as it is.
constexpr qfauthor::CycleRange Leave{0, 0, 0, 3};
using V = std::vector<int>;

std::array<uint32_t, 256> Words(const MovieHandle *m)
{
    std::array<uint32_t, 256> words;
    std::memcpy(words.data(), m->paletteWords, sizeof m->paletteWords);
    return words;
}

TEST(Cycling, DirectionsOneStepPerCallEvenForTheSamePacket)
{
    MovieWriter w = CycleMovie(3);
    w.scene(2).cycles(Ranges{{{2, 5, 0, 1}}}).scene(3).cycles(Ranges{{{2, 5, 0xFFFF, 1}}});  // any non-zero: lower
    Played p(w);
    EXPECT_EQ(Shown(p.m, In(1)), (V{2, 3, 4, 5}));
    const auto start = Words(p.m);
    EXPECT_EQ(Shown(p.m, In(2)), (V{5, 2, 3, 4}));  // A B C D -> D A B C
    EXPECT_EQ(Shown(p.m, In(2)), (V{4, 5, 2, 3}));
    EXPECT_EQ(Shown(p.m, In(1)), (V{2, 3, 4, 5}));
    EXPECT_EQ(Shown(p.m, In(3)), (V{3, 4, 5, 2}));  // B C D A
    EXPECT_EQ(p.m->paletteWords[1], MarkWord(0, 1));
    EXPECT_EQ(p.m->paletteWords[6], MarkWord(0, 6));
    for (int i = 0; i < 3; ++i) Decode(p.m, In(3));  // four steps of four words bring it back
    EXPECT_EQ(Words(p.m), start);
}

TEST(Cycling, StartLeaveStopAcrossScenes)
{
    MovieWriter w = CycleMovie(6);
    w.scene(2).cycles(Ranges{{Leave, {2, 5, 0, 1}, Leave, Leave}});  // scenes 3 and 6 have no "k": leave
    w.scene(4).cycles(Ranges{{Leave, {0, 0, 0, 7}, Leave, Leave}});
    w.scene(5).cycles(Ranges{{Leave, {9, 9, 9, 0}, Leave, Leave}});  // stop: no step in the stopping call
    Played p(w);
    Decode(p.m, In(1));
    const V want[5] = {{5, 2, 3, 4}, {4, 5, 2, 3}, {3, 4, 5, 2}, {3, 4, 5, 2}, {3, 4, 5, 2}};
    for (int s = 2; s <= 6; ++s) EXPECT_EQ(Shown(p.m, In(s)), want[s - 2]) << "scene " << s;
    EXPECT_EQ(p.m->activeCycles[1], nullptr);
}

TEST(Cycling, LaterStartRepointsTheSlotAndSlotsAreIndependent)
{
    MovieWriter w = CycleMovie(4);
    w.scene(2).cycles(Ranges{{{2, 3, 0, 1}, Leave, {4, 5, 0, 1}, Leave}});
    w.scene(3).cycles(Ranges{{{3, 5, 1, 1}, Leave, Leave, Leave}});  // slot 0 now runs scene 3's range
    w.scene(4).cycles(Ranges{{Leave, Leave, {0, 0, 0, 2}, Leave}});  // slot 2 stops; slot 0 keeps going
    Played p(w);
    Decode(p.m, In(1));
    EXPECT_EQ(Shown(p.m, In(2)), (V{3, 2, 5, 4}));
    // 3 2 5 4: range 3..5 towards lower makes 2 5 4 into 5 4 2; then slot 2 swaps 4..5.
    EXPECT_EQ(Shown(p.m, In(3)), (V{3, 5, 2, 4}));
    EXPECT_EQ(p.m->activeCycles[0], &p.m->scenes[3].cycles[0]);
    EXPECT_EQ(Shown(p.m, In(4)), (V{3, 2, 4, 5}));
    EXPECT_EQ(p.m->activeCycles[2], nullptr);
}

// Scene 2 turns all 256 words six places towards lower, so palette 0's colours 0..5 land in
// words 250..255 and 6..31 in 0..25: ranges high up have words to move.
MovieWriter LiftedMovie(uint16_t sceneCount)
{
    MovieWriter w = CycleMovie(sceneCount);
    w.scene(2).cycles(Ranges{{{0, 255, 1, 1}}});
    return w;
}

std::array<uint32_t, 256> Lift(MovieHandle *m)
{
    for (int s : {1, 2, 2, 2, 2, 2, 2}) Decode(m, In(s));
    EXPECT_EQ(m->paletteWords[250], MarkWord(0, 0));
    EXPECT_EQ(m->paletteWords[0], MarkWord(0, 6));
    return Words(m);
}

TEST(Cycling, EmptyAndOutOfRangeRangesNeverRotate)
{
    MovieWriter w = LiftedMovie(4);
    w.scene(3).cycles(Ranges{{{3, 3, 0, 1}, {5, 2, 0, 1}, {250, 256, 0, 1}, {300, 310, 1, 1}}});
    w.scene(4).cycles(Ranges{{Leave, Leave, {254, 255, 0, 1}, Leave}});  // the last word is still inside
    Played p(w);
    const auto lifted = Lift(p.m);
    for (int i = 0; i < 3; ++i) Decode(p.m, In(3));
    EXPECT_EQ(Words(p.m), lifted);
    Decode(p.m, In(4));
    EXPECT_EQ(p.m->paletteWords[254], lifted[255]);
    EXPECT_EQ(p.m->paletteWords[255], lifted[254]);
    EXPECT_EQ(p.m->paletteWords[253], lifted[253]);
}

TEST(Cycling, ThirtyTwoColourSceneShowsItsPaletteRotatedOnce)
{
    MovieWriter w = LiftedMovie(4);
    // Words 250..252 are above 31: no reload, so their turns accumulate.
    w.scene(3).palette(Marks(1)).cycles(Ranges{{{2, 5, 0, 1}, {250, 252, 0, 1}}});
    w.scene(4).background(1);  // a 16-colour palette is not applied
    Played p(w);
    const auto lifted = Lift(p.m);
    const std::vector<uint32_t> once = {MarkWord(1, 5), MarkWord(1, 2), MarkWord(1, 3), MarkWord(1, 4)};
    for (int call = 1; call <= 3; ++call) {
        EXPECT_EQ(Decode(p.m, In(3)), once) << call;
        EXPECT_EQ(p.m->paletteWords[0], MarkWord(1, 0));
        EXPECT_EQ(p.m->paletteWords[31], MarkWord(1, 31));
        if (call == 1) { EXPECT_EQ(p.m->paletteWords[250], lifted[252]); }
    }
    for (int i = 249; i <= 253; ++i) EXPECT_EQ(p.m->paletteWords[i], lifted[(size_t)i]) << i;  // 3 steps of 3 words
    EXPECT_EQ(p.m->scenes[4].paletteCount, 16);
    EXPECT_EQ(Decode(p.m, In(4))[0], MarkWord(1, 4));  // scene 4 shows the words rotated once more
}

}  // namespace
