// How the volume readers open one another: a location by content within a nesting budget, and the
// packed formats libarchive reads. Internal to qfhost.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "qfhost/volume.hpp"
#include "qfhost/volume_member.hpp"

namespace qfhost {

// A directory, disk image or LHA archive as the location's own reader opens it (volume.cpp,
// lha_archive.cpp), or nullptr when it is none of them.
std::unique_ptr<Volume> OpenPlain(const std::filesystem::path &location, const VolumeLimits &limits);

// Volume::Open, charging what is expanded or nested to budget; errors name the location `name`.
std::unique_ptr<Volume> OpenWithin(const std::filesystem::path &location, const VolumeLimits &limits,
                                   NestBudget &budget, const std::string &name);

// What a file's first bytes show of the formats libarchive reads here.
enum class Packing {
    None,
    Stream,  // gzip, xz or bzip2: one file compressed whole (or a tar inside)
    Archive  // ZIP, 7-Zip, tar
};
Packing PackingOf(std::span<const uint8_t> head);

// The first count bytes a compressed stream holds, from its first bytes (a member's head) or from
// a file. Empty when they cannot be had from what is given.
std::vector<uint8_t> UnpackedHead(std::span<const uint8_t> packed, size_t count);
// Whether the stream at location holds an archive (a .tar.gz): then it opens as one, not expanded.
bool StreamHoldsArchive(const std::filesystem::path &location);

// A ZIP, 7-Zip or tar archive (compressed or not) as a volume.
std::unique_ptr<Volume> OpenPackedArchive(const std::filesystem::path &location, const VolumeLimits &limits);

// The whole stream at location decompressed into fd, each piece charged to budget before it is
// kept, so a bomb is refused at the limit without holding what it expands to.
void ExpandStream(const std::filesystem::path &location, int fd, NestBudget &budget);

// Volume paths are Latin-1, as Amiga names are: a UTF-8 name within Latin-1 is brought to it.
std::string Utf8AsLatin1(const std::string &name);
// Whether a name is UTF-8 with a character Latin-1 lacks: one that stays UTF-8 (VolumeEntry::utf8).
bool BeyondLatin1(std::string_view name);

}  // namespace qfhost
