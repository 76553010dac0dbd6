// PNG files through libpng: RGB pictures out, indexed pictures in (for authoring).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "media/image.hpp"

namespace qfmedia {

// Throws std::runtime_error naming the file and the cause.
void WritePng(const std::filesystem::path &path, const RgbImage &image);
RgbImage ReadRgbPng(const std::filesystem::path &path);

struct IndexedPicture {
    int width = 0;
    int height = 0;
    int bitDepth = 0;                             // as stored: 1, 2, 4 or 8
    std::vector<uint8_t> indices;                 // one byte per pixel, rows packed
    std::vector<std::array<uint8_t, 3>> palette;  // PLTE entries
    int transparentIndex = -1;                    // the one fully transparent entry (tRNS), read and written
    long colours = 0;  // as read: the palette's entries, or the distinct colours of a true-colour picture
    // A picture of more than 256 colours can have no palette: its pixels as RGB, three bytes each;
    // indices and palette are then empty.
    std::vector<uint8_t> rgb;
};

// Reads a palette (colour type 3) PNG as it is, pixels of any other fully transparent entry taking
// the first one's; a grey or RGB(A) one with at most 256 colours is indexed exactly (fully transparent
// pixels as index 0), one with more comes as RGB. Partly transparent pixels are refused.
IndexedPicture ReadIndexedPng(const std::filesystem::path &path);
// Written at bitDepth when it is 1, 2 or 4 (the indices and palette must fit), else at 8.
void WriteIndexedPng(const std::filesystem::path &path, const IndexedPicture &picture);

}  // namespace qfmedia
