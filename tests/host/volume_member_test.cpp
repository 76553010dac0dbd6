// Containers inside containers: a floppy in an archive, an archive on a floppy, and the limits
// that keep a hostile nest cheap.
#include <gtest/gtest.h>

#include "authoring/adf_writer.h"
#include "authoring/lha_writer.h"
#include "qfhost/volume.hpp"
#include "qfhost/volume_member.hpp"
#include "testing/run_command.h"

namespace {

using qfauthor::Bytes;
using qfauthor::StoredLhaMember;

qfhost::VolumeEntry Entry(const qfhost::Volume &volume, const std::string &path)
{
    for (const qfhost::VolumeEntry &e : volume.list())
        if (e.path == path) return e;
    ADD_FAILURE() << "no " << path;
    return {};
}

std::string Text(const qfhost::VolumeFile &file) { return std::string(file.bytes.begin(), file.bytes.end()); }

Bytes Floppy(const std::string &label, const std::string &path, const std::string &text)
{
    qfauthor::AdfOptions options;
    options.label = label;
    return qfauthor::AdfWriter(options).file(path, Bytes(text.begin(), text.end())).image();
}

TEST(VolumeMember, AFloppyInAnArchiveAndAnArchiveOnItOpenWithTheirOwnNamesAndLabels)
{
    qftest::TempDir dir;
    const Bytes inner = qfauthor::WriteLha({StoredLhaMember("Deep/note", Bytes{'h', 'i'})});
    qfauthor::AdfOptions options;
    options.label = "Art2";
    const Bytes floppy = qfauthor::AdfWriter(options).file("Pics/pack.lha", inner).file("readme", Bytes{'x'}).image();
    auto outer = qfhost::Volume::Open(dir.write("set.lha", qfauthor::WriteLha({StoredLhaMember("Disk1.adf", floppy)})));

    qfhost::NestBudget budget;
    auto disk = qfhost::OpenMember(*outer, Entry(*outer, "Disk1.adf"), "set.lha:Disk1.adf", budget);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->kind(), qfhost::VolumeKind::DiskImage);
    EXPECT_EQ(disk->label(), "Art2");
    EXPECT_EQ(budget.expanded(), floppy.size());

    EXPECT_EQ(qfhost::OpenMember(*disk, Entry(*disk, "readme"), "set.lha:Disk1.adf:readme", budget), nullptr);
    auto pack = qfhost::OpenMember(*disk, Entry(*disk, "Pics/pack.lha"), "set.lha:Disk1.adf:Pics/pack.lha", budget);
    ASSERT_NE(pack, nullptr);
    EXPECT_EQ(pack->kind(), qfhost::VolumeKind::Archive);
    EXPECT_EQ(pack->label(), "pack.lha");
    EXPECT_EQ(Text(pack->open("Deep/note")), "hi");

    // A missing name is told by the member's name, not by where its bytes are held.
    try {
        pack->open("absent");
        ADD_FAILURE() << "opened a missing file";
    } catch (const qfhost::VolumeError &e) {
        EXPECT_EQ(std::string(e.what()).find("/proc/"), std::string::npos) << e.what();
    }
}

TEST(VolumeMember, EachLimitIsRefusedByName)
{
    qftest::TempDir dir;
    const Bytes floppy = Floppy("One", "a", "text");
    auto outer = qfhost::Volume::Open(dir.write("set.lha", qfauthor::WriteLha({StoredLhaMember("d.adf", floppy)})));
    const qfhost::VolumeEntry entry = Entry(*outer, "d.adf");

    qfhost::NestBudget small({.depth = 8, .expandedBytes = floppy.size() - 1, .members = 10});
    try {
        qfhost::OpenMember(*outer, entry, "set.lha:d.adf", small);
        ADD_FAILURE() << "expanded past the limit";
    } catch (const qfhost::VolumeError &e) {
        EXPECT_NE(std::string(e.what()).find("limit on bytes expanded"), std::string::npos) << e.what();
    }

    qfhost::NestBudget shallow({.depth = 1, .expandedBytes = uint64_t(1) << 30, .members = 2});
    qfhost::NestBudget::Level first(shallow);
    EXPECT_EQ(shallow.depth(), 1u);
    EXPECT_THROW(qfhost::NestBudget::Level second(shallow), qfhost::VolumeError);
    EXPECT_EQ(shallow.depth(), 1u);  // a refused level leaves the count as it was
    shallow.member();
    shallow.member();
    EXPECT_THROW(shallow.member(), qfhost::VolumeError);
}

}  // namespace
