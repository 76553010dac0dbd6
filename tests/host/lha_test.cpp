// LHA archives as volumes against hostile headers: what a header declares costs nothing until the
// bytes are there, a member is decoded only as far as it is used, an archive cut short or holding
// garbage fails after its good members, and the 64-bit sizes of level 2 headers are checked.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "authoring/lha_writer.h"
#include "qfhost/lha.hpp"
#include "qfhost/volume.hpp"
#include "testing/run_command.h"

namespace fs = std::filesystem;
using qfauthor::Bytes;
using qfauthor::LhaMember;
using qfauthor::StoredLhaMember;

// The largest single allocation through operator new since the last reset: what a member costs,
// told by a property of the process rather than by time.
namespace {
std::atomic<size_t> largestAllocation{0};
}

void *operator new(size_t size)
{
    for (size_t seen = largestAllocation; size > seen && !largestAllocation.compare_exchange_weak(seen, size);) {}
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }

namespace {

constexpr size_t OneMegabyte = size_t(1) << 20;

std::unique_ptr<qfhost::Volume> OpenBytes(const qftest::TempDir &dir, const std::string &name, const Bytes &archive,
                                          const qfhost::VolumeLimits &limits = {})
{
    return qfhost::Volume::Open(dir.write(name, archive), limits);
}

// The walk's paths, and the message it ended with ("" when it ended well).
std::pair<std::vector<std::string>, std::string> Walked(const qfhost::Volume &volume)
{
    std::vector<std::string> paths;
    try {
        volume.walk([&](const qfhost::VolumeEntry &e) {
            paths.push_back(e.path);
            return true;
        });
    } catch (const qfhost::VolumeError &e) {
        return {paths, e.what()};
    }
    return {paths, ""};
}

qfhost::VolumeEntry Entry(const qfhost::Volume &volume, const std::string &path)
{
    for (const qfhost::VolumeEntry &e : volume.list())
        if (e.path == path) return e;
    ADD_FAILURE() << "no " << path;
    return {};
}

std::string Refusal(const std::function<void()> &action)
{
    try {
        action();
    } catch (const qfhost::VolumeError &e) {
        return e.what();
    }
    return "";
}

LhaMember Declaring(std::string path, Bytes data, uint64_t length)
{
    LhaMember m = StoredLhaMember(std::move(path), std::move(data));
    m.length = length;
    return m;
}

LhaMember Zeros(std::string path, uint64_t count)
{
    LhaMember m;
    m.path = std::move(path);
    m.method = "-lh5-";
    m.data = qfauthor::Lh5Zeros(count);
    m.length = count;
    m.crc = 0;  // the CRC of zeros
    return m;
}

TEST(LhaCosts, AMemberDeclaringGigabytesIsRefusedAtTheCapWithoutBeingAllocated)
{
    qftest::TempDir dir;
    // 2.3 KB that claim 4 GB.
    auto volume = OpenBytes(dir, "claims.lha",
                            qfauthor::WriteLha({Declaring("huge", Bytes(2300, 'x'), 0xFFFFFFFF),
                                                StoredLhaMember("small", Bytes{'o', 'k'})}));
    largestAllocation = 0;
    std::vector<qfhost::VolumeEntry> entries = volume->list();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].size, 0xFFFFFFFFu);
    std::string refusal = Refusal([&] { volume->open("huge"); });
    EXPECT_NE(refusal.find("\"huge\""), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("4294967295"), std::string::npos) << refusal;
    EXPECT_EQ(refusal.find('\n'), std::string::npos);
    EXPECT_EQ(volume->head(entries[0], 16), Bytes(16, 'x'));
    uint64_t copied = 0;
    EXPECT_NE(
        Refusal([&] { volume->copy(entries[0], [&](std::span<const uint8_t> piece) { copied += piece.size(); }); }),
        "");
    EXPECT_EQ(copied, 2300u);
    EXPECT_LT(largestAllocation.load(), OneMegabyte);
    EXPECT_EQ(volume->open("small").bytes, (Bytes{'o', 'k'}));

    // The cap is the caller's.
    qfhost::VolumeLimits tight;
    tight.fileBytes = 1;
    auto capped = OpenBytes(dir, "small.lha", qfauthor::WriteLha({StoredLhaMember("two", Bytes{1, 2})}), tight);
    EXPECT_NE(Refusal([&] { capped->open("two"); }).find("over the limit of 1 "), std::string::npos);
}

TEST(LhaCosts, HeadDecodesOnlyTheFirstBytesAndCopyStreams)
{
    qftest::TempDir dir;
    // A member damaged past its first bytes: its head is there, and only a whole read finds the damage.
    LhaMember damaged = StoredLhaMember("damaged", Bytes(5000, 'd'));
    damaged.data[4000] = 'X';
    auto volume = OpenBytes(dir, "costs.lha",
                            qfauthor::WriteLha({damaged, Zeros("bomb", uint64_t(1) << 30), Zeros("eight", 8 << 20)}));
    largestAllocation = 0;
    EXPECT_EQ(volume->head(Entry(*volume, "damaged"), 4), (Bytes{'d', 'd', 'd', 'd'}));
    EXPECT_NE(Refusal([&] { volume->open("damaged"); }).find("CRC"), std::string::npos);
    // A gigabyte of zeros in 40 bytes: the signature is read from its first 16.
    EXPECT_EQ(volume->head(Entry(*volume, "bomb"), 16), Bytes(16, 0));
    EXPECT_EQ(volume->head(Entry(*volume, "bomb"), 0), Bytes{});
    size_t pieces = 0, bytes = 0, nonzero = 0;
    volume->copy(Entry(*volume, "eight"), [&](std::span<const uint8_t> piece) {
        ++pieces, bytes += piece.size();
        for (uint8_t b : piece) nonzero += b != 0;
    });
    EXPECT_EQ(bytes, size_t(8) << 20);
    EXPECT_EQ(nonzero, 0u);
    EXPECT_GT(pieces, 8u);
    EXPECT_LT(largestAllocation.load(), OneMegabyte);
    EXPECT_EQ(volume->open("eight").bytes, Bytes(size_t(8) << 20, 0));
}

TEST(LhaDamage, AnArchiveCutShortFailsAfterItsGoodMembers)
{
    qftest::TempDir dir;
    const Bytes whole = qfauthor::WriteLha({StoredLhaMember("One", Bytes(100, 1)), StoredLhaMember("Two", Bytes(50, 2)),
                                            StoredLhaMember("Pics/Three", Bytes(70, 3))});
    // Offsets: 24-byte level 0 header + name, then the data.
    const size_t third = (24 + 3 + 100) + (24 + 3 + 50);
    auto cut = [&](size_t size) {
        return OpenBytes(dir, "cut" + std::to_string(size) + ".lha", Bytes(whole.begin(), whole.begin() + long(size)));
    };

    auto [paths, error] = Walked(*cut(third + 12));
    EXPECT_EQ(paths, (std::vector<std::string>{"One", "Two"}));
    EXPECT_NE(error.find("byte " + std::to_string(third)), std::string::npos) << error;
    EXPECT_NE(error.find("cut short"), std::string::npos) << error;
    EXPECT_NE(error.find("after 2 members, the last \"Two\""), std::string::npos) << error;

    auto volume = cut(third + 24 + 10 + 30);  // inside the third member's data
    std::tie(paths, error) = Walked(*volume);
    EXPECT_EQ(paths, (std::vector<std::string>{"One", "Two"}));
    EXPECT_NE(error.find("\"Pics/Three\" is cut short"), std::string::npos) << error;
    EXPECT_EQ(volume->open("two").bytes, Bytes(50, 2));
    EXPECT_EQ(Refusal([&] { volume->open("Pics/Three"); }), error);

    // Garbage where a header should be.
    Bytes garbage = whole;
    for (size_t i = third; i < third + 30; ++i) garbage[i] = uint8_t(0x41 + i % 7);
    std::tie(paths, error) = Walked(*OpenBytes(dir, "garbage.lha", garbage));
    EXPECT_EQ(paths.size(), 2u);
    EXPECT_NE(error.find("no member header there"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);

    // Junk before a good header: liblhasa would look past it, and read the member from elsewhere.
    Bytes shifted = whole;
    shifted.insert(shifted.begin() + long(third), {'j', 'u', 'n', 'k', '!'});
    std::tie(paths, error) = Walked(*OpenBytes(dir, "shifted.lha", shifted));
    EXPECT_EQ(paths.size(), 2u);
    EXPECT_NE(error.find("byte " + std::to_string(third) + ": no member header there"), std::string::npos) << error;

    // Not a header from the first byte.
    std::tie(paths, error) = Walked(*cut(15));
    EXPECT_TRUE(paths.empty());
    EXPECT_NE(error.find("before any member"), std::string::npos) << error;
}

TEST(LhaDamage, AnArchiveEndsAtItsEndOrItsZeroByteWhateverPaddingFollows)
{
    qftest::TempDir dir;
    const Bytes whole =
        qfauthor::WriteLha({StoredLhaMember("One", Bytes(100, 1)), StoredLhaMember("Two", Bytes(50, 2))});
    const std::vector<std::string> both{"One", "Two"};
    Bytes unmarked(whole.begin(), whole.end() - 1), zeros = whole, eofs = whole, filler = unmarked;
    zeros.resize(whole.size() + 300, 0);
    eofs.resize(whole.size() + 127, 0x1A);       // a transfer's padding
    filler.resize(unmarked.size() + 127, 0x1A);  // the same padding with no end byte before it
    const std::vector<std::pair<std::string, Bytes>> endings{
        {"whole", whole}, {"unmarked", unmarked}, {"zeros", zeros}, {"eofs", eofs}, {"filler", filler}};
    for (const auto &[name, bytes] : endings)
        EXPECT_EQ(Walked(*OpenBytes(dir, name + ".lha", bytes)), std::pair(both, std::string())) << name;

    // A level 2 header of 256 bytes begins with a 0 byte, and is no end.
    const std::string long227(227, 'n');
    Bytes zeroLed = qfauthor::WriteLha({StoredLhaMember("One", Bytes(100, 1)), StoredLhaMember(long227, Bytes{7}, 2)});
    ASSERT_EQ(zeroLed[24 + 3 + 100], 0);
    EXPECT_EQ(Walked(*OpenBytes(dir, "zero-led.lha", zeroLed)),
              std::pair(std::vector<std::string>{"One", long227}, std::string()));
}

TEST(LhaSizes, TheExtendedSizeOfALevel2HeaderIsCheckedAgainstTheBytes)
{
    qftest::TempDir dir;
    auto level2 = [](std::string path, Bytes bytes, bool sizeHeader) {
        LhaMember m = StoredLhaMember(std::move(path), std::move(bytes), 2);
        m.sizeHeader = sizeHeader;
        return m;
    };
    // Zeros, so the CRC of what is there matches whatever length is claimed.
    LhaMember wrapped = level2("Big/Zeros", Bytes(10, 0), true);
    wrapped.length = (uint64_t(1) << 32) + 10;
    auto volume = OpenBytes(
        dir, "sizes.lha",
        qfauthor::WriteLha({level2("Plain", Bytes{'p'}, false), level2("Pics/Sized", Bytes(300, 's'), true), wrapped}));
    std::vector<qfhost::VolumeEntry> entries = volume->list();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].path, "Pics/Sized");
    EXPECT_EQ(entries[2].size, (uint64_t(1) << 32) + 10);
    EXPECT_EQ(volume->open("plain").bytes, Bytes{'p'});
    EXPECT_EQ(volume->open("Pics/Sized").bytes, Bytes(300, 's'));
    std::string refusal = Refusal([&] { volume->copy(entries[2], [](std::span<const uint8_t>) {}); });
    EXPECT_NE(refusal.find("\"Big/Zeros\" is damaged (it declares 4294967306 bytes and holds 10)"), std::string::npos)
        << refusal;
    qfhost::VolumeLimits roomy;
    roomy.fileBytes = uint64_t(8) << 30;
    auto unlimited = OpenBytes(dir, "sizes.lha", qfauthor::WriteLha({wrapped}), roomy);
    EXPECT_NE(Refusal([&] { unlimited->open("Big/Zeros"); }), "");

    // The two sizes of one header disagree: the header is damaged.
    LhaMember torn = level2("Torn", Bytes(20, 't'), true);
    Bytes archive = qfauthor::WriteLha({level2("First", Bytes{'f'}, false), torn});
    archive[archive.size() - 1 - 20 - 2 - 8] ^= 1;  // the extended original size's low byte
    auto [paths, error] = Walked(*OpenBytes(dir, "torn.lha", archive));
    EXPECT_EQ(paths, std::vector<std::string>{"First"});
    EXPECT_NE(error.find("sizes disagree"), std::string::npos) << error;
}

TEST(LhaIndex, TenThousandMembersOpenByNameEachWithItsOwnBytes)
{
    qftest::TempDir dir;
    std::vector<LhaMember> members;
    for (int i = 0; i < 10000; ++i) {
        std::string text = std::to_string(i);
        members.push_back(
            StoredLhaMember("Dir" + std::to_string(i % 10) + "/File" + text, Bytes(text.begin(), text.end())));
    }
    auto volume = OpenBytes(dir, "many.lha", qfauthor::WriteLha(members));
    size_t walked = 0;
    volume->walk([&](const qfhost::VolumeEntry &e) {
        std::string text = e.path.substr(e.path.find("File") + 4);
        EXPECT_EQ(volume->open(e.path).bytes, Bytes(text.begin(), text.end())) << e.path;
        EXPECT_EQ(volume->head(e, 2), Bytes(text.begin(), text.begin() + long(std::min<size_t>(2, text.size()))));
        ++walked;
        return true;
    });
    EXPECT_EQ(walked, 10000u);
    EXPECT_EQ(volume->open("dir7/file9997").bytes, (Bytes{'9', '9', '9', '7'}));

    // The exact name first, else the smallest equal but for case; of two equal paths, the first.
    auto cased = OpenBytes(dir, "cased.lha",
                           qfauthor::WriteLha({StoredLhaMember("readme", {'1'}), StoredLhaMember("ReadMe", {'2'}),
                                               StoredLhaMember("READMe", {'3'}), StoredLhaMember("ReadMe", {'4'})}));
    EXPECT_EQ(cased->open("ReadMe").bytes, Bytes{'2'});
    EXPECT_EQ(cased->open("readme").bytes, Bytes{'1'});
    EXPECT_EQ(cased->open("rEADME").bytes, Bytes{'3'});
    cased->copy(cased->list()[3], [](std::span<const uint8_t> piece) { EXPECT_EQ(piece[0], '4'); });
    EXPECT_NE(Refusal([&] { cased->open("nothing"); }).find("no member \"nothing\""), std::string::npos);
}

// Every kept input: whatever its damage, one line of VolumeError, never a crash or a huge read.
TEST(LhaRegressions, KeptInputsAreRefusedOrReadWithinBounds)
{
    const fs::path kept = fs::path(std::getenv("QF_SOURCE_DIR")) / "fuzz/regressions/lha_volume";
    size_t files = 0;
    for (const auto &file : fs::directory_iterator(kept)) {
        if (file.path().extension() == ".md") continue;
        ++files;
        qfhost::VolumeLimits limits;
        limits.fileBytes = 1 << 20;
        std::unique_ptr<qfhost::Volume> volume;
        try {
            volume = qfhost::Volume::Open(file.path(), limits);
        } catch (const qfhost::VolumeError &) {
            continue;
        }
        std::vector<qfhost::VolumeEntry> entries;
        std::string error = Refusal([&] {
            volume->walk([&](const qfhost::VolumeEntry &e) {
                entries.push_back(e);
                return true;
            });
        });
        EXPECT_EQ(error.find('\n'), std::string::npos) << file.path();
        for (const qfhost::VolumeEntry &e : entries) {
            if (e.directory || e.link) continue;
            EXPECT_LE(volume->head(e, 16).size(), 16u);
            size_t bytes = 0;
            Refusal([&] {
                volume->copy(e, [&](std::span<const uint8_t> piece) {
                    if ((bytes += piece.size()) > limits.fileBytes) throw qfhost::VolumeError("enough");
                });
            });
            Refusal([&] { volume->open(e.path); });
        }
    }
    EXPECT_GE(files, 3u);
}

}  // namespace

namespace {

// "path/" for a folder, "path" for a file: a walk as one comparable list.
std::vector<std::string> Kinds(const qfhost::Volume &volume)
{
    std::vector<std::string> kinds;
    for (const qfhost::VolumeEntry &e : volume.list()) kinds.push_back(e.path + (e.directory ? "/" : ""));
    return kinds;
}

LhaMember Attributed(std::string path, int level, uint8_t attribute, char os)
{
    LhaMember m = StoredLhaMember(std::move(path), {}, level);
    m.attribute = attribute;
    m.os = os;
    return m;
}

}  // namespace

// Directories as archivers wrote them: -lhd-, a zero-length -lh0- entry with a trailing '/' and no
// file name (which liblhasa refuses at levels 1 and 2), the MS-DOS directory attribute, and an
// empty file that others lie in. On the Amiga 0x10 is the archive flag: an empty file keeps it.
TEST(LhaAmiga, DirectoryEntriesAreFoldersAtEveryHeaderLevel)
{
    qftest::TempDir dir;
    const Bytes a{'a'}, b{'b', 'b'};
    for (int level : {0, 1, 2}) {
        SCOPED_TRACE(level);
        LhaMember slashed = Attributed("Slash/", level, 0x20, 'A');
        LhaMember backslashed = StoredLhaMember("Back/In", a, 0);
        backslashed.backslashes = true;
        auto volume =
            OpenBytes(dir, "dirs" + std::to_string(level) + ".lha",
                      qfauthor::WriteLha({StoredLhaMember("One", a, level), slashed,
                                          Attributed("Attr", level, 0x10, 'M'), qfauthor::LhaDirectory("Lhd", level),
                                          StoredLhaMember("Lhd/In", b, level), StoredLhaMember("Used", {}, level),
                                          StoredLhaMember("Used/In", a, level), Attributed("Flagged", level, 0x10, 'A'),
                                          backslashed, StoredLhaMember("Last", b, level)}));
        // A level 0 header names no system: its attribute is taken as MS-DOS meant it.
        const std::string flagged = level == 0 ? "Flagged/" : "Flagged";
        const std::vector<std::string> expected{"One",   "Slash/",  "Attr/", "Lhd/",    "Lhd/In",
                                                "Used/", "Used/In", flagged, "Back/In", "Last"};
        EXPECT_EQ(Kinds(*volume), expected);
        EXPECT_EQ(Walked(*volume).second, "");
        EXPECT_EQ(volume->open("Last").bytes, b);
        EXPECT_EQ(volume->open("lhd/in").bytes, b);
        EXPECT_EQ(volume->open("Back/In").bytes, a);
        if (level > 0) { EXPECT_TRUE(volume->open("Flagged").bytes.empty()); }
        EXPECT_NE(Refusal([&] { volume->open("Slash"); }).find("no member"), std::string::npos);
    }
}

// The archive inside an Amiga executable is found past the stub, as lhasa finds it; an executable
// without one is no archive.
TEST(LhaAmiga, ASelfExtractingArchiveIsFoundAfterItsStub)
{
    qftest::TempDir dir;
    const Bytes a{'a'}, b(3000, 'b');
    Bytes archive = qfauthor::WriteLha(
        {StoredLhaMember("One", a, 2), qfauthor::LhaDirectory("D", 1), StoredLhaMember("D/Two", b, 1)});
    fs::path sfx = dir.write("Tools.run", qfauthor::SelfExtractingLha(archive));
    ASSERT_EQ(qfhost::Volume::Detect(sfx), qfhost::VolumeKind::Archive);
    auto volume = qfhost::Volume::Open(sfx);
    EXPECT_EQ(Kinds(*volume), (std::vector<std::string>{"One", "D/", "D/Two"}));
    EXPECT_EQ(volume->open("D/Two").bytes, b);

    // Against lhasa: the same files with the same bytes.
    fs::path out = dir / "lhasa";
    fs::create_directories(out);
    qftest::RunCommand("lhasa", {"xqw=" + out.string(), sfx.string()}, dir.path());
    EXPECT_EQ(qftest::ReadBytes(out / "One"), a);
    EXPECT_EQ(qftest::ReadBytes(out / "D/Two"), b);

    Bytes stubOnly = qfauthor::SelfExtractingLha({});
    EXPECT_FALSE(qfhost::Volume::Detect(dir.write("Plain", stubOnly)).has_value());
    // A stub whose code holds a method id is no archive either: no header follows it.
    stubOnly.insert(stubOnly.end(), {'x', 'x', '-', 'l', 'h', '5', '-', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(qfhost::Volume::Detect(dir.write("Text", stubOnly)).has_value());
}
