// The movies of the fuzzers, the regression replay and the benchmarks, made with the authoring
// library's writers, and the small volume that their referenced assets resolve in.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "authoring/iff_writer.h"

namespace qftest {

using Bytes = std::vector<uint8_t>;
using NamedBytes = std::pair<std::string, Bytes>;

// The directory the requester answers for every volume, and the files below it, by full path.
inline constexpr const char *VolumeDirectory = "/vol";
std::vector<NamedBytes> VolumeFiles();

// Whole movie files, each a valid movie that opens and plays.
std::vector<NamedBytes> SeedMovies();

// Inputs for the IFF loader fuzzer: a selector byte (0 picture, 1 face set, 2 sound,
// 3 planar body) and then the file.
std::vector<NamedBytes> SeedIffFiles();

// The benchmarks' backdrop: a 320 x 256, 32-colour picture with the mix of runs and detail of a
// painted one.
constexpr int BackdropWidth = 320;
constexpr int BackdropHeight = 256;
constexpr int BackdropPlanes = 5;
qfauthor::IndexedImage Backdrop();
std::vector<qfauthor::Color> BackdropPalette();

// An embedded movie: the backdrop, a set of eight 32 x 32 faces, four sounds and 20 scenes of
// 6 ticks with horizontal scrolling, sprites in four layers, colour cycling and a sound on
// every channel.
Bytes SceneMovie();

// One scene showing the picture `name` of the Amiga folder `folder` (e.g. "Art2:Pics") for `ticks`.
Bytes StillMovie(const std::string &folder, const std::string &name, int ticks);

}  // namespace qftest
