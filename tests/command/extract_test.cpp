// quillframer extract on a movie, run as a program: the files it writes, read back by hand, and
// movie.json, which `make` turns into a movie that `dump` cannot tell from the first.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qfauthor::Asset;
using qfauthor::MovieWriter;
using qftest::Outcome;
using qftest::ReadBytes;

class ExtractTest : public ::testing::Test {
protected:
    Outcome run(const std::vector<std::string> &args) { return qftest::RunQuillframer(args, dir_.path()); }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    // dump's video and audio of a movie, one after the other.
    Bytes dump(const std::string &movie, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"dump", movie, "--video", path("dump.video"), "--audio", path("dump.audio")};
        args.insert(args.end(), extra.begin(), extra.end());
        Outcome r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        Bytes both = ReadBytes(path("dump.video")), audio = ReadBytes(path("dump.audio"));
        both.insert(both.end(), audio.begin(), audio.end());
        return both;
    }

    // extract, make from movie.json, and the two dumps, which must be equal.
    void expectRoundTrip(const std::string &movie, std::vector<std::string> options = {})
    {
        std::vector<std::string> args{"extract", movie, "-o", path("out"), "-y"};
        args.insert(args.end(), options.begin(), options.end());
        Outcome r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
        r = run({"make", path("out/movie.json"), "-o", path("again.qf"), "-y"});
        ASSERT_EQ(r.status, 0) << r.err;
        Bytes first = dump(movie, options);
        EXPECT_GT(first.size(), 0u);
        EXPECT_TRUE(first == dump(path("again.qf"))) << "the movie made from movie.json plays differently";
    }

    qftest::TempDir dir_;
};

struct PngChunks {
    int bitDepth = 0, colorType = 0;
    Bytes palette, transparency;
};

// IHDR, PLTE and tRNS read straight from the file.
PngChunks ReadPngChunks(const std::string &file)
{
    Bytes png = ReadBytes(file);
    PngChunks chunks;
    for (size_t at = 8; at + 12 <= png.size();) {
        size_t length = size_t{png[at]} << 24 | size_t{png[at + 1]} << 16 | size_t{png[at + 2]} << 8 | png[at + 3];
        std::string type(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8);
        Bytes data(png.begin() + static_cast<long>(at) + 8, png.begin() + static_cast<long>(at + 8 + length));
        if (type == "IHDR") chunks.bitDepth = data[8], chunks.colorType = data[9];
        if (type == "PLTE") chunks.palette = data;
        if (type == "tRNS") chunks.transparency = data;
        at += 12 + length;
    }
    return chunks;
}

std::vector<qfauthor::Color> Colours(int count, int seed)
{
    std::vector<qfauthor::Color> colours;
    for (int c = 0; c < count; ++c)
        colours.push_back(
            {static_cast<uint8_t>(c * 8 + seed), static_cast<uint8_t>(255 - c * 7), static_cast<uint8_t>(c * 5 + 16)});
    return colours;
}

Bytes Background(int shift)
{
    qfauthor::IndexedImage image{24, 16, Bytes(24 * 16)};
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 24; ++x) image.pixels[y * 24 + x] = static_cast<uint8_t>((x * 3 + y + shift) % 32);
    qfauthor::IlbmOptions options;
    options.padOddChunks = false;
    return qfauthor::WriteIlbm(image, Colours(32, shift), options);
}

qfauthor::FaceEntry Face(int width, int height, int16_t offsetX, int16_t offsetY)
{
    qfauthor::FaceEntry face;
    face.image = {width, height, Bytes(static_cast<size_t>(width * height))};
    for (size_t i = 0; i < face.image.pixels.size(); ++i) face.image.pixels[i] = static_cast<uint8_t>(i % 4);
    face.offsetX = offsetX;
    face.offsetY = offsetY;
    return face;
}

Bytes Sound(std::vector<int8_t> samples, uint16_t rate)
{
    qfauthor::SvxOptions options;
    options.samplesPerSecond = rate;
    return qfauthor::Write8svx(samples, options);
}

// The bounce example as documented: its sound referenced on a volume, the rest embedded.
TEST_F(ExtractTest, TheBounceExampleComesBackAsTheSameMovie)
{
    const char *source = std::getenv("QF_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    Outcome r =
        run({"make", (fs::path(source) / "docs/examples/bounce/bounce.json").string(), "-o", path("bounce.qf")});
    ASSERT_EQ(r.status, 0) << r.err;
    expectRoundTrip(path("bounce.qf"), {"--volume", "Work=" + path("bounce-volume")});
    // The referenced sound keeps its Amiga name; a name-less embedded picture gets a numbered one.
    EXPECT_TRUE(fs::exists(path("out/Boing.wav")));
    EXPECT_TRUE(fs::exists(path("out/background-00.png")));
    EXPECT_TRUE(fs::exists(path("out/faceset-00-face-02.png")));

    // Existing files are left alone with -n.
    r = run({"extract", path("bounce.qf"), "--volume", "Work=" + path("bounce-volume"), "-o", path("out"), "-n"});
    EXPECT_EQ(r.status, 1);
}

// The built-in demo, made before faces took their scenes' colours: its art comes back and makes
// the same movie again.
TEST_F(ExtractTest, TheDemoComesBackAsTheSameMovie)
{
    Outcome r = run({"demo", "-o", path("demo"), "-y"});
    ASSERT_EQ(r.status, 0) << r.err;
    expectRoundTrip(path("demo/demo.qf"), {"--volume", "DemoDisk=" + path("demo/DemoDisk")});
}

// Two pictures scrolling both ways and none, a scene palette, cycles started, reversed and
// stopped, sounds on every channel at several periods and volumes, two face sets overlapping in
// one layer and an animation running on through later scenes.
TEST_F(ExtractTest, AHandMadeMovieComesBackAsTheSameMovieWithExactFiles)
{
    const std::vector<int8_t> click = {-128, -1, 0, 1, 127, 64, -64, 3};
    MovieWriter m;
    m.scenes(6).embedded();
    m.load(Asset::Background, Background(0)).load(Asset::Background, Background(5));
    m.load(Asset::FaceSet, qfauthor::WriteFaceSet(std::vector{Face(3, 2, 0, 0), Face(4, 4, 1, -1)}, Colours(4, 1)));
    m.load(Asset::FaceSet, qfauthor::WriteFaceSet(std::vector{Face(5, 3, 0, 0)}, Colours(4, 2)));
    m.load(Asset::Sound, Sound(click, 8000));  // a rate no period gives
    m.load(Asset::Sound, Sound(std::vector<int8_t>(300, 20), 17734));
    std::array<uint16_t, 32> palette{};
    for (size_t c = 0; c < 32; ++c) palette[c] = static_cast<uint16_t>(c * 0x111 % 0x1000);
    std::array<qfauthor::CycleRange, 4> start{{{4, 9, 0, 1}, {10, 12, 1, 1}, {}, {}}}, stop{{{0, 0, 0, 2}, {}, {}, {}}};

    m.scene(1).duration(8).background(0).scroll(3, 9, 2, false);
    m.sound(0, 40, 443, 0x3).sound(1, 64, 200, 0x8);
    m.faceSet(0, 2, 3).sprite(1, 0, 0, 2).sprite(2, 4, 1, 2).sprite(1, 6, 2, 2);
    m.faceSet(1, 3, 3).sprite(1, 0, 0, 2).sprite(1, -9, 0, 0);
    m.scene(2).palette(palette).cycles(start);
    m.scene(4).duration(10).background(1).cycles(stop).sound(0, 64, 300, 0x4);
    m.scene(5).background(0xFFFF).faceSet(1, -2, 8).sprite(1, 0, 0, 0);
    m.scene(6).background(0).scroll(-2, 0, 0, true);
    m.end();
    m.save(path("hand.qf"));
    expectRoundTrip(path("hand.qf"));

    // The picture's own 32 colours at 8 bits; faces at the depth their 4 colours need, 0 transparent.
    PngChunks background = ReadPngChunks(path("out/background-00.png"));
    EXPECT_EQ(background.colorType, 3);
    EXPECT_EQ(background.bitDepth, 8);
    Bytes expected;
    for (const qfauthor::Color &c : Colours(32, 0)) expected.insert(expected.end(), {c.red, c.green, c.blue});
    EXPECT_EQ(background.palette, expected);
    EXPECT_TRUE(background.transparency.empty());
    PngChunks face = ReadPngChunks(path("out/faceset-01-face-01.png"));
    EXPECT_EQ(face.colorType, 3);
    EXPECT_EQ(face.bitDepth, 2);
    EXPECT_EQ(face.palette.size(), 4u * 3);
    EXPECT_EQ(face.transparency, Bytes{0});

    // The sound at its own rate, every sample as it was (8-bit WAV samples are unsigned).
    Outcome r = qftest::RunCommand("soxi", {"-r", path("out/sound-00.wav")}, dir_.path());
    EXPECT_EQ(r.out, "8000\n");
    r = qftest::RunCommand("soxi", {"-s", path("out/sound-00.wav")}, dir_.path());
    EXPECT_EQ(r.out, "8\n");
    Bytes wav = ReadBytes(path("out/sound-00.wav"));
    Bytes samples(wav.end() - 8, wav.end());
    for (size_t i = 0; i < click.size(); ++i) EXPECT_EQ(samples[i], static_cast<uint8_t>(click[i] + 128)) << i;
}

// A volume above 64 and a picture of 16 colours as a scene's palette are beyond a script: each
// is named with its scene, and the files and movie.json are still written.
TEST_F(ExtractTest, WhatAScriptCannotSayIsNamedWithItsScene)
{
    qfauthor::IlbmOptions options;
    options.padOddChunks = false;
    MovieWriter m;
    m.scenes(2).embedded();
    m.load(Asset::Background, qfauthor::WriteIlbm({16, 2, Bytes(32, 3)}, Colours(16, 0), options));
    m.load(Asset::Sound, Sound({1, 2, 3, 4}, 8000));
    m.scene(1).duration(6).sound(0, 100, 443, 1);
    m.scene(2).background(0).end();
    m.save(path("odd.qf"));
    Outcome r = run({"extract", path("odd.qf"), "-o", path("out")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: scene 1: plays \"sound-00\" at volume 100"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("warning: scene 2: background \"background-00\" has 16 colours"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("extracted 1 background, 0 faces, 1 sound into"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(path("out/movie.json")));
}

// A face set whose own colours (red, white) are not the scene's plays in the scene's: it is written
// in those, so the art on disk is what plays, and made again it keeps its numbers.
TEST_F(ExtractTest, FacesAreWrittenInTheColoursTheyPlayIn)
{
    MovieWriter m;
    m.scenes(1).embedded();
    m.load(Asset::Background, Background(0));
    const std::vector<qfauthor::Color> redWhite{{0, 0, 0}, {255, 0, 0}, {255, 255, 255}};
    m.load(Asset::FaceSet, qfauthor::WriteFaceSet(std::vector{Face(3, 1, 0, 0)}, redWhite));  // numbers 0, 1, 2
    m.scene(1).duration(6).background(0).faceSet(0, 0, 0).sprite(1, 0, 0, 0).end();
    m.save(path("ship.qf"));
    expectRoundTrip(path("ship.qf"));
    Bytes played;
    for (const qfauthor::Color &c : Colours(3, 0)) played.insert(played.end(), {c.red, c.green, c.blue});
    EXPECT_EQ(ReadPngChunks(path("out/faceset-00-face-01.png")).palette, played);
}

// Names from the movie are hostile: they stay inside the folder, readable and distinct, and a
// missing file is named while the rest still comes out.
TEST_F(ExtractTest, AmigaNamesCannotEscapeAndMissingFilesAreNamed)
{
    const std::vector<std::string> names = {".hidden", "B\xe4r.iff", "a?b", "A*B", "\x1b[2Jx", "../../escape"};
    MovieWriter m;
    m.scenes(1);
    for (const std::string &name : names) m.reference(Asset::Background, "Work:Art", name);
    m.reference(Asset::FaceSet, "Work:Art", "-rf");
    m.reference(Asset::Sound, "Gone:Snd", "boom");
    m.scene(1).duration(6).background(0).end();
    m.save(path("names.qf"));
    for (size_t i = 0; i + 1 < names.size(); ++i) dir_.write("volume/Art/" + names[i], Background(static_cast<int>(i)));
    dir_.write("volume/Art/-rf", qfauthor::WriteFaceSet(std::vector{Face(2, 2, 0, 0)}, Colours(4, 0)));

    Outcome r = run({"extract", path("names.qf"), "--volume", "Work=" + path("volume"), "-o", path("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing sound Gone:Snd/boom (no volume Gone:)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing background Work:Art/../../escape"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "a control byte reached the terminal";
    std::set<std::string> written;
    for (const auto &entry : fs::recursive_directory_iterator(path("out")))
        written.insert(entry.path().filename().string());
    EXPECT_EQ(written, (std::set<std::string>{"_hidden.png", "B\xc3\xa4r.png", "a_b.png", "A_B-2.png", "_[2Jx.png",
                                              "_rf-face-01.png"}));
    std::set<std::string> top;
    for (const auto &entry : fs::directory_iterator(dir_.path())) top.insert(entry.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{"names.qf", "volume", "out", "stdout", "stderr"}));
}

}  // namespace
