// Fewer colours for an indexed picture, through libimagequant.
#pragma once

#include "media/png.hpp"

namespace qfmedia {

struct Reduced {
    IndexedPicture picture;  // at most the colours asked for
    double meanError = 0;    // libimagequant's mean square error, 0 to 65025
};

// Error diffusion only with dither; without it each pixel takes its nearest palette colour.
Reduced ReduceColours(const IndexedPicture &picture, int colours, bool dither);

}  // namespace qfmedia
