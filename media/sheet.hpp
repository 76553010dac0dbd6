// Contact sheets: one labelled thumbnail per scene change (or per fixed interval).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/image.hpp"

namespace qfhost {
class Movie;
}

namespace qfmedia {

struct SheetOptions {
    std::optional<uint32_t> everyMs;  // a thumbnail at fixed intervals only
    int columns = 4;
    int shrink = 0;  // 0: 2 for pictures wider than 200 pixels, else 1
    int maxThumbnails = 60;
    std::string title;  // printed above the thumbnails
    bool quiet = false;
    PixelAspect aspect = PixelAspect::Square;  // thumbnails in the screen's shape
};

struct Sheet {
    RgbImage image;
    int thumbnails = 0;
    std::vector<uint32_t> times;  // the labels, in ms: `frame --at` each gives its thumbnail
};

// Plays the movie from its start and lays out the thumbnails. Throws std::runtime_error.
Sheet MakeSheet(qfhost::Movie &movie, const SheetOptions &options);

}  // namespace qfmedia
