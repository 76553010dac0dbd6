#include "authoring/lha_writer.h"

#include <algorithm>
#include <stdexcept>

#include "qfhost/lha.hpp"

namespace qfauthor {
namespace {

void Le(Bytes &out, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void Level0(Bytes &out, const LhaMember &m)
{
    if (m.path.empty() || m.path.size() > 230) throw std::invalid_argument("an LHA member path of 1 to 230 bytes");
    size_t start = out.size();
    out.push_back(uint8_t(20 + m.path.size() + 2));  // header bytes after the first two
    out.push_back(0);                                // their sum, below
    out.insert(out.end(), m.method.begin(), m.method.end());
    Le(out, m.data.size(), 4);
    Le(out, m.length, 4);
    Le(out, 0x5C210000, 4);  // MS-DOS time stamp: 2026-01-01 00:00
    out.push_back(0x20);     // archive attribute
    out.push_back(0);        // header level 0
    out.push_back(uint8_t(m.path.size()));
    out.insert(out.end(), m.path.begin(), m.path.end());
    Le(out, m.crc, 2);
    uint8_t sum = 0;
    for (size_t i = start + 2; i < out.size(); ++i) sum = uint8_t(sum + out[i]);
    out[start + 1] = sum;
}

// Level 2: a 16-bit size of the whole header, then extended headers, each followed by the size of
// the next one (0 ends them).
void Level2(Bytes &out, const LhaMember &m)
{
    size_t slash = m.path.rfind('/');
    std::string name = slash == std::string::npos ? m.path : m.path.substr(slash + 1);
    std::string folder = slash == std::string::npos ? "" : m.path.substr(0, slash + 1);
    if (name.empty() || m.path.size() > 60000) throw std::invalid_argument("an LHA member path with a file name");
    for (char &c : folder)
        if (c == '/') c = char(0xFF);
    std::vector<Bytes> extended;
    extended.push_back(Bytes{0x01});
    extended.back().insert(extended.back().end(), name.begin(), name.end());
    if (!folder.empty()) {
        extended.push_back(Bytes{0x02});
        extended.back().insert(extended.back().end(), folder.begin(), folder.end());
    }
    if (m.sizeHeader) {
        extended.push_back(Bytes{qfhost::LhaSizeHeader});
        Le(extended.back(), m.data.size(), 8);
        Le(extended.back(), m.length, 8);
    }
    size_t start = out.size();
    out.push_back(0), out.push_back(0);  // the header's size, below
    out.insert(out.end(), m.method.begin(), m.method.end());
    Le(out, m.data.size(), 4);
    Le(out, m.length, 4);
    Le(out, 1767225600, 4);  // 2026-01-01 00:00 UTC
    out.push_back(0x20);
    out.push_back(2);
    Le(out, m.crc, 2);
    out.push_back('A');  // written on an Amiga
    for (const Bytes &e : extended) {
        Le(out, e.size() + 2, 2);
        out.insert(out.end(), e.begin(), e.end());
    }
    Le(out, 0, 2);
    size_t size = out.size() - start;
    out[start] = uint8_t(size), out[start + 1] = uint8_t(size >> 8);
}

}  // namespace

LhaMember StoredLhaMember(std::string path, Bytes bytes, int level)
{
    LhaMember m;
    m.path = std::move(path);
    m.length = bytes.size();
    m.crc = qfhost::LhaCrc16(bytes);
    m.data = std::move(bytes);
    m.level = level;
    return m;
}

Bytes WriteLha(const std::vector<LhaMember> &members)
{
    Bytes out;
    for (const LhaMember &m : members) {
        if (m.method.size() != 5) throw std::invalid_argument("an LHA method of 5 characters");
        if (m.level == 2) Level2(out, m);
        else Level0(out, m);
        out.insert(out.end(), m.data.begin(), m.data.end());
    }
    out.push_back(0);  // end of archive
    return out;
}

Bytes WriteStoredLha(const std::vector<std::pair<std::string, Bytes>> &members)
{
    std::vector<LhaMember> stored;
    for (const auto &[path, bytes] : members) stored.push_back(StoredLhaMember(path, bytes));
    return WriteLha(stored);
}

Bytes Lh5Zeros(uint64_t count)
{
    Bytes out;
    uint32_t bits = 0;
    int used = 0;
    auto put = [&](uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            bits = bits << 1 | ((value >> i) & 1);
            if (++used == 8) out.push_back(uint8_t(bits)), bits = 0, used = 0;
        }
    };
    // A block whose three trees are single codes of no bits: every command is that one code.
    auto block = [&](uint32_t commands, uint32_t code) {
        put(commands, 16);
        put(0, 5), put(0, 5);     // the code lengths' tree: one code
        put(0, 9), put(code, 9);  // commands: one code (0..255 a literal, 256 + n a copy of n + 3)
        put(0, 4), put(0, 4);     // offsets: one code, 0 (the byte before)
    };
    if (count == 0) return out;
    block(1, 0);
    for (uint64_t left = count - 1; left > 0;) {
        uint64_t commands = std::min<uint64_t>(65535, (left + 255) / 256);
        block(uint32_t(commands), 509);
        left -= std::min(left, commands * 256);
    }
    if (used) put(0, 8 - used);
    return out;
}

}  // namespace qfauthor
