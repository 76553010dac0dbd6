// The quillframer command on disk images and archives: a movie made onto a floppy plays as the
// same movie made into a folder, what is on a volume is listed and copied out, and a volume the
// movie names is found by its disk label. unadf, when installed, checks the made disks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "authoring/adf_writer.h"
#include "authoring/dms_writer.h"
#include "authoring/iff_writer.h"
#include "authoring/lha_writer.h"
#include "authoring/movie_writer.h"
#include "qfhost/adf.hpp"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qftest::Outcome;
using qftest::ReadBytes;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class DisksTest : public ::testing::Test {
protected:
    Outcome run(const std::vector<std::string> &args) { return qftest::RunQuillframer(args, dir_.path()); }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    static std::string Example()
    {
        return (fs::path(std::getenv("QF_SOURCE_DIR")) / "docs/examples/bounce/bounce.json").string();
    }
    // dump's three outputs for a movie argument: the JSON line, the video bytes, the audio bytes.
    std::tuple<std::string, Bytes, Bytes> dump(std::vector<std::string> args)
    {
        args.insert(args.begin(), "dump");
        for (const char *o : {"--video", "v", "--audio", "a"}) args.push_back(o[0] == '-' ? o : path(o));
        Outcome r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return {r.out, ReadBytes(path("v")), ReadBytes(path("a"))};
    }
    qftest::TempDir dir_;
};

// The example names a sound on Work:Bounce; on the disk it lies where the movie looks for it.
TEST_F(DisksTest, MovieMadeOntoADiskPlaysAsMadeIntoAFolder)
{
    ASSERT_EQ(run({"make", Example(), "-o", path("folder/bounce.qf")}).status, 0);
    Outcome made = run({"make", Example(), "-o", path("bounce.adf")});
    ASSERT_EQ(made.status, 0) << made.err;

    auto fromFolder = dump({path("folder/bounce.qf"), "--volume", "Work=" + path("folder/bounce-volume")});
    EXPECT_FALSE(std::get<2>(fromFolder).empty());
    // The disk alone, the movie named inside it, and the disk inside an archive named explicitly.
    EXPECT_EQ(dump({path("bounce.adf")}), fromFolder);
    EXPECT_EQ(dump({path("bounce.adf") + ":bounce.movie"}), fromFolder);
    // A file read whole from a disk is bounded, and the bound is the user's to move.
    EXPECT_EQ(dump({path("bounce.adf"), "--max-file-size", "4096"}), fromFolder);
    Outcome capped = run({"dump", path("bounce.adf"), "--max-file-size", "2325", "--video", path("capped.raw")});
    EXPECT_EQ(capped.status, 1);
    EXPECT_TRUE(Has(capped.err, "\"bounce.movie\" holds 2326 bytes, more than the 2325")) << capped.err;

    Outcome info = run({"info", path("bounce.adf"), "--files"});
    EXPECT_EQ(info.status, 0) << info.err;
    for (const char *line : {"\"Work:\"", "FFS", "bounce.movie  2326 bytes  00:01.600", "Bounce/Boing"})
        EXPECT_TRUE(Has(info.out, line)) << line << "\n" << info.out;

    // Archives have no label, so the movie's volume is mapped by hand.
    std::vector<std::pair<std::string, Bytes>> members{{"Anims/Bounce", ReadBytes(path("folder/bounce.qf"))},
                                                       {"ReadMe", Bytes{'h', 'i'}}};
    dir_.write("anims.lha", qfauthor::WriteStoredLha(members));
    info = run({"info", path("anims.lha")});
    EXPECT_TRUE(Has(info.out, "Anims/Bounce  2326 bytes  00:01.600")) << info.out << info.err;
    EXPECT_TRUE(Has(info.out, "movies       1")) << info.out;

    if (std::system("command -v unadf >/dev/null 2>&1") != 0) GTEST_SKIP() << "unadf is not installed";
    Outcome listed = qftest::RunCommand("unadf", {"-r", "-l", path("bounce.adf")}, dir_.path());
    for (const char *line : {"\"Work\"", "2326  2026/01/01  12:00:00  bounce.movie", "Bounce/Boing"})
        EXPECT_TRUE(Has(listed.out, line)) << line << "\n" << listed.out;
}

// A made floppy packed as DMS is the same volume: info shows the packing and the banner beside the
// disk, extract copies out the files, and the movie on it plays as from the floppy.
TEST_F(DisksTest, DmsArchiveOfAMadeFloppyIsThatFloppy)
{
    ASSERT_EQ(run({"make", Example(), "-o", path("bounce.adf")}).status, 0);
    qfauthor::DmsOptions o;
    o.mode = qfhost::dms::Mode::Heavy2;
    o.banner = "Packed for the \x1b[31mparty\n";
    o.creatorVersion = 111;
    dir_.write("bounce.dms", qfauthor::WriteDms(ReadBytes(path("bounce.adf")), o));

    Outcome info = run({"info", path("bounce.dms")});
    EXPECT_EQ(info.status, 0) << info.err;
    for (const char *line : {"\"Work:\"", "FFS", "bounce.movie  2326 bytes  00:01.600",
                             "  packed       DMS, HEAVY2; 80 tracks (0-79) of a DD floppy\n",
                             "  packed by    DMS version 111\n", "  banner       Packed for the \\x1b[31mparty\n"})
        EXPECT_TRUE(Has(info.out, line)) << line << "\n" << info.out;
    Outcome json = run({"info", path("bounce.dms"), "--json"});
    EXPECT_TRUE(Has(json.out, "\"dms\":{\"modes\":[\"HEAVY2\"],\"density\":\"DD\",\"tracks\":80")) << json.out;
    // Other disks say nothing of packing.
    EXPECT_FALSE(Has(run({"info", path("bounce.adf")}).out, "packed"));

    EXPECT_EQ(dump({path("bounce.dms") + ":bounce.movie"}), dump({path("bounce.adf")}));
    Outcome out = run({"extract", path("bounce.dms"), "-o", path("out")});
    ASSERT_EQ(out.status, 0) << out.err;
    ASSERT_EQ(run({"extract", path("bounce.adf"), "-o", path("plain")}).status, 0);
    for (const char *file : {"bounce.movie", "Bounce/Boing"})
        EXPECT_EQ(ReadBytes(path("out/") + file), ReadBytes(path("plain/") + file)) << file;
    EXPECT_EQ(fs::file_size(path("out/bounce.movie")), 2326u);

    // One damaged byte, and the archive is refused whole, naming the file and the track.
    Bytes damaged = ReadBytes(path("bounce.dms"));
    damaged.back() ^= 1;
    dir_.write("damaged.dms", damaged);

    // Beside a movie, the archive is found by its disk's label; a damaged one is passed over.
    ASSERT_EQ(run({"make", Example(), "-o", path("folder/bounce.qf")}).status, 0);
    dir_.write("beside/bounce.qf", ReadBytes(path("folder/bounce.qf")));
    dir_.write("beside/a-damaged.dms", damaged);
    dir_.write("beside/work.dms", ReadBytes(path("bounce.dms")));
    EXPECT_EQ(dump({path("beside/bounce.qf")}),
              dump({path("folder/bounce.qf"), "--volume", "Work=" + path("folder/bounce-volume")}));

    Outcome refused = run({"info", path("damaged.dms")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(
        Has(refused.err, "\"" + path("damaged.dms") + "\": track 79's data checksum is wrong (damaged archive)"))
        << refused.err;
}

// A disk written here with a Latin-1 name, a date, and one name patched to hold a '/'.
TEST_F(DisksTest, ExtractCopiesExactlyWhatIsOnTheDisk)
{
    qfauthor::AdfOptions options;
    options.fastFileSystem = true;
    options.international = true;
    options.label = "Pics";
    options.days = 5000, options.minutes = 61;
    const std::string cafe = "Caf\xe9";
    Bytes picture{1, 2, 3, 0, 255}, sound(70000, 7), odd{9};
    Bytes image = qfauthor::AdfWriter(options)
                      .file("Art/" + cafe, picture)
                      .file("Art/Deep/Sound", sound)
                      .file("aXb", odd)
                      .image();
    // "aXb" becomes "a/b": the name in its header block, then the block's checksum.
    const std::string stored = "\x03"
                               "aXb";
    auto at = std::search(image.begin(), image.end(), stored.begin(), stored.end());
    ASSERT_NE(at, image.end());
    at[2] = '/';
    size_t block = size_t(at - image.begin()) / 512 * 512;
    std::span<uint8_t> header(image.data() + block, 512);
    qfhost::amigados::Put32(header, 20, 0);
    qfhost::amigados::Put32(header, 20, qfhost::amigados::BlockChecksum(header));
    dir_.write("pics.adf", image);

    Outcome r = run({"extract", path("pics.adf"), "-o", path("out")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "refused \"a/b\": a '/' inside the name")) << r.err;

    std::vector<std::string> found;
    for (const auto &e : fs::recursive_directory_iterator(path("out")))
        found.push_back(fs::relative(e.path(), path("out")).string());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"Art", "Art/Caf\xc3\xa9", "Art/Deep", "Art/Deep/Sound"}));
    EXPECT_EQ(ReadBytes(path("out/Art/Caf\xc3\xa9")), picture);
    EXPECT_EQ(ReadBytes(path("out/Art/Deep/Sound")), sound);
    const std::time_t when = qfhost::amigados::UnixTime(5000, 61, 0);
    for (const char *p : {"out/Art/Caf\xc3\xa9", "out/Art/Deep"}) {
        struct stat info {};
        ASSERT_EQ(::stat(path(p).c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, when) << p;
    }

    // One folder alone, named inside the image.
    r = run({"extract", path("pics.adf") + ":Art/Deep", "-o", path("deep")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(path("deep/Sound")), sound);
    EXPECT_FALSE(fs::exists(path("deep/Caf\xc3\xa9")));

    // An archive member may name any path: nothing lands outside the folder.
    dir_.write("a.lha", qfauthor::WriteStoredLha({{"In/" + cafe, picture}, {"../../Out", odd}, {"In/../../Up", odd}}));
    r = run({"extract", path("a.lha"), "-o", path("x/y")});
    EXPECT_EQ(ReadBytes(path("x/y/In/Caf\xc3\xa9")), picture) << r.err;
    for (const char *outside : {"Out", "Up", "x/Out", "x/Up"}) EXPECT_FALSE(fs::exists(path(outside))) << outside;
}

// Patches the stored name `from` in its header block to `to` (no longer), then the block's checksum.
void Rename(Bytes &image, const std::string &from, const std::string &to)
{
    const std::string stored = char(from.size()) + from;
    auto at = std::search(image.begin(), image.end(), stored.begin(), stored.end());
    ASSERT_NE(at, image.end()) << from;
    at[0] = char(to.size());
    std::copy(to.begin(), to.end(), at + 1);
    size_t block = size_t(at - image.begin()) / 512 * 512;
    std::span<uint8_t> header(image.data() + block, 512);
    qfhost::amigados::Put32(header, 20, 0);
    qfhost::amigados::Put32(header, 20, qfhost::amigados::BlockChecksum(header));
}

std::vector<std::string> Tree(const fs::path &root)
{
    std::vector<std::string> found;
    for (const auto &e : fs::recursive_directory_iterator(root)) found.push_back(fs::relative(e.path(), root).string());
    std::sort(found.begin(), found.end());
    return found;
}

// A damaged entry, a link already in the output folder and two names equal but for case each
// concern one entry: it alone is refused or renamed, the rest comes out, and the status says so.
TEST_F(DisksTest, ExtractRefusesOneBadEntryAndCopiesTheRest)
{
    const Bytes a{'a'}, b{'b', 'b'}, c{'c', 'c', 'c'};
    {
        SCOPED_TRACE("an empty name");
        Bytes image = qfauthor::AdfWriter().file("Anims/X", a).file("Top", b).file("Zed/In", c).image();
        Rename(image, "X", "");
        dir_.write("empty.adf", image);
        Outcome r = run({"extract", path("empty.adf"), "-o", path("e")});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, "entry 1 of \"Anims\" has an empty name")) << r.err;
        EXPECT_TRUE(Has(r.out, "extracted 2 files and 2 folders")) << r.out;
        EXPECT_EQ(Tree(path("e")), (std::vector<std::string>{"Anims", "Top", "Zed", "Zed/In"}));
        EXPECT_EQ(ReadBytes(path("e/Zed/In")), c);
    }
    {
        SCOPED_TRACE("symbolic links in the output folder");
        dir_.write("links.adf", qfauthor::AdfWriter().file("Art/Pic", a).file("Note", b).file("Kept", c).image());
        fs::create_directories(path("outside"));
        const Bytes victim{'v'};
        dir_.write("victim", victim);
        struct stat before {};
        ASSERT_EQ(::stat(path("victim").c_str(), &before), 0);
        fs::create_directories(path("l"));
        fs::create_directory_symlink("../outside", path("l/Art"));
        fs::create_symlink("../victim", path("l/Note"));
        Outcome r = run({"extract", path("links.adf"), "-o", path("l"), "-y"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, "extract \"Art\": a symbolic link stands in its way")) << r.err;
        EXPECT_TRUE(Has(r.err, "\"Note\": a symbolic link stands in its way")) << r.err;
        EXPECT_TRUE(fs::is_empty(path("outside")));
        struct stat after {};
        ASSERT_EQ(::stat(path("victim").c_str(), &after), 0);
        EXPECT_EQ(ReadBytes(path("victim")), victim);
        EXPECT_EQ(after.st_mtime, before.st_mtime);
        EXPECT_TRUE(fs::is_symlink(path("l/Art")) && fs::is_symlink(path("l/Note")));
        EXPECT_EQ(ReadBytes(path("l/Kept")), c);
    }
    {
        SCOPED_TRACE("names equal but for case, and one name twice");
        // An archive holds both (an Amiga disk only when crafted: its folders ignore case). Not all capitals:
        // such a name in an MS-DOS archive is read in lower case.
        dir_.write("case.lha", qfauthor::WriteStoredLha({{"D/Readme", a}, {"D/ReadMe", b}}));
        Outcome r = run({"extract", path("case.lha"), "-o", path("c")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadBytes(path("c/D/Readme")), a);
        EXPECT_EQ(ReadBytes(path("c/D/ReadMe")), b);
        // A crafted disk holding both: each comes from its own header block, not a second lookup.
        Bytes image = qfauthor::AdfWriter().file("D/Readme", a).file("D/Qeadme", b).image();
        Rename(image, "Qeadme", "README");
        dir_.write("case.adf", image);
        r = run({"extract", path("case.adf"), "-o", path("cd")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadBytes(path("cd/D/Readme")), a);
        EXPECT_EQ(ReadBytes(path("cd/D/README")), b);
        // Where a name lands on a file this extraction made, as on a file system that ignores case.
        dir_.write("twice.lha", qfauthor::WriteStoredLha({{"D/Same", a}, {"D/Same", a}, {"D/Other", c}}));
        r = run({"extract", path("twice.lha"), "-o", path("t")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Has(r.err, "kept \"D/Same\" as \"Same~2\"")) << r.err;
        EXPECT_EQ(Tree(path("t")), (std::vector<std::string>{"D", "D/Other", "D/Same", "D/Same~2"}));
        EXPECT_EQ(ReadBytes(path("t/D/Same~2")), a);
    }
}

// Whatever a command reads is an input before any output is written: the script's own picture,
// the disk image serving a volume, a file the movie names on a mapped folder.
TEST_F(DisksTest, NothingACommandReadsCanBeItsOutput)
{
    fs::copy(fs::path(Example()).parent_path(), path("src"));
    const Bytes field = ReadBytes(path("src/field.png"));
    Outcome r = run({"make", path("src/bounce.json"), "-o", path("src/field.png"), "-y"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "same file as an input")) << r.err;
    EXPECT_EQ(ReadBytes(path("src/field.png")), field);
    EXPECT_FALSE(fs::exists(path("src/field-volume")));

    ASSERT_EQ(run({"make", path("src/bounce.json"), "-o", path("m/bounce.qf")}).status, 0);
    ASSERT_EQ(run({"make", path("src/bounce.json"), "-o", path("bounce.adf")}).status, 0);
    const Bytes disk = ReadBytes(path("bounce.adf")), sound = ReadBytes(path("m/bounce-volume/Bounce/Boing"));
    ASSERT_FALSE(sound.empty());
    r = run({"dump", path("m/bounce.qf"), "--volume", "Work=" + path("bounce.adf"), "--video", path("bounce.adf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "same file as an input")) << r.err;
    EXPECT_EQ(ReadBytes(path("bounce.adf")), disk);
    const std::string asset = path("m/bounce-volume/Bounce/Boing");
    const std::string volume = "Work=" + path("m/bounce-volume");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"export", path("m/bounce.qf"), "-o", asset, "-f", "wav", "-y"},
          {"frame", path("m/bounce.qf"), "-o", asset, "-y"},
          {"dump", path("m/bounce.qf"), "--audio", asset}}) {
        SCOPED_TRACE(args[0]);
        args.insert(args.end(), {"--volume", volume});
        r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, "same file as an input")) << r.err;
        EXPECT_EQ(ReadBytes(asset), sound);
    }
}

// A FIFO never ends: make refuses one as its script, a picture or a sound instead of waiting.
TEST_F(DisksTest, MakeRefusesWhatIsNotARegularFile)
{
    for (const char *name : {"bounce.json", "field.png", "boing.wav"}) {
        SCOPED_TRACE(name);
        fs::copy(fs::path(Example()).parent_path(), path("src"),
                 fs::copy_options::overwrite_existing | fs::copy_options::recursive);
        fs::remove(path("src/") + name);
        ASSERT_EQ(::mkfifo((path("src/") + name).c_str(), 0600), 0);
        Outcome r =
            qftest::RunQuillframer({"make", path("src/bounce.json"), "-o", path("out.qf")}, dir_.path(), "timeout 60");
        EXPECT_EQ(r.status, 1) << r.err;  // 124: it waited on the FIFO
        EXPECT_TRUE(Has(r.err, std::string(name) + "\": not a regular file")) << r.err;
        EXPECT_FALSE(fs::exists(path("out.qf")));
        fs::remove(path("src/") + name);
    }
}

// The movie's volume is unmapped and its folder gone: a disk labelled like it is looked for.
TEST_F(DisksTest, SearchFindsTheDiskByItsLabelAndSaysWhichOne)
{
    ASSERT_EQ(run({"make", Example(), "-o", path("m/bounce.qf")}).status, 0);
    auto expected = dump({path("m/bounce.qf"), "--volume", "Work=" + path("m/bounce-volume")});
    fs::remove_all(path("m/bounce-volume"));
    ASSERT_EQ(run({"make", Example(), "-o", path("disks/any-name.adf")}).status, 0);
    // Another disk, with another label, comes first by name and is passed over.
    qfauthor::AdfOptions other;
    other.label = "Other";
    dir_.write("disks/a.adf", qfauthor::AdfWriter(other).file("x", {1}).image());

    Outcome r = run({"dump", path("m/bounce.qf"), "--packets", "1", "--search", path("disks")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "any-name.adf for Amiga volume \"Work:\"")) << r.err;
    EXPECT_EQ(dump({path("m/bounce.qf"), "--search", path("disks")}), expected);
    EXPECT_NE(run({"dump", path("m/bounce.qf")}).status, 0);  // nothing beside it, no --search
}

// Each movie of a batch resolves its own volumes: both name Work:Pics/Back, one finds it on its
// own disk (labelled otherwise), the other in the folder Work beside it.
TEST_F(DisksTest, EachMovieOfABatchTakesItsVolumesFromItsOwnPlace)
{
    auto picture = [](qfauthor::Color colour) {
        std::vector<qfauthor::Color> palette(32);
        palette[1] = colour;
        return qfauthor::WriteIlbm({16, 2, Bytes(32, 1)}, palette);
    };
    const Bytes movie = qfauthor::MovieWriter()
                            .scenes(1)
                            .reference(qfauthor::Asset::Background, "Work:Pics", "Back")
                            .scene(1)
                            .background(0)
                            .duration(10)
                            .end()
                            .bytes();
    qfauthor::AdfOptions red;
    red.label = "Red";
    dir_.write("a/red.adf",
               qfauthor::AdfWriter(red).file("Red", movie).file("Pics/Back", picture({255, 0, 0})).image());
    dir_.write("b/blue.qf", movie);
    dir_.write("b/Work/Pics/Back", picture({0, 0, 255}));

    std::map<std::string, Bytes> alone;
    for (const char *name : {"a/red.adf", "b/blue.qf"}) {
        Outcome r = run({"export", path(name), "-o", path("alone.gif"), "-y", "-q"});
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        alone[name] = ReadBytes(path("alone.gif"));
    }
    ASSERT_NE(alone["a/red.adf"], alone["b/blue.qf"]);
    fs::create_directories(path("out"));
    for (const char *jobs : {"1", "2"}) {
        Outcome r = run({"export", path("a/red.adf"), path("b/blue.qf"), "-o", path("out/%n.gif"), "-y", "-j", jobs});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadBytes(path("out/red.gif")), alone["a/red.adf"]);
        EXPECT_EQ(ReadBytes(path("out/blue.gif")), alone["b/blue.qf"]);
    }
}

// A disk holding one movie is mostly that movie: info describes it after the disk, and a file or a
// movie named inside an image is extracted as that file or that movie.
TEST_F(DisksTest, OneMovieOrOneFileOnADiskIsDescribedAndExtractedAsItself)
{
    ASSERT_EQ(run({"make", Example(), "-o", path("folder/bounce.qf")}).status, 0);
    ASSERT_EQ(run({"make", Example(), "-o", path("bounce.adf")}).status, 0);

    Outcome info = run({"info", path("bounce.adf")});
    ASSERT_EQ(info.status, 0) << info.err;
    const size_t disk = info.out.find("movies       1"), movie = info.out.find(path("bounce.adf") + ":bounce.movie\n");
    ASSERT_NE(disk, std::string::npos) << info.out;
    ASSERT_NE(movie, std::string::npos) << info.out;
    EXPECT_LT(disk, movie);
    EXPECT_NE(info.out.find("  length   1.60 s (00:01.600)", movie), std::string::npos) << info.out;
    Outcome json = run({"info", path("bounce.adf"), "--json"});
    EXPECT_TRUE(Has(json.out, "\"movie\":{\"file\":")) << json.out;
    EXPECT_TRUE(Has(json.out, "\"duration\":1600")) << json.out;
    // Two movies: the disk alone, as before.
    dir_.write("two.lha", qfauthor::WriteStoredLha({{"A", ReadBytes(path("folder/bounce.qf"))},
                                                    {"B", ReadBytes(path("folder/bounce.qf"))}}));
    info = run({"info", path("two.lha")});
    EXPECT_TRUE(Has(info.out, "movies       2")) << info.out;
    EXPECT_FALSE(Has(info.out, "  length ")) << info.out;

    ASSERT_EQ(run({"extract", path("bounce.adf"), "-o", path("all")}).status, 0);
    Outcome one = run({"extract", path("bounce.adf") + ":bounce/boing", "-o", path("one")});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(ReadBytes(path("one/Boing")), ReadBytes(path("all/Bounce/Boing")));
    EXPECT_EQ(std::distance(fs::directory_iterator(path("one")), fs::directory_iterator()), 1);

    Outcome art = run({"extract", path("bounce.adf") + ":bounce.movie", "-o", path("art")});
    ASSERT_EQ(art.status, 0) << art.err;
    Outcome fromFolder = run(
        {"extract", path("folder/bounce.qf"), "--volume", "Work=" + path("folder/bounce-volume"), "-o", path("art2")});
    ASSERT_EQ(fromFolder.status, 0) << fromFolder.err;
    size_t files = 0;
    for (const auto &e : fs::directory_iterator(path("art2"))) {
        ++files;
        EXPECT_EQ(ReadBytes(fs::path(path("art")) / e.path().filename()), ReadBytes(e.path())) << e.path();
    }
    EXPECT_GT(files, 1u);  // movie.json and the sound at least
    Outcome missing = run({"extract", path("bounce.adf") + ":Nothing", "-o", path("none")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Has(missing.err, "no folder or file \"Nothing\"")) << missing.err;
}

}  // namespace

namespace {

// The header block of the file stored under this name (searched for, as Rename does).
std::span<uint8_t> HeaderOf(Bytes &image, const std::string &name)
{
    const std::string stored = char(name.size()) + name;
    auto at = std::search(image.begin(), image.end(), stored.begin(), stored.end());
    size_t block = size_t(at - image.begin()) / 512 * 512;
    return std::span<uint8_t>(image.data() + block, 512);
}

}  // namespace

// One file of a floppy whose second data block is no data block: every other file still comes out,
// the damaged one is named with its cause and summed up; --salvage writes it whole but for that
// block, zeros in its place, and names the bytes, from the floppy, one file of it, and the floppy
// gzipped inside a ZIP.
TEST_F(DisksTest, ExtractOfADamagedDiskWritesEveryFileItCanRead)
{
    namespace dos = qfhost::amigados;
    qfauthor::AdfWriter writer;  // OFS: data blocks carry their type
    std::vector<std::pair<std::string, Bytes>> files;
    for (int i = 0; i < 21; ++i)
        files.emplace_back("File" + std::to_string(i), Bytes(size_t(100 + 37 * i), uint8_t(i)));
    Bytes broken(1200);
    for (size_t i = 0; i < broken.size(); ++i) broken[i] = uint8_t(i * 7 + 1);
    for (const auto &[name, bytes] : files) writer.file("Dir/" + name, bytes);
    writer.file("Dir/CD-Player (Pseudofile)", broken);
    Bytes image = writer.image();
    std::span<uint8_t> header = HeaderOf(image, "CD-Player (Pseudofile)");
    uint32_t second = dos::Get32(header, 24 + 4 * (72 - 2));
    dos::Put32(std::span<uint8_t>(image).subspan(second * 512, 512), 0, 0);
    dir_.write("damaged.adf", image);
    Bytes holed = broken;
    std::fill(holed.begin() + 488, holed.begin() + 976, 0);
    const std::string line = "quillframer: Dir/CD-Player (Pseudofile): 1 of 3 blocks unreadable (bytes 488\u2013975 "
                             "written as zeros)\n";

    for (bool salvage : {false, true}) {
        SCOPED_TRACE(salvage);
        std::string out = path(salvage ? "s" : "d");
        std::vector<std::string> args{"extract", path("damaged.adf"), "-o", out};
        if (salvage) args.push_back("--salvage");
        Outcome r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, "21 of 22 files, 1 damaged")) << r.err;
        for (const auto &[name, bytes] : files) EXPECT_EQ(ReadBytes(out + "/Dir/" + name), bytes) << name;
        const std::string damaged = out + "/Dir/CD-Player (Pseudofile)";
        if (salvage) {
            EXPECT_EQ(ReadBytes(damaged), holed);
            EXPECT_TRUE(Has(r.err, line + "quillframer: 21 of 22 files, 1 damaged, 1 written as far as it could be "
                                          "read\n"))
                << r.err;
        } else {
            EXPECT_TRUE(Has(r.err, "\"Dir/CD-Player (Pseudofile)\": its data blocks are not data blocks (block " +
                                       std::to_string(second) + " is not one)"))
                << r.err;
            EXPECT_FALSE(fs::exists(damaged));
            EXPECT_TRUE(Has(r.err, "--salvage writes what can be read")) << r.err;
        }
    }
    const std::string pack = "cd " + qftest::Quote(dir_.path().string()) +
                             " && gzip -c damaged.adf > Disk1.adz && "
                             "zip -q set.zip Disk1.adz";
    ASSERT_EQ(qftest::RunCommand("sh", {"-c", pack}, dir_.path()).status, 0);
    for (const std::string &source :
         {path("damaged.adf") + ":Dir/CD-Player (Pseudofile)", path("set.zip") + ":Disk1.adz:Dir"}) {
        SCOPED_TRACE(source);
        fs::remove_all(path("one"));
        Outcome r = run({"extract", source, "-o", path("one"), "--salvage"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, line)) << r.err;
        EXPECT_EQ(ReadBytes(path("one/CD-Player (Pseudofile)")), holed);
    }
}

// A root block whose checksum fails (its label overwritten with control bytes) and a bitmap marked
// invalid are warnings of info, and the label shows escaped.
TEST_F(DisksTest, InfoWarnsOfABadRootChecksumAndAnInvalidBitmap)
{
    namespace dos = qfhost::amigados;
    qfauthor::AdfOptions o;
    o.label = "Work";
    Bytes image = qfauthor::AdfWriter(o).file("Note", {'n'}).image();
    std::span<uint8_t> root = std::span<uint8_t>(image).subspan(880 * 512, 512);
    root[512 - 80 + 2] = 0x00, root[512 - 80 + 4] = 0x1B;  // "W\0r\x1b"
    dos::Put32(root, 512 - 200, 0);                        // bitmap flag
    dir_.write("worn.adf", image);
    Outcome r = run({"info", path("worn.adf")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "volume       \"W\\x00r\\x1b:\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "warning      block 880 (root) has a checksum that does not match")) << r.out;
    EXPECT_TRUE(Has(r.out, "warning      the bitmap is marked invalid")) << r.out;
    r = run({"info", path("worn.adf"), "--json"});
    EXPECT_TRUE(Has(r.out, "\"warnings\":[\"the bitmap is marked invalid")) << r.out;
}

// Names as the archive's own system wrote them (Latin-1 on the Amiga, UTF-8 on Unix) come out in
// UTF-8 once; a name the output's file system refuses (here one too long for it) is kept shortened
// with a message, never dropped, and one it takes ("dir1*" here) is kept as it is.
TEST_F(DisksTest, ExtractKeepsEveryNameTheArchiveHolds)
{
    const Bytes a{'a'}, b{'b', 'b'}, c{'c'}, d{'d'};
    auto member = [](const std::string &path, const Bytes &bytes, char os) {
        qfauthor::LhaMember m = qfauthor::StoredLhaMember(path, bytes, 2);
        m.os = os;
        return m;
    };
    const std::string folder(300, 'x'), file = "Long" + std::string(296, 'y');
    dir_.write("names.lha",
               qfauthor::WriteLha({member("dir1*/In", a, 'A'), member(folder + "/F", b, 'A'), member(file, c, 'A'),
                                   member("Caf\xe9", d, 'A'), member("Na\xc3\xafve", d, 'U')}));
    Outcome r = run({"extract", path("names.lha"), "-o", path("n")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(path("n/dir1*/In")), a);
    EXPECT_EQ(ReadBytes(path("n/" + folder.substr(0, 200) + "/F")), b);
    EXPECT_EQ(ReadBytes(path("n/" + file.substr(0, 200))), c);
    EXPECT_TRUE(Has(r.err, "kept \"" + folder + "\" as \"" + folder.substr(0, 200) + "\": the output folder refuses"))
        << r.err;
    EXPECT_EQ(ReadBytes(path("n/Caf\xc3\xa9")), d);
    EXPECT_EQ(ReadBytes(path("n/Na\xc3\xafve")), d);
}

// An LHA member's name comes out in UTF-8 from the code page of the system its header names:
// MS-DOS's 437 for 'M' and for a header with no id and an upper-case name, Latin-1 for the Amiga
// and for a header with no id in mixed case, and a Unix name beyond Latin-1 as written, once.
// lhasa reads the same system from each header, and writes the stored bytes as they are.
TEST_F(DisksTest, ArchiveNamesAreReadInTheCodePageTheirSystemWrote)
{
    const Bytes d{'d'};
    auto member = [&](const std::string &name, int level, char os) {
        qfauthor::LhaMember m = qfauthor::StoredLhaMember(name, d, level);
        m.os = os;
        return m;
    };
    // A name MS-DOS kept in capitals comes out in lower case, as lhasa lists it, accents too.
    const std::pair<qfauthor::LhaMember, std::string> cases[] = {
        {member("\x82T\x82", 1, 'M'), "\u00e9t\u00e9"},
        {member("CAF\x90", 1, 'M'), "caf\u00e9"},
        {member("DIR\x82/\xe0LPHA", 2, 'M'), "dir\u00e9/\u03b1lpha"},
        {member("BOX\xc9\xcd\xbb", 2, 'M'), "box\u2554\u2550\u2557"},
        {member("SCH\xe1", 0, 0), "sch\u00df"},
        {member("STRA\xe1"
                "E",
                1, 0),
         "stra\u00dfe"},
        {member("Caf\xe9", 0, 0), "Caf\u00e9"},
        {member("Na\xefve", 2, 'A'), "Na\u00efve"},
        {member("\xce\xb1\xce\xb2", 2, 'U'), "\u03b1\u03b2"},
    };
    std::vector<qfauthor::LhaMember> members;
    for (const auto &c : cases) members.push_back(c.first);
    dir_.write("names.lha", qfauthor::WriteLha(members));
    Outcome r = run({"extract", path("names.lha"), "-o", path("n")});
    EXPECT_EQ(r.status, 0) << r.err;
    Outcome listed = run({"info", path("names.lha"), "--files"});
    for (const auto &[m, name] : cases) {
        EXPECT_EQ(ReadBytes(path("n/" + name)), d) << name;
        EXPECT_TRUE(Has(listed.out, "  " + name + "\n")) << name << "\n" << listed.out;
    }
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(path("n")), fs::recursive_directory_iterator()),
              std::ssize(cases) + 1);  // and diré

    Outcome theirs = qftest::RunCommand("lhasa", {"-v", path("names.lha")}, dir_.path());
    if (theirs.status == 127) GTEST_SKIP() << "lhasa is not installed";
    for (const char *system : {"[MS-DOS]", "[generic]", "[Amiga]", "[Unix]"})
        EXPECT_TRUE(Has(theirs.out, system)) << system << "\n" << theirs.out;
}
