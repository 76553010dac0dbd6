// quillframer scan on a small collection built here: movies made onto floppies, a disk inside an
// archive, a movie whose pictures sit on another disk found by its label, a duplicate, damaged and
// hostile containers. The catalogue is checked line by line against what was put there; an
// interrupted scan and a sharded one must end in the same catalogue as a plain run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "authoring/adf_writer.h"
#include "authoring/iff_writer.h"
#include "authoring/lha_writer.h"
#include "testing/movies.h"
#include "testing/run_command.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using json = nlohmann::ordered_json;  // the catalogue's key order is part of it
using qftest::Outcome;

std::vector<json> Lines(const fs::path &file)
{
    std::vector<json> lines;
    std::istringstream in(qftest::ReadText(file));
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
}

// Everything but the summary's clock.
std::vector<json> Timeless(std::vector<json> lines)
{
    if (!lines.empty()) lines.back().erase("seconds");
    return lines;
}

const json *MovieAt(const std::vector<json> &lines, const std::string &location)
{
    for (const json &l : lines)
        if (l["type"] == "movie")
            for (const json &at : l["locations"])
                if (at == location) return &l;
    return nullptr;
}

class ScanTest : public ::testing::Test {
protected:
    Outcome run(const std::vector<std::string> &args) { return qftest::RunQuillframer(args, dir_.path()); }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    static std::string Example()
    {
        return (fs::path(std::getenv("QF_SOURCE_DIR")) / "docs/examples/bounce/bounce.json").string();
    }
    static Bytes Picture()
    {
        std::vector<qfauthor::Color> palette(32);
        palette[1] = {255, 0, 0};
        return qfauthor::WriteIlbm({16, 2, Bytes(32, 1)}, palette);
    }
    // A movie that shows Art2:Pics/Back for 10 ticks.
    static Bytes Flight() { return qftest::StillMovie("Art2:Pics", "Back", 10); }
    static Bytes Disk(const std::string &label, const std::vector<std::pair<std::string, Bytes>> &files)
    {
        qfauthor::AdfOptions o;
        o.label = label;
        qfauthor::AdfWriter writer(o);
        for (const auto &[name, bytes] : files) writer.file(name, bytes);
        return writer.image();
    }

    // The collection every test scans.
    void SetUp() override
    {
        ASSERT_EQ(run({"make", Example(), "-o", path("c/bounce.adf")}).status, 0);
        fs::create_directories(path("c/copies"));
        fs::copy_file(path("c/bounce.adf"), path("c/copies/again.adf"));
        // An archive holding a disk holding a movie whose picture is on a disk labelled Art2; a
        // disk of that label without it comes first by name and must be passed over.
        dir_.write("c/set.lha", qfauthor::WriteStoredLha({{"Disk1.adf", Disk("Anims", {{"Anims/Flight", Flight()}})}}));
        dir_.write("c/a-decoy.adf", Disk("Art2", {{"Pics/Other", Picture()}}));
        dir_.write("c/art.adf", Disk("Art2", {{"Pics/Back", Picture()}}));
        dir_.write("c/loose.ilbm", Picture());
        // Damage: an archive cut short, a disk whose root block is noise, archives nested past the limit.
        Bytes lha = qfauthor::WriteStoredLha({{"Anims/X", Flight()}});
        lha.resize(lha.size() / 2);
        dir_.write("c/torn.lha", lha);
        Bytes noise = Disk("Noise", {});
        for (size_t i = 880 * 512; i < 881 * 512; ++i) noise[i] = uint8_t(i * 7);
        dir_.write("c/noise.adf", noise);
        Bytes deep = Disk("Deep", {{"Anims/Flight", Flight()}});
        for (int i = 0; i < 10; ++i) deep = qfauthor::WriteStoredLha({{"in", deep}});
        dir_.write("c/deep.lha", deep);
        fs::create_directory_symlink("..", path("c/copies/up"));
    }

    std::vector<json> scan(const std::string &out)
    {
        Outcome r = run({"scan", path("c"), "-o", out, "-q"});
        EXPECT_EQ(r.status, 0) << r.err;
        return Lines(out + "/catalogue.jsonl");
    }

    qftest::TempDir dir_;
};

TEST_F(ScanTest, CataloguesEveryMovieWithItsPlacesAssetsAndDamage)
{
    Outcome r = run({"scan", path("c"), "-o", path("out"), "--csv", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<json> lines = Lines(path("out/catalogue.jsonl"));
    ASSERT_EQ(lines.size(), 2u + 4u + 1u) << qftest::ReadText(path("out/catalogue.jsonl"));

    // The duplicate is one movie in two places, its volume its own disk.
    const json *bounce = MovieAt(lines, "bounce.adf:bounce.movie");
    ASSERT_TRUE(bounce);
    EXPECT_EQ((*bounce)["locations"], json({"bounce.adf:bounce.movie", "copies/again.adf:bounce.movie"}));
    EXPECT_EQ((*bounce)["name"], "bounce.movie");
    EXPECT_EQ((*bounce)["size"], 2326);
    EXPECT_EQ((*bounce)["frames"], 40);  // as info counts it: 00:01.600
    EXPECT_EQ((*bounce)["lengthText"], "00:01.600");
    EXPECT_EQ(
        (*bounce)["volumes"],
        json::parse(R"([{"label":"Work","chosen":"bounce.adf","candidates":["bounce.adf","copies/again.adf"]}])"));
    for (const json &a : (*bounce)["assets"]) {
        EXPECT_FALSE(a["missing"]) << a;
        EXPECT_TRUE(a["foundAt"].get<std::string>().starts_with("bounce.adf:Bounce/")) << a;
    }

    // Nested two deep, its picture on the labelled disk that holds it.
    const json *flight = MovieAt(lines, "set.lha:Disk1.adf:Anims/Flight");
    ASSERT_TRUE(flight);
    EXPECT_EQ((*flight)["name"], "Flight");
    EXPECT_EQ((*flight)["width"], 16);
    EXPECT_EQ((*flight)["scenes"], 1);
    EXPECT_EQ((*flight)["assets"], json::parse(R"([{"kind":"background","amigaPath":"Art2:Pics/Back",
                                                    "foundAt":"art.adf:Pics/Back","missing":false}])"));
    EXPECT_EQ((*flight)["volumes"],
              json::parse(R"([{"label":"Art2","chosen":"art.adf","candidates":["a-decoy.adf","art.adf"]}])"));
    // Movie lines in hash order, keys in the catalogue's order, media named by the first location.
    EXPECT_LT(lines[0]["sha256"].get<std::string>(), lines[1]["sha256"].get<std::string>());
    std::vector<std::string> keys;
    for (const auto &item : flight->items()) keys.push_back(item.key());
    EXPECT_EQ(keys,
              (std::vector<std::string>{"type", "sha256", "name", "locations", "size", "width", "height", "frames",
                                        "length", "lengthText", "scenes", "assets", "volumes", "media"}));
    const std::string stem = "set.lha_Disk1.adf_Anims_Flight-" + (*flight)["sha256"].get<std::string>().substr(0, 8);
    EXPECT_EQ((*flight)["media"],
              json({{"poster", "media/" + stem + ".png"}, {"sheet", "media/" + stem + "-sheet.png"}}));
    EXPECT_TRUE(fs::file_size(path("out/media/" + stem + ".png")) > 0);

    // The damaged and hostile containers, by location, each with why; the loop too. Eight archives
    // may nest inside the top-level one: the ninth is refused.
    std::map<std::string, std::string> damaged;
    for (size_t i = 2; i < 6; ++i) {
        EXPECT_EQ(lines[i]["type"], "container") << lines[i];
        damaged[lines[i]["location"]] = lines[i]["reason"];
    }
    EXPECT_TRUE(damaged["copies/up"].find("loop") != std::string::npos) << damaged["copies/up"];
    EXPECT_TRUE(damaged["deep.lha:in:in:in:in:in:in:in:in:in"].find("limit on nesting") != std::string::npos);
    EXPECT_TRUE(damaged.count("noise.adf")) << lines[2] << lines[3] << lines[4] << lines[5];
    EXPECT_TRUE(damaged.count("torn.lha"));

    const json &summary = lines.back();
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["movies"], 2);
    EXPECT_EQ(summary["damaged"], 4);
    EXPECT_EQ(summary["locations"], 3);
    EXPECT_EQ(summary["complete"], true);
    EXPECT_GE(summary["pictures"], 3);  // loose, on art.adf and on the decoy

    const std::string csv = qftest::ReadText(path("out/catalogue.csv"));
    EXPECT_NE(csv.find("bounce.adf:bounce.movie," + (*bounce)["sha256"].get<std::string>() + ",bounce.movie,2326,"),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find(",bounce.adf:bounce.movie | copies/again.adf:bounce.movie\n"), std::string::npos) << csv;

    // A second run changes nothing and converts nothing again.
    const auto made = fs::last_write_time(path("out/media/" + stem + ".png"));
    ASSERT_EQ(run({"scan", path("c"), "-o", path("out"), "--csv", "-q"}).status, 0);
    EXPECT_EQ(Timeless(Lines(path("out/catalogue.jsonl"))), Timeless(lines));
    EXPECT_EQ(fs::last_write_time(path("out/media/" + stem + ".png")), made);
}

// Without the labelled disk, the picture is missing and the volume has no candidate.
TEST_F(ScanTest, AVolumeNoDiskCarriesIsMissing)
{
    fs::remove(path("c/art.adf"));
    fs::remove(path("c/a-decoy.adf"));
    const std::vector<json> lines = scan(path("out"));
    const json *flight = MovieAt(lines, "set.lha:Disk1.adf:Anims/Flight");
    ASSERT_TRUE(flight);
    EXPECT_EQ((*flight)["assets"][0]["missing"], true);
    EXPECT_TRUE((*flight)["assets"][0]["foundAt"].is_null());
    EXPECT_EQ((*flight)["volumes"], json::parse(R"([{"label":"Art2","chosen":null,"candidates":[]}])"));
    EXPECT_TRUE((*flight)["frames"].is_null());  // it cannot play
    EXPECT_FALSE((*flight)["media"].contains("poster"));
}

// Stopped after two files, then SIGINT or SIGKILL: the catalogue is valid meanwhile, and the same
// command again ends where an uninterrupted scan does.
TEST_F(ScanTest, ResumesAfterInterruptAndKillToTheSameCatalogue)
{
    const std::vector<json> whole = Timeless(scan(path("whole")));
    for (int signal : {SIGINT, SIGKILL}) {
        const std::string out = path(signal == SIGINT ? "int" : "kill");
        const std::string program = (fs::path(std::getenv("QF_BUILD_DIR")) / "quillframer").string();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::setenv("QUILLFRAMER_SCAN_STOP_AFTER", "2", 1);
            ::unsetenv("QUILLFRAMER_PLUGIN");
            ::execl(program.c_str(), program.c_str(), "scan", path("c").c_str(), "-o", out.c_str(), "-q", nullptr);
            ::_exit(127);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
        ASSERT_TRUE(WIFSTOPPED(status));
        ::kill(pid, signal);
        ::kill(pid, SIGCONT);
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (signal == SIGINT) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 130);
        } else {
            EXPECT_TRUE(WIFSIGNALED(status));
        }
        // Valid meanwhile: it parses, ends in a summary, and says it is not complete.
        const std::vector<json> partial = Lines(out + "/catalogue.jsonl");
        ASSERT_FALSE(partial.empty());
        EXPECT_EQ(partial.back()["complete"], false);
        const size_t done = Lines(out + "/.scan/state.jsonl").size() - 1;
        EXPECT_EQ(done, 2u);
        const std::vector<json> resumed = Timeless(scan(out));
        EXPECT_EQ(resumed, whole) << "after signal " << signal;
    }
}

// Four shards side by side under GNU parallel, merged: the same lines as one scan, media too.
TEST_F(ScanTest, FourShardsMergeToTheCatalogueOfOne)
{
    if (std::system("command -v parallel >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
    const std::vector<json> one = Timeless(scan(path("one")));
    const std::string program = (fs::path(std::getenv("QF_BUILD_DIR")) / "quillframer").string();
    Outcome r = qftest::RunCommand("parallel",
                                   {"--halt", "now,fail=1", program, "scan", path("c"), "-o", path("many"), "--shard",
                                    "{}/4", "-q", ":::", "0", "1", "2", "3"},
                                   dir_.path(), "unset QUILLFRAMER_PLUGIN;");
    ASSERT_EQ(r.status, 0) << r.err;
    size_t shardMovies = 0;
    for (int i = 0; i < 4; ++i)
        shardMovies +=
            Lines(path("many/shard-" + std::to_string(i) + "-of-4/catalogue.jsonl")).back()["movies"].get<size_t>();
    EXPECT_GE(shardMovies, 2u);
    // Not all shards finished: refused, naming the missing one.
    fs::rename(path("many/shard-3-of-4"), path("shard-3-away"));
    Outcome partial = run({"scan", "--merge", path("many"), "-q"});
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.err.find("shard 3 of 4 is missing"), std::string::npos) << partial.err;
    fs::rename(path("shard-3-away"), path("many/shard-3-of-4"));
    r = run({"scan", "--merge", path("many"), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Timeless(Lines(path("many/catalogue.jsonl"))), one);
    for (const json &line : one) {
        if (line["type"] != "movie") continue;
        EXPECT_FALSE(line["media"].empty());
        for (const auto &[kind, file] : line["media"].items())
            EXPECT_TRUE(fs::exists(path("many/" + file.get<std::string>()))) << file;
    }
}

// Bad usage is refused before anything is read.
TEST_F(ScanTest, RefusesAMalformedShardAndAnotherScansState)
{
    Outcome r = run({"scan", path("c"), "-o", path("out"), "--shard", "4/4"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--shard wants I/N"), std::string::npos) << r.err;
    ASSERT_EQ(run({"scan", path("c/copies"), "-o", path("out"), "-q"}).status, 0);
    r = run({"scan", path("c"), "-o", path("out"), "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds a scan of other paths"), std::string::npos) << r.err;
}

}  // namespace
