// The built quillframer command on tiny movies written byte by byte: dump's output and JSON line,
// info, and the one-line reasons of failed opens. stdin is never a terminal here.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Bytes ReadBytes(const fs::path &p)
{
    std::string s = ReadText(p);
    return Bytes(s.begin(), s.end());
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *build = std::getenv("QF_BUILD_DIR");
        ASSERT_NE(build, nullptr) << "QF_BUILD_DIR";
        exe_ = fs::path(build) / "quillframer";
        ASSERT_TRUE(fs::exists(exe_)) << exe_;
        dir_ = fs::temp_directory_path() / ("qftools-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    fs::path write(const std::string &name, const Bytes &bytes)
    {
        fs::path p = dir_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size()));
        return p;
    }

    static std::string Quote(const std::string &s)
    {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    }

    // Runs quillframer with stdin from /dev/null and no QUILLFRAMER_PLUGIN in the way.
    Outcome run(const std::vector<std::string> &args)
    {
        std::string command = "unset QUILLFRAMER_PLUGIN; " + Quote(exe_.string());
        for (const auto &a : args) command += " " + Quote(a);
        command += " </dev/null >" + Quote((dir_ / "stdout").string()) + " 2>" + Quote((dir_ / "stderr").string());
        Outcome r;
        int status = std::system(command.c_str());
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadText(dir_ / "stdout");
        r.err = ReadText(dir_ / "stderr");
        return r;
    }

    fs::path exe_;
    fs::path dir_;
};

void Put16(Bytes &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void Put32(Bytes &b, uint32_t v)
{
    Put16(b, v >> 16);
    Put16(b, v & 0xFFFF);
}

void PutText(Bytes &b, const std::string &s, size_t field)
{
    Bytes t(field, 0);
    std::copy(s.begin(), s.end(), t.begin());
    b.insert(b.end(), t.begin(), t.end());
}

Bytes Head(const std::string &signature = "xQuillframer")
{
    Bytes m(signature.begin(), signature.end());
    m.resize(33, 0);
    return m;
}

// "w" 1; optional commands; "c" 1; "i" 6 (120 ms); "z".
Bytes OneSceneMovie(const Bytes &before = {}, const Bytes &inScene = {}, const std::string &signature = "xQuillframer")
{
    Bytes m = Head(signature);
    m.push_back('w');
    Put16(m, 1);
    m.insert(m.end(), before.begin(), before.end());
    m.push_back('c');
    m.insert(m.end(), 8, 0);
    Put16(m, 1);
    m.insert(m.end(), inScene.begin(), inScene.end());
    m.push_back('i');
    Put16(m, 6);
    m.push_back('z');
    return m;
}

Bytes Reference(char command, const std::string &directory, const std::string &name)
{
    Bytes b{static_cast<uint8_t>(command)};
    PutText(b, directory, 256);
    PutText(b, name, 32);
    return b;
}

// A 16 x 2 one-plane ILBM with 32 colours: row 0 is colour 1, row 1 colour 0.
Bytes TwoRowPicture()
{
    Bytes body;
    body.insert(body.end(), {'B', 'M', 'H', 'D'});
    Put32(body, 20);
    Put16(body, 16);
    Put16(body, 2);
    Put32(body, 0);                                  // x, y
    body.insert(body.end(), {1, 0, 0, 0});           // planes, masking, compression, pad
    Put16(body, 0);                                  // transparent colour
    body.insert(body.end(), {10, 11});               // aspect
    Put16(body, 320);
    Put16(body, 200);
    body.insert(body.end(), {'C', 'M', 'A', 'P'});
    Put32(body, 96);
    for (int i = 0; i < 32; ++i) body.insert(body.end(), {uint8_t(i == 1 ? 240 : 0), uint8_t(i == 1 ? 16 : 0), uint8_t(i == 1 ? 32 : 0)});
    body.insert(body.end(), {'B', 'O', 'D', 'Y'});
    Put32(body, 4);
    body.insert(body.end(), {0xFF, 0xFF, 0x00, 0x00});
    Bytes file{'F', 'O', 'R', 'M'};
    Put32(file, static_cast<uint32_t>(body.size() + 4));
    file.insert(file.end(), {'I', 'L', 'B', 'M'});
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

TEST_F(ToolTest, DumpWritesEveryFrameAndPacketAndOneJsonLine)
{
    fs::path movie = write("tiny.qf", OneSceneMovie());
    fs::path video = dir_ / "video.raw", audio = dir_ / "audio.raw";
    Outcome r = run({"dump", movie.string(), "--video", video.string(), "--audio", audio.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"width\":352,\"height\":240,\"duration\":120,\"frames\":3,\"packets\":6}\n");
    EXPECT_EQ(r.err, "");
    // No background: every pixel word is colour 0 of an empty palette; no sound: silence.
    EXPECT_EQ(ReadBytes(video), Bytes(3 * 352 * 240 * 4, 0));
    EXPECT_EQ(ReadBytes(audio), Bytes(3 * 3528, 0));

    // Outputs are replaced, not appended to across runs.
    r = run({"dump", movie.string(), "--video", video.string(), "--audio", audio.string(), "--packets", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"width\":352,\"height\":240,\"duration\":120,\"frames\":3,\"packets\":3}\n");
    EXPECT_EQ(fs::file_size(video), 2u * 352 * 240 * 4);
    EXPECT_EQ(fs::file_size(audio), 1u * 3528);

    // A seek to 40 ms leaves two pairs; a seek past the end leaves none.
    r = run({"dump", movie.string(), "--seek", "40", "--video", video.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"width\":352,\"height\":240,\"duration\":120,\"frames\":3,\"packets\":4}\n");
    EXPECT_EQ(fs::file_size(video), 2u * 352 * 240 * 4);
    r = run({"dump", movie.string(), "--seek", "120"});
    EXPECT_EQ(r.out, "{\"width\":352,\"height\":240,\"duration\":120,\"frames\":3,\"packets\":0}\n");
}

TEST_F(ToolTest, DumpFindsReferencedFilesThroughVolumesIgnoringCase)
{
    Bytes movie = OneSceneMovie(Reference('a', "Work:Pics", "Sky"), Bytes{'f', 0, 0, 0, 0});
    fs::path path = write("ref.qf", movie);
    write("volume/PICS/sky", TwoRowPicture());
    fs::path video = dir_ / "video.raw";
    Outcome r = run({"dump", path.string(), "--volume", "work=" + (dir_ / "volume").string(), "--video",
                 video.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"width\":16,\"height\":2,\"duration\":120,\"frames\":3,\"packets\":6}\n");
    Bytes frames = ReadBytes(video);
    ASSERT_EQ(frames.size(), 3u * 16 * 2 * 4);
    for (int frame = 0; frame < 3; ++frame)
        for (int x = 0; x < 16; ++x) {
            size_t top = (frame * 32 + x) * 4, bottom = (frame * 32 + 16 + x) * 4;
            EXPECT_EQ(Bytes(frames.begin() + top, frames.begin() + top + 4), (Bytes{0, 240, 16, 32}));
            EXPECT_EQ(Bytes(frames.begin() + bottom, frames.begin() + bottom + 4), (Bytes{0, 0, 0, 0}));
        }
}

TEST_F(ToolTest, InfoReportsTheMovie)
{
    fs::path movie = write("tiny.qf", OneSceneMovie());
    Outcome r = run({"info", movie.string(), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"width\":352,\"height\":240,\"duration\":120,\"length\":\"00:00.120\",\"frames\":3,"
                         "\"packets\":6,\"videoPackets\":3,\"audioPackets\":3"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"audio\":{\"sampleRate\":22050,\"channels\":2,\"bits\":16}"), std::string::npos);
    EXPECT_NE(r.out.find("\"version\":\"1.2\""), std::string::npos);

    r = run({"info", movie.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *part : {"352 x 240", "120 ms (00:00.120)", "6 (3 video, 3 audio)", "22050 Hz, 2 channels, 16-bit",
                             "Quill Framer 1.2"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " in\n" << r.out;
}

TEST_F(ToolTest, FailedOpensExitOneWithOneLineNamingTheCause)
{
    struct Case {
        std::string name;
        Bytes bytes;  // empty: the file is not written
        std::vector<std::string> extra;
        std::vector<std::string> mentions;
    };
    const fs::path secret = dir_ / "secret";
    const std::vector<Case> cases = {
        {"missing.qf", {}, {}, {"cannot open movie", "missing.qf", "No such file"}},
        {"upper.qf", OneSceneMovie({}, {}, "xQuillframeR"), {}, {"bad signature", "upper.qf"}},
        {"short.qf", Bytes{'x', 'Q'}, {}, {"bad signature"}},
        {"cancel.qf", OneSceneMovie(Reference('a', "Work:", "pic")), {}, {"\"Work:\"", "--volume Work=DIR"}},
        {"absent.qf", OneSceneMovie(Reference('j', "Work:Sounds", "Boom")), {"--volume", "Work=" + dir_.string()},
         {"Sounds/Boom", "\"Work:\""}},
        {"escape.qf", OneSceneMovie(Reference('a', "Work:..", "secret")), {"--volume", "Work=" + (dir_ / "vol").string()},
         {"refused", ".."}},
        {"letter.qf", OneSceneMovie(Bytes{'A'}), {}, {"malformed command stream"}},
    };
    fs::create_directories(dir_ / "vol");
    write("secret", TwoRowPicture());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::path movie = dir_ / c.name;
        if (!c.bytes.empty()) write(c.name, c.bytes);
        std::vector<std::string> args = {"dump", movie.string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        for (const auto &m : c.mentions) EXPECT_NE(r.err.find(m), std::string::npos) << m << " in " << r.err;
    }
}

TEST_F(ToolTest, BadOptionsAndPluginsAreReported)
{
    fs::path movie = write("tiny.qf", OneSceneMovie());
    Outcome r = run({"dump", movie.string(), "--volume", "Work"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("NAME=DIR"), std::string::npos) << r.err;
    r = run({"dump", movie.string(), "--volume", "Work=" + (dir_ / "nowhere").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a directory"), std::string::npos) << r.err;
    r = run({"info", movie.string(), "--plugin", (dir_ / "none.vtp").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("none.vtp"), std::string::npos) << r.err;
    r = run({"dump", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--seek"), std::string::npos);
    EXPECT_NE(r.out.find("--volume"), std::string::npos);
    r = run({});
    EXPECT_NE(r.status, 0);
}

}  // namespace
