// The built quillframer command on tiny movies written byte by byte: dump's output and JSON line,
// info, and the one-line reasons of failed opens. stdin is never a terminal here.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "qfhost/time.hpp"
#include "testing/run_command.h"
#include "testing/tiny_movie.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qftest::Outcome;
using qftest::ReadBytes;

class ToolTest : public ::testing::Test {
protected:
    Outcome run(const std::vector<std::string> &args) { return qftest::RunQuillframer(args, dir_.path()); }
    fs::path write(const std::string &name, const Bytes &bytes) { return dir_.write(name, bytes); }
    fs::path path(const std::string &name) const { return dir_ / name; }
    qftest::TempDir dir_;
};

using qfauthor::Asset;
using qfauthor::MovieWriter;
using qftest::OneSceneMovie;

using qftest::TwoRowPicture;

std::string Json(int width, int height, int packets)
{
    return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
           ",\"duration\":120,\"frames\":3,\"packets\":" + std::to_string(packets) + "}\n";
}

TEST_F(ToolTest, DumpWritesEveryFrameAndPacketAndOneJsonLine)
{
    std::string movie = write("tiny.qf", OneSceneMovie()).string(), video = path("v").string(),
                audio = path("a").string();
    Outcome r = run({"dump", movie, "--video", video, "--audio", audio});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, Json(352, 240, 6));
    EXPECT_EQ(r.err, "");
    // No background: every pixel word is colour 0 of an empty palette; no sound: silence.
    EXPECT_EQ(ReadBytes(video), Bytes(3 * 352 * 240 * 4, 0));
    EXPECT_EQ(ReadBytes(audio), Bytes(3 * 3528, 0));

    // Outputs are replaced, not appended to; --packets counts video and audio together.
    r = run({"dump", movie, "--video", video, "--audio", audio, "--packets", "3"});
    EXPECT_EQ(r.out, Json(352, 240, 3));
    EXPECT_EQ(fs::file_size(video), 2u * 352 * 240 * 4);
    EXPECT_EQ(fs::file_size(audio), 1u * 3528);

    // A seek to 40 ms leaves two pairs; a seek to the end leaves none.
    r = run({"dump", movie, "--seek", "40", "--video", video});
    EXPECT_EQ(r.out, Json(352, 240, 4));
    EXPECT_EQ(fs::file_size(video), 2u * 352 * 240 * 4);
    EXPECT_EQ(run({"dump", movie, "--seek", "120"}).out, Json(352, 240, 0));

    // "-" is stdout, the data alone in it (the line moves to stderr); one stream takes one output.
    r = run({"dump", movie, "--audio", "-", "--packets", "4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(2 * 3528, '\0'));
    EXPECT_EQ(r.err, Json(352, 240, 4));
    r = run({"dump", movie, "--video", "-", "--audio", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("only one output can be standard output"), std::string::npos) << r.err;
}

TEST_F(ToolTest, DumpFindsReferencedFilesThroughVolumesIgnoringCase)
{
    fs::path movie =
        write("ref.qf", OneSceneMovie([](MovieWriter &m) { m.reference(Asset::Background, "Work:Pics", "Sky"); },
                                      [](MovieWriter &m) { m.background(0); }));
    write("volume/PICS/sky", TwoRowPicture());
    Outcome r =
        run({"dump", movie.string(), "--volume", "work=" + path("volume").string(), "--video", path("v").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, Json(16, 2, 6));
    Bytes expected;
    for (int frame = 0; frame < 3; ++frame) {
        for (int x = 0; x < 16; ++x) expected.insert(expected.end(), {0, 240, 16, 32});
        expected.insert(expected.end(), 16 * 4, 0);
    }
    EXPECT_EQ(ReadBytes(path("v")), expected);
}

TEST_F(ToolTest, InfoReportsTheMovie)
{
    std::string movie = write("tiny.qf", OneSceneMovie()).string();
    Outcome r = run({"info", movie, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *part :
         {"\"width\":352,\"height\":240,\"duration\":120,\"length\":\"00:00.120\",\"frames\":3,\"pluginFrames\":3,"
          "\"pluginDuration\":120,\"packets\":6,\"videoPackets\":3,\"audioPackets\":3",
          "\"audio\":{\"sampleRate\":22050,\"channels\":2,\"bits\":16}", "\"version\":\"1.2\""})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " in\n" << r.out;
    r = run({"info", movie});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *part : {"352 x 240", "0.12 s (00:00.120)", "6 (3 video, 3 audio)", "22050 Hz, 2 channels, 16-bit",
                             "Quill Framer 1.2"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " in\n" << r.out;
}

// One kind of failure each: exit 1, nothing on stdout, one line on stderr naming the cause.
TEST_F(ToolTest, FailuresExitOneWithOneLineNamingTheCause)
{
    Bytes cutOff = OneSceneMovie();  // "i" 6 "z" replaced by a "d" that the file cuts off
    cutOff.resize(cutOff.size() - 4);
    cutOff.insert(cutOff.end(), {'d', 0, 0});
    Bytes cutScene = OneSceneMovie();  // scene 1's "f" with one byte of its four
    cutScene.resize(cutScene.size() - 4);
    cutScene.insert(cutScene.end(), {'f', 0});
    Bytes lastWhole = OneSceneMovie();  // an "f" whose payload ends with the file is not cut off
    lastWhole.resize(lastWhole.size() - 4);
    lastWhole.insert(lastWhole.end(), {'f', 0, 3, 0, 0});
    const struct {
        std::string name;
        Bytes bytes;  // empty: the file is not written
        std::vector<std::string> extra, mentions;
    } cases[] = {
        {"missing.qf", {}, {}, {"cannot open movie", "missing.qf", "No such file"}},
        {"upper.qf", OneSceneMovie({}, {}, "xQuillframeR"), {}, {"bad signature", "upper.qf"}},
        {"cancel.qf",
         OneSceneMovie([](MovieWriter &m) { m.reference(Asset::Background, "Work:", "pic"); }),
         {},
         {"\"Work:\"", "--volume Work=DIR"}},
        {"absent.qf",
         OneSceneMovie([](MovieWriter &m) { m.reference(Asset::Sound, "Work:Sounds", "Boom"); }),
         {"--volume", "Work=" + dir_.path().string()},
         {"Sounds/Boom", "\"Work:\""}},
        {"escape.qf",
         OneSceneMovie([](MovieWriter &m) { m.reference(Asset::Background, "Work:..", "secret"); }),
         {"--volume", "Work=" + path("vol").string()},
         {"refused", ".."}},
        {"letter.qf",
         OneSceneMovie([](MovieWriter &m) { m.raw({'A'}); }),
         {},
         {"malformed command stream", "unknown command byte 0x41", "offset 36"}},
        {"index.qf",
         OneSceneMovie([](MovieWriter &m) {
             m.raw({'f', 0, 3, 0, 0});
         }),
         {},
         {"\"f\" command at offset 36", "background 3"}},
        {"face.qf",
         OneSceneMovie({},
                       [](MovieWriter &m) {
                           m.raw({'e', 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
                       }),
         {},
         {"\"e\" command at offset 47", "face set"}},
        {"cut.qf",
         cutOff,
         {},
         {"cut.qf\" is cut off: the movie file ends at byte 50, in the middle of the choice of a face set for "
          "sprites (42 bytes needed, 2 left; the \"d\" command at offset 47)"}},
        {"scene.qf",
         cutScene,
         {},
         {"ends at byte 49, in the middle of scene 1's background (4 bytes needed, 1 left; the \"f\" command"}},
        {"whole.qf", lastWhole, {}, {"\"f\" command at offset 47", "names background 3"}},
        {"colon.qf",
         OneSceneMovie([](MovieWriter &m) { m.reference(Asset::Background, "Work", "pic"); }),
         {},
         {"\"Work\"", "no colon"}},
        {"volume.qf",
         OneSceneMovie([](MovieWriter &m) { m.reference(Asset::FaceSet, std::string(64, 'V') + ":", "pic"); }),
         {},
         {"64 characters", "at most 63"}},
        {"tiny.qf", OneSceneMovie(), {"--volume", "Work=" + path("nowhere").string()}, {"not a directory"}},
        {"tiny.qf", OneSceneMovie(), {"--plugin", path("none.vtp").string()}, {"none.vtp"}},
    };
    fs::create_directories(path("vol"));
    write("secret", TwoRowPicture());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + (c.extra.empty() ? "" : " " + c.extra[0]));
        if (!c.bytes.empty()) write(c.name, c.bytes);
        std::vector<std::string> args = {"dump", path(c.name).string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        for (const auto &m : c.mentions) EXPECT_NE(r.err.find(m), std::string::npos) << m << " in " << r.err;
    }
}

}  // namespace

namespace {

// Bad options are exit 2 with one "quillframer:" line; a typo of a command gets the nearest one.
TEST_F(ToolTest, UsageErrorsExitTwoWithOneLine)
{
    const struct {
        std::vector<std::string> args;
        std::string mention;
    } cases[] = {
        {{"exprot", "x.qf"}, "unknown command 'exprot' \u2014 did you mean 'export'?"},
        {{"--volume", "W=/tmp", "ifno"}, "did you mean 'info'?"},
        {{"zebra"}, "unknown command 'zebra'"},
        {{"help", "fram"}, "unknown command 'fram' \u2014 did you mean 'frame'?"},
        {{"info"}, "MOVIE"},
        {{"dump", "x.qf", "--packets", "many"}, "--packets"},
        // Bad values too, found before the (here missing) movie is opened.
        {{"frame", "x.qf", "--at", "soon", "-o", "a.png"}, "--at: \"soon\" is not a time"},
        {{"frame", "x.qf", "-o", "a.tiff"}, "a.tiff: .tiff is no picture format"},
        {{"frame", "x.qf", "y.qf", "-o", "a.png"}, "several movies need %n in -o"},
        {{"sheet", "x.qf", "-o", "s.png", "--every", "0"}, "--every must be more than 0"},
        {{"export", "x.qf", "-o", "x.avi"}, "unknown output type"},
        {{"export", "x.qf", "-o", "x.wav", "--duration", "0"}, "--duration must be more than 0"},
        {{"info", "x.qf", "--volume", "Work"}, "--volume: wants NAME=PATH, got \"Work\""},
        {{"dump", "x.qf", "--seek", "1.5"}, "--seek takes whole milliseconds"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mention);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("quillframer: ")) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_NE(r.err.find(c.mention), std::string::npos) << r.err;
    }
    EXPECT_EQ(run({"zebra"}).err.find("did you mean"), std::string::npos);
}

// The usage: alone (a usage error, on stderr), `help` and `help COMMAND` (on stdout).
TEST_F(ToolTest, HelpShowsTheUsage)
{
    Outcome r = run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: quillframer [OPTIONS] [SUBCOMMAND]"), std::string::npos) << r.err;
    r = run({"help"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Subcommands:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  help "), std::string::npos) << r.out;
    r = run({"help", "frame"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Usage: quillframer frame [OPTIONS] MOVIE..."), std::string::npos) << r.out;
    EXPECT_EQ(r.out, run({"frame", "--help"}).out);
}

// --json tells a failure on stdout too, as one object with the status, one per movie when several.
TEST_F(ToolTest, JsonFailuresAreJsonObjects)
{
    Outcome r = run({"info", path("absent.qf").string(), "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.starts_with("{\"error\":\"") && r.out.ends_with("\",\"status\":1}\n")) << r.out;
    EXPECT_NE(r.out.find("absent.qf"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

    r = run({"info", "--json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.starts_with("{\"error\":") && r.out.ends_with(",\"status\":2}\n")) << r.out;

    const std::string good = write("good.qf", OneSceneMovie()).string();
    r = run({"info", good, path("absent.qf").string(), "--json"});
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(r.out.substr(at, end - at));
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_TRUE(lines[0].starts_with("{\"file\":")) << lines[0];  // the good one's object
    EXPECT_EQ(lines[0].find("\"error\""), std::string::npos) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("{\"file\":\"" + path("absent.qf").string() + "\",\"error\":")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("{\"error\":\"2 movies, 1 done, 1 failed")) << lines[2];
}

TEST_F(ToolTest, VersionNamesTheCommandThePlugInAndTheLibraries)
{
    Outcome r = run({"--version"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *part : {"quillframer 1.", "plug-in: Quill Framer 1.2 (01.07.15)", "libavcodec ", "libpng 1.",
                             "SDL2 2.", "liblhasa 0."})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " in\n" << r.out;
}

}  // namespace

namespace {

// One count of pictures and one length wherever they appear: info's text and JSON and export's
// summary agree, also where the scenes' length is no whole number of 40 ms pictures (580 ms) or
// the stream's 0.04 s clock drifts into one more picture (10.4 s). The plug-in's own counts are
// only in --verbose and the JSON.
TEST_F(ToolTest, InfoAndExportShowThePicturesTheStreamDeliversAndHowLongTheyPlay)
{
    const struct {
        uint16_t ticks;
        int pictures, pluginFrames;
        const char *seconds, *time;
    } cases[] = {{6, 3, 3, "0.12 s", "00:00.120"},
                 {29, 15, 14, "0.60 s", "00:00.600"},
                 {520, 261, 260, "10.44 s", "00:10.440"},
                 {1000, 501, 500, "20.04 s", "00:20.040"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ticks);
        std::string movie =
            write("t.qf", OneSceneMovie([](MovieWriter &m) { m.embedded().load(Asset::Background, TwoRowPicture()); },
                                        [](MovieWriter &m) { m.background(0); }, QF_SIGNATURE_QUILLFRAMER, c.ticks))
                .string();
        const std::string pictures = std::to_string(c.pictures), ms = std::to_string(c.pictures * 40);
        Outcome r = run({"info", movie, "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string &part :
             {"\"duration\":" + ms + ",\"length\":\"" + c.time + "\",\"frames\":" + pictures +
              ",\"pluginFrames\":" + std::to_string(c.pluginFrames) +
              ",\"pluginDuration\":" + std::to_string(c.ticks * 20) + ",\"packets\":" + std::to_string(2 * c.pictures)})
            EXPECT_NE(r.out.find(part), std::string::npos) << part << " in " << r.out;

        r = run({"info", movie});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string &part : {"length   " + std::string(c.seconds) + " (" + c.time + ")\n",
                                        "frames   " + pictures + " at 25 per second\n"})
            EXPECT_NE(r.out.find(part), std::string::npos) << part << " in " << r.out;
        EXPECT_EQ(r.out.find("GetVideoFrames"), std::string::npos) << r.out;
        r = run({"info", movie, "--verbose"});
        EXPECT_NE(r.out.find("GetVideoFrames " + std::to_string(c.pluginFrames)), std::string::npos) << r.out;

        r = run({"export", movie, "-o", path("t.gif").string(), "-y"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string summary = ": " + pictures + " frames, 16x2, " + c.seconds + ", ";
        EXPECT_NE(r.out.find(summary), std::string::npos) << summary << " in " << r.out;
    }
}

// A movie cut off in the middle of a path it names: not a missing file, the same one line from
// info as from every other subcommand, and nothing listed on stdout.
TEST_F(ToolTest, InfoReportsACutOffStreamBeforeMissingFilesInTheSameWords)
{
    Bytes bytes = MovieWriter().reference(Asset::Background, "Work:Pics", "Sky").bytes();
    bytes.resize(33 + 1 + 100);  // the "a" at offset 33, 100 of its 288 bytes
    const std::string movie = write("cut.qf", bytes).string();
    const std::string line = "quillframer: \"" + movie +
                             "\" is cut off: the movie file ends at byte 134, in the middle of the Amiga path of "
                             "background 0 (288 bytes needed, 100 left; the \"a\" command at offset 33)\n";
    for (const std::vector<std::string> &args : {std::vector<std::string>{"info", movie},
                                                 {"info", movie, "--json"},
                                                 {"dump", movie},
                                                 {"export", movie, "-o", path("x.wav").string()},
                                                 {"frame", movie, "--at", "0", "-o", path("x.png").string()}}) {
        SCOPED_TRACE(args[0]);
        Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, line);
        // --json tells the same failure as a JSON object too.
        if (args.back() == "--json") {
            const auto failure = nlohmann::json::parse(r.out);
            EXPECT_EQ("quillframer: " + failure.at("error").get<std::string>() + "\n", line);
            EXPECT_EQ(failure.at("status"), 1);
        } else {
            EXPECT_EQ(r.out, "");
        }
    }
}

}  // namespace
