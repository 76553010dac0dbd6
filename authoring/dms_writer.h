// Writes DMS archives of a floppy image, in any of the packer's seven modes, for tests and fuzz
// seeds. The LZ modes find matches greedily (hash chains, no lazy matching), so archives are
// valid but larger than the packer's own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qfhost/dms.hpp"

namespace qfauthor {

struct DmsOptions {
    qfhost::dms::Mode mode = qfhost::dms::Mode::NoComp;  // of every cylinder
    // Cylinders after which the LZ state starts afresh; at all others the next cylinder carries on
    // (the track's flag), so a match may reach into the previous cylinder's window.
    std::vector<unsigned> resetAfter;
    bool heavyTablesOnce = false;  // HEAVY: Huffman tables with the first cylinder only, then carried
    bool heavyRle = true;          // HEAVY: run-length pack before the LZ stage (the track's flag)
    bool encrypt = false;
    uint16_t key = 0;  // the password's CRC
    std::string banner, fileId;
    uint16_t creatorVersion = 0;
    unsigned lowTrack = 0, highTrack = 79;  // the cylinders written
};

// The archive of floppy (880 KB for DD, 1760 KB for HD). Throws std::invalid_argument for another
// size.
std::vector<uint8_t> WriteDms(std::span<const uint8_t> floppy, const DmsOptions &options = {});

// Packs bytes as SIMPLE does: 0x90 escapes itself as 0x90 0x00 and starts a run as 0x90 n byte
// (n 3..254) or 0x90 0xFF byte hi lo.
std::vector<uint8_t> PackRle(std::span<const uint8_t> bytes);

}  // namespace qfauthor
