// End to end: movies written with the authoring library, played by `quillframer dump` through the
// plug-in's entry points, checked against small models worked out from the movie itself (the packet
// clock, the scene table, the wrap, sprite positions, colour cycling and a reference mixer).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"

using qfauthor::Asset;
using qfauthor::Color;
using qfauthor::CycleRange;
using qfauthor::IndexedImage;
using qfauthor::MovieWriter;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A scratch directory per test, removed afterwards.
struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("qf-e2e-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Scratch() { fs::create_directories(dir); }
    ~Scratch() { std::error_code ec; fs::remove_all(dir, ec); }
};

struct DumpResult {
    int exitCode = -1;
    std::string out, err;
    std::string video, audio;  // the raw bytes of V and A
};

// quillframer dump MOVIE --video V --audio A [--plugin P] [extra...], stdin closed.
DumpResult RunDump(const Scratch &scratch, const MovieWriter &movie, std::vector<std::string> extra = {})
{
    const fs::path &d = scratch.dir;
    movie.save(d / "movie.qf");
    fs::remove(d / "video.raw");
    fs::remove(d / "audio.raw");
    std::vector<std::string> args = {std::string(std::getenv("QF_BUILD_DIR")) + "/quillframer", "dump",
                                     d / "movie.qf", "--video", d / "video.raw", "--audio", d / "audio.raw"};
    if (const char *plugin = std::getenv("QF_PLUGIN")) extra.insert(extra.begin(), {"--plugin", plugin});
    args.insert(args.end(), extra.begin(), extra.end());
    std::string command;
    for (const std::string &a : args) {
        command += " '";
        for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    command += " </dev/null >'" + (d / "out.txt").string() + "' 2>'" + (d / "err.txt").string() + "'";
    int status = std::system(command.c_str());
    return DumpResult{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(d / "out.txt"), ReadAll(d / "err.txt"),
                      ReadAll(d / "video.raw"), ReadAll(d / "audio.raw")};
}

uint32_t Ms(double seconds)
{
    double product = seconds * 1000.0;
    if (!(product > 0.0)) return 0;
    return product >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(product);
}

// The packet clock: the time of each pair, from start seconds, grown by + 0.04 until the end.
std::vector<double> PairTimes(uint32_t durationMs, double start)
{
    std::vector<double> times;
    for (double t = start; Ms(t) < durationMs; t = t + 0.04) times.push_back(t);
    return times;
}

// Scene covering ms for equal scenes of the given ticks: the last covers the rest.
int SceneAt(int count, uint32_t ticks, uint32_t ms)
{
    return (int)std::min<uint32_t>(ms / (20 * ticks) + 1, (uint32_t)count);
}

// Checks the exit, the JSON line and the output sizes; returns the pair times.
std::vector<double> ExpectShape(const DumpResult &d, int w, int h, uint32_t duration, double start = 0.0)
{
    EXPECT_EQ(d.exitCode, 0) << d.err;
    std::vector<double> pairs = PairTimes(duration, start);
    uint32_t frames = (uint32_t)(duration / 1000.0 * 25.0);
    EXPECT_EQ(d.out, "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) + ",\"duration\":" +
                         std::to_string(duration) + ",\"frames\":" + std::to_string(frames) +
                         ",\"packets\":" + std::to_string(2 * pairs.size()) + "}\n");
    EXPECT_EQ(d.video.size(), pairs.size() * (size_t)w * (size_t)h * 4);
    EXPECT_EQ(d.audio.size(), pairs.size() * 3528);
    return pairs;
}

// Pixel word at (c, r) of frame n of a w-wide, h-high dump, as bytes 0, R, G, B.
std::array<uint8_t, 4> PixelAt(const DumpResult &d, int w, int h, size_t frame, int c, int r)
{
    size_t at = (frame * (size_t)w * (size_t)h + (size_t)r * (size_t)w + (size_t)c) * 4;
    if (at + 4 > d.video.size()) return {9, 9, 9, 9};
    return {(uint8_t)d.video[at], (uint8_t)d.video[at + 1], (uint8_t)d.video[at + 2], (uint8_t)d.video[at + 3]};
}
std::array<uint8_t, 4> WordOf(Color c) { return {0, c.red, c.green, c.blue}; }

// Audio values of packet n (left; the right sample must match).
std::vector<int16_t> AudioPacket(const DumpResult &d, size_t packet)
{
    std::vector<int16_t> values;
    for (size_t at = packet * 3528; values.size() < 882 && at + 4 <= d.audio.size(); at += 4) {
        int16_t frame[2];  // left, right
        std::memcpy(frame, d.audio.data() + at, 4);
        EXPECT_EQ(frame[0], frame[1]) << "packet " << packet << " at byte " << at;
        values.push_back(frame[0]);
    }
    return values;
}

// One scene's sound start, as the movie stream gives it; the rate is the one its period gives,
// 3546894.6 / period truncated.
struct SoundStart {
    int channel;
    const std::vector<int8_t> *samples;
    uint32_t rate;
    uint8_t volume;
};
using StartsOf = std::function<std::vector<SoundStart>(int scene)>;

// Checks every audio packet against a mixer written from the rules: channels started by scene,
// truncated positions, clamp, floor shift. All channels are silent at the first packet.
void ExpectAudio(const DumpResult &d, const std::vector<double> &pairs, int scenes, uint32_t ticks, StartsOf startsOf)
{
    struct Channel {
        const std::vector<int8_t> *data = nullptr;
        double position = 0.0, step = 0.0;
        int32_t volume = 0, startScene = 0;
    } channels[4];
    for (size_t n = 0; n < pairs.size(); ++n) {
        int scene = SceneAt(scenes, ticks, Ms(pairs[n]));
        for (const SoundStart &s : startsOf(scene)) {
            Channel &ch = channels[(size_t)s.channel];
            if (ch.startScene != scene)
                ch = Channel{s.samples->empty() ? nullptr : s.samples, 0.0, s.rate / 22050.0,
                             s.volume * 1024, scene};
        }
        std::vector<int16_t> want;
        for (int f = 0; f < 882; ++f) {
            int32_t sum = 0;
            for (Channel &ch : channels) {
                if (!ch.data) continue;
                sum += (*ch.data)[(size_t)ch.position] * ch.volume;
                ch.position += ch.step;
                if ((size_t)ch.position >= ch.data->size()) ch = Channel{};
            }
            sum = std::min(std::max(sum, -8388608), 8388607);
            want.push_back(static_cast<int16_t>(sum >= 0 ? sum / 256 : -((-sum + 255) / 256)));
        }
        ASSERT_EQ(AudioPacket(d, n), want) << "packet " << n << " scene " << scene;
    }
}

std::vector<Color> IlbmPalette()
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

qfauthor::Bytes Ilbm(const IndexedImage &image)
{
    qfauthor::IlbmOptions options;
    options.padOddChunks = false;  // the picture reader skips no pad after its BODY
    return qfauthor::WriteIlbm(image, IlbmPalette(), options);
}

std::vector<int8_t> Wave(size_t n, int mul, int add)
{
    std::vector<int8_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back((int8_t)(((int)i * mul + add) % 256 - 128));
    return v;
}

// Six scenes of 6 ticks over a 16 x 10 background: a horizontal scroll of 5 per scene, a sprite
// animation, colour cycling over a palette from the palette command, and one sound.
struct ShowMovie {
    static constexpr int W = 16, H = 10, Scenes = 6;
    IndexedImage picture = Picture(W, H);
    qfauthor::FaceEntry f1{{3, 2, {5, 6, 0, 7, 8, 9}}, 0, 0, 0, 0, {}};
    qfauthor::FaceEntry f2{{4, 3, {11, 12, 13, 14, 15, 0, 17, 18, 19, 20, 21, 22}}, 0, 0, -1, 2, {}};
    qfauthor::FaceEntry f3{{2, 2, {25, 0, 26, 27}}, 0, 0, 0, 0, {}};
    std::vector<int8_t> sound{10, 20, 30, 40, -50, -60};
    std::array<uint16_t, 32> amiga{};
    std::vector<Color> colors;  // what the 12-bit words become: each 4-bit part times 16
    std::array<std::array<CycleRange, 4>, Scenes> cycles{};

    ShowMovie()
    {
        for (int i = 0; i < 32; ++i) {
            int r = i % 16, g = i / 2, b = 15 - i % 16;
            amiga[(size_t)i] = (uint16_t)((r << 8) | (g << 4) | b);
            colors.push_back(Color{(uint8_t)(r * 16), (uint8_t)(g * 16), (uint8_t)(b * 16)});
        }
        cycles[0][0] = CycleRange{2, 9, 0, 1};
        cycles[2] = {CycleRange{0, 0, 0, 3}, CycleRange{20, 23, 1, 1}, CycleRange{}, CycleRange{}};
        cycles[4] = {CycleRange{}, CycleRange{0, 0, 0, 5}, CycleRange{}, CycleRange{}};  // stops slot 0
    }

    // Embedded, or referenced from the volume Work: with the files written under volumeDir.
    MovieWriter write(const fs::path *volumeDir) const
    {
        std::vector<qfauthor::FaceEntry> entries{f1, f2, f3};
        qfauthor::Bytes faces = qfauthor::WriteFaceSet(entries, IlbmPalette());
        MovieWriter movie;
        if (volumeDir) {
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:Pics", "Back.ilbm", Ilbm(picture));
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:Anims/Faces", "Hero", faces);
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:", "Beep.8svx", qfauthor::Write8svx(sound));
            movie.reference(Asset::Background, "Work:Pics", "Back.ilbm")
                .reference(Asset::FaceSet, "Work:Anims/Faces", "Hero")
                .reference(Asset::Sound, "Work:", "Beep.8svx");
        } else {
            movie.embedded().load(Asset::Background, Ilbm(picture)).load(Asset::FaceSet, faces);
            movie.load(Asset::Sound, qfauthor::Write8svx(sound));
        }
        movie.scenes(Scenes).scene(1).duration(6).background(0).palette(amiga).cycles(cycles[0]);
        movie.scroll(5, 0, 0, true);
        // An animation over scenes 1, 2, 3 in layer 5, placed at origin + face offset + dx, dy.
        movie.faceSet(0, 2, 3).sprite(1, 0, 0, 5).sprite(2, 13, -4, 5).sprite(3, -3, 5, 5);
        movie.faceSet(0, 0, 0).sprite(3, 1, 3, 0);  // scene 1 again, layer 0: on top of layer 5
        movie.scene(2).sound(0, 64, 161, 0x1);
        movie.scene(3).cycles(cycles[2]);
        // Two placements in one layer of scene 4: the first in the stream ends on top.
        movie.scene(4).faceSet(0, 5, 5).sprite(1, 0, 0, 9).faceSet(0, 6, 5).sprite(1, 0, 0, 9);
        movie.scene(5).cycles(cycles[4]);
        movie.end();
        return movie;
    }

    // Every pixel of every frame and every audio packet, from the rules.
    void check(const DumpResult &d, double start) const
    {
        std::vector<double> pairs = ExpectShape(d, W, H, 720, start);
        const int scroll[Scenes] = {0, 5, 10, 15, 4, 9};  // 20 wraps to 4 on a width of 16
        struct Draw {
            const qfauthor::FaceEntry *face;
            int x, y;
        };
        // Positions: origin + offset + delta, in drawing order (layer 15 down to 0, list order).
        const std::vector<Draw> draws[Scenes] = {
            {{&f1, 2, 3}, {&f3, 1, 3}},
            {{&f2, 14, 1}},  // 2 - 1 + 13, 3 + 2 - 4: only its first two columns fit
            {{&f3, -1, 8}},  // 2 - 3, 3 + 5: column 1 at frame column 0, rows 8..9
            {{&f1, 6, 5}, {&f1, 5, 5}}, {}, {}};
        std::array<Color, 32> words{};
        std::array<const CycleRange *, 4> slots{};
        std::copy(colors.begin(), colors.end(), words.begin());  // a seek restores scene 1's; scene 1 loads it
        for (size_t n = 0; n < pairs.size(); ++n) {
            int s = SceneAt(Scenes, 6, Ms(pairs[n]));
            std::vector<uint8_t> expect(W * H);
            for (int r = 0; r < H; ++r)
                for (int c = 0; c < W; ++c)
                    expect[(size_t)(r * W + c)] = picture.pixels[(size_t)(r * W + (c - scroll[s - 1] + W) % W)];
            for (const Draw &draw : draws[s - 1]) {
                const IndexedImage &img = draw.face->image;
                for (int r = 0; r < img.height; ++r)
                    for (int c = 0; c < img.width; ++c) {
                        int x = draw.x + c, y = draw.y + r;
                        uint8_t v = img.pixels[(size_t)(r * img.width + c)];
                        if (v && x >= 0 && x < W && y >= 0 && y < H) expect[(size_t)(y * W + x)] = v;
                    }
            }
            if (s == 1) std::copy(colors.begin(), colors.end(), words.begin());
            bool hasCommand = s == 1 || s == 3 || s == 5;  // the cycling command stores 0 as 2 (stop)
            for (int i = 0; i < 4; ++i) {
                const CycleRange &c = cycles[(size_t)s - 1][(size_t)i];
                int command = hasCommand && c.command == 0 ? 2 : c.command;
                if (command == 1) slots[(size_t)i] = &c;
                if (command == 2) slots[(size_t)i] = nullptr;
                const CycleRange *run = command == 2 ? nullptr : slots[(size_t)i];
                if (!run || run->low >= run->high) continue;
                if (run->direction == 0)
                    std::rotate(words.begin() + run->low, words.begin() + run->high, words.begin() + run->high + 1);
                else
                    std::rotate(words.begin() + run->low, words.begin() + run->low + 1, words.begin() + run->high + 1);
            }
            for (int r = 0; r < H; ++r)
                for (int c = 0; c < W; ++c)
                    ASSERT_EQ(PixelAt(d, W, H, n, c, r), WordOf(words[expect[(size_t)(r * W + c)]]))
                        << "frame " << n << " scene " << s << " at " << c << "," << r;
        }
        ExpectAudio(d, pairs, Scenes, 6, [&](int s) {
            return s == 2 ? std::vector<SoundStart>{{0, &sound, 22030, 64}} : std::vector<SoundStart>{};
        });
    }
};

TEST(DumpE2E, ScrollingSpritesAndCyclingFrameByFrame)
{
    // The model's clock: pair 12 of 120 ms scenes carries 479 ms, still scene 4.
    ASSERT_EQ(Ms(PairTimes(720, 0.0)[12]), 479u);
    ASSERT_EQ(SceneAt(6, 6, 479), 4);
    ShowMovie m;
    for (uint32_t seek : {0u, 130u, 250u, 600u}) {
        Scratch scratch;
        DumpResult d = RunDump(scratch, m.write(nullptr), {"--seek", std::to_string(seek)});
        m.check(d, seek / 1000.0);
        if (seek) continue;
        // By hand, frame 0: layer 0's transparent pixel shows layer 5's index 5, and words 2..9
        // have turned once upwards, so index 5 shows colour 4; layer 0's 27 is on top.
        EXPECT_EQ(PixelAt(d, 16, 10, 0, 2, 3), WordOf(m.colors[4]));
        EXPECT_EQ(PixelAt(d, 16, 10, 0, 2, 4), WordOf(m.colors[27]));
    }
}

TEST(DumpE2E, ReferencedAssetsPlayLikeEmbeddedOnesAndACancelledVolumeFails)
{
    Scratch scratch;
    ShowMovie m;
    fs::path volume = scratch.dir / "WorkDisk";
    DumpResult referenced = RunDump(scratch, m.write(&volume), {"--volume", "Work=" + volume.string()});
    DumpResult embedded = RunDump(scratch, m.write(nullptr));
    m.check(referenced, 0.0);
    EXPECT_EQ(referenced.out, embedded.out);
    EXPECT_TRUE(referenced.video == embedded.video);
    EXPECT_TRUE(referenced.audio == embedded.audio);

    // No answer for the volume: the open fails and says why.
    DumpResult cancelled = RunDump(scratch, m.write(&volume));
    EXPECT_EQ(cancelled.exitCode, 1);
    EXPECT_NE(cancelled.err.find("Work"), std::string::npos) << cancelled.err;
    EXPECT_TRUE(cancelled.video.empty());
}

TEST(DumpE2E, OneChannelIsSampleExact)
{
    // Periods whose rates are 22030 (no period gives 22050 exactly), 8287 and 54.
    const struct {
        uint16_t period;
        uint32_t rate;
    } cases[] = {{161, 22030}, {428, 8287}, {65535, 54}};
    std::vector<int8_t> sample = Wave(1000, 37, 5);
    for (auto c : cases) {
        Scratch scratch;
        MovieWriter movie;
        // A small picture that no scene shows keeps the video small: every pixel is index 0.
        movie.embedded().load(Asset::Background, Ilbm(Picture(4, 2)));
        movie.load(Asset::Sound, qfauthor::Write8svx(sample));
        movie.scenes(2).scene(1).duration(10).sound(0, 37, c.period, 0x1).scene(2).duration(15).end();
        DumpResult d = RunDump(scratch, movie);
        std::vector<double> pairs = ExpectShape(d, 4, 2, 500);
        EXPECT_EQ(d.video.find_first_not_of('\0'), std::string::npos);
        ExpectAudio(d, pairs, 2, 10, [&](int s) {  // the last scene covers the rest
            return s == 1 ? std::vector<SoundStart>{{0, &sample, c.rate, 37}} : std::vector<SoundStart>{};
        });
        // First packet by hand: frame f reads sample trunc(f x rate / 22050) (exact while f is small).
        std::vector<int16_t> first = AudioPacket(d, 0);
        for (int f = 0; f < 5; ++f)
            EXPECT_EQ(first[(size_t)f], (sample[(size_t)(f * c.rate / 22050)] * 37 * 1024) >> 8) << f;
    }
}

TEST(DumpE2E, FourChannelsMixClampAndStartAfreshAfterASeek)
{
    std::vector<int8_t> s0 = Wave(3000, 7, 1), s1 = Wave(1500, 13, 90), s2 = Wave(800, 29, 3), s3;
    for (int i = 0; i < 2000; ++i) s3.push_back(i % 2 ? -127 : 127);  // at volume 100: clamps on its own
    MovieWriter movie;
    movie.embedded().load(Asset::Background, Ilbm(Picture(4, 2)));
    for (const auto *s : {&s0, &s1, &s2, &s3}) movie.load(Asset::Sound, qfauthor::Write8svx(*s));
    movie.scenes(4).scene(1).duration(10).sound(0, 64, 161, 0x1).sound(1, 40, 200, 0x2).sound(2, 64, 322, 0x4);
    movie.sound(3, 100, 428, 0x8).sound(1, 0, 161, 0x1);   // volume 0 changes nothing
    movie.scene(2).sound(1, 64, 161, 0x4);                 // channel 2 starts again, another sample
    movie.scene(3).sound(0, 64, 300, 0xF0F);               // all four channels, bits above 3 ignored
    movie.end();
    auto starts = [&](int s) -> std::vector<SoundStart> {
        if (s == 1) return {{0, &s0, 22030, 64}, {1, &s1, 17734, 40}, {2, &s2, 11015, 64}, {3, &s3, 8287, 100}};
        if (s == 2) return {{2, &s1, 22030, 64}};
        if (s == 3) return {{0, &s0, 11822, 64}, {1, &s0, 11822, 64}, {2, &s0, 11822, 64}, {3, &s0, 11822, 64}};
        return {};
    };
    for (uint32_t seek : {0u, 300u, 199u, 650u, 5000u}) {
        Scratch scratch;
        DumpResult d = RunDump(scratch, movie, {"--seek", std::to_string(seek)});
        ExpectAudio(d, ExpectShape(d, 4, 2, 800, seek / 1000.0), 4, 10, starts);  // all silent after the seek
        if (seek == 0) {  // frame 0 by hand: (-127 x 64 - 38 x 40 - 125 x 64 + 127 x 100) x 1024 / 256
            EXPECT_EQ(AudioPacket(d, 0)[0], -19792);
        }
    }
    // The packet limit stops the dump after that many packets, the last a video packet here.
    Scratch scratch;
    DumpResult d = RunDump(scratch, movie, {"--packets", "5"});
    EXPECT_EQ(d.out, "{\"width\":4,\"height\":2,\"duration\":800,\"frames\":20,\"packets\":5}\n");
    EXPECT_EQ(d.video.size(), 3u * 4 * 2 * 4);
    EXPECT_EQ(d.audio.size(), 2u * 3528);
}

}  // namespace
