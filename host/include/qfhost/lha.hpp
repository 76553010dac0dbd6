// LHA/LZH archive facts shared by the host's archive volumes and qfauthor's archive writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace qfhost {

// The CRC-16 LHA keeps for each member's uncompressed bytes (reflected polynomial 0xA001, from 0);
// crc carries it from the pieces before.
uint16_t LhaCrc16(std::span<const uint8_t> bytes, uint16_t crc = 0);

// The extended header (level 2 and 3) that holds a member's sizes in 64 bits, where the fixed
// fields only have 32: 8 bytes compressed, then 8 bytes original, little-endian.
constexpr uint8_t LhaSizeHeader = 0x42;
struct LhaSizes {
    uint64_t packed = 0, original = 0;
};
// The sizes from that extended header of a whole member header (its raw bytes), if it has one.
std::optional<LhaSizes> LhaExtendedSizes(std::span<const uint8_t> header);

// Whether a file is an LHA archive, by its first bytes (head): a member header, or the stub of a
// self-extracting archive (an Amiga or MS-DOS executable) with one in its first 64 KB.
bool LooksLikeLha(std::span<const uint8_t> head, const std::filesystem::path &location);

}  // namespace qfhost
