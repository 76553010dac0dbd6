// The quillframer command on compressed disks and on archives of them, named by one path through
// the nest: a movie plays as from the plain floppy, and what comes out is what gunzip, unzip and
// unadf give on the same bytes. The caps on nesting refuse a hostile nest by name.
#include <gtest/gtest.h>

#include <map>

#include "authoring/adf_writer.h"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qftest::Outcome;
using qftest::ReadBytes;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::map<std::string, Bytes> Tree(const fs::path &root)
{
    std::map<std::string, Bytes> files;
    for (const auto &e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = ReadBytes(e.path());
    return files;
}

class ContainersTest : public ::testing::Test {
protected:
    Outcome run(const std::vector<std::string> &args) { return qftest::RunQuillframer(args, dir_.path()); }
    int sh(const std::string &command)
    {
        return qftest::RunCommand("sh", {"-c", "cd " + qftest::Quote(dir_.path()) + " && " + command}, dir_.path())
            .status;
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    std::pair<std::string, Bytes> dump(const std::string &movie)
    {
        const std::string video = path("v" + std::to_string(++dumps_));
        Outcome r = run({"dump", movie, "--video", video});
        EXPECT_EQ(r.status, 0) << movie << ": " << r.err;
        return {r.out, ReadBytes(video)};
    }
    // bounce.adf (volume "Work", the movie and its sound), gzipped into a ZIP beside another floppy,
    // and that ZIP zipped again.
    void MakeNest()
    {
        const std::string example = (fs::path(std::getenv("QF_SOURCE_DIR")) / "docs/examples/bounce/bounce.json");
        ASSERT_EQ(run({"make", example, "-o", path("bounce.adf")}).status, 0);
        qfauthor::AdfOptions options;
        options.label = "Other";
        dir_.write("Disk2.adf", qfauthor::AdfWriter(options).file("note", Bytes{'n'}).image());
        ASSERT_EQ(
            sh("gzip -c bounce.adf > Disk1.adz && zip -q set.zip Disk1.adz Disk2.adf && zip -q outer.zip set.zip"), 0);
    }
    qftest::TempDir dir_;
    int dumps_ = 0;
};

TEST_F(ContainersTest, AMovieInANestPlaysAsFromThePlainFloppy)
{
    MakeNest();
    const auto plain = dump(path("bounce.adf"));
    EXPECT_FALSE(plain.second.empty());
    EXPECT_EQ(dump(path("Disk1.adz")), plain);
    EXPECT_EQ(dump(path("set.zip") + ":Disk1.adz"), plain);
    EXPECT_EQ(dump(path("set.zip") + ":Disk1.adz:bounce.movie"), plain);
    EXPECT_EQ(dump(path("outer.zip") + ":set.zip:Disk1.adz:bounce.movie"), plain);

    // The same movie made into a folder, its volume given by hand through the nest.
    const std::string example = (fs::path(std::getenv("QF_SOURCE_DIR")) / "docs/examples/bounce/bounce.json");
    ASSERT_EQ(run({"make", example, "-o", path("folder/bounce.qf")}).status, 0);
    Outcome mapped = run({"dump", path("folder/bounce.qf"), "--volume", "Work=" + path("set.zip") + ":Disk1.adz",
                          "--video", path("mapped")});
    EXPECT_EQ(mapped.status, 0) << mapped.err;
    EXPECT_EQ(std::make_pair(mapped.out, ReadBytes(path("mapped"))), plain);
}

// Every command that renders takes the nested path as dump does: the same bytes as from the floppy,
// the sheet's title and %n naming the movie, not the way to it.
TEST_F(ContainersTest, RenderingCommandsTakeTheNestedPath)
{
    MakeNest();
    const std::string nested = path("outer.zip") + ":set.zip:Disk1.adz:bounce.movie";
    const std::vector<std::vector<std::string>> commands{
        {"frame", "MOVIE", "--at", "1.5", "-o", "OUT.png"},      {"sheet", "MOVIE", "--columns", "3", "-o", "OUT.png"},
        {"thumbnail", "-s", "64", "MOVIE", "OUT.png"},           {"export", "MOVIE", "-o", "OUT.wav"},
        {"export", "MOVIE", "-o", "OUT.gif", "--duration", "1"},
    };
    for (size_t i = 0; i < commands.size(); ++i) {
        Bytes outputs[2];
        const std::string movies[2] = {path("bounce.adf") + ":bounce.movie", nested};
        for (int which = 0; which < 2; ++which) {
            std::vector<std::string> args = commands[i];
            std::string out;
            for (std::string &a : args) {
                if (a == "MOVIE") a = movies[which];
                if (a.rfind("OUT", 0) == 0)
                    a = out = path("r" + std::to_string(i) + "-" + std::to_string(which) + a.substr(3));
            }
            Outcome r = run(args);
            ASSERT_EQ(r.status, 0) << args[0] << " " << movies[which] << ": " << r.err;
            outputs[which] = ReadBytes(out);
        }
        EXPECT_FALSE(outputs[0].empty()) << commands[i][0];
        EXPECT_EQ(outputs[0], outputs[1]) << commands[i][0];
    }
    // %n is the movie's own name, not the way to it.
    Outcome named = run({"export", nested, "-o", path("named/%n.wav")});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_TRUE(fs::exists(path("named/bounce.wav"))) << named.out;
}

TEST_F(ContainersTest, InfoAndExtractAgreeWithGunzipUnzipAndUnadf)
{
    MakeNest();
    Outcome info = run({"info", path("set.zip"), "--files"});
    EXPECT_EQ(info.status, 0) << info.err;
    for (const char *line : {"ZIP archive", "Disk1.adz", "Disk2.adf", "movies       0"})
        EXPECT_TRUE(Has(info.out, line)) << line << "\n" << info.out;
    info = run({"info", path("set.zip") + ":Disk1.adz"});
    EXPECT_EQ(info.status, 0) << info.err;
    for (const char *line : {"\"Work:\"", "gzip-compressed", "bounce.movie  2326 bytes  00:01.600"})
        EXPECT_TRUE(Has(info.out, line)) << line << "\n" << info.out;

    ASSERT_EQ(run({"extract", path("set.zip"), "-o", path("ours")}).status, 0);
    ASSERT_EQ(sh("unzip -q set.zip -d theirs"), 0);
    EXPECT_EQ(Tree(path("ours")), Tree(path("theirs")));

    Outcome out = run({"extract", path("outer.zip") + ":set.zip:Disk1.adz", "-o", path("disk")});
    ASSERT_EQ(out.status, 0) << out.err;
    if (std::system("command -v unadf >/dev/null 2>&1") != 0) GTEST_SKIP() << "unadf is not installed";
    ASSERT_EQ(sh("unzip -q -p outer.zip set.zip > s2.zip && unzip -q -p s2.zip Disk1.adz | gunzip > d.adf && "
                 "mkdir unadf && unadf d.adf -d unadf >/dev/null"),
              0);
    EXPECT_EQ(Tree(path("disk")), Tree(path("unadf")));
}

TEST_F(ContainersTest, HostileNestsAreRefusedAtTheirCapsByName)
{
    // 4097 gzip members of 1 MiB of zeros: a 4 MiB file that expands past 4 GiB.
    ASSERT_EQ(sh("head -c 1048576 /dev/zero | gzip -c > one.gz && i=0; while [ $i -lt 4097 ]; do cat one.gz; "
                 "i=$((i+1)); done > bomb.adz"),
              0);
    Outcome bomb = run({"info", path("bomb.adz")});
    EXPECT_NE(bomb.status, 0);
    EXPECT_TRUE(Has(bomb.err, "\"" + path("bomb.adz") +
                                  "\": expands to more than 4294967296 bytes taken out of containers (the limit on "
                                  "bytes expanded)"))
        << bomb.err;

    // Ten zips each inside the next, past the depth of eight.
    qfauthor::AdfOptions options;
    options.label = "Deep";
    dir_.write("z0", qfauthor::AdfWriter(options).file("f", Bytes{'x'}).image());
    std::string way = path("z10");
    for (int i = 1; i <= 10; ++i) {
        const std::string at = "z" + std::to_string(i);
        ASSERT_EQ(sh("zip -q " + at + " z" + std::to_string(i - 1) + " && mv " + at + ".zip " + at), 0);
    }
    for (int i = 9; i >= 0; --i) way += ":z" + std::to_string(i);
    Outcome deep = run({"extract", way, "-o", path("deep")});
    EXPECT_NE(deep.status, 0);
    EXPECT_TRUE(Has(deep.err, "(the limit on nesting)")) << deep.err;
}

}  // namespace
