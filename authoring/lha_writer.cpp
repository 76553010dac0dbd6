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

// A member's path split into its folder (with the trailing '/') and its file name.
std::pair<std::string, std::string> Split(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {"", path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Extended headers, each after the 16-bit size that counts it and that size, then 0: the same
// bytes for level 1 (after its fixed fields) and level 2.
void Extended(Bytes &out, const std::vector<Bytes> &extended)
{
    for (const Bytes &e : extended) {
        Le(out, e.size() + 2, 2);
        out.insert(out.end(), e.begin(), e.end());
    }
    Le(out, 0, 2);
}

// The folder as extended header 0x02 holds it: 0xFF separators.
Bytes FolderHeader(std::string folder)
{
    Bytes e{0x02};
    for (char c : folder) e.push_back(c == '/' ? 0xFF : uint8_t(c));
    return e;
}

// Levels 0 and 1: a header sized in one byte with a byte sum. Level 0 holds the whole path; level
// 1 the file name, then its system and extended headers, whose bytes count in the packed size.
void Level01(Bytes &out, const LhaMember &m)
{
    std::string name = m.path;
    std::vector<Bytes> extended;
    if (m.level == 1) {
        auto [folder, file] = Split(m.path);
        name = file;
        if (!folder.empty()) extended.push_back(FolderHeader(folder));
    }
    if (m.backslashes) std::replace(name.begin(), name.end(), '/', '\\');
    if ((m.level == 0 && name.empty()) || name.size() > 230)
        throw std::invalid_argument("an LHA member path of 1 to 230 bytes");
    size_t extendedBytes = 0;
    for (const Bytes &e : extended) extendedBytes += e.size() + 2;
    size_t start = out.size();
    out.push_back(uint8_t((m.level == 1 ? 25 : 22) + name.size()));  // header bytes after the first two
    out.push_back(0);                                                // their sum, below
    out.insert(out.end(), m.method.begin(), m.method.end());
    Le(out, m.data.size() + extendedBytes, 4);
    Le(out, m.length, 4);
    Le(out, 0x5C210000, 4);  // MS-DOS time stamp: 2026-01-01 00:00
    out.push_back(m.attribute);
    out.push_back(uint8_t(m.level));
    out.push_back(uint8_t(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    Le(out, m.crc, 2);
    if (m.level == 1) {
        out.push_back(uint8_t(m.os));
        Extended(out, extended);
    }
    uint8_t sum = 0;
    for (size_t i = start + 2; i < start + 2 + out[start]; ++i) sum = uint8_t(sum + out[i]);
    out[start + 1] = sum;
}

// Level 2: a 16-bit size of the whole header, then extended headers, each followed by the size of
// the next one (0 ends them).
void Level2(Bytes &out, const LhaMember &m)
{
    auto [folder, name] = Split(m.path);
    if (m.path.empty() || m.path.size() > 60000) throw std::invalid_argument("an LHA member path of 1 to 60000 bytes");
    std::vector<Bytes> extended;
    // A directory entry has no file name header at all.
    if (!name.empty()) {
        extended.push_back(Bytes{0x01});
        extended.back().insert(extended.back().end(), name.begin(), name.end());
    }
    if (!folder.empty()) extended.push_back(FolderHeader(folder));
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
    out.push_back(m.attribute);
    out.push_back(2);
    Le(out, m.crc, 2);
    out.push_back(uint8_t(m.os));
    Extended(out, extended);
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
        else Level01(out, m);
        out.insert(out.end(), m.data.begin(), m.data.end());
    }
    out.push_back(0);  // end of archive
    return out;
}

LhaMember LhaDirectory(std::string path, int level)
{
    LhaMember m;
    m.path = std::move(path) + "/";
    m.method = "-lhd-";
    m.attribute = 0x10;
    m.level = level;
    return m;
}

Bytes SelfExtractingLha(const Bytes &archive)
{
    Bytes out;
    auto be = [&](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
    };
    be(0x3F3), be(0), be(1), be(0), be(0), be(1);  // HUNK_HEADER: no libraries, hunk 0 of one long
    be(0x3E9), be(1), be(0x70004E75);              // HUNK_CODE: moveq #0,d0; rts
    be(0x3F2);                                     // HUNK_END
    out.insert(out.end(), archive.begin(), archive.end());
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
