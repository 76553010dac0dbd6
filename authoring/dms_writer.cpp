// DMS archives: each cylinder packed, then run through the LZ coder of its mode against a window
// that mirrors the unpacker's, so matches may reach back into earlier cylinders while the state is
// carried.
#include "authoring/dms_writer.h"

#include <algorithm>
#include <array>
#include <optional>
#include <queue>
#include <stdexcept>

namespace qfauthor {
namespace {
using namespace qfhost::dms;

void Put16(std::vector<uint8_t> &out, size_t at, uint16_t v) { out[at] = uint8_t(v >> 8), out[at + 1] = uint8_t(v); }
void Put32(std::vector<uint8_t> &out, size_t at, uint32_t v)
{
    Put16(out, at, uint16_t(v >> 16));
    Put16(out, at + 2, uint16_t(v));
}

class BitWriter {
public:
    void put(uint32_t value, unsigned count)
    {
        while (count--) {
            acc_ = uint8_t(acc_ << 1 | ((value >> count) & 1));
            if (++bits_ == 8) out_.push_back(acc_), acc_ = 0, bits_ = 0;
        }
    }
    std::vector<uint8_t> finish()
    {
        if (bits_) out_.push_back(uint8_t(acc_ << (8 - bits_)));
        bits_ = 0, acc_ = 0;
        return std::move(out_);
    }

private:
    std::vector<uint8_t> out_;
    uint8_t acc_ = 0;
    unsigned bits_ = 0;
};

// The prefix code of value v (0..63): the top bits of the first 8-bit index standing for it.
void PutPrefixed(BitWriter &w, unsigned v)
{
    unsigned first = 0;
    while (prefix.code[first] != v) ++first;
    const unsigned n = prefix.length[first];
    w.put(first >> (8 - n), n);
}

struct Token {
    unsigned length = 0;  // 0 for a literal
    unsigned value = 0;   // the literal, or the match's distance
};

// The unpacker's window and positions, mirrored.
struct Mirror {
    std::array<uint8_t, 0x4000> window{};
    uint16_t quickAt = 251, mediumAt = 0x3FBE, deepAt = 0x3FC4, heavyAt = 0;
    bool deepFresh = true;
    AdaptiveTree deep;
    uint16_t lastDistance = 0;
    std::array<int32_t, 0x10000> head{};  // by two bytes: the latest window place they start
    std::array<int32_t, 0x4000> previous{};

    Mirror() { head.fill(-1); }
    void reset()
    {
        quickAt = 251, mediumAt = 0x3FBE, deepAt = 0x3FC4, heavyAt = 0;
        deepFresh = true;
        lastDistance = 0;
        std::fill_n(window.begin(), 0x3FC8, uint8_t(0));
        head.fill(-1);
    }
};

struct LzLimits {
    unsigned mask, minLength, maxLength;
};

// Greedy LZ over in, writing through the mirror's window at `at`.
std::vector<Token> FindMatches(Mirror &m, uint16_t &at, LzLimits lim, std::span<const uint8_t> in)
{
    std::vector<Token> tokens;
    auto key = [&](unsigned place) { return m.window[place & lim.mask] << 8 | m.window[(place + 1) & lim.mask]; };
    auto write = [&](uint8_t b) {
        m.window[at & lim.mask] = b;
        ++at;
        const unsigned start = (at - 2u) & lim.mask;  // the pair that now ends at the byte written
        const unsigned k = key(start);
        m.previous[start] = m.head[k];
        m.head[k] = int32_t(start);
    };
    for (size_t pos = 0; pos < in.size();) {
        unsigned bestLength = 0, bestDistance = 0;
        const unsigned want = unsigned(std::min<size_t>(lim.maxLength, in.size() - pos));
        if (want >= lim.minLength) {
            int32_t candidate = m.head[in[pos] << 8 | (pos + 1 < in.size() ? in[pos + 1] : 0)];
            for (int step = 0; candidate >= 0 && step < 48; ++step, candidate = m.previous[size_t(candidate)]) {
                const unsigned distance = (at - unsigned(candidate) - 1) & lim.mask;
                unsigned n = 0;
                while (n < want) {
                    uint8_t b =
                        n <= distance ? m.window[(unsigned(candidate) + n) & lim.mask] : in[pos + n - distance - 1];
                    if (b != in[pos + n]) break;
                    ++n;
                }
                if (n > bestLength) bestLength = n, bestDistance = distance;
                if (n == want) break;
            }
        }
        if (bestLength >= lim.minLength) {
            tokens.push_back({bestLength, bestDistance});
            for (unsigned i = 0; i < bestLength; ++i) write(in[pos + i]);
            pos += bestLength;
        } else {
            tokens.push_back({0, in[pos]});
            write(in[pos++]);
        }
    }
    return tokens;
}

// Code lengths of a Huffman code for these counts, none longer than limit; unused symbols get 0.
std::vector<uint8_t> HuffmanLengths(std::vector<uint32_t> counts, unsigned limit)
{
    const size_t n = counts.size();
    for (;;) {
        std::vector<uint8_t> lengths(n, 0);
        using Node = std::pair<uint64_t, int>;  // count, node
        std::priority_queue<Node, std::vector<Node>, std::greater<>> queue;
        std::vector<int> parent(2 * n, -1);
        int next = int(n);
        for (size_t s = 0; s < n; ++s)
            if (counts[s]) queue.push({counts[s], int(s)});
        if (queue.size() == 1) lengths[size_t(queue.top().second)] = 1;
        while (queue.size() > 1) {
            Node a = queue.top();
            queue.pop();
            Node b = queue.top();
            queue.pop();
            parent[size_t(a.second)] = parent[size_t(b.second)] = next;
            queue.push({a.first + b.first, next++});
        }
        unsigned longest = 0;
        for (size_t s = 0; s < n; ++s) {
            if (!counts[s]) continue;
            unsigned depth = 0;
            for (int p = parent[s]; p >= 0; p = parent[size_t(p)]) ++depth;
            lengths[s] = uint8_t(std::max(depth, 1u));
            longest = std::max(longest, depth);
        }
        if (longest <= limit) return lengths;
        for (uint32_t &c : counts)
            if (c) c = c / 2 + 1;
    }
}

// Canonical codes from lengths, as the unpacker assigns them.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t> &lengths)
{
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    for (unsigned l = 1; l <= 31; ++l) {
        for (size_t s = 0; s < lengths.size(); ++s)
            if (lengths[s] == l) codes[s] = code++;
        code <<= 1;
    }
    return codes;
}

struct HeavyCode {
    std::vector<uint8_t> literalLengths, distanceLengths;
    std::vector<uint32_t> literalCodes, distanceCodes;
    unsigned onlyLiteral = 0, onlyDistance = 0;  // when a table holds one symbol
    bool literalConstant = false, distanceConstant = false;
};

unsigned DistanceClass(unsigned d)
{
    unsigned j = 0;
    while (d >> j) ++j;
    return j;
}

HeavyCode MakeHeavyCode(const std::vector<Token> &tokens, unsigned np, bool everySymbol)
{
    std::vector<uint32_t> literal(510, everySymbol ? 1 : 0), distance(np, everySymbol ? 1 : 0);
    uint16_t last = 0;
    for (const Token &t : tokens) {
        if (!t.length) {
            ++literal[t.value];
            continue;
        }
        ++literal[t.length + 253];
        if (t.value == last) ++distance[np - 1];
        else ++distance[DistanceClass(t.value)], last = uint16_t(t.value);
    }
    HeavyCode code;
    auto used = [](const std::vector<uint32_t> &c) {
        return std::count_if(c.begin(), c.end(), [](uint32_t x) { return x; });
    };
    if (used(literal) <= 1) {
        code.literalConstant = true;
        code.onlyLiteral =
            unsigned(std::find_if(literal.begin(), literal.end(), [](uint32_t x) { return x; }) - literal.begin()) %
            510;
    }
    if (used(distance) <= 1) {
        code.distanceConstant = true;
        code.onlyDistance =
            unsigned(std::find_if(distance.begin(), distance.end(), [](uint32_t x) { return x; }) - distance.begin()) %
            np;
    }
    code.literalLengths = HuffmanLengths(literal, 16);
    code.distanceLengths = HuffmanLengths(distance, 15);
    code.literalCodes = CanonicalCodes(code.literalLengths);
    code.distanceCodes = CanonicalCodes(code.distanceLengths);
    return code;
}

void PutHeavyTables(BitWriter &w, const HeavyCode &c)
{
    if (c.literalConstant) {
        w.put(0, 9), w.put(c.onlyLiteral, 9);
    } else {
        size_t n = c.literalLengths.size();
        while (n && !c.literalLengths[n - 1]) --n;
        w.put(unsigned(n), 9);
        for (size_t i = 0; i < n; ++i) w.put(c.literalLengths[i], 5);
    }
    if (c.distanceConstant) {
        w.put(0, 5), w.put(c.onlyDistance, 5);
    } else {
        size_t n = c.distanceLengths.size();
        while (n && !c.distanceLengths[n - 1]) --n;
        w.put(unsigned(n), 5);
        for (size_t i = 0; i < n; ++i) w.put(c.distanceLengths[i], 4);
    }
}

void PutHeavy(BitWriter &w, const HeavyCode &c, const std::vector<Token> &tokens, unsigned np, uint16_t &last)
{
    auto literal = [&](unsigned s) {
        if (!c.literalConstant) w.put(c.literalCodes[s], c.literalLengths[s]);
    };
    auto distance = [&](unsigned s) {
        if (!c.distanceConstant) w.put(c.distanceCodes[s], c.distanceLengths[s]);
    };
    for (const Token &t : tokens) {
        if (!t.length) {
            literal(t.value);
            continue;
        }
        literal(t.length + 253);
        if (t.value == last) {
            distance(np - 1);
            continue;
        }
        const unsigned j = DistanceClass(t.value);
        distance(j);
        if (j > 1) w.put(t.value & ((1u << (j - 1)) - 1), j - 1);
        last = uint16_t(t.value);
    }
}

struct Packed {
    std::vector<uint8_t> data;
    uint16_t middle = 0;
    uint8_t flags = 0;
};

class TrackPacker {
public:
    explicit TrackPacker(const DmsOptions &o) : o_(o) {}

    Packed pack(std::span<const uint8_t> raw, bool carry)
    {
        Packed p;
        p.flags = carry ? trackKeepsState : 0;
        const std::vector<uint8_t> rle = PackRle(raw);
        p.middle = uint16_t(rle.size());
        BitWriter w;
        switch (o_.mode) {
        case Mode::NoComp:
            p.data.assign(raw.begin(), raw.end());
            p.middle = uint16_t(raw.size());
            break;
        case Mode::Simple: p.data = rle; break;
        case Mode::Quick:
            for (const Token &t : FindMatches(m_, m_.quickAt, {0xFF, 2, 5}, rle)) {
                w.put(t.length ? 0 : 1, 1);
                if (t.length) w.put(t.length - 2, 2), w.put(t.value, 8);
                else w.put(t.value, 8);
            }
            m_.quickAt = uint16_t((m_.quickAt + 5) & 0xFF);
            p.data = w.finish();
            break;
        case Mode::Medium:
            for (const Token &t : FindMatches(m_, m_.mediumAt, {0x3FFF, 3, 66}, rle)) {
                w.put(t.length ? 0 : 1, 1);
                if (!t.length) {
                    w.put(t.value, 8);
                    continue;
                }
                PutPrefixed(w, t.length - 3);
                PutPrefixed(w, t.value >> 8);
                w.put(t.value & 0xFF, 8);
            }
            m_.mediumAt = uint16_t((m_.mediumAt + 66) & 0x3FFF);
            p.data = w.finish();
            break;
        case Mode::Deep:
            if (m_.deepFresh) m_.deep.reset(), m_.deepFresh = false;
            for (const Token &t : FindMatches(m_, m_.deepAt, {0x3FFF, 3, 60}, rle)) {
                uint32_t code;
                unsigned count;
                m_.deep.encode(t.length ? t.length + 253 : t.value, code, count);
                w.put(code, count);
                if (t.length) PutPrefixed(w, t.value >> 8), w.put(t.value & 0xFF, 8);
            }
            m_.deepAt = uint16_t((m_.deepAt + 60) & 0x3FFF);
            p.data = w.finish();
            break;
        case Mode::Heavy1:
        case Mode::Heavy2: {
            const bool big = o_.mode == Mode::Heavy2;
            const unsigned np = big ? 15 : 14;
            std::span<const uint8_t> in = raw;
            if (o_.heavyRle) p.flags |= trackHeavyRle, in = rle;
            else p.middle = uint16_t(raw.size());
            std::vector<Token> tokens = FindMatches(m_, m_.heavyAt, {big ? 0x1FFFu : 0xFFFu, 3, 256}, in);
            if (!o_.heavyTablesOnce || !heavy_) {
                heavy_ = MakeHeavyCode(tokens, np, o_.heavyTablesOnce);
                p.flags |= trackHeavyTables;
                PutHeavyTables(w, *heavy_);
            }
            PutHeavy(w, *heavy_, tokens, np, m_.lastDistance);
            p.data = w.finish();
            break;
        }
        }
        if (!carry) m_.reset();
        return p;
    }

private:
    const DmsOptions &o_;
    Mirror m_;
    std::optional<HeavyCode> heavy_;
};

void AppendTrack(std::vector<uint8_t> &out, uint16_t number, const Packed &p, std::span<const uint8_t> raw, Mode mode,
                 uint16_t *key)
{
    std::vector<uint8_t> data = p.data;
    if (key)
        for (uint8_t &b : data) {
            b = uint8_t(b ^ *key);
            *key = uint16_t((*key >> 1) + b);
        }
    std::vector<uint8_t> h(trackHeaderSize, 0);
    h[0] = 'T', h[1] = 'R';
    Put16(h, 2, number);
    Put16(h, 6, uint16_t(data.size()));
    Put16(h, 8, p.middle);
    Put16(h, 10, uint16_t(raw.size()));
    h[12] = p.flags;
    h[13] = uint8_t(mode);
    Put16(h, 14, Sum16(raw));
    Put16(h, 16, Crc16(data));
    Put16(h, 18, Crc16(std::span(h).first(18)));
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

std::vector<uint8_t> PackRle(std::span<const uint8_t> bytes)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes.size();) {
        const uint8_t b = bytes[i];
        size_t run = 1;
        while (i + run < bytes.size() && bytes[i + run] == b && run < 0xFFFF) ++run;
        if (run >= 4) {
            out.push_back(0x90);
            if (run < 0xFF) {
                out.push_back(uint8_t(run)), out.push_back(b);
            } else {
                out.insert(out.end(), {0xFF, b, uint8_t(run >> 8), uint8_t(run)});
            }
            i += run;
            continue;
        }
        out.push_back(b);
        if (b == 0x90) out.push_back(0);
        ++i;
    }
    return out;
}

std::vector<uint8_t> WriteDms(std::span<const uint8_t> floppy, const DmsOptions &o)
{
    size_t trackBytes = 0;
    if (floppy.size() == trackBytesDD * cylinders) trackBytes = trackBytesDD;
    else if (floppy.size() == trackBytesHD * cylinders) trackBytes = trackBytesHD;
    else throw std::invalid_argument("a DMS archive holds an 880 KB or 1760 KB floppy");

    std::vector<uint8_t> out(headerSize, 0);
    auto text = [&](uint16_t number, const std::string &t) {
        if (t.empty()) return;
        std::span<const uint8_t> raw(reinterpret_cast<const uint8_t *>(t.data()), t.size());
        AppendTrack(out, number, Packed{{raw.begin(), raw.end()}, uint16_t(raw.size()), 0}, raw, Mode::NoComp, nullptr);
    };
    text(bannerTrack, o.banner);
    text(fileIdTrack, o.fileId);

    TrackPacker packer(o);
    uint16_t key = o.key;
    for (unsigned c = o.lowTrack; c <= o.highTrack; ++c) {
        std::span<const uint8_t> raw = floppy.subspan(c * trackBytes, trackBytes);
        const bool carry = std::find(o.resetAfter.begin(), o.resetAfter.end(), c) == o.resetAfter.end();
        AppendTrack(out, uint16_t(c), packer.pack(raw, carry), raw, o.mode, o.encrypt ? &key : nullptr);
    }

    uint16_t general = 0;
    if (o.encrypt) general |= flagEncrypted;
    if (trackBytes == trackBytesHD) general |= flagHighDensity;
    if (!o.banner.empty()) general |= 8;
    if (!o.fileId.empty()) general |= 256;
    std::copy_n("DMS!", 4, out.begin());
    Put16(out, 10, general);
    Put16(out, 16, uint16_t(o.lowTrack));
    Put16(out, 18, uint16_t(o.highTrack));
    Put32(out, 20, uint32_t(out.size() - headerSize));
    Put32(out, 24, uint32_t((o.highTrack - o.lowTrack + 1) * trackBytes));
    Put16(out, 46, o.creatorVersion);
    Put16(out, 50, 1);  // an AmigaDOS floppy
    Put16(out, 52, uint16_t(o.mode));
    Put16(out, 54, Crc16(std::span(out).subspan(4, headerSize - 6)));
    return out;
}

}  // namespace qfauthor
