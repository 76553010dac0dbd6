// quillframer info on what a movie is made of: every missing file at once with the flags that
// supply them (never asking), each file with where it was found, and the scene table whose times
// frame --at takes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "authoring/adf_writer.h"
#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "qfhost/time.hpp"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using qfauthor::Asset;
using qftest::Outcome;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Art: a directory, Music: a disk image, Work: a directory; two files embedded. Scene 2 shows
// another picture than scenes 1 and 3.
class InfoContentsTest : public ::testing::Test {
protected:
    InfoContentsTest()
    {
        const std::vector<qfauthor::Color> colors{{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
        std::vector<qfauthor::Color> screen(32);  // a picture's palette is taken whole, 32 colours
        screen[1] = {255, 0, 0}, screen[2] = {0, 255, 0};
        auto picture = [&](uint8_t index) {
            return qfauthor::WriteIlbm({40, 25, std::vector<uint8_t>(1000, index)}, screen);
        };
        std::vector<qfauthor::FaceEntry> faces(2);
        faces[0].image = {3, 2, std::vector<uint8_t>(6, 3)};
        faces[1].image = {2, 2, std::vector<uint8_t>(4, 3)};
        qfauthor::WriteReferencedAsset(dir_ / "art", "Art:Pics", "Sky", picture(1));
        // Not "work": a folder named like a volume beside the movie stands for it.
        qfauthor::WriteReferencedAsset(dir_ / "work-volume", "Work:", "Sea", picture(2));
        qfauthor::AdfWriter music(qfauthor::AdfOptions{.label = "Songs"});
        music.file("Tunes/Boom", qfauthor::Write8svx(std::vector<int8_t>(300, 9)));
        music.file("Faces/Hero", qfauthor::WriteFaceSet(faces, colors));
        music.save(dir_ / "music.adf");
        movie_ = dir_.write("three.qf", qfauthor::MovieWriter()
                                            .reference(Asset::Sound, "Music:Tunes", "Boom")
                                            .reference(Asset::Background, "Art:Pics", "Sky")
                                            .reference(Asset::Background, "Work:", "Sea")
                                            .reference(Asset::FaceSet, "music:Faces", "Hero")
                                            .embedded()
                                            .load(Asset::FaceSet, qfauthor::WriteFaceSet(faces, colors))
                                            .load(Asset::Sound, qfauthor::Write8svx(std::vector<int8_t>(100, 5)))
                                            .scenes(3)
                                            // clang-format off
                                            .scene(1).background(0).duration(10).sound(1, 64, 428, 0b0101)
                                            .scene(2).background(1).duration(25).faceSet(0, 0, 0).sprite(1, 0, 0, 0)
                                            .scene(3).background(0).duration(7).sound(0, 32, 428, 0b0010)
                                            // clang-format on
                                            .end()
                                            .bytes())
                     .string();
    }
    Outcome run(std::vector<std::string> args, bool allVolumes = true)
    {
        args.insert(args.end(), {"--volume", "Art=" + (dir_ / "art").string()});
        if (allVolumes)
            args.insert(args.end(),
                        {"--volume", "Music=" + adf(), "--volume", "Work=" + (dir_ / "work-volume").string()});
        return qftest::RunQuillframer(args, dir_.path());
    }
    std::string adf() const { return (dir_ / "music.adf").string(); }
    qftest::TempDir dir_;
    std::string movie_;
};

constexpr const char *Prompt = "for Amiga volume";

TEST_F(InfoContentsTest, MissingFilesAreAllListedWithTheFlagsThatSupplyThemAndNoOneIsAsked)
{
    const std::string line =
        "quillframer: 3 files on 2 volumes are missing; give them with --volume Music=DIR --volume Work=DIR\n";
    Outcome r = run({"info", movie_}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, line);
    for (const char *part : {"Music: (no --volume", "sound 0       Music:Tunes/Boom", "face set 0    music:Faces/Hero",
                             "Work: (no --volume", "background 1  Work:Sea"})
        EXPECT_TRUE(Has(r.out, part)) << part << " in\n" << r.out;
    EXPECT_FALSE(Has(r.out, "Art:")) << "found, so not missing";

    r = run({"info", movie_, "--json"}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"error\":\"" + line.substr(std::string("quillframer: ").size(), line.size() - 14) +
                         "\",\"status\":1}\n");  // no listing, only the line as JSON
    EXPECT_EQ(r.err, line);

    // On a terminal, where the normal open would ask for each volume in turn.
    if (std::system("command -v script >/dev/null 2>&1") == 0) {
        std::string command = "unset QUILLFRAMER_PLUGIN; " +
                              (fs::path(std::getenv("QF_BUILD_DIR")) / "quillframer").string() + " info " +
                              qftest::Quote(movie_) + " --volume Art=" + qftest::Quote((dir_ / "art").string());
        r = qftest::RunCommand("script", {"-qec", command, "/dev/null"}, dir_.path(), "timeout 60");
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(Has(r.out, Prompt)) << r.out;
        EXPECT_TRUE(Has(r.out, line.substr(0, line.size() - 1))) << r.out;
    }

    // A volume given that lacks the file: named with where it was looked for.
    fs::create_directories(dir_ / "empty");
    r = qftest::RunQuillframer({"info", movie_, "--volume", "Art=" + (dir_ / "empty").string(), "--volume",
                                "Music=" + adf(), "--volume", "work=" + (dir_ / "work-volume").string()},
                               dir_.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "quillframer: 1 file is missing, Art:Pics/Sky (not at " + (dir_ / "empty/Pics/Sky").string() + ")\n");
    EXPECT_FALSE(Has(r.err + r.out, Prompt));
}

TEST_F(InfoContentsTest, EachFileShowsWhereItWasFoundAndTheJsonSaysTheSame)
{
    Outcome r = run({"info", movie_});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sky = (dir_ / "art/Pics/Sky").string();
    for (const std::string &part : std::vector<std::string>{
             "  picture  40 x 25\n", "  contents 3 scenes, 2 backgrounds, 2 face sets, 2 sounds\n",
             "  file     sound 0       Music:Tunes/Boom (" + adf() + ":Tunes/Boom)  300 samples at ",
             "  file     background 0  Art:Pics/Sky (" + sky + ")  40 x 25, 32 colours\n",
             "  file     background 1  Work:Sea (" + (dir_ / "work-volume/Sea").string() + ")  40 x 25, 32 colours\n",
             "  file     face set 0    music:Faces/Hero (" + adf() + ":Faces/Hero)  2 faces, 4 colours\n",
             "  file     face set 1    embedded  2 faces, 4 colours\n",
             "  file     sound 1       embedded  100 samples at "})
        EXPECT_TRUE(Has(r.out, part)) << part << " in\n" << r.out;

    Outcome j = run({"info", movie_, "--json"});
    ASSERT_EQ(j.status, 0) << j.err;
    const nlohmann::json info = nlohmann::json::parse(j.out);
    EXPECT_EQ(info["width"], 40) << "the keys of before stay";
    const auto &assets = info["assets"];
    ASSERT_EQ(assets.size(), 6u);
    std::map<std::string, int> perType;
    for (const auto &a : assets) {
        ++perType[a["type"].get<std::string>()];
        if (a["origin"] == "embedded") continue;
        // The same path as the text shows, on the image where there is one.
        const std::string where = a.contains("image")
                                      ? a["image"].get<std::string>() + ":" + a["inside"].get<std::string>()
                                      : a["hostPath"].get<std::string>();
        EXPECT_TRUE(Has(r.out, a["amigaPath"].get<std::string>() + " (" + where + ")")) << a;
    }
    EXPECT_EQ(perType, (std::map<std::string, int>{{"background", 2}, {"faceSet", 2}, {"sound", 2}}));
    EXPECT_EQ(assets[1]["hostPath"], sky);
    EXPECT_EQ(assets[0]["image"], adf());
    EXPECT_EQ(assets[0]["samples"], 300);
    EXPECT_EQ(info["scenes"].size(), 3u);
    EXPECT_EQ(info["scenes"][1]["faceSets"], nlohmann::json::array({0}));
    EXPECT_EQ(info["scenes"][2]["channels"][1]["volume"], 32);
    EXPECT_TRUE(info["scenes"][2]["channels"][0].is_null());
}

// Rows of the table: number, start, length as printed.
struct Row {
    int number;
    std::string start, length;
};

TEST_F(InfoContentsTest, SceneStartsAddUpAndEachOneSeeksIntoItsScene)
{
    Outcome r = run({"info", movie_, "--scenes"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Row> rows;
    std::istringstream lines(r.out.substr(r.out.find("  scene  start")));
    std::string line;
    std::getline(lines, line);
    for (Row row; lines >> row.number >> row.start >> row.length; std::getline(lines, line)) rows.push_back(row);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    const nlohmann::json info = nlohmann::json::parse(run({"info", movie_, "--json"}).out);

    uint64_t end = 0;
    std::vector<std::vector<uint8_t>> pictures;
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].start);
        EXPECT_EQ(rows[i].number, static_cast<int>(i) + 1);
        std::optional<uint64_t> start = qfhost::ParseTime(rows[i].start), length = qfhost::ParseTime(rows[i].length);
        ASSERT_TRUE(start && length);
        EXPECT_EQ(*start, end) << "each scene starts where the one before ends";
        EXPECT_GT(*length, 0u);
        EXPECT_EQ(info["scenes"][i]["start"], *start);
        EXPECT_EQ(info["scenes"][i]["startTime"], rows[i].start);
        end = *start + *length;

        // The picture frame --at gives for the printed start is the one the scene shows halfway.
        const std::string at = (dir_ / ("at" + std::to_string(i) + ".png")).string();
        const std::string half = (dir_ / ("half" + std::to_string(i) + ".png")).string();
        ASSERT_EQ(run({"frame", "-q", movie_, "--at", rows[i].start, "-o", at}).status, 0);
        ASSERT_EQ(run({"frame", "-q", movie_, "--at", qfhost::FormatTime(*start + *length / 2), "-o", half}).status, 0);
        pictures.push_back(qftest::ReadBytes(at));
        EXPECT_EQ(pictures.back(), qftest::ReadBytes(half));
    }
    EXPECT_EQ(end, info["pluginDuration"].get<uint64_t>()) << "the last scene ends with the movie's scenes";
    EXPECT_NE(pictures[0], pictures[1]);
    EXPECT_NE(pictures[1], pictures[2]);
}

// A movie made from a script names its sounds and channels as the script did: channel 0 to 3,
// each sound by its name, embedded or not, in the table and in the JSON.
TEST(InfoNames, ChannelsAndSoundsAreTheScriptsOwn)
{
    const char *source = std::getenv("QF_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    qftest::TempDir dir;
    const std::string wav = (fs::path(source) / "docs/examples/bounce/boing.wav").string();
    const nlohmann::json script = {
        {"sounds",
         {{{"name", "boing"}, {"file", wav}, {"rate", 11025}},
          {{"name", "ping"}, {"file", wav}, {"rate", 11025}, {"embed", false}}}},
        {"scenes",
         {{{"ticks", 10},
           {"sounds", {{{"sound", "ping"}, {"channel", 3}, {"volume", 40}}, {{"sound", "boing"}, {"channel", 0}}}}}}}};
    dir.write("s.json", [&] {
        const std::string text = script.dump();
        return std::vector<uint8_t>(text.begin(), text.end());
    }());
    const std::string movie = (dir / "s.qf").string();
    Outcome r = qftest::RunQuillframer({"make", (dir / "s.json").string(), "-o", movie}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> volume{"--volume", "Work=" + (dir / "s-volume").string()};

    std::vector<std::string> args{"info", movie, "--json"};
    args.insert(args.end(), volume.begin(), volume.end());
    r = qftest::RunQuillframer(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json info = nlohmann::json::parse(r.out);
    // Referenced files load first, so "ping" is sound 0 though the script lists it second.
    EXPECT_EQ(info["assets"][0]["name"], "ping");
    EXPECT_EQ(info["assets"][1]["name"], "boing");
    EXPECT_EQ(info["assets"][1]["origin"], "embedded");
    const nlohmann::json &channels = info["scenes"][0]["channels"];
    EXPECT_EQ(channels[0]["name"], "boing");
    EXPECT_EQ(channels[0]["sound"], 1);
    EXPECT_EQ(channels[3]["name"], "ping");
    EXPECT_EQ(channels[3]["volume"], 40);
    EXPECT_TRUE(channels[1].is_null() && channels[2].is_null());

    args = {"info", movie, "--scenes"};
    args.insert(args.end(), volume.begin(), volume.end());
    r = qftest::RunQuillframer(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string row = r.out.substr(r.out.rfind("\n      1 ") + 1);
    EXPECT_TRUE(Has(r.out, "channel 0 to 3: sound rate volume")) << r.out;
    EXPECT_TRUE(Has(r.out, "file     sound 1       embedded as \"boing\"")) << r.out;
    // Channel 0 first, then two silent ones, then channel 3.
    const size_t boing = row.find("boing "), dash = row.find(" -  ", boing), ping = row.find("ping ", dash);
    EXPECT_TRUE(boing != std::string::npos && dash != std::string::npos && ping != std::string::npos) << row;
}

}  // namespace
