// What the `make` script reader accepts and refuses: the rules of docs/make-script.md worked by
// hand, each refusal with its message and place, and the facts of a made movie as the plug-in
// opens it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "authoring/script/make_script.hpp"
#include "movie/movie_model.h"
#include "qfutil/output.hpp"
#include "testing/make_script_fixture.h"
#include "testing/open_bytes.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// The assets of a script, from the fixture's files; `top` is more top-level keys, each with its comma.
struct Assets {
    const char *backgrounds = R"([{ "name": "field", "png": "field.png" }])";
    const char *faceSets = R"([{ "name": "ball", "faces": ["ball1.png", { "png": "ball2.png", "offset": [-1, 2] }] }])";
    const char *sounds = R"([{ "name": "boing", "file": "boing.wav", "period": 428 }])";
    const char *top = "";
};

std::string Script(const std::string &scenes, const Assets &a = {})
{
    return std::string("{\n  ") + a.top + "\n  \"backgrounds\": " + a.backgrounds + ",\n  \"faceSets\": " + a.faceSets +
           ",\n  \"sounds\": " + a.sounds + ",\n  \"scenes\": " + scenes + "\n}\n";
}

using Case = std::pair<std::string, std::string>;  // a script, and its refusal after "script.json: "

class MakeScript : public ::testing::Test {
protected:
    qftest::MakeScriptFixture files{"qf-make-script-test"};
    qfauthor::MakeResult result;
    qftest::ScriptedHost host;
    qftest::Opened opened;

    fs::path out() const { return files.dir / "out" / "movie.qf"; }

    // "" when the movie was made, else the refusal.
    std::string make(const std::string &text, const fs::path &script = "script.json")
    {
        if (!text.empty()) qftest::WriteFileBytes(files.dir / script, {text.begin(), text.end()});
        qfutil::Outputs outputs(qfutil::Overwrite::Always);
        try {
            result = qfauthor::MakeMovie(files.dir / script, out(), outputs);
            return "";
        } catch (const std::runtime_error &e) {
            return e.what();
        }
    }

    void expectRefusals(const std::vector<Case> &cases)
    {
        for (const auto &[script, refusal] : cases) EXPECT_EQ(make(script), "script.json: " + refusal) << script;
    }

    // Makes the script and opens the movie through the plug-in.
    const MovieHandle &open(const std::string &text)
    {
        EXPECT_EQ(make(text), "");
        std::ifstream in(out(), std::ios::binary);
        qftest::OpenBytes(host, qfauthor::Bytes(std::istreambuf_iterator<char>(in), {}), opened);
        if (!opened.movie) throw std::runtime_error("the plug-in did not open the movie");
        return *opened.movie;
    }
};

TEST_F(MakeScript, DurationsAreTicksOrRoundedSecondsAndCarryOn)
{
    const MovieHandle &m = open(Script(R"([{ "ticks": 6 }, { "ticks": 65535 }, { "seconds": 0.3 }, {},
                                          { "seconds": 0.12, "repeat": 2 }])"));
    ASSERT_EQ(m.sceneCount, 6);
    const int frames[] = {6, 65535, 15, 15, 6, 6};
    for (int n = 1; n <= 6; ++n) EXPECT_EQ(m.scenes[n].frames, frames[n - 1]) << "scene " << n;
    EXPECT_EQ(opened.descriptor.duration, 65583u * 20);
    EXPECT_NEAR(result.seconds, 1311.66, 1e-9);
    EXPECT_EQ(result.scenes, 6);

    expectRefusals({
        {Script(R"([{ "ticks": 5 }])"), "scenes[0] (scene 1): a scene lasts 6 to 65535 ticks (0.12 s to 21:50)"},
        {Script(R"([{ "ticks": 10 }, { "ticks": 65536 }])"),
         "scenes[1] (scene 2): a scene lasts 6 to 65535 ticks (0.12 s to 21:50)"},
        {Script(R"([{ "seconds": 0.1 }])"), "scenes[0] (scene 1): a scene lasts 6 to 65535 ticks (0.12 s to 21:50)"},
        {Script(R"([{ "ticks": "10" }])"), "scenes[0] (scene 1): type must be number, but is string"},
        {Script(R"([{ "ticks": -1e30 }])"), "scenes[0] (scene 1): number -1e+30 is out of range"},
        {Script(R"([{}, {}])"),
         "scenes[0] (scene 1): the movie has no length: give the first scene \"seconds\" or \"ticks\""},
        // A later duration does not reach back: the first scene would last 0 ticks.
        {Script(R"([{}, { "ticks": 8 }])"), "scenes[0] (scene 1): the first scene needs \"seconds\" or \"ticks\""},
    });
}

TEST_F(MakeScript, RepeatMakesContinuationScenesAndPlacesCountThem)
{
    const MovieHandle &m = open(Script(R"([{ "ticks": 10, "background": "field", "repeat": 3 }])"));
    ASSERT_EQ(m.sceneCount, 3);
    EXPECT_EQ(m.scenes[3].frames, 10);
    EXPECT_EQ(m.scenes[3].background, m.scenes[1].background);
    EXPECT_EQ(m.scenes[1].background->width, 32);

    EXPECT_EQ(make(Script(R"([{ "ticks": 6, "repeat": 65535 }])")), "");
    EXPECT_EQ(result.scenes, 65535);
    expectRefusals({
        {Script(R"([{ "ticks": 10 }, { "repeat": 0 }])"), "scenes[1] (scene 2): \"repeat\" must be 1 or more"},
        {Script(R"([{ "ticks": 10, "repeat": -3 }])"), "scenes[0] (scene 1): \"repeat\" must be 1 or more"},
        {Script(R"([{ "ticks": 6, "repeat": 65535 }, {}])"), "scenes: more than 65535 scenes"},
        {Script(R"([{ "ticks": 6, "repeat": 4294967297 }])"), "scenes[0] (scene 1): number 4294967297 is out of range"},
        // Entry 1 is scene 5: the messages count the scenes a repeat makes.
        {Script(R"([{ "ticks": 10, "repeat": 4 }, { "background": "nope" }])"),
         "scenes[1] (scene 5): no background named \"nope\""},
        {Script(R"([{ "ticks": 10, "repeat": 2 }, { "scrol": {} }])"),
         "scenes[1].scrol (scene 3): unknown key \u2014 did you mean 'scroll'?"},
        {Script("[]"), "the script needs a non-empty \"scenes\" list"},
    });
}

TEST_F(MakeScript, SoundsStartOnTheirChannelsAtTheirVolumeAndPeriod)
{
    const MovieHandle &m = open(Script(R"([{ "ticks": 10, "sounds": [{ "sound": "boing" }] },
        { "sounds": [{ "sound": "boing", "channels": [1, 3], "volume": 1, "period": 55 }] }])"));
    const SceneRecord &first = m.scenes[1], &second = m.scenes[2];
    EXPECT_NE(first.sounds[0], nullptr);  // channel 0, full volume, the sound's own period: by default
    EXPECT_EQ(first.volumes[0], 64);
    EXPECT_EQ(first.rates[0], 8287);  // 7093789.2 / (2 * 428)
    for (int ch : {1, 2, 3}) EXPECT_EQ(first.sounds[ch], nullptr) << ch;
    EXPECT_EQ(second.sounds[0], nullptr);
    EXPECT_EQ(second.sounds[2], nullptr);
    for (int ch : {1, 3}) {
        EXPECT_EQ(second.sounds[ch], first.sounds[0]) << ch;
        EXPECT_EQ(second.volumes[ch], 1) << ch;
        EXPECT_EQ(second.rates[ch], 64488) << ch;  // 7093789.2 / 110 = 64488.99
    }
    EXPECT_EQ(m.soundSamples->samplesPerSecond, 8287);  // resampled to the period's rate

    auto scene = [](const char *start) {
        return Script(std::string(R"([{ "ticks": 10, "sounds": [)") + start + "] }]");
    };
    auto sounds = [](const char *list) { return Script(R"([{ "ticks": 10 }])", {.sounds = list}); };
    expectRefusals({
        {scene(R"({ "sound": "boing", "volume": 0 })"), "scenes[0] (scene 1): sound \"volume\" is 1 to 64"},
        {scene(R"({ "sound": "boing", "volume": 65 })"), "scenes[0] (scene 1): sound \"volume\" is 1 to 64"},
        {scene(R"({ "sound": "boing", "period": 54 })"), "scenes[0] (scene 1): \"period\" must be 55 or more"},
        {scene(R"({ "sound": "boing", "channels": [4] })"), "scenes[0] (scene 1): channels are 0 to 3"},
        {scene(R"({ "sound": "boeing" })"), "scenes[0] (scene 1): no sound named \"boeing\""},
        {scene(R"({ "sound": "field" })"), "scenes[0] (scene 1): no sound named \"field\""},
        {scene(R"({ "channel": 1 })"), "scenes[0] (scene 1): missing \"sound\""},
        {sounds(R"([{ "name": "s", "file": "boing.wav", "period": 54 }])"), "sounds[0]: \"period\" must be 55 or more"},
        {sounds(R"([{ "name": "s", "file": "boing.wav", "rate": 0 }])"), "sounds[0]: \"period\" must be 55 or more"},
        // Once wrapped to 65535 and to 55.
        {sounds(R"([{ "name": "s", "file": "boing.wav", "period": -1 }])"), "sounds[0]: number -1 is out of range"},
        {sounds(R"([{ "name": "s", "file": "boing.wav", "period": 65591 }])"),
         "sounds[0]: number 65591 is out of range"},
        {sounds(R"([{ "name": "field", "file": "boing.wav" }])"), "two assets are named \"field\""},
    });
}

TEST_F(MakeScript, PalettesBackgroundsCyclesAndScrolling)
{
    const MovieHandle &m = open(Script(R"([
        { "ticks": 10, "background": "field", "palette": ["#F00", "#00FF00", [0, 0, 255], [300, -5, 40]] },
        { "background": null, "palette": "field" },
        { "cycles": [{ "low": 8, "high": 15 }] },
        { "cycles": [null, { "stop": true }, { "low": 3, "high": 4, "reverse": true }] },
        { "cycles": "stop", "scroll": { "axis": "y", "velocity": -3, "limit": 40, "acceleration": 1 } }])"));
    auto colour = [&](int n, int c) {
        return std::vector<int>(m.scenes[n].palette + 3 * c, m.scenes[n].palette + 3 * c + 3);
    };
    EXPECT_EQ(m.scenes[1].paletteCount, 32);
    EXPECT_EQ(colour(1, 0), (std::vector<int>{0xF0, 0, 0}));
    EXPECT_EQ(colour(1, 1), (std::vector<int>{0, 0xF0, 0}));
    EXPECT_EQ(colour(1, 2), (std::vector<int>{0, 0, 0xF0}));
    EXPECT_EQ(colour(1, 3), (std::vector<int>{0xF0, 0, 0x20}));  // clamped to 255, 0, then 4 bits each
    EXPECT_EQ(colour(1, 4), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(m.scenes[2].background, m.noBackground);
    EXPECT_EQ(colour(2, 5), (std::vector<int>{0x20, 0xD0, 0}));  // field.png's colour 5 is (40, 215, 15)
    EXPECT_EQ(colour(2, 20), (std::vector<int>{0, 0, 0}));       // its 16 colours padded with black
    // low, high, direction, command (1 start, 2 stop, 3 leave the slot as it is) of each slot
    auto cycles = [&](int n) {
        std::vector<int> all;
        for (const ColorCycle &c : m.scenes[n].cycles) all.insert(all.end(), {c.low, c.high, c.direction, c.command});
        return all;
    };
    EXPECT_EQ(cycles(3), (std::vector<int>{8, 15, 0, 1, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3}));
    EXPECT_EQ(cycles(4), (std::vector<int>{0, 0, 0, 3, 0, 0, 0, 2, 3, 4, 1, 1, 0, 0, 0, 3}));
    EXPECT_EQ(cycles(5), (std::vector<int>{0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 2}));
    ASSERT_NE(m.scenes[5].scroll, nullptr);
    const ScrollMotion &s = *m.scenes[5].scroll;
    EXPECT_EQ(std::vector<int>({s.horizontal, s.velocity, s.limit, s.acceleration}), (std::vector<int>{0, -3, 40, 1}));

    auto scene = [](const char *keys) { return Script(std::string(R"([{ "ticks": 10, )") + keys + " }]"); };
    const std::string at = "scenes[0] (scene 1): ";
    std::string colours33 = R"("palette": [)";
    for (int c = 0; c < 32; ++c) colours33 += R"("#000", )";
    colours33 += R"("#000"])";
    expectRefusals({
        {scene(colours33.c_str()), at + "\"palette\" lists 33 colours; a scene's palette holds 32"},
        {scene(R"("palette": ["#0000"])"), at + "colour \"#0000\" is not #RGB, #RRGGBB or [r, g, b]"},
        {scene(R"("palette": [[1, 2]])"), at + "a colour array needs 3 numbers"},
        {scene(R"("palette": "boing")"), at + "\"palette\" names no background"},
        {scene(R"("palette": "nothing")"), at + "no asset named \"nothing\""},
        {scene(R"("cycles": [{ "low": 9, "high": 2 }])"), at + "a cycle range needs low <= high <= 255"},
        {scene(R"("cycles": [{ "low": 0, "high": 256 }])"), at + "a cycle range needs low <= high <= 255"},
        {scene(R"("cycles": [{ "low": 9 }])"), at + "key 'high' not found"},
        {scene(R"("cycles": [null, null, null, null, null])"), at + "\"cycles\" lists up to 4 ranges, or is \"stop\""},
        {scene(R"("scroll": { "axis": "z" })"), at + "scroll \"axis\" is \"x\" or \"y\""},
        {scene(R"("scroll": { "velocity": 40000 })"), at + "number 40000 is out of range"},  // once -25536
    });
}

TEST_F(MakeScript, SpritesPlaceOneFacePerSceneFromTheirScene)
{
    const MovieHandle &m = open(Script(R"([{ "ticks": 10, "sprites": [
        { "faceSet": "ball", "origin": [4, 0], "layer": 1, "frames": [{ "y": 2 }, { "face": 2, "x": 6, "y": 12 }] },
        { "faceSet": "ball", "origin": [10, 20], "layer": 15, "faces": [2, 1], "count": 3, "move": [3, -1] },
        { "faceSet": "ball" }] }, {}, {}])"));
    // x, y, width of the one placement in a layer; face 2 (10 wide) is offset by (-1, 2).
    auto placed = [&](int n, int layer) {
        const SpritePlacement *p = m.scenes[n].layers[layer];
        if (!p) return std::vector<int>{};
        EXPECT_EQ(p->next, nullptr);
        return std::vector<int>{p->x, p->y, p->width};
    };
    EXPECT_EQ(placed(1, 1), (std::vector<int>{4, 2, 8}));
    EXPECT_EQ(placed(2, 1), (std::vector<int>{9, 14, 10}));
    EXPECT_EQ(placed(3, 1), std::vector<int>{});
    EXPECT_EQ(placed(1, 15), (std::vector<int>{9, 22, 10}));
    EXPECT_EQ(placed(2, 15), (std::vector<int>{13, 19, 8}));
    EXPECT_EQ(placed(3, 15), (std::vector<int>{15, 20, 10}));
    EXPECT_EQ(placed(1, 0), (std::vector<int>{0, 0, 8}));  // by default face 1, once, at the origin, on top
    EXPECT_EQ(placed(2, 0), std::vector<int>{});

    auto sprite = [](const char *keys) {
        return Script(std::string(R"([{ "ticks": 10, "repeat": 2, "sprites": [{ "faceSet": "ball", )") + keys +
                      " }] }]");
    };
    const std::string at = "scenes[0] (scene 1): ";
    expectRefusals({
        {sprite(R"("layer": 16)"), at + "sprite \"layer\" is 0 (top) to 15"},
        {sprite(R"("layer": 4294967296)"), at + "number 4294967296 is out of range"},  // once layer 0
        {sprite(R"("frames": [{ "face": 3 }])"), at + "face 3 is not in \"ball\" (faces 1 to 2)"},
        {sprite(R"("faces": [0])"), at + "face 0 is not in \"ball\" (faces 1 to 2)"},
        {sprite(R"("frames": [{}, {}, {}])"), at + "sprite animation of 3 frames runs past the last scene (2)"},
        {sprite(R"("count": 200000000)"), at + "sprite animation of 200000000 frames runs past the last scene (2)"},
        {sprite(R"("faces": [])"), at + "sprite \"faces\" is empty"},
        {sprite(R"("move": [1, 2, 3])"), at + "sprite \"move\" is [dx, dy]"},
        {sprite(R"("origin": [1])"), at + "array index 1 is out of range"},
        {Script(R"([{ "ticks": 10, "sprites": [{ "layer": 1 }] }])"), at + "missing \"faceSet\""},
    });
}

TEST_F(MakeScript, AssetsAreEncodedAsTheScriptSays)
{
    const MovieHandle &m =
        open(Script(R"([{ "ticks": 10 }])", {.backgrounds = R"([{ "name": "field", "png": "field.png" },
        { "name": "deep", "png": "field.png", "planes": 8, "compress": false }])"}));
    EXPECT_EQ(std::vector<int>({result.backgrounds, result.faceSets, result.sounds, result.referenced}),
              (std::vector<int>{2, 1, 1, 0}));
    ASSERT_EQ(m.backgroundCount, 2);
    EXPECT_EQ(m.backgrounds->planeCount, 4);  // the fewest that hold 16 colours
    EXPECT_EQ(m.backgrounds->compression, 1);
    EXPECT_EQ(m.backgrounds->next->planeCount, 8);
    EXPECT_EQ(m.backgrounds->next->compression, 0);
    ASSERT_EQ(m.faceSets->imageCount, 2);
    EXPECT_EQ(std::vector<int>({m.faceSets->images->next->offsetX, m.faceSets->images->next->offsetY}),
              (std::vector<int>{-1, 2}));

    auto backgrounds = [](const char *list) { return Script(R"([{ "ticks": 10 }])", {.backgrounds = list}); };
    auto faces = [](const char *list) { return Script(R"([{ "ticks": 10 }])", {.faceSets = list}); };
    expectRefusals({
        {backgrounds(R"([{ "name": "f", "png": "field.png", "planes": 9 }])"),
         "backgrounds[0]: \"planes\" must be 1 to 8"},
        {backgrounds(R"([{ "name": "f", "png": "field.png", "planes": 3 }])"),
         "backgrounds[0]: colour index 15 does not fit 3 planes"},
        {backgrounds(R"([{ "png": "field.png" }])"), "backgrounds[0]: missing \"name\""},
        {backgrounds(R"([{ "name": "f", "png": "field.png", "amigaName": "a/b" }])"),
         "backgrounds[0]: Amiga file name \"a/b\" must be 1 to 31 characters without : or /, not . or .."},
        {faces(R"([{ "name": "b", "faces": [] }])"), "faceSets[0]: \"faces\" must list at least one PNG"},
        {faces(R"([{ "name": "b", "faces": ["wide.png"] }])"),
         "faceSets[0]: wide.png uses 138 colours besides transparency; a face has 31"},
        {faces(R"([{ "name": "b", "faces": ["wide.png"], "colours": "numbers" }])"),
         "faceSets[0]: wide.png uses colour index 35; faces have 32 colours (0 is transparent)"},
        {faces(R"([{ "name": "b", "faces": [{ "png": "ball1.png", "offset": [40000, 0] }] }])"),
         "faceSets[0]: number 40000 is out of range"},
        {faces(R"([{ "name": "b", "faces": [{ "png": "ball1.png", "ofset": [1, 0] }] }])"),
         "faceSets[0].faces[0].ofset: unknown key \u2014 did you mean 'offset'?"},
    });
    EXPECT_THAT(make(backgrounds(R"([{ "name": "f", "png": "noise.png" }])")),
                HasSubstr("noise.png is not a PNG file"));
}

TEST_F(MakeScript, TheTopLevelAndTheScriptFile)
{
    auto top = [](const char *keys) { return Script(R"([{ "ticks": 10 }])", {.top = keys}); };
    EXPECT_EQ(make(top(R"("embed": false, "volume": "Disk", "directory": "Anims/Bounce/",)")), "");
    EXPECT_EQ(result.referenced, 3);
    EXPECT_EQ(result.volumeName, "Disk");
    EXPECT_EQ(result.volumeDirectory, files.dir / "out" / "movie-volume");
    for (const char *name : {"field", "ball", "boing"})
        EXPECT_TRUE(fs::is_regular_file(result.volumeDirectory / "Anims" / "Bounce" / name)) << name;

    const std::string below =
        "top level: \"directory\" must be a folder below the volume (no :, no leading or double /, no . or ..)";
    expectRefusals({
        {top(R"("volume": "Wo:rk",)"), "top level: \"volume\" must be 1 to 63 characters without : or /"},
        {top(R"("directory": "a/../b",)"), below},
        {top(R"("directory": "a//b",)"), below},
        {top(R"("embed": "yes",)"), "top level: type must be boolean, but is string"},
        {top(R"("volumes": "Work",)"), "volumes: unknown key \u2014 did you mean 'volume'?"},
        {"[1, 2]", "the script must be a JSON object"},
    });
    // JSON has no comments: the parser's place is the line and column.
    EXPECT_THAT(make("{\n  \"scenes\": [],\n  // none\n}"),
                StartsWith("script.json: not valid JSON: parse error at line 3, column 3"));
    const std::string newline = make(Script(R"([{ "ticks": 10, "sc\nroll": {} }])"));
    EXPECT_THAT(newline, HasSubstr("unknown key"));
    EXPECT_EQ(newline.find('\n'), std::string::npos);
    EXPECT_EQ(make("", "absent.json"),
              "cannot read " + (files.dir / "absent.json").string() + ": no such file or not readable");
    EXPECT_EQ(make("", "/dev/null"), "cannot read \"/dev/null\": not a regular file");
}

}  // namespace
