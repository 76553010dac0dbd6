// Writes LHA archives: members stored uncompressed (-lh0-) or given already compressed, and
// directory entries, with level 0, 1 or 2 headers, bare or behind an Amiga self-extracting stub.
// Enough to put files on an archive volume and to build the archives old Amiga archivers wrote
// (and damaged ones) for tests; compressing is left to real archivers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qfauthor {

using Bytes = std::vector<uint8_t>;

struct LhaMember {
    std::string path;  // '/' separators; a trailing '/' writes no file name (a directory entry)
    Bytes data;        // as stored: the bytes themselves for -lh0-
    std::string method = "-lh0-";
    uint64_t length = 0;       // uncompressed bytes, as the header declares them
    uint16_t crc = 0;          // of the uncompressed bytes
    int level = 0;             // 0, 1 or 2
    bool sizeHeader = false;   // level 2: also give both sizes in 64 bits (extended header 0x42)
    uint8_t attribute = 0x20;  // MS-DOS attributes: 0x20 archive, 0x10 directory
    char os = 'A';             // level 1 and 2: the system that wrote it
    bool backslashes = false;  // level 0: '\\' separators, as MS-DOS archivers wrote them
};

// A directory entry as LhA writes it (-lhd-, the directory attribute, no data); path without the
// trailing '/'.
LhaMember LhaDirectory(std::string path, int level = 2);

// A stored member of these bytes: length and CRC from them.
LhaMember StoredLhaMember(std::string path, Bytes bytes, int level = 0);

// The members, then the 0 byte that ends an archive. Throws std::invalid_argument for a path the
// header cannot hold.
Bytes WriteLha(const std::vector<LhaMember> &members);

// Members as (path with '/' separators, bytes), stored with level 0 headers; paths of up to 230 bytes.
Bytes WriteStoredLha(const std::vector<std::pair<std::string, Bytes>> &members);

// A minimal Amiga executable (HUNK_HEADER, one code hunk that returns, HUNK_END) in front of an
// archive: how self-extracting archives look to a reader.
Bytes SelfExtractingLha(const Bytes &archive);

// An -lh5- stream that decodes to count zero bytes: one literal, then blocks of 65535 copies of
// 256 bytes, each block 52 bits whatever its length (a decompression bomb).
Bytes Lh5Zeros(uint64_t count);

}  // namespace qfauthor
