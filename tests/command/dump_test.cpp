// End to end: movies written with the authoring library, played by `quillframer dump` through the
// plug-in's entry points. Pixels and samples are checked where they can be worked out by hand (the
// working is in the comments), and the rest by properties: a seek then N packets gives the same
// bytes as a straight run, referenced assets play like embedded ones, --packets cuts a prefix.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "quillframer/host_api.h"
#include "testing/run_command.h"

using qfauthor::Asset;
using qfauthor::Color;
using qfauthor::CycleRange;
using qfauthor::IndexedImage;
using qfauthor::MovieWriter;
namespace fs = std::filesystem;

namespace {

constexpr size_t AudioBytes = QF_AUDIO_BYTES_PER_PACKET;

struct Dump {
    qftest::Outcome run;
    std::string video, audio;  // the raw bytes of V and A
};

// quillframer dump MOVIE --video V --audio A [--plugin P] [extra...]
Dump RunDump(const qftest::TempDir &dir, const MovieWriter &movie, std::vector<std::string> extra = {})
{
    movie.save(dir / "movie.qf");
    fs::remove(dir / "video.raw");
    fs::remove(dir / "audio.raw");
    std::vector<std::string> args = {"dump",    dir / "movie.qf", "--video", dir / "video.raw",
                                     "--audio", dir / "audio.raw"};
    if (const char *plugin = std::getenv("QF_PLUGIN")) args.insert(args.end(), {"--plugin", plugin});
    args.insert(args.end(), extra.begin(), extra.end());
    Dump d{qftest::RunQuillframer(args, dir.path()), {}, {}};
    d.video = qftest::ReadText(dir / "video.raw");
    d.audio = qftest::ReadText(dir / "audio.raw");
    return d;
}

// The exit, the JSON line and the output sizes for a run of `pairs` video and audio packets.
void ExpectShape(const Dump &d, int w, int h, uint32_t duration, size_t pairs)
{
    EXPECT_EQ(d.run.status, 0) << d.run.err;
    EXPECT_EQ(d.run.out, "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) + ",\"duration\":" +
                             std::to_string(duration) + ",\"frames\":" + std::to_string(duration / 40) +
                             ",\"packets\":" + std::to_string(2 * pairs) + "}\n");
    EXPECT_EQ(d.video.size(), pairs * static_cast<size_t>(w * h) * 4);
    EXPECT_EQ(d.audio.size(), pairs * AudioBytes);
}

// Pixel word at (c, r) of frame n of a w x h dump, as bytes 0, R, G, B.
std::array<uint8_t, 4> PixelAt(const Dump &d, int w, int h, size_t frame, int c, int r)
{
    size_t at = (frame * static_cast<size_t>(w * h) + static_cast<size_t>(r * w + c)) * 4;
    if (at + 4 > d.video.size()) return {9, 9, 9, 9};
    return {uint8_t(d.video[at]), uint8_t(d.video[at + 1]), uint8_t(d.video[at + 2]), uint8_t(d.video[at + 3])};
}
std::array<uint8_t, 4> WordOf(Color c) { return {0, c.red, c.green, c.blue}; }

// The first `count` left samples of audio packet n; each right sample must equal its left one.
std::vector<int16_t> Samples(const Dump &d, size_t packet, size_t first, size_t count)
{
    std::vector<int16_t> values;
    for (size_t f = first; f < first + count; ++f) {
        size_t at = packet * AudioBytes + f * 4;
        if (at + 4 > d.audio.size()) break;
        int16_t frame[2];
        std::memcpy(frame, d.audio.data() + at, 4);
        EXPECT_EQ(frame[0], frame[1]) << "packet " << packet << " frame " << f;
        values.push_back(frame[0]);
    }
    return values;
}

// Indices that differ from column to column and row to row: index(c, r) = (5c + 11r + cr) mod 32.
IndexedImage Picture(int w, int h)
{
    IndexedImage image{w, h, {}};
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) image.pixels.push_back(static_cast<uint8_t>((c * 5 + r * 11 + c * r) % 32));
    return image;
}

qfauthor::Bytes Ilbm(const IndexedImage &image)
{
    std::vector<Color> palette(32, Color{1, 2, 3});  // every scene that shows it sets its own palette
    qfauthor::IlbmOptions options;
    options.padOddChunks = false;  // the picture reader skips no pad after its BODY
    return qfauthor::WriteIlbm(image, palette, options);
}

// v[i] = (i * mul + add) mod 256 - 128
std::vector<int8_t> Wave(size_t n, int mul, int add)
{
    std::vector<int8_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back(static_cast<int8_t>((static_cast<int>(i) * mul + add) % 256 - 128));
    return v;
}

// Six scenes over a 16 x 10 background: a horizontal scroll of 5 per scene (offsets 0, 5, 10, 15,
// 4, 9 after the wrap), a sprite animation, one short sound in scene 2 and, with cycling, colour
// cycles. Without cycling the scenes last 7 then 8 ticks, so every scene change falls 20 ms from
// a packet time (140, 300, 460, 620, 780 ms; 940 ms in all); with it they last 6 ticks (720 ms).
struct ShowMovie {
    static constexpr int W = 16, H = 10;
    qfauthor::FaceEntry f1{{3, 2, {5, 6, 0, 7, 8, 9}}, 0, 0, 0, 0, {}};
    qfauthor::FaceEntry f2{{4, 3, {11, 12, 13, 14, 15, 0, 17, 18, 19, 20, 21, 22}}, 0, 0, -1, 2, {}};
    qfauthor::FaceEntry f3{{2, 2, {25, 0, 26, 27}}, 0, 0, 0, 0, {}};
    std::vector<int8_t> sound{10, 20, 30, 40, -50, -60};
    std::array<uint16_t, 32> amiga{};
    std::vector<Color> colors;  // what the 12-bit words become: each 4-bit part times 16

    ShowMovie()
    {
        for (int i = 0; i < 32; ++i) {
            int r = i % 16, g = i / 2, b = 15 - i % 16;
            amiga[static_cast<size_t>(i)] = static_cast<uint16_t>((r << 8) | (g << 4) | b);
            colors.push_back(Color{uint8_t(r * 16), uint8_t(g * 16), uint8_t(b * 16)});
        }
    }

    // Embedded, or referenced from the volume Work: with the files written under volumeDir.
    MovieWriter write(bool cycling, const fs::path *volumeDir = nullptr) const
    {
        std::vector<qfauthor::FaceEntry> entries{f1, f2, f3};
        qfauthor::Bytes faces = qfauthor::WriteFaceSet(entries, std::vector<Color>(32));
        qfauthor::Bytes picture = Ilbm(Picture(W, H));
        MovieWriter movie;
        if (volumeDir) {
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:Pics", "Back.ilbm", picture);
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:Anims/Faces", "Hero", faces);
            qfauthor::WriteReferencedAsset(*volumeDir, "Work:", "Beep.8svx", qfauthor::Write8svx(sound));
            movie.reference(Asset::Background, "Work:Pics", "Back.ilbm")
                .reference(Asset::FaceSet, "Work:Anims/Faces", "Hero")
                .reference(Asset::Sound, "Work:", "Beep.8svx");
        } else {
            movie.embedded().load(Asset::Background, picture).load(Asset::FaceSet, faces);
            movie.load(Asset::Sound, qfauthor::Write8svx(sound));
        }
        movie.scenes(6).scene(1).duration(cycling ? 6 : 7).background(0).palette(amiga).scroll(5, 0, 0, true);
        if (cycling) movie.cycles({CycleRange{2, 9, 0, 1}, CycleRange{}, CycleRange{}, CycleRange{}});
        // An animation over scenes 1, 2, 3 in layer 5, placed at origin + face offset + dx, dy:
        // f1 at (2, 3), f2 at (2 - 1 + 13, 3 + 2 - 4) = (14, 1), f3 at (-1, 8).
        movie.faceSet(0, 2, 3).sprite(1, 0, 0, 5).sprite(2, 13, -4, 5).sprite(3, -3, 5, 5);
        movie.faceSet(0, 0, 0).sprite(3, 1, 3, 0);  // scene 1 again, f3 at (1, 3) in layer 0: on top
        movie.scene(2).sound(0, 64, 161, 0x1);
        if (!cycling) movie.duration(8);
        if (cycling)
            movie.scene(3).cycles({CycleRange{0, 0, 0, 3}, CycleRange{20, 23, 1, 1}, CycleRange{}, CycleRange{}});
        // Two placements in one layer of scene 4: the first in the stream ends on top.
        movie.scene(4).faceSet(0, 5, 5).sprite(1, 0, 0, 9).faceSet(0, 6, 5).sprite(1, 0, 0, 9);
        movie.end();
        return movie;
    }
};

TEST(DumpE2E, PixelsWorkedOutByHand)
{
    ShowMovie m;
    qftest::TempDir dir;
    Dump d = RunDump(dir, m.write(true));
    ExpectShape(d, 16, 10, 720, 18);
    auto at = [&](size_t frame, int c, int r) { return PixelAt(d, 16, 10, frame, c, r); };
    // Range 2..9 turns up once per frame (word i takes word i - 1, word 2 takes word 9) after scene
    // 1's palette loads; frames 0-2 reload it, so frame n >= 2 has turned n - 1 times.
    // Frame 0, (2, 3): f3's transparent pixel shows f1's index 5, which shows colour 4; (2, 4) is
    // f3's 27, outside the range.
    EXPECT_EQ(at(0, 2, 3), WordOf(m.colors[4]));
    EXPECT_EQ(at(0, 2, 4), WordOf(m.colors[27]));
    // Frame 4 (160 ms, scene 2, scroll 5): (0, 0) shows picture column 11, index 55 mod 32 = 23;
    // f2 at (14, 1) puts its 11 at (14, 1) and its 20 at (15, 3); its hole at (15, 2) shows column
    // 10 of row 2, index (50 + 22 + 20) mod 32 = 28.
    EXPECT_EQ(at(4, 0, 0), WordOf(m.colors[23]));
    EXPECT_EQ(at(4, 14, 1), WordOf(m.colors[11]));
    EXPECT_EQ(at(4, 15, 3), WordOf(m.colors[20]));
    EXPECT_EQ(at(4, 15, 2), WordOf(m.colors[28]));
    // Frame 7 (280 ms, scene 3, scroll 10): (5, 0) shows column 11, index 23. Range 20..23 turns
    // down from frame 6 on: twice by frame 7, so word 23 holds colour 21.
    EXPECT_EQ(at(7, 5, 0), WordOf(m.colors[21]));
    // Frame 10 (400 ms, scene 4): (6, 5) is f1's 6 from the first placement (on top of the second's
    // 5). Range 2..9 has turned 9 times, once modulo its 8 words: word 6 holds colour 5.
    EXPECT_EQ(at(10, 6, 5), WordOf(m.colors[5]));
}

TEST(DumpE2E, ASeekThenNPacketsEqualsAStraightRun)
{
    ShowMovie m;
    qftest::TempDir dir;
    MovieWriter movie = m.write(false);
    Dump straight = RunDump(dir, movie);
    ExpectShape(straight, 16, 10, 940, 24);
    const size_t frameBytes = 16 * 10 * 4;
    // A seek silences every channel and restores scene 1's palette; the 7-sample sound restarts
    // at each packet of scene 2 either way, so the seek changes nothing that follows it.
    for (size_t pair : {1u, 3u, 5u, 7u, 10u}) {
        Dump sought = RunDump(dir, movie, {"--seek", std::to_string(pair * 40)});
        SCOPED_TRACE("seek " + std::to_string(pair * 40));
        ExpectShape(sought, 16, 10, 940, 24 - pair);
        EXPECT_TRUE(sought.video == straight.video.substr(pair * frameBytes));
        EXPECT_TRUE(sought.audio == straight.audio.substr(pair * AudioBytes));
    }
    // --packets N is a prefix of the straight run: 5 packets are 3 pictures and 2 sounds.
    Dump prefix = RunDump(dir, movie, {"--packets", "5"});
    EXPECT_EQ(prefix.run.out, "{\"width\":16,\"height\":10,\"duration\":940,\"frames\":23,\"packets\":5}\n");
    EXPECT_TRUE(prefix.video == straight.video.substr(0, 3 * frameBytes));
    EXPECT_TRUE(prefix.audio == straight.audio.substr(0, 2 * AudioBytes));
    // Scene 2 runs from 140 to 300 ms: packets 4 to 7 each play the sound from its start.
    // Period 161 gives 3546894.6 / 161 = 22030 Hz: frame f reads sample trunc(f x 0.99909), so
    // samples 0, 0, 1, 2, 3, 4, 5 at volume 64 x 1024 / 256 = 256 each, then silence.
    const std::vector<int16_t> beep{2560, 2560, 5120, 7680, 10240, -12800, -15360, 0, 0};
    EXPECT_EQ(Samples(straight, 3, 0, 9), std::vector<int16_t>(9, 0));
    EXPECT_EQ(Samples(straight, 4, 0, 9), beep);
    EXPECT_EQ(Samples(straight, 7, 0, 9), beep);
    EXPECT_EQ(Samples(straight, 8, 0, 9), std::vector<int16_t>(9, 0));
}

TEST(DumpE2E, ReferencedAssetsPlayLikeEmbeddedOnesAndACancelledVolumeFails)
{
    qftest::TempDir dir;
    ShowMovie m;
    fs::path volume = dir / "WorkDisk";
    Dump referenced = RunDump(dir, m.write(true, &volume), {"--volume", "Work=" + volume.string()});
    Dump embedded = RunDump(dir, m.write(true));
    ExpectShape(referenced, 16, 10, 720, 18);
    EXPECT_EQ(referenced.run.out, embedded.run.out);
    EXPECT_TRUE(referenced.video == embedded.video);
    EXPECT_TRUE(referenced.audio == embedded.audio);

    // No answer for the volume: the open fails and says why.
    Dump cancelled = RunDump(dir, m.write(true, &volume));
    EXPECT_EQ(cancelled.run.status, 1);
    EXPECT_NE(cancelled.run.err.find("Work"), std::string::npos) << cancelled.run.err;
    EXPECT_TRUE(cancelled.video.empty());
}

TEST(DumpE2E, OneChannelIsSampleExact)
{
    // v = Wave(1000, 37, 5): v[0..3] = -123, -86, -49, -12 and v[999] = -24. At volume 37 a
    // sample s gives s x 37 x 1024 / 256 = 148 s: -18204, -12728, -7252, -1776; -3552.
    // Rates from the periods: 3546894.6 / 161 = 22030, / 428 = 8287, / 65535 = 54 (steps 0.99909,
    // 0.37583, 0.00245 of a sample per output frame).
    const struct {
        uint16_t period;
        std::vector<int16_t> first;  // frames 0-4 read samples trunc(f x step)
    } cases[] = {{161, {-18204, -18204, -12728, -7252, -1776}},
                 {428, {-18204, -18204, -18204, -12728, -12728}},
                 {65535, {-18204, -18204, -18204, -18204, -18204}}};
    std::vector<int8_t> sample = Wave(1000, 37, 5);
    for (const auto &c : cases) {
        qftest::TempDir dir;
        MovieWriter movie;
        // A small picture that no scene shows keeps the video small: every pixel is index 0.
        movie.embedded().load(Asset::Background, Ilbm(Picture(4, 2)));
        movie.load(Asset::Sound, qfauthor::Write8svx(sample));
        movie.scenes(2).scene(1).duration(10).sound(0, 37, c.period, 0x1).scene(2).duration(15).end();
        Dump d = RunDump(dir, movie);
        ExpectShape(d, 4, 2, 500, 13);
        EXPECT_EQ(d.video.find_first_not_of('\0'), std::string::npos);
        EXPECT_EQ(Samples(d, 0, 0, 5), c.first) << "period " << c.period;
        if (c.period != 161) continue;
        // At 22030 Hz the 1000 samples last 1001 frames: frame 1000 (packet 1, frame 118) reads
        // v[trunc(999.09)] = v[999]; then the channel is done until packet 2, still in scene 1,
        // starts it again (and packet 4 once more). Scene 2 (packets 5 on) starts nothing, so
        // the last start plays out to packet 5, frame 118, and silence follows.
        EXPECT_EQ(Samples(d, 1, 118, 2), (std::vector<int16_t>{-3552, 0}));
        EXPECT_EQ(Samples(d, 2, 0, 2), (std::vector<int16_t>{-18204, -18204}));
        EXPECT_EQ(Samples(d, 5, 118, 2), (std::vector<int16_t>{-3552, 0}));
        EXPECT_EQ(d.audio.find_first_not_of('\0', 5 * AudioBytes + 119 * 4), std::string::npos);
    }
}

TEST(DumpE2E, FourChannelsMixAndStartAfreshAfterASeek)
{
    std::vector<int8_t> s0 = Wave(3000, 7, 1), s1 = Wave(1500, 13, 90), s2 = Wave(800, 29, 3), s3;
    for (int i = 0; i < 2000; ++i) s3.push_back(i % 2 ? -127 : 127);
    MovieWriter movie;
    movie.embedded().load(Asset::Background, Ilbm(Picture(4, 2)));
    for (const auto *s : {&s0, &s1, &s2, &s3}) movie.load(Asset::Sound, qfauthor::Write8svx(*s));
    movie.scenes(4).scene(1).duration(10).sound(0, 64, 161, 0x1).sound(1, 40, 200, 0x2).sound(2, 64, 322, 0x4);
    movie.sound(3, 100, 428, 0x8).sound(1, 0, 161, 0x1);  // volume 0 changes nothing
    movie.scene(2).sound(1, 64, 161, 0x4);                // channel 2 starts again, another sample
    movie.scene(3).sound(0, 64, 300, 0xF0F);              // all four channels, bits above 3 ignored
    movie.end();
    qftest::TempDir dir;
    // Frame 0 reads sample 0 of each: s0 -127, s1 -38, s2 -125, s3 127, so
    // (-127 x 64 - 38 x 40 - 125 x 64 + 127 x 100) x 1024 / 256 = -19792.
    Dump d = RunDump(dir, movie);
    ExpectShape(d, 4, 2, 800, 20);
    EXPECT_EQ(Samples(d, 0, 0, 1), std::vector<int16_t>{-19792});
    // Frame 1 reads sample 0 of all four again: every step is below 1 (22030, 17734, 11015 and
    // 8287 Hz against 22050).
    EXPECT_EQ(Samples(d, 0, 1, 1), std::vector<int16_t>{-19792});
    // After a seek into scene 2 (300 ms) only scene 2's start plays: channel 2 with s1 at 22030 Hz,
    // volume 64: s1[0] = -38 and s1[1] = -25 give -9728, -9728, -6400.
    Dump sought = RunDump(dir, movie, {"--seek", "300"});
    ExpectShape(sought, 4, 2, 800, 13);
    EXPECT_EQ(Samples(sought, 0, 0, 3), (std::vector<int16_t>{-9728, -9728, -6400}));
    // Scene 4 starts nothing: after a seek into it everything is silent; past the end, no packets.
    Dump quiet = RunDump(dir, movie, {"--seek", "650"});
    ExpectShape(quiet, 4, 2, 800, 4);
    EXPECT_EQ(quiet.audio.find_first_not_of('\0'), std::string::npos);
    ExpectShape(RunDump(dir, movie, {"--seek", "5000"}), 4, 2, 800, 0);
    // --seek takes whole milliseconds only, as SeekVideo does.
    Dump fractional = RunDump(dir, movie, {"--seek", "2.5"});
    EXPECT_EQ(fractional.run.status, 2);  // a bad option value
    EXPECT_NE(fractional.run.err.find("whole milliseconds"), std::string::npos) << fractional.run.err;
}

}  // namespace
