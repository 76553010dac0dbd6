// Sound files for authoring: read with libsndfile, mixed to mono, resampled and made 8-bit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace qfmedia {

struct SoundFile {
    std::vector<float> samples;  // mono, -1..1
    int rate = 0;
};

// Throws std::runtime_error naming the file when libsndfile cannot read it.
SoundFile ReadSoundFile(const std::filesystem::path &path);

// Resamples (libswresample) to `rate` and quantises to signed 8-bit with rounding and clipping.
std::vector<int8_t> ToAmigaSamples(const SoundFile &sound, uint32_t rate, double gain = 1.0);

// Writes Amiga samples as they are: a mono 8-bit PCM WAV at rate. Throws std::runtime_error
// naming the file.
void WriteAmigaSound(const std::filesystem::path &path, std::span<const int8_t> samples, int rate);

}  // namespace qfmedia
