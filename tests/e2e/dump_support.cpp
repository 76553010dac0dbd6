#include "tests/e2e/dump_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qfe2e {

static std::string Env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? v : "";
}

static std::vector<uint8_t> ReadAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

static std::string Quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Scratch::Scratch()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    dir_ = fs::temp_directory_path() / ("qf-e2e-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
}

Scratch::~Scratch()
{
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

DumpResult RunDump(const Scratch &scratch, const qfauthor::MovieWriter &movie, const std::vector<std::string> &extra)
{
    DumpResult result;
    fs::path movieFile = scratch.dir() / "movie.qf";
    movie.save(movieFile);
    fs::path video = scratch.dir() / "video.raw", audio = scratch.dir() / "audio.raw";
    fs::path out = scratch.dir() / "stdout.txt", err = scratch.dir() / "stderr.txt";
    fs::remove(video);
    fs::remove(audio);
    std::string command = Quote(Env("QF_BUILD_DIR") + "/quillframer") + " dump " + Quote(movieFile.string()) +
                          " --video " + Quote(video.string()) + " --audio " + Quote(audio.string());
    if (!Env("QF_PLUGIN").empty()) command += " --plugin " + Quote(Env("QF_PLUGIN"));
    for (const std::string &e : extra) command += " " + Quote(e);
    command += " </dev/null >" + Quote(out.string()) + " 2>" + Quote(err.string());
    int status = std::system(command.c_str());
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::vector<uint8_t> o = ReadAll(out), e = ReadAll(err);
    result.out.assign(o.begin(), o.end());
    result.err.assign(e.begin(), e.end());
    std::sscanf(result.out.c_str(), "{\"width\":%d,\"height\":%d,\"duration\":%lld,\"frames\":%lld,\"packets\":%lld}",
                &result.width, &result.height, &result.duration, &result.frames, &result.packets);
    result.video = ReadAll(video);
    result.audio = ReadAll(audio);
    return result;
}

std::vector<double> PairTimes(uint32_t durationMs, double start)
{
    std::vector<double> times;
    for (double t = start; Ms(t) < durationMs; t = t + 0.04) times.push_back(t);
    return times;
}

uint32_t Ms(double seconds)
{
    double product = seconds * 1000.0;
    if (!(product > 0.0)) return 0;
    if (product >= 4294967295.0) return 4294967295u;
    return static_cast<uint32_t>(product);
}

int SceneAt(const std::vector<uint32_t> &ticks, uint32_t ms)
{
    uint32_t end = 0;
    for (size_t k = 0; k + 1 < ticks.size(); ++k) {
        end += 20 * ticks[k];
        if (ms < end) return static_cast<int>(k + 1);
    }
    return static_cast<int>(ticks.size());
}

uint32_t RateOf(uint16_t period) { return static_cast<uint32_t>(7093789.2 / (2.0 * period)); }

Word PixelAt(const DumpResult &d, size_t frame, int c, int r)
{
    size_t at = (frame * (size_t)d.width * (size_t)d.height + (size_t)r * (size_t)d.width + (size_t)c) * 4;
    if (at + 4 > d.video.size()) {
        ADD_FAILURE() << "pixel past the video output";
        return Word{9, 9, 9, 9};
    }
    return Word{d.video[at], d.video[at + 1], d.video[at + 2], d.video[at + 3]};
}

std::vector<int16_t> AudioPacket(const DumpResult &d, size_t packet)
{
    std::vector<int16_t> values;
    size_t at = packet * 3528;
    if (at + 3528 > d.audio.size()) {
        ADD_FAILURE() << "packet " << packet << " past the audio output";
        return values;
    }
    for (int f = 0; f < 882; ++f) {
        int16_t left, right;
        std::memcpy(&left, d.audio.data() + at + 4 * f, 2);
        std::memcpy(&right, d.audio.data() + at + 4 * f + 2, 2);
        EXPECT_EQ(left, right) << "packet " << packet << " frame " << f;
        values.push_back(left);
    }
    return values;
}

std::vector<int16_t> ReferenceMixer::packet(int scene, const std::vector<SoundStart> &starts)
{
    for (const SoundStart &s : starts) {
        Channel &ch = channels_[(size_t)s.channel];
        if (ch.startScene == scene) continue;
        ch.data = s.samples->empty() ? nullptr : s.samples;
        ch.position = 0.0;
        ch.step = RateOf(s.period) / 22050.0;
        ch.volume = s.volume * 1024;
        ch.startScene = scene;
    }
    std::vector<int16_t> out;
    for (int f = 0; f < 882; ++f) {
        int32_t sum = 0;
        for (Channel &ch : channels_) {
            if (!ch.data) continue;
            sum += (*ch.data)[(size_t)ch.position] * ch.volume;
            ch.position += ch.step;
            if ((size_t)ch.position >= ch.data->size()) {
                ch.data = nullptr;
                ch.startScene = 0;
            }
        }
        sum = std::min(std::max(sum, -8388608), 8388607);
        out.push_back(static_cast<int16_t>(sum >= 0 ? sum / 256 : -((-sum + 255) / 256)));
    }
    return out;
}

}  // namespace qfe2e
