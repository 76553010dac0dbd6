// A whole `quillframer dump` of the demo movie (made by `make demo`) without the process around
// it: the stand-in host over the real files, the released plug-in loaded with dlopen, every
// packet decoded and written to /dev/null. Compared with the movie's own length (real time).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "bench/bench_ratios.h"
#include "qfhost/host.hpp"

namespace {

namespace fs = std::filesystem;

fs::path DemoDirectory()
{
    const char *dir = std::getenv("QF_DEMO_DIR");
    return dir ? fs::path(dir) : fs::path("build/demo");
}

fs::path PluginPath(const char *argv0)
{
    const char *plugin = std::getenv("QUILLFRAMER_PLUGIN");
    return plugin ? fs::path(plugin) : fs::absolute(argv0).parent_path().parent_path() / "quillframer.vtp";
}

std::unique_ptr<qfhost::Plugin> &Loaded()
{
    static std::unique_ptr<qfhost::Plugin> plugin;
    return plugin;
}

void DumpDemo(benchmark::State &state)
{
    auto &plugin = Loaded();
    if (!plugin) return state.SkipWithError("no plug-in or no demo (run make demo)");
    std::FILE *null = std::fopen("/dev/null", "wb");
    uint64_t packets = 0;
    for (auto _ : state) {
        auto movie = plugin->open(DemoDirectory() / "demo.qf");
        for (qfhost::Packet &packet : movie->packets()) {
            if (packet.isVideo()) {
                auto pixels = movie->decodeVideo(packet);
                std::fwrite(pixels.data(), 4, pixels.size(), null);
            } else {
                auto samples = movie->decodeAudio(packet);
                std::fwrite(samples.data(), 2, samples.size(), null);
            }
            ++packets;
        }
    }
    std::fclose(null);
    state.SetItemsProcessed(static_cast<int64_t>(packets));
}

}  // namespace

BENCHMARK(DumpDemo)->Name("dump_demo_to_dev_null")->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    double seconds = 0;
    try {
        qfhost::HostSettings settings;
        settings.volumes["DemoDisk"] = DemoDirectory() / "DemoDisk";
        Loaded() = std::make_unique<qfhost::Plugin>(PluginPath(argv[0]), settings);
        seconds = Loaded()->open(DemoDirectory() / "demo.qf")->durationMs() / 1000.0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_dump: %s\n", e.what());
        Loaded().reset();
    }
    return qfbench::RunWithRatios(argc, argv,
                                  {{"dump of the demo vs real time", "dump_demo_to_dev_null", "", seconds, 1000}});
}
