// What `frame` and `thumbnail` share: the picture of a movie at a time.
#pragma once

#include <cstdint>

#include "common.hpp"
#include "media/image.hpp"

namespace qftools {

// The picture at `at` ms (a seek, then the next picture), laid out as scale and picture say. Throws
// ToolError when at is past the end or the movie has no picture there.
qfmedia::RgbImage PictureAt(qfhost::Movie &movie, uint32_t at, int scale, const PictureOptions &picture);

}  // namespace qftools
