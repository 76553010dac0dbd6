// End to end: movies written with the authoring library, played by `quillframer dump` through the
// plug-in's entry points, checked against properties worked out from the movie itself.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/dump_support.h"

using namespace qfe2e;
using qfauthor::Asset;
using qfauthor::Color;
using qfauthor::CycleRange;
using qfauthor::IndexedImage;
using qfauthor::MovieWriter;

namespace {

std::vector<Color> Palette()
{
    std::vector<Color> colors;
    for (int i = 0; i < 32; ++i)
        colors.push_back(Color{(uint8_t)(i * 8 + 3), (uint8_t)(255 - i * 5), (uint8_t)(i * i)});
    return colors;
}

// Indices 0..31 that differ from column to column and row to row.
IndexedImage Picture(int w, int h)
{
    IndexedImage image{w, h, {}};
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) image.pixels.push_back((uint8_t)((c * 5 + r * 11 + c * r) % 32));
    return image;
}

qfauthor::Bytes Ilbm(const IndexedImage &image, qfauthor::Compression compression = qfauthor::Compression::ByteRun1)
{
    qfauthor::IlbmOptions options;
    options.compression = compression;
    options.padOddChunks = false;  // the picture reader skips no pad after its BODY
    std::vector<Color> palette = Palette();
    return qfauthor::WriteIlbm(image, palette, options);
}

// Checks sizes and the JSON line against the clock model; returns the pair times.
std::vector<double> ExpectShape(const DumpResult &d, int w, int h, uint32_t duration, double start = 0.0)
{
    EXPECT_EQ(d.exitCode, 0) << d.err;
    std::vector<double> pairs = PairTimes(duration, start);
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
    EXPECT_EQ(d.duration, duration);
    EXPECT_EQ(d.frames, (long long)(uint32_t)(duration / 1000.0 * 25.0));
    EXPECT_EQ(d.packets, (long long)(2 * pairs.size()));
    EXPECT_EQ(d.video.size(), pairs.size() * (size_t)w * (size_t)h * 4);
    EXPECT_EQ(d.audio.size(), pairs.size() * 3528);
    return pairs;
}

int Mod(int a, int n) { return ((a % n) + n) % n; }

TEST(DumpE2E, StaticBackgroundPlainAndPacked)
{
    for (auto compression : {qfauthor::Compression::None, qfauthor::Compression::ByteRun1}) {
        Scratch scratch;
        IndexedImage picture = Picture(12, 7);
        MovieWriter movie;
        movie.embedded().load(Asset::Background, Ilbm(picture, compression)).scenes(1).scene(1).duration(6).background(0).end();
        DumpResult d = RunDump(scratch, movie);
        std::vector<double> pairs = ExpectShape(d, 12, 7, 120);
        ASSERT_EQ(pairs.size(), 3u);
        std::vector<Color> palette = Palette();
        for (size_t n = 0; n < pairs.size(); ++n)
            for (int r = 0; r < 7; ++r)
                for (int c = 0; c < 12; ++c)
                    ASSERT_EQ(PixelAt(d, n, c, r), WordOf(palette[picture.pixels[(size_t)(r * 12 + c)]]))
                        << n << " " << c << "," << r;
        for (uint8_t byte : d.audio) ASSERT_EQ(byte, 0);
    }
}

TEST(DumpE2E, NoBackgroundsGiveTheDefaultPictureAllZero)
{
    Scratch scratch;
    MovieWriter movie;
    movie.scenes(2).scene(1).duration(7).scene(2).duration(5).end();  // 140 ms, and 5 ticks count as 6
    DumpResult d = RunDump(scratch, movie);
    std::vector<double> pairs = ExpectShape(d, 352, 240, 260);
    EXPECT_EQ(pairs.size(), 7u);
    for (uint8_t byte : d.video) ASSERT_EQ(byte, 0);
    for (uint8_t byte : d.audio) ASSERT_EQ(byte, 0);
}

TEST(DumpE2E, BackgroundsOfAnotherSizeUseTheirOwnRowLength)
{
    // The picture takes the first background's size, 8 x 6 = 48 bytes. A 4 x 3 background fills
    // bytes 0..11 (row length 4) and leaves the rest as the last frame had it; a 12 x 8 one fills
    // the 48 bytes with its first 48.
    IndexedImage a = Picture(8, 6), b = Picture(4, 3), c = Picture(12, 8);
    for (uint8_t &p : b.pixels) p = (uint8_t)(31 - p);
    MovieWriter movie;
    movie.embedded().load(Asset::Background, Ilbm(a)).load(Asset::Background, Ilbm(b)).load(Asset::Background, Ilbm(c));
    movie.scenes(3).scene(1).duration(6).background(0).scene(2).background(1).scene(3).background(2).end();
    std::vector<Color> palette = Palette();
    for (uint32_t seek : {0u, 130u}) {
        Scratch scratch;
        DumpResult d = RunDump(scratch, movie, {"--seek", std::to_string(seek)});
        std::vector<double> pairs = ExpectShape(d, 8, 6, 360, seek / 1000.0);
        std::vector<uint8_t> held(48, 0);  // the frame buffer starts zero-filled
        for (size_t n = 0; n < pairs.size(); ++n) {
            int s = SceneAt({6, 6, 6}, Ms(pairs[n]));
            const IndexedImage &shown = s == 1 ? a : s == 2 ? b : c;
            size_t laid = std::min<size_t>(48, shown.pixels.size());
            std::copy(shown.pixels.begin(), shown.pixels.begin() + (long)laid, held.begin());
            for (int i = 0; i < 48; ++i)
                ASSERT_EQ(PixelAt(d, n, i % 8, i / 8), WordOf(palette[held[(size_t)i]]))
                    << "seek " << seek << " frame " << n << " byte " << i;
        }
    }
}

struct ScrollCase {
    bool horizontal;
    int16_t velocity, limit, acceleration;
    int bw, bh;
    std::vector<int> offsets;  // per scene, worked out by hand from the motion
};

TEST(DumpE2E, ScrollingWrapsTheBackground)
{
    const ScrollCase cases[] = {
        {true, 3, 0, 0, 20, 6, {0, 3, 6, 9, 12, 15, 18, 1, 4, 7}},
        {true, 5, 0, 0, 20, 3, {0, 5, 10, 15, 20, 5}},  // 20 = the width stays and shows unscrolled
        {true, 1, 4, 1, 20, 4, {0, 1, 3, 6, 10, 14, 18, 2, 6, 10}},
        {false, -2, 0, 0, 8, 10, {0, 8, 6, 4, 2, 0, 8, 6}},
    };
    for (const ScrollCase &sc : cases) {
        Scratch scratch;
        IndexedImage picture = Picture(sc.bw, sc.bh);
        uint16_t count = (uint16_t)sc.offsets.size();
        MovieWriter movie;
        movie.embedded().load(Asset::Background, Ilbm(picture)).scenes(count);
        movie.scene(1).duration(6).background(0).scroll(sc.velocity, sc.limit, sc.acceleration, sc.horizontal);
        std::vector<uint32_t> ticks(count, 6);
        movie.end();
        DumpResult d = RunDump(scratch, movie);
        std::vector<double> pairs = ExpectShape(d, sc.bw, sc.bh, 120u * count);
        std::vector<Color> palette = Palette();
        for (size_t n = 0; n < pairs.size(); ++n) {
            int s = SceneAt(ticks, Ms(pairs[n]));
            int sx = sc.horizontal ? sc.offsets[(size_t)s - 1] : 0;
            int sy = sc.horizontal ? 0 : sc.offsets[(size_t)s - 1];
            for (int r = 0; r < sc.bh; ++r)
                for (int c = 0; c < sc.bw; ++c) {
                    uint8_t index = picture.pixels[(size_t)(Mod(r - sy, sc.bh) * sc.bw + Mod(c - sx, sc.bw))];
                    ASSERT_EQ(PixelAt(d, n, c, r), WordOf(palette[index]))
                        << "v" << sc.velocity << " frame " << n << " scene " << s << " at " << c << "," << r;
                }
        }
    }
}

TEST(DumpE2E, ClockDriftMovesAFrameIntoTheEarlierScene)
{
    // Scenes of 120 ms: the thirteenth pair carries 0.4799999999999999 s, 479 ms, still scene 4.
    std::vector<double> pairs = PairTimes(1200);
    EXPECT_EQ(Ms(pairs[12]), 479u);
    EXPECT_EQ(SceneAt(std::vector<uint32_t>(10, 6), Ms(pairs[12])), 4);
}

// Sprites over a 16 x 10 background, four scenes of 6 ticks.
struct SpriteMovie {
    IndexedImage picture = Picture(16, 10);
    qfauthor::FaceEntry f1{{3, 2, {5, 6, 0, 7, 8, 9}}, 0, 0, 0, 0, {}};
    qfauthor::FaceEntry f2{{4, 3, {11, 12, 13, 14, 15, 0, 17, 18, 19, 20, 21, 22}}, 0, 0, -1, 2, {}};
    qfauthor::FaceEntry f3{{2, 2, {25, 0, 26, 27}}, 0, 0, 0, 0, {}};
    std::vector<int8_t> sound{10, 20, 30, 40, -50, -60};

    qfauthor::Bytes faces() const
    {
        std::vector<qfauthor::FaceEntry> entries{f1, f2, f3};
        std::vector<Color> palette = Palette();
        return qfauthor::WriteFaceSet(entries, palette);
    }

    // Embedded, or referenced from the volume Work: with the files written under volumeDir.
    MovieWriter write(const fs::path *volumeDir) const
    {
        MovieWriter movie;
        if (volumeDir) {
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:Pics", "Back.ilbm", Ilbm(picture));
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:Anims/Faces", "Hero", faces());
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:", "Beep.8svx", qfauthor::Write8svx(sound));
            movie.reference(Asset::Background, "Work:Pics", "Back.ilbm")
                .reference(Asset::FaceSet, "Work:Anims/Faces", "Hero")
                .reference(Asset::Sound, "Work:", "Beep.8svx");
        } else {
            movie.embedded()
                .load(Asset::Background, Ilbm(picture))
                .load(Asset::FaceSet, faces())
                .load(Asset::Sound, qfauthor::Write8svx(sound));
        }
        movie.scenes(4).scene(1).duration(6).background(0);
        // An animation over scenes 1, 2, 3 in layer 5, placed at origin + face offset + dx, dy.
        movie.faceSet(0, 2, 3).sprite(1, 0, 0, 5).sprite(2, 13, -4, 5).sprite(3, -3, 5, 5);
        // Scene 1 again, layer 0: on top of layer 5.
        movie.faceSet(0, 0, 0).sprite(3, 1, 3, 0);
        movie.scene(2).sound(0, 64, 161, 0x1);
        // Two placements in one layer of scene 4: the first in the stream ends on top.
        movie.scene(4).faceSet(0, 5, 5).sprite(1, 0, 0, 9).faceSet(0, 6, 5).sprite(1, 0, 0, 9);
        movie.end();
        return movie;
    }
};

struct Draw {
    const qfauthor::FaceEntry *face;
    int x, y;
};

void ExpectSprites(const SpriteMovie &m, const DumpResult &d)
{
    std::vector<double> pairs = ExpectShape(d, 16, 10, 480);
    std::vector<uint32_t> ticks{6, 6, 6, 6};
    // Positions: origin + offset + delta, in drawing order (layer 15 down to 0, list order).
    const std::vector<std::vector<Draw>> draws = {
        {{&m.f1, 2, 3}, {&m.f3, 1, 3}},
        {{&m.f2, 14, 1}},   // 2 - 1 + 13, 3 + 2 - 4: only its first two columns fit
        {{&m.f3, -1, 8}},   // 2 - 3, 3 + 5: column 1 at frame column 0, rows 8..9
        {{&m.f1, 6, 5}, {&m.f1, 5, 5}},
    };
    std::vector<Color> palette = Palette();
    for (size_t n = 0; n < pairs.size(); ++n) {
        int s = SceneAt(ticks, Ms(pairs[n]));
        std::vector<uint8_t> expect = m.picture.pixels;
        for (const Draw &draw : draws[(size_t)s - 1]) {
            const IndexedImage &img = draw.face->image;
            for (int r = 0; r < img.height; ++r)
                for (int c = 0; c < img.width; ++c) {
                    int x = draw.x + c, y = draw.y + r;
                    uint8_t v = img.pixels[(size_t)(r * img.width + c)];
                    if (v && x >= 0 && x < 16 && y >= 0 && y < 10) expect[(size_t)(y * 16 + x)] = v;
                }
        }
        for (int r = 0; r < 10; ++r)
            for (int c = 0; c < 16; ++c)
                ASSERT_EQ(PixelAt(d, n, c, r), WordOf(palette[expect[(size_t)(r * 16 + c)]]))
                    << "frame " << n << " scene " << s << " at " << c << "," << r;
        // Spot checks worked by hand.
        if (s == 1) {
            EXPECT_EQ(PixelAt(d, n, 2, 3), WordOf(palette[5]));   // layer 0's transparent pixel
            EXPECT_EQ(PixelAt(d, n, 2, 4), WordOf(palette[27]));  // layer 0 on top
        }
        if (s == 4) {
            EXPECT_EQ(PixelAt(d, n, 7, 5), WordOf(palette[6]));
            EXPECT_EQ(PixelAt(d, n, 7, 6), WordOf(palette[9]));
            EXPECT_EQ(PixelAt(d, n, 8, 6), WordOf(palette[9]));
        }
        if (s == 2) {
            EXPECT_EQ(PixelAt(d, n, 15, 1), WordOf(palette[12]));
            EXPECT_EQ(PixelAt(d, n, 15, 2), WordOf(palette[m.picture.pixels[2 * 16 + 15]]));  // its 0
        }
        if (s == 3) EXPECT_EQ(PixelAt(d, n, 0, 9), WordOf(palette[27]));
    }
    // Scene 2 starts the sound (period 161: rate 22030) at its first audio packet.
    ReferenceMixer mixer;
    for (size_t n = 0; n < pairs.size(); ++n) {
        int s = SceneAt(ticks, Ms(pairs[n]));
        std::vector<SoundStart> starts;
        if (s == 2) starts.push_back({0, &m.sound, 161, 64});
        ASSERT_EQ(AudioPacket(d, n), mixer.packet(s, starts)) << "packet " << n;
    }
}

TEST(DumpE2E, SpriteAnimationLayersAndClipping)
{
    Scratch scratch;
    SpriteMovie m;
    DumpResult d = RunDump(scratch, m.write(nullptr));
    ExpectSprites(m, d);
}

TEST(DumpE2E, ReferencedAssetsPlayLikeEmbeddedOnes)
{
    Scratch scratch;
    SpriteMovie m;
    fs::path volume = scratch.dir() / "WorkDisk";
    DumpResult referenced = RunDump(scratch, m.write(&volume), {"--volume", "Work=" + volume.string()});
    ExpectSprites(m, referenced);
    DumpResult embedded = RunDump(scratch, m.write(nullptr));
    EXPECT_EQ(referenced.video, embedded.video);
    EXPECT_EQ(referenced.audio, embedded.audio);

    // No answer for the volume: the open fails and says why.
    DumpResult cancelled = RunDump(scratch, m.write(&volume));
    EXPECT_EQ(cancelled.exitCode, 1);
    EXPECT_NE(cancelled.err.find("Work"), std::string::npos) << cancelled.err;
    EXPECT_TRUE(cancelled.video.empty());
}

// Cycling over a palette from the palette command: six scenes of 6 ticks.
struct CycleMovie {
    IndexedImage picture{8, 4, {}};
    std::array<uint16_t, 32> amiga{};
    std::vector<Color> colors;  // what the 12-bit words become: each 4-bit part times 16
    // Per scene, the four (low, high, direction, command) as stored (0 -> 2 by the parser).
    std::vector<std::array<CycleRange, 4>> cycles;

    CycleMovie()
    {
        for (int i = 0; i < 32; ++i) picture.pixels.push_back((uint8_t)i);
        for (int i = 0; i < 32; ++i) {
            int r = i % 16, g = (i * 3) % 16, b = 15 - i % 16;
            amiga[(size_t)i] = (uint16_t)((r << 8) | (g << 4) | b);
            colors.push_back(Color{(uint8_t)(r * 16), (uint8_t)(g * 16), (uint8_t)(b * 16)});
        }
        std::array<CycleRange, 4> none{};
        cycles.assign(6, none);
        cycles[0] = {CycleRange{2, 9, 0, 1}, CycleRange{}, CycleRange{}, CycleRange{}};
        cycles[2] = {CycleRange{0, 0, 0, 3}, CycleRange{20, 23, 1, 1}, CycleRange{}, CycleRange{}};
        cycles[4] = {CycleRange{}, CycleRange{0, 0, 0, 5}, CycleRange{}, CycleRange{}};
    }

    MovieWriter write() const
    {
        MovieWriter movie;
        movie.embedded().load(Asset::Background, Ilbm(picture)).scenes(6);
        movie.scene(1).duration(6).background(0).palette(amiga).cycles(cycles[0]);
        movie.scene(3).cycles(cycles[2]);
        movie.scene(5).cycles(cycles[4]);
        movie.end();
        return movie;
    }

    // Expected words 0..31 frame by frame, from the rules: reload in scene 1, one step per call.
    void check(const DumpResult &d, double start, bool seeked) const
    {
        std::vector<double> pairs = ExpectShape(d, 8, 4, 720, start);
        std::vector<uint32_t> ticks(6, 6);
        std::array<Color, 32> words{};
        std::array<const CycleRange *, 4> slots{};
        if (seeked) std::copy(colors.begin(), colors.end(), words.begin());  // the seek restores scene 1's
        for (size_t n = 0; n < pairs.size(); ++n) {
            int s = SceneAt(ticks, Ms(pairs[n]));
            if (s == 1) std::copy(colors.begin(), colors.end(), words.begin());
            // Scenes without a cycling command carry command 0 (leave); the command stores 0 as 2.
            bool hasCommand = s == 1 || s == 3 || s == 5;
            for (int i = 0; i < 4; ++i) {
                const CycleRange &c = cycles[(size_t)s - 1][(size_t)i];
                int command = hasCommand && c.command == 0 ? 2 : c.command;
                if (command == 1) slots[(size_t)i] = &c;
                if (command == 2) {
                    slots[(size_t)i] = nullptr;
                    continue;
                }
                const CycleRange *run = slots[(size_t)i];
                if (!run || run->low >= run->high) continue;
                if (run->direction == 0)
                    std::rotate(words.begin() + run->low, words.begin() + run->high, words.begin() + run->high + 1);
                else
                    std::rotate(words.begin() + run->low, words.begin() + run->low + 1, words.begin() + run->high + 1);
            }
            for (int i = 0; i < 32; ++i)
                ASSERT_EQ(PixelAt(d, n, i % 8, i / 8), WordOf(words[(size_t)i])) << "frame " << n << " index " << i;
        }
    }
};

TEST(DumpE2E, ColourCyclingStartsLeavesAndStops)
{
    Scratch scratch;
    CycleMovie m;
    DumpResult d = RunDump(scratch, m.write());
    m.check(d, 0.0, false);
    // Hand-worked: the first frame shows words 2..9 rotated up once: colour 9 at index 2.
    EXPECT_EQ(PixelAt(d, 0, 2, 0), WordOf(m.colors[9]));
    EXPECT_EQ(PixelAt(d, 0, 3, 0), WordOf(m.colors[2]));
    // The palette word 0x0FFF-style conversion: colour 15 is (240, 0xD0, 0).
    EXPECT_EQ(m.colors[15], (Color{240, 208, 0}));
}

TEST(DumpE2E, SeekRestoresTheEarlierPaletteAndStopsCycling)
{
    for (uint32_t seek : {250u, 600u, 130u}) {
        Scratch scratch;
        CycleMovie m;
        DumpResult d = RunDump(scratch, m.write(), {"--seek", std::to_string(seek)});
        m.check(d, seek / 1000.0, true);
    }
}

std::vector<int8_t> Wave(size_t n, int mul, int add)
{
    std::vector<int8_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back((int8_t)(((int)i * mul + add) % 256 - 128));
    return v;
}

TEST(DumpE2E, OneChannelIsSampleExact)
{
    // Periods whose rates are 22030 (no period gives 22050 exactly), 8287 and 54.
    EXPECT_EQ(RateOf(161), 22030u);
    EXPECT_EQ(RateOf(428), 8287u);
    EXPECT_EQ(RateOf(65535), 54u);
    for (uint16_t period : {uint16_t(161), uint16_t(428), uint16_t(65535)}) {
        Scratch scratch;
        std::vector<int8_t> sample = Wave(1000, 37, 5);
        MovieWriter movie;
        // A small picture that no scene shows keeps the video small: every pixel is index 0.
        movie.embedded().load(Asset::Background, Ilbm(Picture(4, 2))).load(Asset::Sound, qfauthor::Write8svx(sample));
        movie.scenes(2);
        movie.scene(1).duration(10).sound(0, 37, period, 0x1).scene(2).duration(15);
        movie.end();
        DumpResult d = RunDump(scratch, movie);
        std::vector<double> pairs = ExpectShape(d, 4, 2, 500);
        for (uint8_t byte : d.video) ASSERT_EQ(byte, 0);
        std::vector<uint32_t> ticks{10, 15};
        ReferenceMixer mixer;
        for (size_t n = 0; n < pairs.size(); ++n) {
            int s = SceneAt(ticks, Ms(pairs[n]));
            std::vector<SoundStart> starts;
            if (s == 1) starts.push_back({0, &sample, period, 37});
            ASSERT_EQ(AudioPacket(d, n), mixer.packet(s, starts)) << "period " << period << " packet " << n;
        }
        // First packet by hand: frame f reads sample trunc(f x rate / 22050) (exact while f is small).
        std::vector<int16_t> first = AudioPacket(d, 0);
        for (int f = 0; f < 5; ++f) {
            size_t index = (size_t)((double)f * RateOf(period) / 22050.0);
            int32_t product = sample[index] * 37 * 1024;
            EXPECT_EQ(first[(size_t)f], product >> 8) << f;
        }
    }
}

std::vector<int8_t> Alternating(size_t n)
{
    std::vector<int8_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back(i % 2 ? -127 : 127);
    return v;
}

struct FourChannels {
    std::vector<int8_t> s0 = Wave(3000, 7, 1), s1 = Wave(1500, 13, 90), s2 = Wave(800, 29, 3);
    std::vector<int8_t> s3 = Alternating(2000);  // +-127 at volume 100: clamps on its own
    std::vector<uint32_t> ticks{10, 10, 10, 10};

    MovieWriter write() const
    {
        MovieWriter movie;
        movie.embedded()
            .load(Asset::Background, Ilbm(Picture(4, 2)))
            .load(Asset::Sound, qfauthor::Write8svx(s0))
            .load(Asset::Sound, qfauthor::Write8svx(s1))
            .load(Asset::Sound, qfauthor::Write8svx(s2))
            .load(Asset::Sound, qfauthor::Write8svx(s3))
            .scenes(4);
        movie.scene(1).duration(10).sound(0, 64, 161, 0x1).sound(1, 40, 200, 0x2).sound(2, 64, 322, 0x4);
        movie.sound(3, 100, 428, 0x8).sound(1, 0, 161, 0x1);  // volume 0 changes nothing
        movie.scene(2).duration(10).sound(1, 64, 161, 0x4);   // channel 2 starts again, another sample
        movie.scene(3).duration(10).sound(0, 64, 300, 0xF0F);  // all four channels, bits above 3 ignored
        movie.scene(4).duration(10);
        movie.end();
        return movie;
    }

    std::vector<SoundStart> starts(int s) const
    {
        if (s == 1) return {{0, &s0, 161, 64}, {1, &s1, 200, 40}, {2, &s2, 322, 64}, {3, &s3, 428, 100}};
        if (s == 2) return {{2, &s1, 161, 64}};
        if (s == 3) return {{0, &s0, 300, 64}, {1, &s0, 300, 64}, {2, &s0, 300, 64}, {3, &s0, 300, 64}};
        return {};
    }

    void check(const DumpResult &d, double start) const
    {
        std::vector<double> pairs = ExpectShape(d, 4, 2, 800, start);
        ReferenceMixer mixer;
        for (size_t n = 0; n < pairs.size(); ++n) {
            int s = SceneAt(ticks, Ms(pairs[n]));
            ASSERT_EQ(AudioPacket(d, n), mixer.packet(s, starts(s))) << "packet " << n << " scene " << s;
        }
    }
};

TEST(DumpE2E, FourChannelsMixAndClamp)
{
    Scratch scratch;
    FourChannels m;
    DumpResult d = RunDump(scratch, m.write());
    m.check(d, 0.0);
    // Frame 0 by hand: s0[0] x 64 + s1[0] x 40 + s2[0] x 64 + 127 x 100, times 1024, clamped, / 256.
    int32_t sum = (m.s0[0] * 64 + m.s1[0] * 40 + m.s2[0] * 64 + 127 * 100) * 1024;
    EXPECT_EQ(sum, -4948 * 1024);
    EXPECT_EQ(AudioPacket(d, 0)[0], -19792);
    size_t clamped = 0;
    for (size_t n = 0; n < d.audio.size() / 3528; ++n)
        for (int16_t v : AudioPacket(d, n)) clamped += v == 32767 || v == -32768;
    EXPECT_GT(clamped, 0u);
}

TEST(DumpE2E, SeekStartsTheScenesSoundsAfresh)
{
    for (uint32_t seek : {300u, 199u, 650u, 5000u}) {
        Scratch scratch;
        FourChannels m;
        DumpResult d = RunDump(scratch, m.write(), {"--seek", std::to_string(seek)});
        m.check(d, seek / 1000.0);
    }
}

TEST(DumpE2E, PacketLimitStopsEarly)
{
    Scratch scratch;
    FourChannels m;
    DumpResult d = RunDump(scratch, m.write(), {"--packets", "5"});
    EXPECT_EQ(d.exitCode, 0) << d.err;
    EXPECT_EQ(d.packets, 5);
    EXPECT_EQ(d.video.size(), 3u * 4 * 2 * 4);
    EXPECT_EQ(d.audio.size(), 2u * 3528);
}

}  // namespace
