// Seed movies for the fuzzers and the regression replay, made with the authoring library, and
// the small volume that their referenced assets resolve in.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qffuzz {

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

}  // namespace qffuzz
