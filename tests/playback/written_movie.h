// Movies for the playback suites: written with qfauthor, opened through the parser, so every case
// runs on a model the parser really makes. CloseVideo frees it all (the sanitizer checks that).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "playback/playback.h"
#include "testing/open_bytes.h"

namespace qfplay {

using qfauthor::Asset;
using qfauthor::MovieWriter;

// The movie of the given bytes, opened on its own quiet host.
struct Played {
    qftest::ScriptedHost host;
    qftest::Opened opened;
    MovieHandle *m = nullptr;
    explicit Played(const qfauthor::Bytes &bytes)
    {
        host.quiet();
        qftest::OpenBytes(host, bytes, opened);
        if (!(m = opened.movie)) throw std::runtime_error("the movie did not open");
    }
    explicit Played(const MovieWriter &writer) : Played(MovieWriter(writer).end().bytes()) {}
};

// Palette `base` (0 to 7) as "l" colours: colour i is 0x0RGB with R = 8 + base, G = i / 16, B = i % 16,
// so every loaded word is non-zero and names its palette and index.
inline std::array<uint16_t, 32> Marks(int base)
{
    std::array<uint16_t, 32> colors{};
    for (int i = 0; i < 32; ++i) colors[(size_t)i] = (uint16_t)((8 + base) << 8 | i);
    return colors;
}

// The pixel word colour i of palette `base` loads as: bytes 0, red, green, blue (nibbles x 16).
inline uint32_t MarkWord(int base, int i)
{
    uint8_t bytes[4] = {0, (uint8_t)((8 + base) << 4), (uint8_t)((i >> 4) << 4), (uint8_t)((i & 15) << 4)};
    uint32_t word;
    std::memcpy(&word, bytes, 4);
    return word;
}

// The index a word of palette 0 stands for; -1 for any other word (0 = never loaded).
inline int MarkIndex(uint32_t word)
{
    for (int i = 0; i < 32; ++i)
        if (word == MarkWord(0, i)) return i;
    return -1;
}

// An uncompressed 8-plane picture (any index), with `colors` CMAP entries of (i, 2i, 3i).
inline qfauthor::Bytes Picture(int width, int height, const std::vector<uint8_t> &pixels, int colors = 0)
{
    std::vector<qfauthor::Color> palette;
    for (int i = 0; i < colors; ++i) palette.push_back({(uint8_t)i, (uint8_t)(2 * i), (uint8_t)(3 * i)});
    qfauthor::IlbmOptions options;
    options.planeCount = 8;
    options.compression = qfauthor::Compression::None;
    return qfauthor::WriteIlbm(qfauthor::IndexedImage{width, height, pixels}, palette, options);
}

}  // namespace qfplay
