// Runs `quillframer dump` on movies made with the authoring library, and small independent
// models of the timeline and the mixer to check its output against.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"

namespace qfe2e {

namespace fs = std::filesystem;

struct DumpResult {
    int exitCode = -1;
    std::string out;
    std::string err;
    int width = -1;
    int height = -1;
    long long duration = -1;
    long long frames = -1;
    long long packets = -1;
    std::vector<uint8_t> video;
    std::vector<uint8_t> audio;
};

// A scratch directory per test, removed afterwards.
class Scratch {
public:
    Scratch();
    ~Scratch();
    const fs::path &dir() const { return dir_; }

private:
    fs::path dir_;
};

// quillframer dump MOVIE --video V --audio A [extra...], stdin closed.
DumpResult RunDump(const Scratch &scratch, const qfauthor::MovieWriter &movie, const std::vector<std::string> &extra = {});

// The packet clock: the time of each pair, from start seconds, grown by + 0.04 until the end.
std::vector<double> PairTimes(uint32_t durationMs, double start = 0.0);
uint32_t Ms(double seconds);

// Scene covering ms for scenes of the given ticks (scene 1 first): the last covers the rest.
int SceneAt(const std::vector<uint32_t> &ticks, uint32_t ms);

// The rate the plug-in derives from a period.
uint32_t RateOf(uint16_t period);

// Pixel word at (c, r) of frame n of a dump, as bytes 0, R, G, B.
struct Word {
    uint8_t b0, r, g, b;
    bool operator==(const Word &) const = default;
};
Word PixelAt(const DumpResult &d, size_t frame, int c, int r);
inline Word WordOf(qfauthor::Color c) { return Word{0, c.red, c.green, c.blue}; }

// Audio sample value of packet n, frame f (left; right must match, checked by AudioSamples).
std::vector<int16_t> AudioPacket(const DumpResult &d, size_t packet);

// One scene's sound starts, as the movie stream gives them.
struct SoundStart {
    int channel;
    const std::vector<int8_t> *samples;
    uint16_t period;
    uint8_t volume;
};

// A mixer written from the rules: channels started by scene, truncated positions, clamp, shift.
class ReferenceMixer {
public:
    std::vector<int16_t> packet(int scene, const std::vector<SoundStart> &starts);

private:
    struct Channel {
        const std::vector<int8_t> *data = nullptr;
        double position = 0.0;
        double step = 0.0;
        int32_t volume = 0;
        int startScene = 0;
    };
    std::array<Channel, 4> channels_{};
};

}  // namespace qfe2e
