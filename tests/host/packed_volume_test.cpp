// ZIP, 7-Zip and tar archives and gzip/xz/bzip2 streams as volumes, against zip/unzip and gzip on
// the same bytes; the one path syntax through nests; and the caps that keep a hostile nest cheap.
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <map>

#include "authoring/adf_writer.h"
#include "qfhost/volume.hpp"
#include "qfhost/volume_files.hpp"
#include "qfhost/volume_member.hpp"
#include "qfutil/output.hpp"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using qfauthor::Bytes;

Bytes Floppy(const std::string &label, const std::map<std::string, std::string> &files)
{
    qfauthor::AdfOptions options;
    options.label = label;
    qfauthor::AdfWriter writer(options);
    for (const auto &[path, text] : files) writer.file(path, Bytes(text.begin(), text.end()));
    return writer.image();
}

// An archive written by libarchive: members in the order given, a name ending in '/' a folder.
Bytes Archive(int format, int filter, const std::vector<std::pair<std::string, std::string>> &members)
{
    archive *a = archive_write_new();
    archive_write_set_format(a, format);
    archive_write_add_filter(a, filter);
    std::vector<uint8_t> out(size_t(64) << 20);
    size_t used = 0;
    EXPECT_EQ(archive_write_open_memory(a, out.data(), out.size(), &used), ARCHIVE_OK) << archive_error_string(a);
    for (const auto &[name, text] : members) {
        archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, name.c_str());
        const bool folder = name.back() == '/';
        archive_entry_set_filetype(e, folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_entry_set_mtime(e, 1000000000, 0);
        archive_entry_set_size(e, folder ? 0 : la_int64_t(text.size()));
        archive_write_header(a, e);
        if (!folder) archive_write_data(a, text.data(), text.size());
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    out.resize(used);
    return out;
}

std::vector<std::string> Paths(const qfhost::Volume &volume)
{
    std::vector<std::string> paths;
    for (const qfhost::VolumeEntry &e : volume.list()) paths.push_back(e.path + (e.directory ? "/" : ""));
    return paths;
}

std::string Text(const qfhost::VolumeFile &file) { return std::string(file.bytes.begin(), file.bytes.end()); }

std::string Refusal(const std::function<void()> &work)
{
    try {
        work();
    } catch (const qfhost::VolumeError &e) {
        return e.what();
    }
    return "(no refusal)";
}

// Every regular file below root, with its bytes.
std::map<std::string, Bytes> Tree(const fs::path &root)
{
    std::map<std::string, Bytes> files;
    for (const auto &e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = qftest::ReadBytes(e.path());
    return files;
}

class PackedVolume : public ::testing::Test {
protected:
    int sh(const std::string &command) { return qftest::RunCommand("sh", {"-c", command}, dir_.path()).status; }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    qftest::TempDir dir_;
};

TEST_F(PackedVolume, AGzippedFloppyIsTheFloppyAndAZipListsAndCopiesOutAsUnzipDoes)
{
    dir_.write("d.adf", Floppy("Art", {{"Pics/a", "alpha"}, {"b", "beta"}}));
    ASSERT_EQ(sh("cd " + qftest::Quote(dir_.path()) + " && gzip -k -c d.adf > d.adz && mkdir z && cd z && " +
                 "mkdir Anims && printf one > Anims/Flight && printf two > top && zip -q -r ../s.zip Anims top && " +
                 "zip -q -0 ../s.zip top"),
              0);
    auto plain = qfhost::Volume::Open(path("d.adf"));
    auto gz = qfhost::Volume::Open(path("d.adz"));
    EXPECT_EQ(qfhost::Volume::Detect(path("d.adz")), qfhost::VolumeKind::DiskImage);
    EXPECT_EQ(gz->kind(), qfhost::VolumeKind::DiskImage);
    EXPECT_EQ(gz->label(), "Art");
    EXPECT_EQ(Paths(*gz), Paths(*plain));
    EXPECT_EQ(Text(gz->open("pics/A")), "alpha");
    EXPECT_EQ(gz->fileSystem(), plain->fileSystem() + ", gzip-compressed");

    auto zip = qfhost::Volume::Open(path("s.zip"));
    EXPECT_EQ(zip->kind(), qfhost::VolumeKind::Archive);
    EXPECT_EQ(zip->fileSystem(), "ZIP archive");
    EXPECT_EQ(Paths(*zip), (std::vector<std::string>{"Anims/", "Anims/Flight", "top"}));
    EXPECT_EQ(Text(zip->open("anims/flight")), "one");
    for (const qfhost::VolumeEntry &e : zip->list())
        if (e.path == "top") { EXPECT_EQ(zip->head(e, 1), (std::vector<uint8_t>{'t'})); }

    qfutil::Outputs outputs(qfutil::Overwrite::Never);
    qfhost::ExtractResult r = qfhost::ExtractVolume(*zip, "", path("ours"), outputs, [](const std::string &) {});
    EXPECT_EQ(r.files, 2);
    ASSERT_EQ(sh("unzip -q " + qftest::Quote(path("s.zip")) + " -d " + qftest::Quote(path("theirs"))), 0);
    EXPECT_EQ(Tree(path("ours")), Tree(path("theirs")));
}

TEST_F(PackedVolume, SevenZipAndPlainOrCompressedTarOpenAsArchives)
{
    const std::vector<std::pair<std::string, std::string>> members{{"Dir/", ""}, {"Dir/x", "xx"}, {"y", "yyy"}};
    for (auto [format, filter, name] : {std::tuple{ARCHIVE_FORMAT_7ZIP, ARCHIVE_FILTER_NONE, "a.7z"},
                                        std::tuple{ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, "a.tar"},
                                        std::tuple{ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP, "a.tgz"},
                                        std::tuple{ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_XZ, "a.tar.xz"},
                                        std::tuple{ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_BZIP2, "a.tar.bz2"}}) {
        SCOPED_TRACE(name);
        auto volume = qfhost::Volume::Open(dir_.write(name, Archive(format, filter, members)));
        EXPECT_EQ(volume->kind(), qfhost::VolumeKind::Archive);
        std::vector<std::string> paths = Paths(*volume);  // in the archive's order: 7-Zip keeps folders last
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths, (std::vector<std::string>{"Dir/", "Dir/x", "y"}));
        EXPECT_EQ(Text(volume->open("y")), "yyy");
        EXPECT_EQ(Text(volume->open("Dir/x")), "xx");
    }
}

TEST_F(PackedVolume, OnePathSyntaxGoesThroughEveryNestAndServesAPathInside)
{
    const Bytes floppy = Floppy("Work", {{"Anims/Flight", "movie"}});
    dir_.write("d.adf", floppy);
    ASSERT_EQ(sh("cd " + qftest::Quote(dir_.path()) +
                 " && gzip -c d.adf > Disk1.adz && mkdir -p in/Disks && cp Disk1.adz in/Disks/ && cd in && "
                 "zip -q -r ../set.zip Disks && cd .. && zip -q outer.zip set.zip"),
              0);
    const std::string set = path("set.zip");

    auto split = qfhost::SplitImagePath(set + ":Disks/Disk1.adz:Anims/Flight");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->image, fs::path(set) / "Disks/Disk1.adz");
    EXPECT_EQ(split->inside, "Anims/Flight");
    EXPECT_EQ(split->shown(), set + ":Disks/Disk1.adz");
    EXPECT_EQ(Text(qfhost::Volume::Open(split->image)->open(split->inside)), "movie");

    // The served path has no colon, and splits back into the same container and path.
    const std::string served = qfhost::ServedPath(*split);
    EXPECT_EQ(served.find(':'), std::string::npos);
    auto back = qfhost::SplitServedPath(served);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->image, split->image);
    EXPECT_EQ(back->inside, "Anims/Flight");
    EXPECT_EQ(qfhost::HostFileOf(set + ":Disks/Disk1.adz:Anims/Flight"), fs::path(set));

    // Three deep, and a segment that is no container stays a path inside.
    auto deep = qfhost::SplitImagePath(path("outer.zip") + ":set.zip:Disks/Disk1.adz");
    ASSERT_TRUE(deep);
    EXPECT_EQ(deep->inside, "");
    EXPECT_EQ(qfhost::Volume::Open(deep->image)->label(), "Work");
    auto plain = qfhost::SplitImagePath(path("d.adf") + ":Anims:Flight");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->image, fs::path(path("d.adf")));
    EXPECT_EQ(plain->inside, "Anims:Flight");

    EXPECT_NE(Refusal([&] { qfhost::Volume::Open(fs::path(set) / "Disks/absent.adz"); }).find("holds no"),
              std::string::npos);
}

TEST_F(PackedVolume, EachCapIsRefusedNamingItsLimitAndWhatPassedIt)
{
    // 8 gzip members of 1 MiB of zeros, one after another: one stream of 8 MiB.
    ASSERT_EQ(sh("cd " + qftest::Quote(dir_.path()) +
                 " && head -c 1048576 /dev/zero | gzip -c > one.gz && for i in 1 2 3 4 5 6 7 8; do cat one.gz; "
                 "done > bomb.adz"),
              0);
    qfhost::VolumeLimits limits;
    limits.nest.expandedBytes = uint64_t(4) << 20;
    EXPECT_EQ(Refusal([&] { qfhost::Volume::Open(path("bomb.adz"), limits); }),
              "\"" + path("bomb.adz") +
                  "\": expands to more than 4194304 bytes taken out of containers (the limit on bytes expanded)");

    // Zips inside zips, three deep, past a depth of two.
    dir_.write("z0", Floppy("Deep", {{"f", "x"}}));
    std::string way = path("z3");
    ASSERT_EQ(sh("cd " + qftest::Quote(dir_.path()) +
                 " && zip -q z1 z0 && mv z1.zip z1 && zip -q z2 z1 && mv z2.zip z2 && zip -q z3 z2 && mv z3.zip z3"),
              0);
    limits = {};
    EXPECT_EQ(qfhost::Volume::Open(fs::path(way) / "z2/z1/z0", limits)->label(), "Deep");
    limits.nest.depth = 2;
    EXPECT_NE(Refusal([&] { qfhost::Volume::Open(fs::path(way) / "z2/z1/z0", limits); }).find("(the limit on nesting)"),
              std::string::npos);

    // 100 000 tiny members walk within the default member cap, and not within a smaller one.
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 100000; ++i) many.emplace_back("m" + std::to_string(i), "");
    dir_.write("many.zip", Archive(ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE, many));
    EXPECT_EQ(qfhost::Volume::Open(path("many.zip"))->list().size(), 100000u);
    limits = {};
    limits.nest.members = 1000;
    auto capped = qfhost::Volume::Open(path("many.zip"), limits);
    EXPECT_NE(Refusal([&] { capped->list(); }).find("(the limit on members)"), std::string::npos);
}

TEST_F(PackedVolume, DamageIsToldAndWhatCameBeforeItStays)
{
    dir_.write("d.adf", Floppy("Cut", {{"f", std::string(4000, 'x')}}));
    ASSERT_EQ(sh("cd " + qftest::Quote(dir_.path()) +
                 " && gzip -c d.adf | head -c 500 > cut.adz && printf abc > t && zip -q s.zip t d.adf && "
                 "head -c $(( $(stat -c %s s.zip) - 300 )) s.zip > cut.zip"),
              0);
    EXPECT_NE(Refusal([&] { qfhost::Volume::Open(path("cut.adz")); }).find("damaged"), std::string::npos);

    // A ZIP cut short read from its start: the first member still comes out.
    auto zip = qfhost::Volume::Open(path("cut.zip"));
    std::vector<std::string> seen;
    std::string why = Refusal([&] {
        zip->walk([&](const qfhost::VolumeEntry &e) {
            seen.push_back(e.path);
            return true;
        });
    });
    EXPECT_NE(why.find("damaged"), std::string::npos) << why;
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(Text(zip->open("t")), "abc");

    // A member too big to read whole is refused before it is read.
    qfhost::VolumeLimits limits;
    limits.fileBytes = 2;
    EXPECT_NE(Refusal([&] { qfhost::Volume::Open(path("s.zip"), limits)->open("t"); }).find("limit"),
              std::string::npos);
}

TEST(PackedContent, CompressedAndArchivedMembersAreKnownByTheirFirstBytes)
{
    EXPECT_EQ(qfhost::DetectContent(Bytes{'P', 'K', 3, 4, 0, 0}, 6), qfhost::VolumeKind::Archive);
    Bytes tar(512, 0);
    std::copy_n("ustar", 5, tar.begin() + 257);
    EXPECT_EQ(qfhost::DetectContent(tar, tar.size()), qfhost::VolumeKind::Archive);
    // A text file compressed is no volume; a compressed floppy is one.
    Bytes text = Archive(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, {{"t", "just words"}});
    EXPECT_EQ(qfhost::DetectContent(text, text.size()), std::nullopt);
    Bytes floppy = Archive(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, {{"t", "DOS\1" + std::string(600, '\0')}});
    EXPECT_EQ(qfhost::DetectContent(floppy, floppy.size()), qfhost::VolumeKind::DiskImage);
    EXPECT_EQ(qfhost::DetectContent(Bytes{0x1f, 0x8b}, 2), std::nullopt);
}

}  // namespace
