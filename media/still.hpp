// Still pictures in the format their file's extension names: PNG through libpng, JPEG and WebP
// through FFmpeg's image encoders.
#pragma once

#include <filesystem>

#include "media/image.hpp"

namespace qfmedia {

enum class StillFormat {
    Png,
    Jpeg,  // baseline, 4:4:4 full-range colour, high quality
    Webp,  // lossless
};

// By the extension, whatever its case: .png, .jpg or .jpeg, .webp; a name without one (/dev/stdout)
// gets PNG. Throws std::runtime_error naming the extension and the formats known.
StillFormat StillFormatOf(const std::filesystem::path &path);

// Throws std::runtime_error naming the file and the cause.
void WriteStill(const std::filesystem::path &path, const RgbImage &image, StillFormat format);

}  // namespace qfmedia
