// Contact sheets: one labelled thumbnail per scene change (or per fixed interval).
#pragma once

#include <optional>
#include <string>

#include "media_image.hpp"

namespace qfhost {
class Movie;
}

namespace qftools {

struct SheetOptions {
    std::optional<double> every;  // seconds: a thumbnail at fixed intervals only
    int columns = 4;
    int shrink = 0;               // 0: 2 for pictures wider than 200 pixels, else 1
    int maxThumbnails = 60;
    std::string title;            // printed above the thumbnails
    bool quiet = false;
};

struct Sheet {
    RgbImage image;
    int thumbnails = 0;
};

// Plays the movie from its start and lays out the thumbnails. Throws std::runtime_error.
Sheet MakeSheet(qfhost::Movie &movie, const SheetOptions &options);

}  // namespace qftools
