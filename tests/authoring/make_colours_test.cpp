// Face colours in `make`: faces draw through the scene's palette, so a face drawn in other colours
// is given the scene's numbers for them. Small pictures worked by hand, checked in the frames the
// plug-in plays.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>

#include "authoring/script/make_script.hpp"
#include "movie/movie_model.h"
#include "qfutil/output.hpp"
#include "testing/make_script_fixture.h"
#include "testing/open_bytes.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Rgb = std::array<uint8_t, 3>;

namespace {

constexpr Rgb Black{0, 0, 0}, Red{255, 0, 0}, White{255, 255, 255}, Blue{0, 0, 255}, Green{0, 255, 0};

double Apart(const Rgb &a, const Rgb &b)
{
    double d = 0;
    for (int i = 0; i < 3; ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(d);
}

class MakeColours : public ::testing::Test {
protected:
    qftest::MakeScriptFixture files{"qf-make-colours-test"};
    qfauthor::MakeResult result;
    qftest::ScriptedHost host;
    qftest::Opened opened;

    void picture(const std::string &name, int width, std::vector<uint8_t> indices, std::vector<Rgb> palette,
                 int transparent = -1)
    {
        qfmedia::IndexedPicture p;
        p.width = width;
        p.height = static_cast<int>(indices.size()) / width;
        p.bitDepth = 8;
        p.indices = std::move(indices);
        p.palette = std::move(palette);
        p.transparentIndex = transparent;
        qfmedia::WriteIndexedPng(files.dir / name, p);
    }

    // The script showing face set "f" (face.png) on background "bg" (bg.png) in one scene.
    std::string make(const std::string &faceSetKeys = "", qfauthor::MakeOptions options = {},
                     const std::string &sceneKeys = "", const std::string &out = "movie.qf")
    {
        return run(R"({ "backgrounds": [{ "name": "bg", "png": "bg.png" }],
            "faceSets": [{ "name": "f", "faces": ["face.png"])" +
                       faceSetKeys + R"( }],
            "scenes": [{ "ticks": 6, "background": "bg", "sprites": [{ "faceSet": "f" }])" +
                       sceneKeys + " }] }",
                   options, out);
    }

    std::string run(const std::string &text, qfauthor::MakeOptions options = {}, const std::string &out = "movie.qf")
    {
        qftest::WriteFileBytes(files.dir / "script.json", {text.begin(), text.end()});
        qfutil::Outputs outputs(qfutil::Overwrite::Always);
        try {
            result = qfauthor::MakeMovie(files.dir / "script.json", files.dir / out, outputs, options);
            return "";
        } catch (const std::runtime_error &e) {
            return e.what();
        }
    }

    qfauthor::Bytes bytes(const std::string &out = "movie.qf")
    {
        std::ifstream in(files.dir / out, std::ios::binary);
        return qfauthor::Bytes(std::istreambuf_iterator<char>(in), {});
    }

    // The colours of the frame shown at `at` seconds (frames come every 40 ms), row by row.
    std::vector<Rgb> frame(double at = 0.001)
    {
        CloseVideo(opened.movie);
        qftest::OpenBytes(host, bytes(), opened);
        if (!opened.movie) throw std::runtime_error("the plug-in did not open the movie");
        MovieHandle *m = opened.movie;
        std::vector<uint32_t> words(static_cast<size_t>(m->width) * m->height);
        void *buffers[1] = {words.data()};
        int32_t pitches[1] = {0};
        VideoFrameRecord record{};
        record.buffers = buffers;
        record.pitches = pitches;
        TimingPacket packet{at};
        EXPECT_EQ(DecodeVideoFrame(m, &packet, &record), 0);
        std::vector<Rgb> colours;
        for (uint32_t w : words) {
            auto *b = reinterpret_cast<const uint8_t *>(&w);  // 0, red, green, blue
            colours.push_back({b[1], b[2], b[3]});
        }
        return colours;
    }
};

// A blue and green background of three colours: entries 3 to 31 are free.
TEST_F(MakeColours, AColourTheSceneLacksTakesAFreeEntryAndPlaysAsDrawn)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, {0, 0, 255}, {0, 255, 0}});
    picture("face.png", 2, {0, 1, 1, 2}, {Black, Red, White});  // ImageMagick's order, not the scene's
    ASSERT_EQ(make(), "");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_THAT(result.warnings[0], HasSubstr("\"f\""));
    EXPECT_THAT(result.warnings[0], HasSubstr("2 took free entries, 0 equal entries, 0 pixels moved"));
    // The transparent corner shows the background; the rest plays red and white.
    EXPECT_THAT(frame(), ElementsAre(Rgb{0, 0, 255}, Red, Red, White));
}

// A scene's own palette of three colours leaves 29 free; it plays at 4 bits a component, shifted.
TEST_F(MakeColours, AScenesOwnPaletteLendsTheEntriesItLeavesUnset)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, {0, 0, 255}, {0, 255, 0}});
    picture("face.png", 2, {0, 1, 1, 2}, {Black, Red, White});
    ASSERT_EQ(make("", {}, R"(, "palette": ["#000", "#00F", "#0F0"])"), "");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_THAT(result.warnings[0], HasSubstr("2 took free entries"));
    EXPECT_THAT(frame(), ElementsAre(Rgb{0, 0, 240}, Rgb{240, 0, 0}, Rgb{240, 0, 0}, Rgb{240, 240, 240}));
}

// Every entry is in use: red goes to the nearest, a darker red 55 away.
TEST_F(MakeColours, WithoutRoomAColourMovesToTheNearestAndTheWarningSaysHowFar)
{
    std::vector<Rgb> palette{Black, {200, 0, 0}};
    for (int c = 2; c < 32; ++c) palette.push_back({0, 0, static_cast<uint8_t>(c * 8)});
    std::vector<uint8_t> everyEntry;
    for (int c = 0; c < 32; ++c) everyEntry.push_back(static_cast<uint8_t>(c));
    picture("bg.png", 2, everyEntry, palette);
    picture("face.png", 2, {1, 1, 1, 0}, {Black, Red});
    ASSERT_EQ(make(), "");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_THAT(result.warnings[0], HasSubstr("3 pixels moved to the nearest colour (at most 55 apart in RGB); "
                                              "scene 1 needs 1 colour more than its palette's 32"));
    std::vector<Rgb> played = frame();
    for (int i = 0; i < 3; ++i) EXPECT_LE(Apart(played[i], Red), 55.0) << "pixel " << i;
    EXPECT_EQ(played[0], (Rgb{200, 0, 0}));

    EXPECT_THAT(make("", {.strictColours = true}),
                HasSubstr("face set \"f\": 3 pixels have no exact colour in the palette of the scenes showing it"));
}

// Drawn with the scene's palette loaded (its own PNG may list more): the numbers stay as they are,
// and so does the movie, byte for byte, as with "colours": "numbers".
TEST_F(MakeColours, AFaceInTheScenesNumbersIsLeftAlone)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, {0, 0, 255}, {0, 255, 0}});
    picture("face.png", 2, {0, 2, 1, 2}, {Black, {0, 0, 255}, {0, 255, 0}, Red});
    ASSERT_EQ(make(), "");
    EXPECT_TRUE(result.warnings.empty());
    qfauthor::Bytes matched = bytes();
    ASSERT_EQ(make(R"(, "colours": "numbers")"), "");
    EXPECT_EQ(bytes(), matched);
}

// "numbers" keeps a face that disagrees as it was: red's number 1 plays the scene's blue.
TEST_F(MakeColours, NumbersOnRequestPlayThroughTheScenesPalette)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, {0, 0, 255}, {0, 255, 0}});
    picture("face.png", 2, {0, 1, 1, 1}, {Black, Red});
    ASSERT_EQ(make(R"(, "colours": "numbers")"), "");
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_THAT(frame(), ElementsAre(Rgb{0, 0, 255}, Rgb{0, 0, 255}, Rgb{0, 0, 255}, Rgb{0, 0, 255}));
    EXPECT_THAT(make(R"(, "colours": "nearest")"), HasSubstr("\"colours\" is \"scene\" or \"numbers\""));
}

// Forty greys cannot all be scene colours: without dithering each pixel takes the nearest of 32.
TEST_F(MakeColours, ABackgroundOfMoreColoursIsReducedOrRefused)
{
    std::vector<Rgb> greys;
    std::vector<uint8_t> each;
    for (int c = 0; c < 40; ++c) {
        greys.push_back({static_cast<uint8_t>(c * 6), static_cast<uint8_t>(c * 6), static_cast<uint8_t>(c * 6)});
        each.push_back(static_cast<uint8_t>(c));
    }
    picture("bg.png", 8, each, greys);
    picture("face.png", 1, {0}, {Black});
    ASSERT_EQ(make(), "");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_THAT(result.warnings[0], HasSubstr("bg.png: 40 colours reduced to 32 ("));
    std::vector<Rgb> played = frame();
    for (size_t i = 1; i < 40; ++i) EXPECT_LE(Apart(played[i], greys[i]), 6.0) << "pixel " << i;

    EXPECT_THAT(make("", {.noQuantise = true}),
                HasSubstr("backgrounds[0]: bg.png uses 40 colours; a scene's palette holds 32"));
}

// A red and white PNG8 ship over a 256-colour gradient: the gradient is reduced to 30 colours,
// leaving the ship two free entries, and every pixel plays within the distance the warnings give.
TEST_F(MakeColours, AShipOverAGradientPlaysWithinTheStatedDistance)
{
    std::vector<Rgb> gradient;
    std::vector<uint8_t> each;
    for (int c = 0; c < 256; ++c) {
        gradient.push_back({static_cast<uint8_t>(c), static_cast<uint8_t>(255 - c), static_cast<uint8_t>(c / 2)});
        each.push_back(static_cast<uint8_t>(c));
    }
    picture("bg.png", 16, each, gradient);
    picture("face.png", 2, {1, 2, 1, 1}, {White, Red, White});  // index 0 unused, as ImageMagick may write it
    ASSERT_EQ(make(), "");
    ASSERT_EQ(result.warnings.size(), 2u);
    EXPECT_THAT(result.warnings[0], HasSubstr("bg.png: 256 colours reduced to 30 ("));
    EXPECT_THAT(result.warnings[1], HasSubstr("2 took free entries, 0 equal entries, 0 pixels moved"));
    const std::string &w = result.warnings[1];
    const double stated = std::stod(w.substr(w.find("at most ") + 8));
    std::vector<Rgb> played = frame();
    EXPECT_LE(Apart(played[0], Red), stated + 0.5);
    EXPECT_LE(Apart(played[1], White), stated + 0.5);
    EXPECT_LE(Apart(played[16], Red), stated + 0.5);
    EXPECT_LE(Apart(played[17], Red), stated + 0.5);
    double worst = 0;
    for (size_t i = 0; i < 256; ++i)
        if (i % 16 > 1 || i / 16 > 1) worst = std::max(worst, Apart(played[i], gradient[i]));
    EXPECT_LE(worst, 16.0);
}

// ImageMagick's PNG8 of a white star lists white first and its see-through entry after it: the
// star stays white, the see-through pixels show the background.
TEST_F(MakeColours, APaintProgramsSeeThroughEntryIsTransparent)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, Blue, Green});
    picture("face.png", 2, {1, 0, 0, 1}, {White, Black}, 1);
    ASSERT_EQ(make(), "");
    EXPECT_THAT(frame(), ElementsAre(Blue, White, White, Green));
}

// A photo-like background of 300 colours has no palette at all: it is reduced all the same. A face
// of as many colours is refused with its count.
TEST_F(MakeColours, ATrueColourBackgroundIsReducedAndSuchAFaceRefused)
{
    qfmedia::RgbImage photo(20, 15);
    for (int i = 0; i < 300; ++i) {
        uint8_t *p = photo.at(i % 20, i / 20);
        p[0] = static_cast<uint8_t>(i % 20 * 12), p[1] = static_cast<uint8_t>(i / 20 * 16), p[2] = 128;
    }
    qfmedia::WritePng(files.dir / "bg.png", photo);
    picture("face.png", 1, {0}, {Black});
    ASSERT_EQ(make(), "");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_THAT(result.warnings[0], HasSubstr("bg.png: 300 colours reduced to 32 ("));
    std::vector<Rgb> played = frame();
    double worst = 0;
    for (int i = 1; i < 300; ++i) {
        const uint8_t *p = photo.at(i % 20, i / 20);
        worst = std::max(worst, Apart(played[static_cast<size_t>(i)], {p[0], p[1], p[2]}));
    }
    EXPECT_LE(worst, 40.0);
    EXPECT_THAT(make("", {.noQuantise = true}), HasSubstr("bg.png uses 300 colours; a scene's palette holds 32"));

    qfmedia::WritePng(files.dir / "face.png", photo);
    EXPECT_THAT(make(), HasSubstr("face.png has 300 colours; faces have 31 and transparency"));
}

// Shown over two palettes, a colour takes an entry free in both, so it plays as drawn in each:
// red is entry 1 of the second palette but blue in the first.
TEST_F(MakeColours, ASetShownUnderTwoPalettesPlaysAsDrawnInBoth)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, Blue, Green});
    picture("face.png", 2, {0, 1, 2, 1}, {Black, Red, White});
    ASSERT_EQ(run(R"({ "backgrounds": [{ "name": "bg", "png": "bg.png" }],
        "faceSets": [{ "name": "f", "faces": ["face.png"] }],
        "scenes": [{ "ticks": 6, "background": "bg", "sprites": [{ "faceSet": "f" }] },
                   { "palette": ["#000", "#F00"], "sprites": [{ "faceSet": "f" }] }] })"),
              "");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_THAT(result.warnings[0], HasSubstr("2 took free entries, 0 equal entries, 0 pixels moved"));
    EXPECT_THAT(frame(), ElementsAre(Blue, Red, White, Red));
    constexpr Rgb red4{240, 0, 0}, white4{240, 240, 240};
    // The background's blue number 1 is the second palette's red.
    EXPECT_THAT(frame(0.13), ElementsAre(red4, red4, white4, red4));
}

// Entries a cycle turns are not free: red taken into one would turn with it, frame after frame.
TEST_F(MakeColours, ACycledEntryIsNotGivenAway)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, Blue, Green});
    picture("face.png", 2, {0, 1, 1, 1}, {Black, Red});
    ASSERT_EQ(make("", {}, R"(, "ticks": 60, "cycles": [{ "low": 2, "high": 12 }])"), "");
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_THAT(result.warnings[0], HasSubstr("1 took free entries"));
    for (double at : {0.001, 0.041, 0.081, 0.201}) EXPECT_EQ(frame(at)[1], Red) << "at " << at;
}

// Two sets in one scene share what they take: the second finds the first's red as an equal entry
// and takes the next free one for white.
TEST_F(MakeColours, CompetingSetsShareTheEntriesTheyTake)
{
    picture("bg.png", 2, {1, 2, 1, 2}, {Black, Blue, Green});
    picture("face.png", 2, {0, 1, 1, 0}, {Black, Red});
    picture("face2.png", 2, {0, 0, 1, 2}, {Black, Red, White});
    ASSERT_EQ(run(R"({ "backgrounds": [{ "name": "bg", "png": "bg.png" }],
        "faceSets": [{ "name": "f", "faces": ["face.png"] }, { "name": "g", "faces": ["face2.png"] }],
        "scenes": [{ "ticks": 6, "background": "bg",
                     "sprites": [{ "faceSet": "f" }, { "faceSet": "g", "layer": 1 }] }] })"),
              "");
    ASSERT_EQ(result.warnings.size(), 2u);
    EXPECT_THAT(result.warnings[0],
                HasSubstr("\"f\": its colours are not its scenes' palette: 1 took free entries, 0 equal"));
    EXPECT_THAT(result.warnings[1],
                HasSubstr("\"g\": its colours are not its scenes' palette: 1 took free entries, 1 equal"));
    EXPECT_THAT(frame(), ElementsAre(Blue, Red, Red, White));
}

}  // namespace
