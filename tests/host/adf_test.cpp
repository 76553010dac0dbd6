// AmigaDOS images: what qfauthor's writer makes, Debian's unadf must list and extract exactly, and
// the host's reader must read the same; the reader on damaged images ends in one clear line.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "authoring/adf_writer.h"
#include "qfhost/adf.hpp"
#include "qfhost/volume.hpp"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
namespace dos = qfhost::amigados;
using qfauthor::Bytes;
using qftest::TempDir;

Bytes Pattern(size_t size, unsigned seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = uint8_t((i * 131 + seed) ^ (i >> 9));
    return b;
}

// path -> contents; a path ending in '/' is a directory.
using Tree = std::map<std::string, Bytes>;

Tree SampleTree()
{
    Tree t{{"Anims/", {}},
           {"Anims/Faces/", {}},
           {"Anims/Faces/Hero", Pattern(3, 1)},
           {"Anims/Big", Pattern(120000, 2)},  // past two extension blocks on OFS, one on FFS
           {"Empty/", {}},
           {"Nothing", {}},
           {"Caf\xe9", Pattern(700, 3)},
           {"\xc9t\xe9/", {}},
           {"\xc9t\xe9/Na\xefve", Pattern(488, 4)}};  // exactly one OFS block
    for (int i = 0; i < 90; ++i)
        t["f" + std::to_string(i)] = Pattern(size_t(i) * 11, unsigned(i));  // shared hash slots
    return t;
}

Bytes Image(const qfauthor::AdfOptions &options, const Tree &tree)
{
    qfauthor::AdfWriter w(options);
    for (const auto &[path, bytes] : tree) {
        if (path.back() == '/') w.directory(path.substr(0, path.size() - 1));
        else w.file(path, bytes);
    }
    return w.image();
}

// "size  date  time  path" lines of `unadf -lr`, a directory shown with its '/' and no size.
std::map<std::string, std::string> UnadfListing(const std::string &output)
{
    static const std::regex line(R"(^ *(\d*) +\d{4}/\d\d/\d\d +\d\d:\d\d:\d\d +(.+)$)");
    std::map<std::string, std::string> out;
    std::istringstream in(output);
    std::smatch m;
    for (std::string l; std::getline(in, l);)
        if (std::regex_match(l, m, line)) out[m[2]] = m[1];
    return out;
}

std::map<std::string, std::string> Expected(const Tree &tree)
{
    std::map<std::string, std::string> out;
    for (const auto &[path, bytes] : tree) out[path] = path.back() == '/' ? "" : std::to_string(bytes.size());
    return out;
}

struct Variant {
    uint8_t dosType;
    bool highDensity;
};

class AdfPeer : public ::testing::TestWithParam<Variant> {
protected:
    qfauthor::AdfOptions options() const
    {
        qfauthor::AdfOptions o;
        o.fastFileSystem = GetParam().dosType & 1;
        o.international = GetParam().dosType & 2;
        o.directoryCache = GetParam().dosType & 4;
        o.highDensity = GetParam().highDensity;
        o.label = "Quill Disk";
        return o;
    }
    qftest::Outcome unadf(const std::vector<std::string> &args)
    {
        return qftest::RunCommand("unadf", args, dir_.path());
    }
    TempDir dir_;
};

TEST_P(AdfPeer, UnadfListsAndExtractsWhatWasWrittenAndTheReaderAgrees)
{
    const Tree tree = SampleTree();
    fs::path image = dir_.write("disk.adf", Image(options(), tree));
    EXPECT_EQ(fs::file_size(image), GetParam().highDensity ? 1802240u : 901120u);

    qftest::Outcome listed = unadf({"-lr", image.string()});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("\"Quill Disk\""), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(GetParam().highDensity ? "Floppy HD" : "Floppy DD"), std::string::npos);
    EXPECT_EQ(UnadfListing(listed.out), Expected(tree));
    if (options().directoryCache) {
        qftest::Outcome cached = unadf({"-lrc", image.string()});
        EXPECT_NE(cached.out.find("Using dir cache blocks"), std::string::npos);
        EXPECT_EQ(UnadfListing(cached.out), Expected(tree));
    }

    fs::path out = dir_ / "out";
    fs::create_directory(out);
    ASSERT_EQ(unadf({"-r", image.string(), "-d", out.string()}).status, 0);
    for (const auto &[path, bytes] : tree)
        if (path.back() != '/') { EXPECT_EQ(qftest::ReadBytes(out / path), bytes) << path; }
    // unadf finds a name through the hash table: the writer put it in the right slot.
    const Bytes &hero = tree.at("Anims/Faces/Hero");
    EXPECT_EQ(unadf({"-p", image.string(), "anims/FACES/hero"}).out, std::string(hero.begin(), hero.end()));

    qfhost::AdfImage reader(qftest::ReadBytes(image));
    EXPECT_EQ(reader.label(), "Quill Disk");
    EXPECT_EQ(reader.dosType(), "DOS\\" + std::to_string(GetParam().dosType));
    std::map<std::string, std::string> listing;
    for (const qfhost::AdfEntry &e : reader.list()) {
        bool directory = e.kind == qfhost::AdfEntry::Kind::Directory;
        listing[e.path + (directory ? "/" : "")] = directory ? "" : std::to_string(e.size);
        EXPECT_EQ(e.modified, 252460800 + 17532 * 86400 + 720 * 60);  // 2026-01-01 12:00 UTC
    }
    EXPECT_EQ(listing, Expected(tree));
    for (const auto &[path, bytes] : tree)
        if (path.back() != '/') { EXPECT_EQ(reader.read(path), bytes) << path; }
    // A walked entry is read by its header block, a data block at a time, as by its path.
    for (const qfhost::AdfEntry &e : reader.list())
        if (e.kind == qfhost::AdfEntry::Kind::File) {
            Bytes copied;
            reader.copy(e.block, e.path, [&](std::span<const uint8_t> piece) {
                EXPECT_LE(piece.size(), 512u);
                copied.insert(copied.end(), piece.begin(), piece.end());
            });
            EXPECT_EQ(copied, tree.at(e.path)) << e.path;
        }
    EXPECT_TRUE(reader.warnings().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, AdfPeer,
                         ::testing::Values(Variant{0, false}, Variant{1, false}, Variant{2, false}, Variant{3, false},
                                           Variant{4, false}, Variant{5, false}, Variant{0, true}, Variant{3, true},
                                           Variant{5, true}),
                         [](const auto &info) {
                             return "DOS" + std::to_string(info.param.dosType) + (info.param.highDensity ? "HD" : "DD");
                         });

TEST(AdfNames, HashAndCaseFollowTheFileSystemsMode)
{
    // Worked by hand: length, then hash * 13 + upper-case letter, kept to 11 bits, modulo 72.
    EXPECT_EQ(dos::NameHash("Hero", false), 58u);
    EXPECT_EQ(dos::NameHash("\xe9", true), 70u);   // é folds to É (201) in international mode
    EXPECT_EQ(dos::NameHash("\xe9", false), 30u);  // and stays 233 without it
    EXPECT_TRUE(dos::SameName("caf\xe9", "CAF\xc9", true));
    EXPECT_FALSE(dos::SameName("caf\xe9", "CAF\xc9", false));
    EXPECT_FALSE(dos::SameName("\xf7", "\xd7", true));  // ÷ and × are not a letter pair

    Tree tree{{"Caf\xe9", Bytes{7}}};
    qfauthor::AdfOptions plain, intl;
    intl.international = true;
    qfhost::AdfImage a(Image(plain, tree)), b(Image(intl, tree));
    EXPECT_EQ(a.read("CAF\xe9"), Bytes{7});
    EXPECT_FALSE(a.exists("CAF\xc9"));
    EXPECT_EQ(b.read("CAF\xc9"), Bytes{7});
}

// A small image to damage: "A" (2000 bytes) and "D/x" in the root, "Big" with four extension blocks.
struct Damage {
    const char *name;
    std::function<void(Bytes &)> apply;
    const char *error;  // in the message of list() or of reading every file
};

std::span<uint8_t> Block(Bytes &image, uint32_t n) { return std::span<uint8_t>(image).subspan(n * 512, 512); }
uint32_t RootSlot(Bytes &image, const char *name)
{
    return dos::Get32(Block(image, 880), 24 + 4 * dos::NameHash(name, false));
}
void Seal(Bytes &image, uint32_t n) { dos::Put32(Block(image, n), 20, dos::BlockChecksum(Block(image, n))); }

Bytes DamageImage()
{
    qfauthor::AdfOptions o;
    o.fastFileSystem = true;
    // clang-format off
    return qfauthor::AdfWriter(o).file("A", Pattern(2000, 5)).file("D/x", {1}).file("Big", Pattern(300 * 512, 6)).image();
    // clang-format on
}

void ReadEverything(const qfhost::AdfImage &image)
{
    for (const auto &e : image.list())
        if (e.kind == qfhost::AdfEntry::Kind::File) image.read(e.path);
}

TEST(AdfDamage, EachDamageIsOneClearLineInBoundedTime)
{
    const Damage cases[] = {
        {"truncated", [](Bytes &b) { b.resize(600000); }, "truncated image: 600000 bytes"},
        {"pointer past the end",
         [](Bytes &b) { dos::Put32(Block(b, 880), 24 + 4 * dos::NameHash("A", false), 5000), Seal(b, 880); },
         "points to block 5000, outside the 1760 blocks"},
        {"hash chain loops",
         [](Bytes &b) {
             uint32_t a = RootSlot(b, "A");
             dos::Put32(Block(b, a), 512 - 16, a), Seal(b, a);
         },
         "a hash chain in the root loops at block"},
        {"directory contains itself",
         [](Bytes &b) {
             uint32_t d = RootSlot(b, "D");
             dos::Put32(Block(b, d), 24 + 4 * dos::NameHash("x", false), d), Seal(b, d);
         },
         "directory \"D/D\" contains itself"},
        {"extension chain loops",
         [](Bytes &b) {
             uint32_t first = dos::Get32(Block(b, RootSlot(b, "Big")), 512 - 8);
             dos::Put32(Block(b, first), 512 - 8, first), Seal(b, first);
         },
         "the extension blocks of \"Big\" loop at block"},
    };
    for (const Damage &c : cases) {
        Bytes bytes = DamageImage();
        c.apply(bytes);
        auto start = std::chrono::steady_clock::now();
        try {
            ReadEverything(qfhost::AdfImage(bytes));
            EXPECT_EQ(c.error, nullptr) << c.name << ": read without an error";
        } catch (const qfhost::AdfError &e) {
            ASSERT_NE(c.error, nullptr) << c.name << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << c.name << ": " << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.name;
    }
}

// An entry whose block is no header block, or a header of no known type, is listed with its
// damage and the walk goes on to the entries after it.
TEST(AdfDamage, AnEntryThatCannotBeReadIsListedWithItsDamageAndTheWalkGoesOn)
{
    Bytes bytes = DamageImage();
    uint32_t a = RootSlot(bytes, "A"), d = RootSlot(bytes, "D");
    dos::Put32(Block(bytes, a), 0, 99);
    dos::Put32(Block(bytes, d), 512 - 4, 7), Seal(bytes, d);
    qfhost::AdfImage image(bytes);
    std::map<std::string, std::string> damage;
    for (const auto &e : image.list()) damage[e.path] = e.damage;
    ASSERT_EQ(damage.size(), 3u);  // nothing inside "D" is walked
    EXPECT_EQ(damage["/"],
              "damaged disk: block " + std::to_string(a) + " (an entry of the root) is not a header block");
    EXPECT_NE(damage["D"].find("has the unknown type 7"), std::string::npos) << damage["D"];
    EXPECT_EQ(damage["Big"], "");
    EXPECT_EQ(image.read("Big"), Pattern(300 * 512, 6));
}

TEST(AdfDamage, BadChecksumsWarnUnlessStrictAndCommonSmallFaultsStillRead)
{
    Bytes bytes = DamageImage();
    uint32_t a = RootSlot(bytes, "A");
    Block(bytes, a)[512 - 180] ^= 1;  // a comment byte: the data is sound, the checksum is not
    qfhost::AdfImage lenient(bytes);
    EXPECT_EQ(lenient.read("A"), Pattern(2000, 5));
    ASSERT_EQ(lenient.warnings().size(), 1u);
    EXPECT_EQ(lenient.warnings()[0],
              "block " + std::to_string(a) + " (an entry of the root) has a checksum that does not match");
    qfhost::AdfReadOptions strict;
    strict.strictChecksums = true;
    EXPECT_THROW(qfhost::AdfImage(bytes, strict).read("A"), qfhost::AdfError);

    bytes = DamageImage();
    dos::Put32(Block(bytes, 0), 8, 1234);                           // boot block's root pointer wrong
    dos::Put32(Block(bytes, 0), 4, 0xDEADBEEF);                     // and its checksum invalid
    dos::Put32(Block(bytes, 880), 512 - 200, 0), Seal(bytes, 880);  // bitmap marked invalid
    qfhost::AdfImage worn(bytes);
    EXPECT_EQ(worn.read("D/X"), Bytes{1});
    EXPECT_EQ(worn.read("big"), Pattern(300 * 512, 6));
    EXPECT_TRUE(worn.warnings().empty());

    EXPECT_THROW(qfhost::AdfImage(Bytes(901120, 0)), qfhost::AdfError);                     // wiped boot block
    EXPECT_THROW(qfhost::AdfImage(Bytes{'R', 'D', 'S', 'K', '.', '#'}), qfhost::AdfError);  // found by fuzzing
}

}  // namespace

namespace {

using Geometry = qfauthor::HardDiskGeometry;
// A rigid disk block and partition "DH0" (from cylinder 2 of 2 heads and 11 sectors unless told)
// around the file system of a floppy the writer made.
Bytes HardDisk(const Bytes &floppy, const Geometry &g = {}) { return qfauthor::HardDiskImage(floppy, g); }

// Debian's unadf (ADFlib 0.7.11a) loops forever on such an image, so it is no peer here.
TEST(AdfHardDisk, APartitionBehindARigidDiskBlockIsFoundByItsGeometry)
{
    qfauthor::AdfOptions o;
    o.fastFileSystem = true;
    o.label = "Work";
    TempDir dir;
    fs::path image =
        dir.write("disk.hdf", HardDisk(qfauthor::AdfWriter(o).file("Pics/Back", Pattern(5000, 9)).image()));
    qfhost::AdfImage disk(qftest::ReadBytes(image));
    EXPECT_EQ(disk.label(), "Work");
    EXPECT_EQ(disk.blockCount(), 1760u);
    EXPECT_EQ(disk.read("pics/back"), Pattern(5000, 9));
    qfhost::AdfReadOptions second;
    second.partition = 1;
    EXPECT_THROW(qfhost::AdfImage(qftest::ReadBytes(image), second), qfhost::AdfError);
}

// The partition's first byte is cylinder x heads x sectors x block size from the image: hostile
// numbers must not wrap (today's images have far fewer cylinders than 2^64 bytes would take).
TEST(AdfHardDisk, GeometryThatWrapsOrLiesOutsideTheImageIsRefusedNamingThePartition)
{
    qfauthor::AdfOptions o;
    o.label = "Work";
    const Bytes floppy = qfauthor::AdfWriter(o).file("F", Pattern(100, 1)).image();
    // 13447547 x 20931325 x 65536 is 2^64 - 881 x 65536: block 880, where a floppy's root is
    // looked for, starts 64 KB before the image (a SIGSEGV once).
    const std::pair<const char *, Geometry> cases[] = {
        {"wraps to before the image", {16384, 1075, 19471, 13447547, 13447547}},
        {"wraps to byte 0", {16384, 4096, 4096, 1u << 24, 1u << 24}},  // 2^24 x 2^24 x 2^16 = 2^64
        {"starts past the end", {128, 2, 11, 1000, 1079}},
        {"starts at the end", {128, 2, 11, 82, 100}},
    };
    for (const auto &[name, geometry] : cases) {
        try {
            qfhost::AdfImage disk(HardDisk(floppy, geometry));
            ADD_FAILURE() << name << ": opened";
        } catch (const qfhost::AdfError &e) {
            EXPECT_EQ(std::string(e.what()).rfind("partition 0 (DH0) lies outside the image", 0), 0u)
                << name << ": " << e.what();
        }
    }
    // A partition beyond any 32-bit block number is refused too; one that fits still opens.
    EXPECT_THROW(qfhost::AdfImage(HardDisk(floppy, {128, 0xFFFFFFFF, 0xFFFFFFFF, 0, 1})), qfhost::AdfError);
    EXPECT_EQ(qfhost::AdfImage(HardDisk(floppy)).read("F"), Pattern(100, 1));
}

// A floppy's file system labelled `label` holding one file "F" of `seed`'s pattern.
Bytes Labelled(const std::string &label, unsigned seed, bool fast = true)
{
    qfauthor::AdfOptions o;
    o.label = label;
    o.fastFileSystem = fast;
    return qfauthor::AdfWriter(o).file("F", Pattern(300, seed)).image();
}

// 80 cylinders of 2 x 11 blocks from cylinder low: a floppy's file system fits exactly.
Geometry Cylinders(uint32_t low) { return {128, 2, 11, low, low + 79}; }

// A PFS3 partition first (not read), then FFS "Work" on DH1 and OFS labelled "dh1" on DH2: the
// disk opens at its first readable partition, and each is named by its drive or its label, a
// drive name winning over another partition's label.
TEST(AdfHardDisk, EachPartitionIsListedAndOpensByDriveNameOrLabel)
{
    Bytes pfs(1760 * 512, 0);
    std::copy_n("PFS\1", 4, pfs.begin());
    const qfhost::AdfImage disk(qfauthor::HardDiskImage({{"DH0", pfs, Cylinders(2), 0x50465301},
                                                         {"DH1", Labelled("Work", 1), Cylinders(82)},
                                                         {"DH2", Labelled("dh1", 2, false), Cylinders(162)}}));
    EXPECT_EQ(disk.drive(), "DH1");
    EXPECT_EQ(disk.label(), "Work");
    const std::vector<qfhost::AdfPartition> &parts = disk.partitions();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].dosType, "PFS\\1");
    EXPECT_EQ(parts[0].fileSystem, "PFS3");
    EXPECT_EQ(parts[0].problem, "partition DH0 holds a PFS3 file system (\"PFS\\1\"), which this reader does not read");
    EXPECT_EQ(parts[1].label, "Work");
    EXPECT_EQ(parts[2].dosType, "DOS\\0");
    EXPECT_EQ(parts[2].fileSystem, "OFS");
    for (const qfhost::AdfPartition &p : parts) EXPECT_EQ(p.bytes, 1760u * 512) << p.drive;

    const std::pair<const char *, unsigned> named[] = {{"DH1", 1}, {"dh1", 1}, {"WORK", 1}, {"DH2", 2}};
    for (const auto &[name, seed] : named) {
        std::optional<qfhost::AdfImage> part = disk.partition(name);
        ASSERT_TRUE(part) << name;
        EXPECT_EQ(part->read("F"), Pattern(300, seed)) << name;
    }
    EXPECT_FALSE(disk.partition("DH3"));
    try {
        (void)disk.partition("dh0");
        ADD_FAILURE() << "the PFS3 partition opened";
    } catch (const qfhost::AdfError &e) {
        EXPECT_EQ(std::string(e.what()), parts[0].problem);
    }
    EXPECT_TRUE(disk.warnings().empty());
}

// A partition list that loops, points at nothing or runs past 128 partitions ends with a warning;
// a partition over another, past the image's end or of a foreign type whose boot block says "DOS"
// is listed with its problem and refused, and the readable ones still open.
TEST(AdfHardDisk, HostilePartitionTablesAreCutShortOrRefusedPartByPart)
{
    const Bytes work = Labelled("Work", 3);
    auto partTable = [](Bytes image, uint32_t partBlock, uint32_t next) {
        dos::Put32(std::span(image).subspan(partBlock * 512, 512), 16, next);
        return image;
    };
    auto warned = [](const qfhost::AdfImage &d, const std::string &part) {
        for (const std::string &w : d.warnings())
            if (w.find(part) != std::string::npos) return true;
        return false;
    };
    const Bytes two = qfauthor::HardDiskImage({{"DH0", work, Cylinders(2)}, {"DH1", work, Cylinders(82)}});
    for (uint32_t next : {1u, 2u}) {  // back to the first, or to itself
        qfhost::AdfImage loop(partTable(two, 2, next));
        EXPECT_EQ(loop.partitions().size(), 2u);
        EXPECT_TRUE(warned(loop, "the partition list loops back to block " + std::to_string(next)));
        EXPECT_EQ(loop.read("F"), Pattern(300, 3));
    }
    qfhost::AdfImage missing(partTable(two, 1, 30));
    EXPECT_EQ(missing.partitions().size(), 1u);
    EXPECT_TRUE(warned(missing, "partition block 30 is missing; the partitions after DH0 are skipped"));

    // DH1 over DH0's last cylinder; DH2 past the end; DH3 an SFS partition holding an FFS floppy.
    const qfhost::AdfImage bad(qfauthor::HardDiskImage({{"DH0", work, Cylinders(2)},
                                                        {"DH1", {}, Cylinders(81)},
                                                        {"DH2", {}, Cylinders(5000)},
                                                        {"DH3", work, Cylinders(162), 0x53465300}}));
    const std::vector<qfhost::AdfPartition> &parts = bad.partitions();
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[1].problem, "damaged disk: partition 1 (DH1) overlaps partition DH0");
    EXPECT_EQ(parts[2].problem.rfind("partition 2 (DH2) lies outside the image", 0), 0u) << parts[2].problem;
    EXPECT_EQ(parts[3].fileSystem, "SFS");
    EXPECT_TRUE(parts[3].label.empty());
    for (const char *drive : {"DH1", "DH2", "DH3"}) EXPECT_THROW((void)bad.partition(drive), qfhost::AdfError);
    EXPECT_EQ(bad.partition("Work")->drive(), "DH0");

    // 200 partitions listed, the readable one far from the partition blocks: 128 are read.
    std::vector<qfauthor::HardDiskPartition> many{{"DH0", work, Cylinders(20)}};
    for (int i = 1; i < 200; ++i) many.push_back({"P" + std::to_string(i), {}, Cylinders(100000)});
    qfhost::AdfImage crowded(qfauthor::HardDiskImage(many));
    EXPECT_EQ(crowded.partitions().size(), 128u);
    EXPECT_TRUE(warned(crowded, "goes on past 128 partitions; the partitions after P127 are skipped"));
    EXPECT_EQ(crowded.read("F"), Pattern(300, 3));

    // None readable: the first one's problem.
    try {
        qfhost::AdfImage none(qfauthor::HardDiskImage({{"DH0", work, Cylinders(2), 0x50445303}}));
        ADD_FAILURE() << "opened";
    } catch (const qfhost::AdfError &e) {
        EXPECT_EQ(std::string(e.what()), "partition DH0 holds a PFS3 file system (\"PDS\\3\"), which this reader does "
                                         "not read");
    }
}

// A sparse 4 GB hard-disk image, all but its first blocks holes: opening it, its label, listing and
// reading a file touch only the blocks they need (reading it whole once took 8 GB).
TEST(AdfHardDisk, AHugeSparseImageIsReadOnlyWhereNeeded)
{
    qfauthor::AdfOptions o;
    o.fastFileSystem = true;
    o.label = "Huge";
    TempDir dir;
    fs::path image = dir.write("huge.hdf", HardDisk(qfauthor::AdfWriter(o).file("Movies/M", Pattern(3000, 4)).image(),
                                                    {128, 2, 11, 2, 381000}));
    ASSERT_EQ(::truncate(image.c_str(), off_t(4) << 30), 0);

    qfhost::AdfImage disk = qfhost::AdfImage::Load(image);
    EXPECT_EQ(disk.label(), "Huge");
    EXPECT_EQ(disk.blockCount(), 380999u * 22);
    ASSERT_EQ(disk.list().size(), 2u);
    EXPECT_EQ(disk.read("movies/m"), Pattern(3000, 4));

    std::unique_ptr<qfhost::Volume> volume = qfhost::Volume::Open(image);
    EXPECT_EQ(volume->label(), "Huge");
    std::vector<qfhost::VolumeEntry> entries = volume->list();
    ASSERT_EQ(entries.size(), 2u);
    const Bytes movie = Pattern(3000, 4);
    EXPECT_EQ(volume->head(entries[1], 5), Bytes(movie.begin(), movie.begin() + 5));
    qfhost::VolumeLimits small;
    small.fileBytes = 2999;
    EXPECT_THROW(qfhost::Volume::Open(image, small)->open("Movies/M"), qfhost::VolumeError);
}

}  // namespace

namespace {

// A link block by hand in a free block, hashed into the root: what AmigaDOS writes for MakeLink.
void AddLink(Bytes &image, uint32_t n, const std::string &name, int32_t type, uint32_t real, const std::string &text)
{
    auto b = Block(image, n);
    dos::Put32(b, 0, dos::typeHeader), dos::Put32(b, 4, n);
    b[512 - 80] = uint8_t(name.size());
    std::copy(name.begin(), name.end(), b.begin() + 512 - 79);
    std::copy(text.begin(), text.end(), b.begin() + 24);
    dos::Put32(b, 512 - 44, real), dos::Put32(b, 512 - 12, 880), dos::Put32(b, 512 - 4, uint32_t(type));
    dos::Put32(Block(image, 880), 24 + 4 * dos::NameHash(name, false), n);
    Seal(image, n), Seal(image, 880);
}

TEST(AdfLinks, LinksAreListedAsLinksAndHardLinksRead)
{
    Bytes bytes = DamageImage();
    AddLink(bytes, 1700, "L", dos::secFileLink, RootSlot(bytes, "A"), "");
    AddLink(bytes, 1701, "S", dos::secSoftLink, 0, "D/x");
    qfhost::AdfImage disk(bytes);
    std::map<std::string, qfhost::AdfEntry> entries;
    for (const auto &e : disk.list()) entries[e.path] = e;
    EXPECT_EQ(entries["L"].kind, qfhost::AdfEntry::Kind::HardLink);
    EXPECT_EQ(entries["L"].linkTarget, "A");
    EXPECT_EQ(entries["L"].size, 2000u);
    EXPECT_EQ(entries["S"].kind, qfhost::AdfEntry::Kind::SoftLink);
    EXPECT_EQ(entries["S"].linkTarget, "D/x");
    EXPECT_EQ(disk.read("l"), Pattern(2000, 5));
    EXPECT_THROW(disk.read("S"), qfhost::AdfError);  // a soft link may name another volume: not followed

    AddLink(bytes, 1702, "M", dos::secFileLink, 1700, "");  // a link to a link
    EXPECT_THROW(qfhost::AdfImage(bytes).read("M"), qfhost::AdfError);
}

}  // namespace

namespace {

// Free blocks as the bitmap after the root says: one bit per block from block 2, set when free.
int FreeBlocks(Bytes &image, uint32_t blocks)
{
    auto bitmap = Block(image, blocks / 2 + 1);
    EXPECT_EQ(dos::Get32(bitmap, 0), dos::BlockChecksum(bitmap, 0));
    int free = 0;
    for (uint32_t bit = 0; bit < blocks - 2; ++bit) free += (dos::Get32(bitmap, 4 + 4 * (bit / 32)) >> (bit % 32)) & 1;
    return free;
}

TEST(AdfBitmap, EveryBlockInUseIsMarked)
{
    qfauthor::AdfOptions ffs, ofsHd;
    ffs.fastFileSystem = true;
    ofsHd.highDensity = true;
    Bytes empty = qfauthor::AdfWriter(ffs).image();
    EXPECT_EQ(FreeBlocks(empty, 1760), 1756);  // all but boot (not in the map), root and bitmap
    Bytes one = qfauthor::AdfWriter(ffs).file("F", Bytes(1000)).image();
    EXPECT_EQ(FreeBlocks(one, 1760), 1753);  // a header and two data blocks
    Bytes hd = qfauthor::AdfWriter(ofsHd).file("D/F", Bytes(488 * 73)).image();
    EXPECT_EQ(FreeBlocks(hd, 3520), 3516 - 1 - 1 - 1 - 73);  // directory, header, extension, data
}

}  // namespace

namespace {

// The most memory the process held while fn ran beyond what it held before, in bytes (Linux).
uint64_t PeakGrowth(const std::function<void()> &fn)
{
    auto field = [](const std::string &name) {
        std::ifstream in("/proc/self/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name + ":", 0) == 0) return uint64_t(std::stoull(line.substr(name.size() + 1))) << 10;
        return uint64_t(0);
    };
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from now
    uint64_t before = field("VmRSS");
    fn();
    uint64_t peak = field("VmHWM");
    return peak > before ? peak - before : 0;
}

// 15,000 levels overflowed the stack: the walk is a loop, and past its depth limit it stops with
// the path it had reached.
TEST(AdfDeepDirectories, PastTheDepthLimitTheWalkStopsWithThePathSoFar)
{
    qfhost::AdfImage disk(qfauthor::DeepDirectoryImage(15000, "d"));
    std::string thousand = "d";
    for (int i = 1; i < 1000; ++i) thousand += "/d";
    unsigned visited = 0;
    try {
        disk.walk([&](const qfhost::AdfEntry &) { return ++visited, true; });
        ADD_FAILURE() << "walked 15,000 levels";
    } catch (const qfhost::AdfError &e) {
        EXPECT_EQ(std::string(e.what()), "directories nest deeper than 1000 levels at \"" + thousand + "\"");
    }
    EXPECT_EQ(visited, 1000u);
    EXPECT_THROW(disk.list(), qfhost::AdfError);

    // Allowed deeper, every level comes, parents first; a visitor that says no ends the walk.
    qfhost::AdfImage deeper(qfauthor::DeepDirectoryImage(15000, "d"), {.depth = 15000});
    size_t levels = 0, longest = 0;
    deeper.walk([&](const qfhost::AdfEntry &e) {
        EXPECT_EQ(e.path.size(), 2 * levels + 1);
        longest = e.path.size(), ++levels;
        return true;
    });
    EXPECT_EQ(levels, 15000u);
    EXPECT_EQ(longest, 29999u);
    levels = 0;
    deeper.walk([&](const qfhost::AdfEntry &) { return ++levels, false; });
    EXPECT_EQ(levels, 1u);
}

// 10,000 levels of 30-letter names: each path is up to 310,000 bytes, and holding every one took
// 5.2 GB. The walk holds the current path only, so it needs a few megabytes.
TEST(AdfDeepDirectories, TheWalkHoldsOnePathNotAllOfThem)
{
    const std::string name(30, 'n');
    qfhost::AdfImage disk(qfauthor::DeepDirectoryImage(10000, name), {.depth = 10000});
    size_t levels = 0, longest = 0;
    uint64_t growth = PeakGrowth([&] {
        disk.walk([&](const qfhost::AdfEntry &e) {
            longest = e.path.size(), ++levels;
            return true;
        });
    });
    EXPECT_EQ(levels, 10000u);
    EXPECT_EQ(longest, 10000u * 31 - 1);
    EXPECT_LT(growth, uint64_t(256) << 20);  // the sum of all paths is 1.5 GB
}

// A walked file read by its header block: its head needs only its first data blocks, so later
// blocks that are damaged do not matter to it; a hard link is followed to its object.
TEST(AdfReadByBlock, TheHeadOfAFileNeedsOnlyItsFirstBlocks)
{
    Bytes bytes = qfauthor::AdfWriter().file("F", Pattern(3 * 488, 7)).image();  // OFS: 488 bytes a block
    uint32_t f = RootSlot(bytes, "F");
    dos::Put32(Block(bytes, f), 24 + 4 * 70, 60000), Seal(bytes, f);  // the second data block, off the disk
    AddLink(bytes, 1700, "L", dos::secFileLink, f, "");
    qfhost::AdfImage disk(bytes);
    const Bytes whole = Pattern(3 * 488, 7);
    EXPECT_EQ(disk.head(f, "F", 16), Bytes(whole.begin(), whole.begin() + 16));
    EXPECT_EQ(disk.head(f, "F", 488), Bytes(whole.begin(), whole.begin() + 488));
    EXPECT_EQ(disk.head(1700, "L", 16), Bytes(whole.begin(), whole.begin() + 16));
    EXPECT_THROW(disk.head(f, "F", 489), qfhost::AdfError);
    EXPECT_THROW(disk.read("F"), qfhost::AdfError);
    EXPECT_THROW(disk.copy(f, "F", [](std::span<const uint8_t>) {}), qfhost::AdfError);
    EXPECT_THROW(disk.head(880, "the root", 16), qfhost::AdfError);  // a directory is no file
}

// Images that once crashed the reader (fuzz/regressions/adf_reader): each is refused or read.
TEST(AdfRegressions, KeptImagesAreRefusedOrRead)
{
    const fs::path dir = fs::path(std::getenv("QF_SOURCE_DIR")) / "fuzz/regressions/adf_reader";
    int images = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".md") continue;
        ++images;
        try {
            qfhost::AdfImage disk = qfhost::AdfImage::Load(entry.path());
            disk.walk([&](const qfhost::AdfEntry &e) {
                if (e.kind == qfhost::AdfEntry::Kind::File) {
                    try {
                        disk.head(e.block, e.path, 64), disk.read(e.path);
                    } catch (const qfhost::AdfError &) {}
                }
                return true;
            });
        } catch (const qfhost::AdfError &e) {
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << entry.path();
        }
    }
    EXPECT_GT(images, 0);
}

}  // namespace

namespace {

// What salvaging one file gives: its bytes and what the reader says of them.
struct Salvaged {
    Bytes bytes;
    qfhost::AdfSalvage report;
};
Salvaged SalvageOf(const Bytes &image, const std::string &path)
{
    qfhost::AdfImage disk(image);
    for (const auto &e : disk.list())
        if (e.path == path) {
            EXPECT_THROW(disk.copy(e.block, e.path, [](std::span<const uint8_t>) {}), qfhost::AdfError) << path;
            Salvaged s;
            s.report = disk.salvage(e.block, e.path, [&](std::span<const uint8_t> piece) {
                s.bytes.insert(s.bytes.end(), piece.begin(), piece.end());
            });
            return s;
        }
    ADD_FAILURE() << "no " << path;
    return {};
}
uint32_t HeaderOf(const Bytes &image, const std::string &path)
{
    for (const auto &e : qfhost::AdfImage(image).list())
        if (e.path == path) return e.block;
    return 0;
}
// The k-th data block (from 0) in a header or extension block's table.
uint32_t Listed(Bytes &image, uint32_t header, uint32_t k)
{
    return dos::Get32(Block(image, header), 24 + 4 * (71 - k));
}
Bytes Holed(Bytes bytes, size_t from, size_t to)
{
    std::fill(bytes.begin() + long(from), bytes.begin() + long(to), 0);
    return bytes;
}
using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

}  // namespace

// An OFS data block is trusted only when its own header names the file and its place: the third of
// five that fails either is zeros, and the blocks after it still come from the header's table.
TEST(AdfSalvage, AnOfsBlockThatIsNotTheFilesOwnIsZerosAndTheRestIsRead)
{
    const Bytes prog = Pattern(2000, 7);  // blocks of 488: the fifth holds 48 bytes
    const Bytes clean = qfauthor::AdfWriter().file("Tools/Prog", prog).file("Other", Pattern(100, 8)).image();
    const uint32_t header = HeaderOf(clean, "Tools/Prog"), other = HeaderOf(clean, "Other");
    const std::pair<const char *, std::function<void(std::span<uint8_t>)>> faults[] = {
        {"type", [](std::span<uint8_t> b) { dos::Put32(b, 0, 2); }},
        {"another file's", [&](std::span<uint8_t> b) { dos::Put32(b, 4, other); }},
        {"out of sequence", [](std::span<uint8_t> b) { dos::Put32(b, 8, 4); }},
        {"too few bytes", [](std::span<uint8_t> b) { dos::Put32(b, 12, 100); }},
    };
    for (const auto &[name, fault] : faults) {
        SCOPED_TRACE(name);
        Bytes image = clean;
        const uint32_t third = Listed(image, header, 2);
        fault(Block(image, third)), Seal(image, third);
        Salvaged s = SalvageOf(image, "Tools/Prog");
        EXPECT_EQ(s.bytes, Holed(prog, 976, 1464));
        EXPECT_EQ(s.report.blocks, 5u);
        EXPECT_EQ(s.report.unreadable, 1u);
        EXPECT_EQ(s.report.zeros, (Ranges{{976, 1464}}));
    }
    // The last block's hole is as long as the file's end, and neighbours merge into one range.
    Bytes image = clean;
    for (uint32_t k : {3u, 4u}) dos::Put32(Block(image, Listed(image, header, k)), 0, 2);
    Salvaged s = SalvageOf(image, "Tools/Prog");
    EXPECT_EQ(s.bytes, Holed(prog, 1464, 2000));
    EXPECT_EQ(s.report.zeros, (Ranges{{1464, 2000}}));
    EXPECT_EQ(s.report.unreadable, 2u);
}

// On FFS the table and its extension blocks are all there is: a pointer outside the disk is one
// block of zeros, a bad extension block makes every block it would list zeros. On OFS the data
// blocks' own chain leads past a bad extension block, each block still checked.
TEST(AdfSalvage, TheBlockListIsFollowedAsFarAsItIsSound)
{
    qfauthor::AdfOptions ffs;
    ffs.fastFileSystem = true;
    const Bytes big = Pattern(40000, 9);  // FFS: 79 blocks, 72 in the header and 7 in one extension
    Bytes image = qfauthor::AdfWriter(ffs).file("Big", big).image();
    const uint32_t header = HeaderOf(image, "Big");
    const uint32_t extension = dos::Get32(Block(image, header), 512 - 8);
    dos::Put32(Block(image, header), 24 + 4 * (71 - 10), 70000), Seal(image, header);
    Salvaged s = SalvageOf(image, "Big");
    EXPECT_EQ(s.bytes, Holed(big, 5120, 5632));
    EXPECT_EQ(s.report.blocks, 79u);
    EXPECT_EQ(s.report.zeros, (Ranges{{5120, 5632}}));
    EXPECT_TRUE(s.report.listDamage.empty()) << s.report.listDamage;

    image = qfauthor::AdfWriter(ffs).file("Big", big).image();
    dos::Put32(Block(image, extension), 0, 8), Seal(image, extension);
    s = SalvageOf(image, "Big");
    EXPECT_EQ(s.bytes, Holed(big, 72 * 512, 40000));
    EXPECT_EQ(s.report.unreadable, 7u);
    EXPECT_EQ(s.report.zeros, (Ranges{{72 * 512, 40000}}));
    EXPECT_NE(s.report.listDamage.find("is not an extension block"), std::string::npos) << s.report.listDamage;

    image = qfauthor::AdfWriter().file("Big", big).image();  // OFS: 82 blocks
    const uint32_t ofsExtension = dos::Get32(Block(image, HeaderOf(image, "Big")), 512 - 8);
    dos::Put32(Block(image, ofsExtension), 0, 8), Seal(image, ofsExtension);
    s = SalvageOf(image, "Big");
    EXPECT_EQ(s.bytes, big);
    EXPECT_EQ(s.report.unreadable, 0u);
    EXPECT_FALSE(s.report.listDamage.empty());
    // Past a bad block the chain is lost too: from there on, zeros.
    const uint32_t seventyFifth = Listed(image, ofsExtension, 2);
    dos::Put32(Block(image, seventyFifth), 8, 1), Seal(image, seventyFifth);
    s = SalvageOf(image, "Big");
    EXPECT_EQ(s.bytes, Holed(big, 74 * 488, 40000));
    EXPECT_EQ(s.report.unreadable, 8u);
}

// A header's size is all that is ever written: a size larger than the blocks it lists ends in
// zeros at the claim, and one larger than the disk is refused rather than written as zeros.
TEST(AdfSalvage, TheClaimedSizeBoundsWhatIsWritten)
{
    const Bytes small = Pattern(1000, 10);
    Bytes image = qfauthor::AdfWriter().file("Small", small).image();
    const uint32_t header = HeaderOf(image, "Small");
    dos::Put32(Block(image, header), 512 - 188, 3000), Seal(image, header);
    Salvaged s = SalvageOf(image, "Small");
    ASSERT_EQ(s.bytes.size(), 3000u);
    EXPECT_TRUE(std::equal(small.begin(), small.begin() + 976, s.bytes.begin()));
    EXPECT_EQ(s.report.zeros, (Ranges{{976, 3000}}));  // the third block holds 24 bytes, not 488
    EXPECT_EQ(s.report.blocks, 7u);

    dos::Put32(Block(image, header), 512 - 188, 0xFFFFFFF0), Seal(image, header);
    qfhost::AdfImage disk(image);
    uint64_t written = 0;
    try {
        disk.salvage(header, "Small", [&](std::span<const uint8_t> p) { written += p.size(); });
        ADD_FAILURE() << "a 4 GB file salvaged from a floppy";
    } catch (const qfhost::AdfError &e) {
        EXPECT_NE(std::string(e.what()).find("claims 4294967280 bytes, more than the disk holds"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(written, 0u);
    // An image cut short holds fewer blocks than its file system claims: the image bounds the size.
    image.resize(1000 * 512);
    dos::Put32(Block(image, header), 512 - 188, 1500 * 488), Seal(image, header);
    EXPECT_THROW(qfhost::AdfImage(image).salvage(header, "Small", [](std::span<const uint8_t>) {}), qfhost::AdfError);
}
