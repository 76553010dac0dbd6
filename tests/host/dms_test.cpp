// DMS archives: what qfauthor's writer packs, Debian's xdms must unpack to the very floppy the
// writer was given, and the host's decoder must agree; damaged, cut and hostile archives end in
// one line naming the track.
#include <gtest/gtest.h>

#include "authoring/adf_writer.h"
#include "authoring/dms_writer.h"
#include "authoring/lha_writer.h"
#include "qfhost/dms.hpp"
#include "qfhost/volume.hpp"
#include "qfhost/volume_member.hpp"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using qfauthor::Bytes;
using qfhost::DmsDisk;
using qfhost::DmsError;
using qfhost::dms::Mode;
using qftest::TempDir;

// A floppy with files an archiver finds matches in (text, runs, a picture-like pattern), a few
// cylinders of noise that do not pack, and the same file twice in cylinders far apart.
Bytes Floppy(bool highDensity = false)
{
    qfauthor::AdfOptions o;
    o.label = "Packed";
    o.highDensity = highDensity;
    qfauthor::AdfWriter w(o);
    std::string text;
    for (int i = 0; i < 400; ++i) text += "Frame " + std::to_string(i) + " of the flight over the hills\n";
    w.file("Anims/Notes", Bytes(text.begin(), text.end()));
    Bytes pattern(60000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t((i / 40) * 7 ^ (i % 40 < 20 ? 0x90 : i));
    w.file("Anims/Flight", pattern);
    Bytes noise(30000);
    uint32_t x = 12345;
    for (uint8_t &b : noise) b = uint8_t((x = x * 1103515245 + 12345) >> 16);
    w.file("Noise", noise);
    w.file("Blank", Bytes(20000, 0));
    w.file("Copy/Flight", pattern);
    return w.image();
}

DmsDisk Decode(const Bytes &archive) { return qfhost::DecodeDms(archive); }

std::string Refusal(const Bytes &archive)
{
    try {
        qfhost::DecodeDms(archive);
    } catch (const DmsError &e) {
        return e.what();
    }
    return "(decoded)";
}

uint16_t Get16(const Bytes &b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }
void Put16(Bytes &b, size_t at, uint16_t v) { b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v); }

// Where each track record starts, by walking the headers.
std::vector<size_t> TrackOffsets(const Bytes &a)
{
    std::vector<size_t> at;
    for (size_t p = qfhost::dms::headerSize; p + 20 <= a.size(); p += 20 + Get16(a, p + 6)) at.push_back(p);
    return at;
}

size_t CylinderAt(const Bytes &a, unsigned cylinder)
{
    for (size_t p : TrackOffsets(a))
        if (Get16(a, p + 2) == cylinder) return p;
    ADD_FAILURE() << "no cylinder " << cylinder;
    return 0;
}

void FixTrackHeader(Bytes &a, size_t at) { Put16(a, at + 18, qfhost::dms::Crc16(std::span(a).subspan(at, 18))); }

struct Variant {
    const char *name;
    qfauthor::DmsOptions options;
    bool highDensity = false;
};

qfauthor::DmsOptions With(Mode mode, std::function<void(qfauthor::DmsOptions &)> more = {})
{
    qfauthor::DmsOptions o;
    o.mode = mode;
    if (more) more(o);
    return o;
}

class DmsPeer : public ::testing::TestWithParam<Variant> {
protected:
    TempDir dir_;
};

TEST_P(DmsPeer, XdmsUnpacksWhatWasWrittenAndTheDecoderAgrees)
{
    const Bytes floppy = Floppy(GetParam().highDensity);
    const Bytes archive = qfauthor::WriteDms(floppy, GetParam().options);
    if (GetParam().options.mode != Mode::NoComp) { EXPECT_LT(archive.size(), floppy.size() * 9 / 10); }

    const DmsDisk disk = Decode(archive);
    EXPECT_TRUE(disk.image == floppy);
    EXPECT_EQ(disk.highDensity, GetParam().highDensity);
    EXPECT_EQ(disk.tracks, 80u);
    EXPECT_EQ(disk.modesUsed, 1u << unsigned(GetParam().options.mode));

    if (::system("command -v xdms >/dev/null 2>&1") != 0) GTEST_SKIP() << "xdms is not installed";
    const fs::path packed = dir_.write("disk.dms", archive), unpacked = dir_ / "disk.adf";
    std::vector<std::string> args{"u", packed.string(), "+" + unpacked.string()};
    if (GetParam().options.encrypt) args.insert(args.begin(), {"-p", "secret"});
    qftest::Outcome r = qftest::RunCommand("xdms", args, dir_.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(qftest::ReadBytes(unpacked) == floppy);
}

const uint16_t secretKey = qfhost::dms::Crc16(std::span(reinterpret_cast<const uint8_t *>("secret"), 6));

INSTANTIATE_TEST_SUITE_P(
    Modes, DmsPeer,
    ::testing::Values(Variant{"NoComp", With(Mode::NoComp)}, Variant{"Simple", With(Mode::Simple)},
                      Variant{"Quick", With(Mode::Quick)}, Variant{"Medium", With(Mode::Medium)},
                      Variant{"Deep", With(Mode::Deep)}, Variant{"Heavy1", With(Mode::Heavy1)},
                      Variant{"Heavy2", With(Mode::Heavy2)},
                      Variant{"Heavy1WithoutRle", With(Mode::Heavy1, [](auto &o) { o.heavyRle = false; })},
                      Variant{"Heavy2CarriedTables", With(Mode::Heavy2, [](auto &o) { o.heavyTablesOnce = true; })},
                      Variant{"DeepWithResets", With(Mode::Deep,
                                                     [](auto &o) {
                                                         o.resetAfter = {0, 9, 40, 41};
                                                     })},
                      Variant{"QuickWithResets", With(Mode::Quick,
                                                      [](auto &o) {
                                                          o.resetAfter = {3, 77};
                                                      })},
                      Variant{"Heavy2Encrypted", With(Mode::Heavy2,
                                                      [](auto &o) {
                                                          o.encrypt = true;
                                                          o.key = secretKey;
                                                      })},
                      Variant{"SimpleEncrypted", With(Mode::Simple,
                                                      [](auto &o) {
                                                          o.encrypt = true;
                                                          o.key = secretKey;
                                                      })},
                      Variant{"MediumHD", With(Mode::Medium), true}, Variant{"Heavy2HD", With(Mode::Heavy2), true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DmsRle, HandWorkedRunsEscapesAndOvershoots)
{
    auto unpack = [](Bytes in, size_t size) {
        Bytes out(size);
        return qfhost::dms::UnpackRle(in, out) ? out : Bytes{'!'};
    };
    // A literal, an escaped 0x90, a short run, a long run.
    Bytes expected{'A', 0x90, 'z', 'z', 'z', 'z', 'z'};
    expected.insert(expected.end(), 0x0102, 0x33);
    EXPECT_EQ(unpack({'A', 0x90, 0x00, 0x90, 0x05, 'z', 0x90, 0xFF, 0x33, 0x01, 0x02}, expected.size()), expected);
    // A long run of none is nothing.
    EXPECT_EQ(unpack({0x90, 0xFF, 0x33, 0x00, 0x00, 'B'}, 1), Bytes{'B'});
    // A run past the end, input cut in an escape or a long count, input cut before the output is full.
    EXPECT_EQ(unpack({0x90, 0x05, 'z'}, 4), Bytes{'!'});
    EXPECT_EQ(unpack({'A', 0x90}, 2), Bytes{'!'});
    EXPECT_EQ(unpack({0x90, 0xFF, 0x33, 0x01}, 300), Bytes{'!'});
    EXPECT_EQ(unpack({'A'}, 2), Bytes{'!'});
    // The writer's packing round-trips through runs at every boundary (3, 4, 254, 255, 0xFFFF + 1).
    Bytes mixed;
    for (size_t n : {3, 4, 254, 255, 0x10000}) mixed.insert(mixed.end(), n, uint8_t(n == 254 ? 0x90 : n));
    mixed.push_back(0x90);
    EXPECT_EQ(unpack(qfauthor::PackRle(mixed), mixed.size()), mixed);
}

TEST(DmsBits, MostSignificantFirstAndZerosPastTheEnd)
{
    const Bytes in{0b10110000, 0xFF};
    qfhost::dms::BitReader bits(in);
    EXPECT_EQ(bits.take(1), 1u);
    EXPECT_EQ(bits.take(3), 0b011u);
    EXPECT_EQ(bits.peek(8), 0b00001111u);
    EXPECT_EQ(bits.take(8), 0b00001111u);
    EXPECT_EQ(bits.take(8), 0b11110000u);  // the last 4 bits, then the padding
    EXPECT_EQ(bits.take(24), 0u);
    EXPECT_EQ(bits.take(0), 0u);
}

TEST(DmsChecksums, KnownValues)
{
    const std::string check = "123456789";
    EXPECT_EQ(qfhost::dms::Crc16(std::span(reinterpret_cast<const uint8_t *>(check.data()), check.size())), 0xBB3D);
    EXPECT_EQ(qfhost::dms::Sum16(Bytes(300, 0xFF)), uint16_t(300 * 255));
}

TEST(DmsArchive, TextsVersionAndTheCylindersItHolds)
{
    const Bytes floppy = Floppy();
    qfauthor::DmsOptions o;
    o.mode = Mode::Medium;
    o.banner = "Packed by the crew\r\nCall our board\n";
    o.fileId = "A flight over the hills\n";
    o.creatorVersion = 111;
    o.lowTrack = 0, o.highTrack = 39;
    const DmsDisk d = Decode(qfauthor::WriteDms(floppy, o));
    EXPECT_EQ(d.banner, o.banner);
    EXPECT_EQ(d.fileId, o.fileId);
    EXPECT_EQ(d.creatorVersion, 111u);
    EXPECT_EQ(d.lowTrack, 0u);
    EXPECT_EQ(d.highTrack, 39u);
    EXPECT_EQ(d.tracks, 40u);
    // The half it holds is the floppy's; the rest reads as zeros.
    const size_t half = floppy.size() / 2;
    EXPECT_TRUE(std::equal(floppy.begin(), floppy.begin() + ptrdiff_t(half), d.image.begin()));
    EXPECT_EQ(std::count(d.image.begin() + ptrdiff_t(half), d.image.end(), 0), ptrdiff_t(half));
}

TEST(DmsArchive, CarriedStateLetsACylinderMatchThePreviousOne)
{
    // Cylinder 1 repeats cylinder 0 with a 30-byte shift; carried over, it packs to a small part of
    // cylinder 0 when the 16 KB window reaches back.
    Bytes floppy(qfhost::dms::trackBytesDD * 80, 0);
    uint32_t x = 7;
    for (size_t i = 0; i < qfhost::dms::trackBytesDD; ++i) floppy[i] = uint8_t((x = x * 69069 + 1) >> 24) & 0x3F;
    std::copy_n(floppy.begin(), qfhost::dms::trackBytesDD - 30, floppy.begin() + qfhost::dms::trackBytesDD + 30);
    for (Mode mode : {Mode::Medium, Mode::Deep}) {  // HEAVY's 8 KB window does not reach a cylinder back
        SCOPED_TRACE(std::string(qfhost::dms::ModeName(mode)));
        for (bool carried : {true, false}) {
            qfauthor::DmsOptions o;
            o.mode = mode;
            if (!carried) o.resetAfter = {0};
            const Bytes a = qfauthor::WriteDms(floppy, o);
            const size_t first = Get16(a, CylinderAt(a, 0) + 6), second = Get16(a, CylinderAt(a, 1) + 6);
            if (carried) EXPECT_LT(second * 8, first);
            else EXPECT_GT(second * 2, first);
            EXPECT_TRUE(Decode(a).image == floppy);
        }
    }
}

TEST(DmsArchive, DamageIsRefusedNamingTheTrack)
{
    const Bytes good = qfauthor::WriteDms(Floppy(), With(Mode::Heavy1));
    const size_t t17 = CylinderAt(good, 17);

    Bytes a = good;  // the sum of the unpacked bytes
    Put16(a, t17 + 14, uint16_t(Get16(a, t17 + 14) + 1));
    FixTrackHeader(a, t17);
    EXPECT_EQ(Refusal(a), "track 17's data checksum is wrong (damaged archive)");

    a = good;  // a packed byte
    a[t17 + 20 + Get16(a, t17 + 6) / 2] ^= 0x10;
    EXPECT_EQ(Refusal(a), "track 17's data checksum is wrong (damaged archive)");

    a = good;  // the track header itself
    a[t17 + 11] ^= 1;
    EXPECT_EQ(Refusal(a), "track 17's header checksum is wrong (damaged archive)");

    a = good;
    a[30] ^= 1;
    EXPECT_EQ(Refusal(a), "its header checksum is wrong (damaged archive)");

    a = good;  // a mode the packer never had
    a[t17 + 13] = 9;
    FixTrackHeader(a, t17);
    EXPECT_EQ(Refusal(a), "track 17 is packed in an unknown mode (9)");

    a = good;  // a length beyond any track, and one that is no cylinder's
    Put16(a, t17 + 8, 40000);
    FixTrackHeader(a, t17);
    EXPECT_EQ(Refusal(a), "track 17 claims 40000 bytes, more than 32000 (damaged archive)");
    a = good;
    Put16(a, t17 + 10, 12000);
    FixTrackHeader(a, t17);
    EXPECT_EQ(Refusal(a), "track 17 unpacks to 12000 bytes, neither a DD nor an HD cylinder (damaged archive)");

    a = good;  // the same cylinder twice
    Put16(a, t17 + 2, 16);
    FixTrackHeader(a, t17);
    EXPECT_EQ(Refusal(a), "holds track 16 twice (damaged archive)");
}

TEST(DmsArchive, CutArchivesAreRefused)
{
    const Bytes good = qfauthor::WriteDms(Floppy(), With(Mode::Deep));
    const size_t t40 = CylinderAt(good, 40), t41 = CylinderAt(good, 41);
    EXPECT_EQ(Refusal(Bytes(good.begin(), good.begin() + ptrdiff_t(t40 + 200))),
              "is cut off in track 40 (truncated archive)");
    EXPECT_EQ(Refusal(Bytes(good.begin(), good.begin() + ptrdiff_t(t41))), "track 41 is missing (truncated archive)");
    EXPECT_EQ(Refusal(Bytes(good.begin(), good.begin() + ptrdiff_t(t41 + 10))),
              "is cut off in a track header at byte " + std::to_string(t41) + " (truncated archive)");
    EXPECT_EQ(Refusal(Bytes(good.begin(), good.begin() + 30)), "is cut off in its header (truncated archive)");
    // Bytes after the last track are no track, and are let be.
    Bytes tail = good;
    tail.insert(tail.end(), 100, 0);
    EXPECT_NO_THROW(Decode(tail));
}

TEST(DmsArchive, EncryptedArchivesFindTheirKeyOrSayTheyCannot)
{
    qfauthor::DmsOptions o = With(Mode::Quick);
    o.encrypt = true;
    o.key = 0xBEEF;
    const Bytes floppy = Floppy();
    Bytes a = qfauthor::WriteDms(floppy, o);
    const DmsDisk d = Decode(a);
    EXPECT_TRUE(d.encrypted);
    EXPECT_EQ(d.key, 0xBEEF);
    EXPECT_TRUE(d.image == floppy);

    // A wrong sum on the first cylinder leaves no key that decodes it.
    const size_t t0 = CylinderAt(a, 0);
    Put16(a, t0 + 14, uint16_t(Get16(a, t0 + 14) ^ 0x5555));
    FixTrackHeader(a, t0);
    EXPECT_EQ(Refusal(a), "is encrypted, and no key decodes it (damaged archive)");
}

TEST(DmsArchive, AVolumeOfTheFloppyInside)
{
    TempDir dir;
    const fs::path p = dir.write("disk.dms", qfauthor::WriteDms(Floppy(), With(Mode::Heavy2)));
    EXPECT_EQ(qfhost::Volume::Detect(p), qfhost::VolumeKind::DiskImage);
    std::unique_ptr<qfhost::Volume> v = qfhost::Volume::Open(p);
    EXPECT_EQ(v->label(), "Packed");
    qfhost::VolumeFile f = v->open("anims/notes");
    EXPECT_EQ(std::string(f.bytes.begin(), f.bytes.begin() + 10), "Frame 0 of");

    // A damaged archive is refused whole, naming the file.
    Bytes a = qfauthor::WriteDms(Floppy(), With(Mode::Simple));
    a[CylinderAt(a, 79) + 20] ^= 1;
    const fs::path bad = dir.write("bad.dms", a);
    try {
        qfhost::Volume::Open(bad);
        ADD_FAILURE() << "opened";
    } catch (const qfhost::VolumeError &e) {
        EXPECT_EQ(std::string(e.what()),
                  "\"" + bad.string() + "\": track 79's data checksum is wrong (damaged archive)");
    }
    EXPECT_EQ(qfhost::LoadDms(dir.write("x.adf", Floppy())), std::nullopt);
}

TEST(DmsArchive, HostileHuffmanTablesAreRefused)
{
    qfauthor::DmsOptions o = With(Mode::Heavy1);
    o.heavyTablesOnce = true;
    const Bytes good = qfauthor::WriteDms(Floppy(), o);
    const size_t t0 = CylinderAt(good, 0);

    Bytes a = good;  // the first cylinder without tables of its own: there are none to carry on with
    a[t0 + 12] &= uint8_t(~qfhost::dms::trackHeavyTables);
    FixTrackHeader(a, t0);
    EXPECT_EQ(Refusal(a), "track 0 does not unpack (damaged archive)");

    // Literal tables of 2 lengths, 1 and 0 (half a code: 000000010 00001 00000), and of the one
    // symbol 510, past the last (000000000 111111110).
    for (std::array<uint8_t, 3> bits : {std::array<uint8_t, 3>{0x01, 0x04, 0x00}, {0x00, 0x7F, 0x80}}) {
        a = good;
        std::copy(bits.begin(), bits.end(), a.begin() + ptrdiff_t(t0 + 20));
        Put16(a, t0 + 16, qfhost::dms::Crc16(std::span(a).subspan(t0 + 20, Get16(a, t0 + 6))));
        FixTrackHeader(a, t0);
        EXPECT_EQ(Refusal(a), "track 0 does not unpack (damaged archive)") << int(bits[0]);
    }
}

TEST(DmsArchive, AnArchiveInsideAnArchiveOpensAsItsFloppy)
{
    TempDir dir;
    const Bytes packed = qfauthor::WriteDms(Floppy(), With(Mode::Deep));
    auto outer = qfhost::Volume::Open(
        dir.write("set.lha", qfauthor::WriteLha({qfauthor::StoredLhaMember("Disk1.dms", packed)})));
    qfhost::VolumeEntry entry;
    for (const qfhost::VolumeEntry &e : outer->list())
        if (e.path == "Disk1.dms") entry = e;
    qfhost::NestBudget budget;
    auto disk = qfhost::OpenMember(*outer, entry, "set.lha:Disk1.dms", budget);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->kind(), qfhost::VolumeKind::DiskImage);
    EXPECT_EQ(disk->label(), "Packed");
    EXPECT_EQ(disk->open("Copy/Flight").bytes, disk->open("Anims/Flight").bytes);
}

}  // namespace
