// Pictures and movies for the benchmarks, made with the authoring library.
#pragma once

#include <cstdint>
#include <vector>

#include "authoring/iff_writer.h"

namespace qfbench {

using Bytes = std::vector<uint8_t>;

constexpr int Width = 320;
constexpr int Height = 256;
constexpr int Planes = 5;

// A 320 x 256, 32-colour picture with the mix of runs and detail of a painted backdrop.
qfauthor::IndexedImage Backdrop();
std::vector<qfauthor::Color> BackdropPalette();

// An embedded movie: the backdrop, a set of eight 32 x 32 faces, four sounds and 20 scenes of
// 6 ticks with horizontal scrolling, sprites in four layers, colour cycling and a sound on
// every channel.
Bytes SceneMovie();

}  // namespace qfbench
