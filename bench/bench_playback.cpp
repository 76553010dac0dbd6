// Playback through the entry points on a 320 x 256 scrolling scene with sprites and colour
// cycling: composing a frame, mixing four channels, and a whole OpenVideo. Yardsticks: a memcpy
// of one frame's output words, and the real time one audio packet lasts.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "testing/movies.h"
#include "bench/bench_ratios.h"
#include "testing/scripted_host.h"
#include "quillframer/host_api.h"

namespace {

struct OpenMovie {
    qftest::ScriptedHost host;
    qftest::Bytes bytes = qftest::SceneMovie();
    StreamDescriptor descriptor{};
    MovieHandle *movie = nullptr;
    OpenMovie()
    {
        host.quiet();
        host.addFile("scene.qfm", bytes);
        host.install();
        movie = OpenVideo("scene.qfm", &descriptor);
    }
    ~OpenMovie() { CloseVideo(movie); }
};

OpenMovie &Scene()
{
    static OpenMovie scene;
    return scene;
}

void ComposeFrame(benchmark::State &state)
{
    auto &scene = Scene();
    if (!scene.movie) return state.SkipWithError("the scene movie did not open");
    std::vector<uint32_t> pixels(static_cast<size_t>(scene.descriptor.width) * scene.descriptor.height);
    void *buffers[1] = {pixels.data()};
    int32_t pitches[1] = {0};
    TimingPacket packet{0.5};  // scene 5: scrolled, eight sprites, cycles running
    for (auto _ : state) {
        VideoFrameRecord frame{buffers, pitches, 0, 0, 0.0, 0.0};
        DecodeVideoFrame(scene.movie, &packet, &frame);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(pixels.size() * 4));
}

void MixFourChannels(benchmark::State &state)
{
    auto &scene = Scene();
    if (!scene.movie) return state.SkipWithError("the scene movie did not open");
    std::vector<uint8_t> samples(QF_AUDIO_BYTES_PER_PACKET);
    TimingPacket packet{0.0};  // scene 1 starts all four channels
    for (auto _ : state) {
        AudioFrameRecord audio{samples.data(), 0, 0, 0};
        DecodeAudioFrame(scene.movie, &packet, &audio);
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(state.iterations() * QF_AUDIO_FRAMES_PER_PACKET);
}

void OpenWholeMovie(benchmark::State &state)
{
    qftest::ScriptedHost host;
    qftest::Bytes bytes = qftest::SceneMovie();
    host.quiet();
    host.addFile("scene.qfm", bytes);
    host.install();
    for (auto _ : state) {
        StreamDescriptor descriptor{};
        MovieHandle *movie = OpenVideo("scene.qfm", &descriptor);
        if (!movie) return state.SkipWithError("the scene movie did not open");
        CloseVideo(movie);
        host.resetOpens();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
    Scene().host.install();  // the shared scene's host again, for any later benchmark
}

void MemcpyFrameWords(benchmark::State &state)
{
    std::vector<uint32_t> source(qftest::BackdropWidth * qftest::BackdropHeight, 7), target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size() * 4);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source.size() * 4));
}

}  // namespace

BENCHMARK(MemcpyFrameWords)->Name("memcpy_327680_bytes");
BENCHMARK(ComposeFrame)->Name("compose_frame_320x256_scroll_sprites_cycles");
BENCHMARK(MixFourChannels)->Name("mix_four_channels_882_frames");
BENCHMARK(OpenWholeMovie)->Name("open_video_embedded_320x256_movie");

int main(int argc, char **argv)
{
    // Composing may take up to twice a memcpy of its output; mixing 40 ms of sound must stay
    // 10,000 times faster than real time.
    return qfbench::RunWithRatios(
        argc, argv,
        {{"compose 320x256 vs memcpy of its output", "compose_frame_320x256_scroll_sprites_cycles",
          "memcpy_327680_bytes", 0, 0.5},
         {"mix 882 frames vs real time (40 ms)", "mix_four_channels_882_frames", "", 0.04, 10000}});
}
