// What the quillframer command writes, run as a program: never onto one of its inputs, never
// half-written (an error or an interrupt leaves the old file as it was), -y and -n; and what it
// prints about a hostile movie: escaped names, a refused oversized picture.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "qfutil/printable.hpp"
#include "testing/run_command.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qfauthor::Asset;
using qfauthor::MovieWriter;
using qftest::Outcome;
using qftest::ReadBytes;

// A picture that declares width x height but carries a 4-byte body.
Bytes DeclaredPicture(uint16_t width, uint16_t height)
{
    Bytes header;
    qfauthor::PutU16(header, width);
    qfauthor::PutU16(header, height);
    header.resize(8, 0);
    header.insert(header.end(), {1, 0, 0, 0, 0, 0, 10, 11});  // one plane, no mask, not packed
    qfauthor::PutU16(header, width);
    qfauthor::PutU16(header, height);
    std::vector<qfauthor::IffChunk> chunks{{"BMHD", header}, {"CMAP", Bytes(96, 0)}, {"BODY", Bytes(4, 0)}};
    return qfauthor::WriteGroup("FORM", "ILBM", chunks, false);
}

// One scene of `ticks` 20 ms ticks on a picture (none when empty).
Bytes Movie(uint16_t ticks, const Bytes &picture = {})
{
    MovieWriter m;
    if (!picture.empty()) m.embedded().load(Asset::Background, picture);
    m.scenes(1).scene(1);
    if (!picture.empty()) m.background(0);
    if (ticks) m.duration(ticks);
    m.end();
    return m.bytes();
}

// A picture named by Amiga path, which nothing maps.
Bytes MovieNaming(const std::string &amigaDir, const std::string &name)
{
    MovieWriter m;
    m.scenes(1).reference(Asset::Background, amigaDir, name).scene(1).background(0).duration(6).end();
    return m.bytes();
}

class OutputsTest : public ::testing::Test {
protected:
    Outcome run(const std::vector<std::string> &args) { return qftest::RunQuillframer(args, scratch_.path()); }
    fs::path write(const std::string &name, const Bytes &bytes) { return dir_.write(name, bytes); }
    fs::path path(const std::string &name) const { return dir_ / name; }
    // Everything in the working directory: no temporary file may be left there.
    std::set<std::string> listing() const
    {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir_.path())) names.insert(entry.path().filename().string());
        return names;
    }
    qftest::TempDir dir_, scratch_;
};

TEST_F(OutputsTest, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsWritten)
{
    const Bytes movie = Movie(6);
    const Bytes script = {'{', '}'};
    struct Case {
        const char *name;
        std::vector<std::string> args;  // the input is IN, the output OUT
        const Bytes &input;
    };
    const Case cases[] = {
        {"export", {"export", "IN", "-o", "OUT", "-y"}, movie}, {"frame", {"frame", "IN", "-o", "OUT", "-y"}, movie},
        {"sheet", {"sheet", "IN", "-o", "OUT", "-y"}, movie},   {"dump", {"dump", "IN", "--video", "OUT"}, movie},
        {"make", {"make", "IN", "-o", "OUT", "-y"}, script},
    };
    for (const Case &c : cases) {
        for (const char *how : {"itself", "symlink", "hard link"}) {
            if (std::strcmp(how, "itself") == 0 && std::strcmp(c.name, "export") != 0) continue;  // the same check
            SCOPED_TRACE(std::string(c.name) + " through " + how);
            fs::remove_all(dir_.path());
            fs::create_directories(dir_.path());
            // A name the command accepts for its output: frame and sheet write pictures only.
            const bool picture = std::strcmp(c.name, "frame") == 0 || std::strcmp(c.name, "sheet") == 0;
            const std::string ext = picture ? ".png" : ".wav";
            fs::path in = write("movie" + ext, c.input), out = in;
            if (std::strcmp(how, "symlink") == 0) fs::create_symlink("movie" + ext, out = path("link" + ext));
            if (std::strcmp(how, "hard link") == 0) fs::create_hard_link(in, out = path("hard" + ext));
            const std::set<std::string> before = listing();
            std::vector<std::string> args = c.args;
            for (auto &a : args) a = a == "IN" ? in.string() : a == "OUT" ? out.string() : a;
            Outcome r = run(args);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("same file as an input"), std::string::npos) << r.err;
            EXPECT_EQ(ReadBytes(in), c.input);
            EXPECT_TRUE(fs::is_symlink(out) || std::strcmp(how, "symlink") != 0);
            EXPECT_EQ(listing(), before);
        }
    }
}

TEST_F(OutputsTest, AnExistingOutputIsReplacedOnlyWithYes)
{
    const std::string movie = write("m.qf", Movie(6)).string(), out = path("still.png").string();
    const Bytes old = {'o', 'l', 'd'};
    write("still.png", old);
    fs::create_symlink("still.png", path("link.png"));

    Outcome r = run({"frame", movie, "-o", out});  // not a terminal: refused
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quillframer: \"" + out + "\" already exists; -y replaces it\n");
    r = run({"frame", movie, "-o", out, "-n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quillframer: \"" + out + "\" already exists and -n keeps it\n");
    EXPECT_EQ(ReadBytes(out), old);
    EXPECT_EQ(run({"frame", movie, "-o", out, "-y", "-n"}).status, 2);

    // Through a symlink: the link stays, the file it names is replaced.
    r = run({"frame", movie, "-o", path("link.png").string(), "-y", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(path("link.png")));
    Bytes written = ReadBytes(out);
    ASSERT_GE(written.size(), 8u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 8), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}));
    EXPECT_EQ(listing(), (std::set<std::string>{"m.qf", "still.png", "link.png"}));

    // A frame pattern: every frame it would write is checked before the first one is.
    fs::create_directories(path("frames"));
    write("frames/002.png", old);
    write("frames/2.png", old);  // not a name the pattern makes
    const std::string pattern = path("frames/%03d.png").string();
    r = run({"export", movie, "-o", pattern, "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quillframer: \"" + path("frames/002.png").string() + "\" already exists; -y replaces it\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(path("frames")), {}), 2);
    ASSERT_EQ(run({"export", movie, "-o", pattern, "--quiet", "-y"}).status, 0);
    EXPECT_NE(ReadBytes(path("frames/002.png")), old);
    EXPECT_EQ(ReadBytes(path("frames/2.png")), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(path("frames")), {}), 4);  // 000 to 002, and 2.png
}

// make's referenced files are outputs too: an existing one is kept without -y, and a script's
// "directory" cannot lead them out of the volume's folder.
TEST_F(OutputsTest, MakeKeepsReferencedFilesWithoutYesAndInsideTheVolume)
{
    fs::copy(fs::path(std::getenv("QF_SOURCE_DIR")) / "docs/examples/bounce", path("src"));
    const std::string script = path("src/bounce.json").string(), movie = path("m/bounce.qf").string();
    ASSERT_EQ(run({"make", script, "-o", movie, "-q"}).status, 0);
    const fs::path boing = path("m/bounce-volume/Bounce/Boing");
    ASSERT_TRUE(fs::exists(boing));
    const Bytes old = {'o', 'l', 'd'};
    write("m/bounce-volume/Bounce/Boing", old);
    fs::remove(movie);

    Outcome r = run({"make", script, "-o", movie, "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\"" + boing.string() + "\" already exists; -y replaces it"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(boing), old);
    EXPECT_FALSE(fs::exists(movie)) << "nothing is written when one output is refused";
    ASSERT_EQ(run({"make", script, "-o", movie, "-q", "-y"}).status, 0);
    EXPECT_NE(ReadBytes(boing), old);

    const Bytes original = ReadBytes(script);
    const std::string text(original.begin(), original.end());
    for (const std::string directory : {"../../escaped", "Bounce/../..", "/Bounce", "a//b", "Work:b"}) {
        std::string changed = text;
        changed.replace(changed.find("\"Bounce\""), 8, "\"" + directory + "\"");
        write("src/bad.json", Bytes(changed.begin(), changed.end()));
        r = run({"make", path("src/bad.json").string(), "-o", path("bad/bad.qf").string(), "-q"});
        EXPECT_EQ(r.status, 1) << directory;
        EXPECT_NE(r.err.find("\"directory\" must be a folder below the volume"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(path("escaped")));
    EXPECT_FALSE(fs::exists(path("bad")));
}

TEST_F(OutputsTest, AFailedExportLeavesNoFileAndTheOldOneAsItWas)
{
    // No length: nothing to export, found only once the container is being written.
    const std::string movie = write("empty.qf", Movie(0)).string();
    for (const char *name : {"out.mkv", "out.gif", "out.wav"}) {
        SCOPED_TRACE(name);
        Outcome r = run({"export", movie, "-o", path(name).string(), "--quiet"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("nothing to export"), std::string::npos) << r.err;
        EXPECT_EQ(listing(), std::set<std::string>{"empty.qf"});

        const Bytes old = {'k', 'e', 'e', 'p'};
        write(name, old);
        EXPECT_EQ(run({"export", movie, "-o", path(name).string(), "-y", "--quiet"}).status, 1);
        EXPECT_EQ(ReadBytes(path(name)), old);
        EXPECT_EQ(listing(), (std::set<std::string>{"empty.qf", name}));
        fs::remove(path(name));
    }
}

// /dev/null and /dev/stdout as outputs stay what they are, in a mount namespace with a /dev of its
// own so that a failure replaces nothing of the machine's.
TEST_F(OutputsTest, DevicesAndDescriptorsAreWrittenInPlaceNeverReplaced)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev (unshare -m)";
    if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "unshare -m is not allowed here";
    const std::string movie = write("m.qf", Movie(12, DeclaredPicture(16, 8))).string();
    ASSERT_EQ(run({"dump", movie, "--video", path("video").string()}).status, 0);
    const char *build = std::getenv("QF_BUILD_DIR");
    const std::string qf = qftest::Quote((fs::path(build ? build : ".") / "quillframer").string());
    const std::string m = qftest::Quote(movie), err = qftest::Quote(path("err").string());
    const std::string script =
        "mount -t tmpfs qftest /dev && mknod -m 666 /dev/null c 1 3 && ln -s /proc/self/fd /dev/fd && "
        "ln -s /proc/self/fd/1 /dev/stdout || exit 9\n"
        "unset QUILLFRAMER_PLUGIN\n"
        "s=0\n"
        // No -y: a device is never an existing file to ask about.
        "for args in 'dump " +
        m + " --audio /dev/null --video /dev/null' 'export " + m + " -o /dev/null -f wav' 'frame " + m +
        " -o /dev/null'; do\n"
        "  eval " +
        qf + " \"$args\" </dev/null >/dev/null 2>>" + err +
        " || s=$((s + 1))\n"
        "done\n"
        "test -c /dev/null || s=$((s + 10))\n" +
        qf + " dump " + m + " --video /dev/stdout 2>>" + err + " </dev/null | cat >" +
        qftest::Quote(path("piped").string()) +
        "\n"
        "test -L /dev/stdout || s=$((s + 20))\n"
        "test \"$(ls -A /dev | wc -l)\" = 3 || s=$((s + 40))\n"  // no temporary file beside them
        "exit $s\n";
    const int status = std::system(("unshare -m sh -c " + qftest::Quote(script)).c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << qftest::ReadText(path("err"));
    EXPECT_EQ(ReadBytes(path("piped")), ReadBytes(path("video")));  // the whole stream, no JSON line in it
}

// Starts quillframer with the default action for the signals the test sends.
pid_t Spawn(const std::vector<std::string> &args, const fs::path &scratch)
{
    const char *build = std::getenv("QF_BUILD_DIR");
    std::string program = (fs::path(build ? build : ".") / "quillframer").string();
    std::vector<char *> argv{program.data()};
    std::vector<std::string> copies = args;
    for (auto &a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> env;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "QUILLFRAMER_PLUGIN=", 19) != 0) env.push_back(*e);
    env.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, (scratch / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &files, &attributes, argv.data(), env.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

TEST_F(OutputsTest, AnInterruptedExportLeavesTheOldFileAndNoTemporaryFile)
{
    qfauthor::IndexedImage image{320, 256, Bytes(320 * 256)};
    for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = static_cast<uint8_t>((i * 7 + i / 320) % 32);
    std::vector<qfauthor::Color> palette(32);
    for (int i = 0; i < 32; ++i) palette[i] = {static_cast<uint8_t>(i * 8), 100, static_cast<uint8_t>(255 - i * 8)};
    qfauthor::IlbmOptions options;
    options.padOddChunks = false;
    MovieWriter m;
    m.embedded().load(Asset::Background, qfauthor::WriteIlbm(image, palette, options));
    m.scenes(1).scene(1).background(0).duration(3000).scroll(2, 0, 0, true).end();  // a minute, every frame new
    const std::string movie = write("long.qf", m.bytes()).string();

    struct Case {
        int signal;
        const char *name;
    };
    for (Case c : {Case{SIGINT, "old.mp4"}, Case{SIGTERM, "old.mkv"}}) {
        SCOPED_TRACE(c.name);
        const Bytes old(1000, 'x');
        write(c.name, old);
        pid_t pid = Spawn({"export", movie, "-o", path(c.name).string(), "-y", "--quiet"}, scratch_.path());
        ASSERT_GT(pid, 0);
        // Wait until the export writes its temporary file, then a little more.
        auto writing = [&] {
            for (const auto &entry : fs::directory_iterator(dir_.path()))
                if (entry.path().filename().string().rfind(std::string(".") + c.name, 0) == 0) return true;
            return false;
        };
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!writing() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(writing());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, c.signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << qftest::ReadText(scratch_ / "stderr");
        EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
        EXPECT_EQ(ReadBytes(path(c.name)), old);
        EXPECT_EQ(listing(), (std::set<std::string>{"long.qf", c.name}));
        fs::remove(path(c.name));
    }
}

TEST_F(OutputsTest, NamesFromAMovieReachTheTerminalEscaped)
{
    struct Case {
        std::string amigaDir, name, shown;
        std::vector<std::string> extra;
    };
    fs::create_directories(path("vol"));
    const Case cases[] = {
        // The missing volume's name, and a file name on a mapped volume.
        {"Wo\x1b]0;owned\arK:Pics", "pic", "Wo\\x1b]0;owned\\x07rK=DIR", {}},
        {"Work:Pics", "p\x1b[2Jic\x9b", "p\\x1b[2Jic\\x9b", {"--volume", "Work=" + path("vol").string()}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.shown);
        std::vector<std::string> args{"info", write("m.qf", MovieNaming(c.amigaDir, c.name)).string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
        ASSERT_FALSE(r.err.empty());
        for (size_t i = 0; i + 1 < r.err.size(); ++i) EXPECT_GE(static_cast<uint8_t>(r.err[i]), 0x20) << i;
        // info lists the missing files on stdout, a line each.
        for (char ch : r.out) EXPECT_TRUE(static_cast<uint8_t>(ch) >= 0x20 || ch == '\n') << r.out;
    }
    // Letters beyond ASCII stay as they are; only controls and bytes that are no UTF-8 are escaped.
    EXPECT_EQ(qfutil::Printable("K\xc3\xa4se \xe2\x80\x94 \xf0\x9f\x8e\x9e"),
              "K\xc3\xa4se \xe2\x80\x94 \xf0\x9f\x8e\x9e");
    EXPECT_EQ(qfutil::Printable("\x7f\xc2\x9b\xc3(\xe2\x80"), "\\x7f\\xc2\\x9b\\xc3(\\xe2\\x80");
}

TEST_F(OutputsTest, APictureAboveThePixelBudgetIsRefusedAtTheOpen)
{
    const std::string small = write("small.qf", Movie(6, DeclaredPicture(16, 2))).string();
    Outcome r = run({"frame", small, "-o", path("f.png").string(), "--max-pixels", "31"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "quillframer: picture is 16x2 (32 pixels), above the limit of 31 pixels; --max-pixels raises it\n");
    EXPECT_FALSE(fs::exists(path("f.png")));
    EXPECT_EQ(run({"info", small, "--max-pixels", "32"}).status, 0);

    // The default: 64 megapixels.
    const std::string huge = write("huge.qf", Movie(6, DeclaredPicture(8193, 8192))).string();
    r = run({"dump", huge, "--video", path("v").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quillframer: picture is 8193x8192 (67117056 pixels), above the limit of 67108864 pixels; "
                     "--max-pixels raises it\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(path("v")));
}

}  // namespace
