// Every seed movie and every file of fuzz/regressions/ is opened and played as the fuzzer plays
// it, with the scripted host serving the same small volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "plugin/memory.h"
#include "testing/movie_player.h"
#include "testing/movies.h"
#include "testing/scripted_host.h"

// As in the fuzz targets: a request above 64 MB fails like a host short of memory, instead of
// ASan zeroing the gigabytes that some kept inputs ask for.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }

namespace {

namespace fs = std::filesystem;

struct Replay {
    qftest::ScriptedHost host;
    qftest::PlayReport report;
};

void Play(Replay &replay, const qftest::Bytes &movie, bool withFailures)
{
    auto &host = replay.host;
    host.logByteReads = false;
    for (auto &[name, bytes] : qftest::VolumeFiles()) host.files[name] = bytes;
    host.files["movie"] = movie;
    host.laterAnswer = qftest::VolumeDirectory;
    host.install();
    PluginInfo info{};
    InitPlugin(&info, host.base());
    replay.report = withFailures ? qftest::PlayMovieWithFailures("movie", movie) : qftest::PlayMovie("movie", movie);
}

qftest::Bytes ReadFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(FuzzSeeds, EveryMovieOpensAndPlays)
{
    for (const auto &[name, movie] : qftest::SeedMovies()) {
        SCOPED_TRACE(name);
        Replay replay;
        Play(replay, movie, false);
        EXPECT_TRUE(replay.report.opened);
        EXPECT_TRUE(replay.host.allClosedOnce());
        if (name != "empty.qfm") {
            EXPECT_GT(replay.report.videoFrames, 0);
            EXPECT_GT(replay.report.audioFrames, 0);
        }
    }
}

TEST(FuzzSeeds, ReferencedAssetsResolveInTheVolume)
{
    for (const auto &[name, movie] : qftest::SeedMovies()) {
        if (name != "referenced.qfm") continue;
        Replay replay;
        Play(replay, movie, false);
        ASSERT_TRUE(replay.report.opened);
        EXPECT_EQ(replay.host.count("requester"), 1);  // Work, work and WORK are one volume
        EXPECT_EQ(replay.host.count("open /vol/"), 3);
    }
}

TEST(FuzzSeeds, SurviveAllocationFailuresAnywhere)
{
    for (const auto &[name, movie] : qftest::SeedMovies()) {
        qfAllocationCount = 0;
        {
            Replay replay;
            Play(replay, movie, false);
        }
        long allocations = qfAllocationCount;
        // Eight points spread over the open and the packets, failing one allocation or all after it.
        for (long at = 1; at <= allocations; at += std::max(1L, allocations / 8)) {
            for (int all = 0; all <= 1; ++all) {
                SCOPED_TRACE(name + " allocation " + std::to_string(at) + (all ? " and later" : ""));
                Replay replay;
                qfAllocationCount = 0;
                qfFailAt = at;
                qfFailAll = all;
                Play(replay, movie, false);
                qfFailAt = 0;
                qfFailAll = 0;
                EXPECT_TRUE(replay.host.allClosedOnce());
            }
        }
    }
}

TEST(FuzzRegressions, EveryKeptInputReplaysCleanly)
{
    const char *source = std::getenv("QF_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    fs::path dir = fs::path(source) / "fuzz" / "regressions";
    int replayed = 0;
    // Every folder below but make_script/, whose scripts the make replay runs.
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
        if (entry.path().extension() == ".md") continue;
        if (entry.path().lexically_relative(dir).begin()->string() == "make_script") continue;
        SCOPED_TRACE(entry.path().lexically_relative(dir).string());
        Replay replay;
        Play(replay, ReadFile(entry.path()), true);
        EXPECT_TRUE(replay.host.allClosedOnce());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
    RecordProperty("replayed", replayed);
}
