// LHA/LZH archive facts shared by the host's archive volumes and qfauthor's stored-archive writer.
#pragma once

#include <cstdint>
#include <span>

namespace qfhost {

// The CRC-16 LHA keeps for each member's uncompressed bytes (reflected polynomial 0xA001, from 0).
uint16_t LhaCrc16(std::span<const uint8_t> bytes);

}  // namespace qfhost
