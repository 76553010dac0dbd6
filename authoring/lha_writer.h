// Writes LHA archives whose members are stored uncompressed (-lh0-, level 0 headers): enough to put
// files on an archive volume; compressing is left to real archivers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qfauthor {

using Bytes = std::vector<uint8_t>;

// Members as (path with '/' separators, bytes); paths of up to 230 bytes.
Bytes WriteStoredLha(const std::vector<std::pair<std::string, Bytes>> &members);

}  // namespace qfauthor
