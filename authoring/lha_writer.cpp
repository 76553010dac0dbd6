#include "authoring/lha_writer.h"

#include <stdexcept>

#include "qfhost/lha.hpp"

namespace qfauthor {

Bytes WriteStoredLha(const std::vector<std::pair<std::string, Bytes>> &members)
{
    Bytes out;
    auto le = [&](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
    };
    for (const auto &[path, bytes] : members) {
        if (path.empty() || path.size() > 230) throw std::invalid_argument("an LHA member path of 1 to 230 bytes");
        size_t start = out.size();
        out.push_back(uint8_t(20 + path.size() + 2));  // header bytes after the first two
        out.push_back(0);                              // their sum, below
        for (char c : std::string("-lh0-")) out.push_back(uint8_t(c));
        le(bytes.size(), 4);  // packed
        le(bytes.size(), 4);  // original
        le(0x5C210000, 4);    // MS-DOS time stamp: 2026-01-01 00:00
        out.push_back(0x20);  // archive attribute
        out.push_back(0);     // header level 0
        out.push_back(uint8_t(path.size()));
        out.insert(out.end(), path.begin(), path.end());
        le(qfhost::LhaCrc16(bytes), 2);
        uint8_t sum = 0;
        for (size_t i = start + 2; i < out.size(); ++i) sum = uint8_t(sum + out[i]);
        out[start + 1] = sum;
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out.push_back(0);  // end of archive
    return out;
}

}  // namespace qfauthor
