// ExtractVolume over a volume made up here: entries it can walk, damage part-way, and two entries
// under one name, each copied from the entry itself.
#include <gtest/gtest.h>

#include <algorithm>

#include "qfutil/output.hpp"
#include "qfhost/volume_files.hpp"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Entries in walk order, each copied by its id; the walk throws after `damagedAfter` entries.
class MadeUpVolume : public qfhost::Volume {
public:
    std::vector<std::pair<qfhost::VolumeEntry, Bytes>> entries;
    size_t damagedAfter = SIZE_MAX;

    qfhost::VolumeKind kind() const override { return qfhost::VolumeKind::Archive; }
    std::string label() const override { return "made-up"; }
    void walk(const qfhost::EntryVisitor &visit) const override
    {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i == damagedAfter) throw qfhost::VolumeError("block 880 is damaged");
            if (!visit(entries[i].first)) return;
        }
    }
    qfhost::VolumeFile open(std::string_view) const override { throw qfhost::VolumeError("opened by name"); }
    std::vector<uint8_t> head(const qfhost::VolumeEntry &file, size_t count) const override
    {
        const Bytes &b = entries.at(file.id).second;
        return Bytes(b.begin(), b.begin() + std::min(count, b.size()));
    }
    void copy(const qfhost::VolumeEntry &file, const qfhost::ByteSink &sink) const override
    {
        sink(entries.at(file.id).second);
    }

    MadeUpVolume &add(const std::string &path, Bytes bytes = {}, bool directory = false)
    {
        qfhost::VolumeEntry e;
        e.path = path;
        e.directory = directory;
        e.size = bytes.size();
        e.id = entries.size();
        entries.emplace_back(e, std::move(bytes));
        return *this;
    }
};

struct Extracted {
    qfhost::ExtractResult result;
    std::vector<std::string> lines;
};

Extracted Extract(const qfhost::Volume &volume, const fs::path &out)
{
    Extracted e;
    qfutil::Outputs outputs(qfutil::Overwrite::Always);
    e.result =
        qfhost::ExtractVolume(volume, "", out, outputs, [&](const std::string &line) { e.lines.push_back(line); });
    return e;
}

TEST(ExtractVolumeTest, TwoEntriesUnderOneNameKeepTheirOwnBytes)
{
    qftest::TempDir dir;
    MadeUpVolume volume;
    volume.add("D", {}, true).add("D/Same", {1}).add("D/Same", {2, 2}).add("D/Same~2", {3});
    Extracted e = Extract(volume, dir / "out");
    EXPECT_EQ(e.result.files, 3);
    EXPECT_EQ(e.result.failed, 0);
    EXPECT_EQ(qftest::ReadBytes(dir / "out/D/Same"), Bytes{1});
    EXPECT_EQ(qftest::ReadBytes(dir / "out/D/Same~2"), (Bytes{2, 2}));
    // The second is already taken by the time the third comes: it goes on counting.
    EXPECT_EQ(qftest::ReadBytes(dir / "out/D/Same~2~2"), Bytes{3});
    ASSERT_EQ(e.lines.size(), 2u);
    EXPECT_NE(e.lines[0].find("kept \"D/Same\" as \"Same~2\""), std::string::npos) << e.lines[0];
}

TEST(ExtractVolumeTest, DamagePartWayIsNamedAfterWhatWasWalkedIsWritten)
{
    qftest::TempDir dir;
    MadeUpVolume volume;
    volume.add("A", {1}).add("Pics", {}, true).add("Pics/B", {2}).add("Lost", {3});
    volume.damagedAfter = 3;
    Extracted e = Extract(volume, dir / "out");
    EXPECT_EQ(e.result.files, 2);
    EXPECT_EQ(e.result.directories, 1);
    EXPECT_EQ(e.result.failed, 1);
    EXPECT_EQ(qftest::ReadBytes(dir / "out/Pics/B"), Bytes{2});
    EXPECT_FALSE(fs::exists(dir / "out/Lost"));
    ASSERT_EQ(e.lines.size(), 1u);
    EXPECT_EQ(e.lines[0], "block 880 is damaged");
}

}  // namespace
