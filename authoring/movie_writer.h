// Writes Quill Framer movie streams: one call per command, payloads laid out big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qfauthor {

using Bytes = std::vector<uint8_t>;

enum class Asset {
    Background = 0,
    FaceSet = 1,
    Sound = 2
};

struct CycleRange {
    uint16_t low = 0;
    uint16_t high = 0;
    uint16_t direction = 0;  // 0 = towards higher indices
    uint16_t command = 0;    // 1 start, 2 (or 0) stop, other = leave
};

// Amiga 12-bit colour 0x0RGB from 8-bit components (top four bits kept).
uint16_t AmigaColor(uint8_t red, uint8_t green, uint8_t blue);

// The Amiga period that plays a sample at about the given rate (PAL clock).
uint16_t PeriodForRate(double samplesPerSecond);
// The rate the plug-in derives from a period (truncated), for resampling to exactly that rate.
uint32_t RateForPeriod(uint16_t period);

class MovieWriter {
public:
    // The 12-byte signature ("xQuillframer", or "xSceneEditor") and 21 filler bytes; the first
    // command follows at offset 33.
    explicit MovieWriter(bool sceneEditorSignature = false);

    MovieWriter &scenes(uint16_t count);                                                          // "w"
    MovieWriter &scene(uint16_t index);                                                           // "c"
    MovieWriter &duration(uint16_t ticks);                                                        // "i", 20 ms ticks
    MovieWriter &background(uint16_t index);                                                      // "f"; 0xFFFF = none
    MovieWriter &palette(const std::array<uint16_t, 32> &amigaColors);                            // "l"
    MovieWriter &scroll(int16_t velocity, int16_t limit, int16_t acceleration, bool horizontal);  // "g"
    MovieWriter &sound(uint16_t index, uint16_t volume, uint16_t period, uint16_t channelMask);   // "h"
    MovieWriter &cycles(const std::array<CycleRange, 4> &ranges);                                 // "k"
    MovieWriter &faceSet(uint16_t index, int16_t originX, int16_t originY);                       // "d"
    MovieWriter &sprite(uint16_t face, int16_t dx, int16_t dy, uint16_t layer);                   // "e"
    MovieWriter &embedded();                                                                      // "y"
    // "a", "b" or "j" followed by the file itself; the stream must be in embedded mode.
    MovieWriter &load(Asset kind, const Bytes &file, const std::string &amigaDir = "", const std::string &name = "");
    // "a", "b" or "j" naming the file by Amiga path, e.g. ("Work:Anims/Faces", "Hero").
    MovieWriter &reference(Asset kind, const std::string &amigaDir, const std::string &name);
    MovieWriter &nothing(char command);  // "n".."u", or "m", "v", "x" with a zero payload
    MovieWriter &end();                  // "z"
    MovieWriter &raw(const Bytes &bytes);

    const Bytes &bytes() const { return bytes_; }
    void save(const std::filesystem::path &path) const;

private:
    void command(char letter);
    void u16(uint16_t value);
    void text(const std::string &value, size_t field);
    Bytes bytes_;
};

// Where a host mapping volume -> volumeDirectory finds a referenced asset:
// volumeDirectory / <path tail of amigaDir> / name.
std::filesystem::path ReferencedAssetPath(const std::filesystem::path &volumeDirectory, const std::string &amigaDir,
                                          const std::string &name);
// Writes a referenced asset there, making its folders. Returns the file written.
std::filesystem::path WriteReferencedAsset(const std::filesystem::path &volumeDirectory, const std::string &amigaDir,
                                           const std::string &name, const Bytes &file);

}  // namespace qfauthor
