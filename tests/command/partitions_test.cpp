// The quillframer command on hard-disk images of several partitions: each partition is a volume,
// named after the image by its drive name or label, found by its label like a floppy, listed by
// info and walked by scan; one whose file system is not AmigaDOS's is refused in one line. A gzipped
// floppy beside a movie is found by its label as the plain one is.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "authoring/adf_writer.h"
#include "authoring/iff_writer.h"
#include "testing/movies.h"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using json = nlohmann::json;
using qftest::Outcome;
using qftest::ReadBytes;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

Bytes Picture()
{
    std::vector<qfauthor::Color> palette(32);
    palette[1] = {40, 200, 90};
    return qfauthor::WriteIlbm({16, 2, Bytes(32, 1)}, palette);
}

// Shows Art2:Pics/Back for 10 ticks.
Bytes Flight() { return qftest::StillMovie("Art2:Pics", "Back", 10); }

Bytes Floppy(const std::string &label, bool fast, const std::vector<std::pair<std::string, Bytes>> &files)
{
    qfauthor::AdfOptions o;
    o.label = label;
    o.fastFileSystem = fast;
    qfauthor::AdfWriter writer(o);
    for (const auto &[name, bytes] : files) writer.file(name, bytes);
    return writer.image();
}

// DH0 FFS "Work" with the movie, DH1 OFS "Art2" with its picture, DH2 a PFS3 partition: 80
// cylinders of 22 blocks each, one after the other from cylinder 2.
Bytes WorkDisk()
{
    auto at = [](uint32_t low) { return qfauthor::HardDiskGeometry{128, 2, 11, low, low + 79}; };
    Bytes pfs(512 * 1760, 0);
    std::copy_n("PFS\1", 4, pfs.begin());
    return qfauthor::HardDiskImage({
        {"DH0", Floppy("Work", true, {{"Anims/Flight", Flight()}}), at(2)},
        {"DH1", Floppy("Art2", false, {{"Pics/Back", Picture()}}), at(82)},
        {"DH2", pfs, at(162), 0x50465301},
    });
}

class PartitionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_.write("work.hdf", WorkDisk());
        dir_.write("plain/flight.qf", Flight());
        dir_.write("plain/Art2/Pics/Back", Picture());
        plain_ = dump({path("plain/flight.qf"), "--volume", "Art2=" + path("plain/Art2")});
    }
    Outcome run(const std::vector<std::string> &args) { return qftest::RunQuillframer(args, dir_.path()); }
    int sh(const std::string &command)
    {
        return qftest::RunCommand("sh", {"-c", "cd " + qftest::Quote(dir_.path()) + " && " + command}, dir_.path())
            .status;
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    // dump's JSON line and video bytes.
    std::pair<std::string, Bytes> dump(std::vector<std::string> args)
    {
        args.insert(args.begin(), "dump");
        args.insert(args.end(), {"--video", path("v.raw")});
        Outcome r = run(args);
        EXPECT_EQ(r.status, 0) << args[1] << ": " << r.err;
        return {r.out, ReadBytes(path("v.raw"))};
    }
    qftest::TempDir dir_;
    std::pair<std::string, Bytes> plain_;
};

// The movie on DH0 names Art2:, which is DH1 of the same disk: found there whichever way the
// movie's partition is named, and the same when the disk lies in a ZIP.
TEST_F(PartitionsTest, AMovieFindsItsVolumeOnAnotherPartitionOfItsDisk)
{
    ASSERT_FALSE(plain_.second.empty());
    for (const std::string movie : {"work.hdf:DH0:Anims/Flight", "work.hdf:dh0:Anims/Flight",
                                    "work.hdf:Work:Anims/Flight", "work.hdf:Anims/Flight", "work.hdf:Work", "work.hdf"})
        EXPECT_EQ(dump({path(movie)}), plain_) << movie;

    ASSERT_EQ(sh("zip -q hd.zip work.hdf"), 0);
    EXPECT_EQ(dump({path("hd.zip") + ":work.hdf:DH0:Anims/Flight"}), plain_);
    EXPECT_EQ(dump({path("hd.zip") + ":work.hdf:Work"}), plain_);

    // The movie alone, its volume mapped to the disk (the partition so labelled) or to the partition.
    dir_.write("alone.qf", Flight());
    EXPECT_EQ(dump({path("alone.qf"), "--volume", "Art2=" + path("work.hdf")}), plain_);
    EXPECT_EQ(dump({path("alone.qf"), "--volume", "Art2=" + path("work.hdf") + ":DH1"}), plain_);
    EXPECT_EQ(dump({path("alone.qf"), "--volume", "Art2=" + path("hd.zip") + ":work.hdf:Art2"}), plain_);
    // Mapped to DH0, which lacks the picture: the map is kept, not bent to the partition so labelled.
    Outcome wrong =
        run({"dump", path("alone.qf"), "--volume", "Art2=" + path("work.hdf") + ":DH0", "--video", path("w.raw")});
    EXPECT_NE(wrong.status, 0);

    // Files come out of the partition named, and only from it.
    ASSERT_EQ(run({"extract", path("work.hdf") + ":Art2", "-o", path("art")}).status, 0);
    EXPECT_EQ(ReadBytes(path("art/Pics/Back")), Picture());
    EXPECT_FALSE(fs::exists(path("art/Anims")));
}

TEST_F(PartitionsTest, InfoListsEveryPartitionAndAForeignOneIsRefusedInOneLine)
{
    Outcome text = run({"info", path("work.hdf")});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char *part : {"partitions   3", "DH0  \"Work:\"  FFS (DOS\\1)  901120 bytes  1 movie", "Anims/Flight",
                             "DH1  \"Art2:\"  OFS (DOS\\0)  901120 bytes  0 movies",
                             "DH2  (no label)  PFS3 (PFS\\1)  901120 bytes  cannot read"})
        EXPECT_TRUE(Has(text.out, part)) << part << "\n" << text.out;

    Outcome r = run({"info", path("work.hdf"), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    ASSERT_EQ(j["partitions"].size(), 3u) << r.out;
    EXPECT_EQ(j["partitions"][1]["drive"], "DH1");
    EXPECT_EQ(j["partitions"][1]["label"], "Art2");
    EXPECT_EQ(j["partitions"][2]["dosType"], "PFS\\1");
    EXPECT_EQ(j["partitions"][0]["movies"][0]["path"], "Anims/Flight");
    EXPECT_TRUE(j["partitions"][2].contains("error"));
    EXPECT_TRUE(j["partitions"][1]["movies"].empty());

    // One partition named: that partition alone, as a floppy is shown.
    r = run({"info", path("work.hdf") + ":Art2", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["label"], "Art2");
    EXPECT_FALSE(json::parse(r.out).contains("partitions"));

    const std::string refusal = "\"" + path("work.hdf") +
                                ":DH2\": partition DH2 holds a PFS3 file system (\"PFS\\1\"), which this "
                                "reader does not read\n";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"info", path("work.hdf") + ":DH2"},
          std::vector<std::string>{"extract", path("work.hdf") + ":DH2", "-o", path("pfs")}}) {
        Outcome refused = run(args);
        EXPECT_EQ(refused.status, 1) << args[0];
        EXPECT_EQ(refused.err, "quillframer: " + refusal) << args[0];
    }
    Outcome mapped = run({"dump", path("plain/flight.qf"), "--volume", "Art2=" + path("work.hdf") + ":DH2"});
    EXPECT_EQ(mapped.status, 1);
    EXPECT_EQ(mapped.err, "quillframer: --volume Art2=" + path("work.hdf") + ":DH2: " + refusal);
}

// Beside a movie: a gzipped floppy and a hard-disk image, each found by the label the movie names;
// a damaged gzip of the same label and a bomb are passed over.
TEST_F(PartitionsTest, LabelSearchFindsPartitionsAndCompressedFloppies)
{
    dir_.write("near/flight.qf", Flight());
    dir_.write("near/work.hdf", WorkDisk());
    Outcome r = run({"dump", path("near/flight.qf"), "--video", path("v.raw")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "work.hdf/DH1 for Amiga volume \"Art2:\"")) << r.err;
    EXPECT_EQ(ReadBytes(path("v.raw")), plain_.second);

    dir_.write("packed/flight.qf", Flight());
    dir_.write("packed/art.raw", Floppy("Art2", false, {{"Pics/Back", Picture()}}));
    // Named to come first: a gzip cut short, and one that holds more than any floppy.
    ASSERT_EQ(
        sh("cd packed && gzip -c art.raw > t.gz && head -c $(($(wc -c < t.gz) / 2)) t.gz > A-torn.adz && rm t.gz && "
           "head -c 4000000 /dev/zero | gzip -c > B-big.adz && gzip -c art.raw > Art2.adz && rm art.raw"),
        0);
    r = run({"dump", path("packed/flight.qf"), "--video", path("v.raw")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "Art2.adz for Amiga volume \"Art2:\"")) << r.err;
    EXPECT_EQ(ReadBytes(path("v.raw")), plain_.second);

    // Under --search likewise, the hard disk's partition among the candidates.
    dir_.write("lone/flight.qf", Flight());
    EXPECT_EQ(dump({path("lone/flight.qf"), "--search", path("near")}), plain_);
}

TEST_F(PartitionsTest, ScanRecordsEachPartitionsMoviesAndLabel)
{
    fs::create_directories(path("c"));
    fs::copy_file(path("work.hdf"), path("c/work.hdf"));
    Outcome r = run({"scan", path("c"), "-o", path("out"), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(qftest::ReadText(path("out/catalogue.jsonl")));
    bool movie = false, pfs = false;
    for (std::string line; std::getline(lines, line);) {
        const json l = json::parse(line);
        if (l["type"] == "movie") {
            EXPECT_EQ(l["locations"], json({"work.hdf:DH0:Anims/Flight"})) << line;
            // Its picture is on DH1, known by its label "Art2".
            ASSERT_TRUE(l.contains("assets") && l.contains("volumes")) << line;
            EXPECT_EQ(l["assets"][0]["foundAt"], "work.hdf:DH1:Pics/Back") << line;
            EXPECT_EQ(l["volumes"][0]["chosen"], "work.hdf:DH1") << line;
            movie = true;
        }
        if (l.contains("location") && l["location"] == "work.hdf:DH2") pfs = Has(l.dump(), "PFS3");
    }
    EXPECT_TRUE(movie);
    EXPECT_TRUE(pfs) << qftest::ReadText(path("out/catalogue.jsonl"));
}

}  // namespace
