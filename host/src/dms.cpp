// DMS archives decoded into a floppy image. Each cylinder is packed by one of seven modes; the LZ
// modes share one 16 KB window whose state a track may hand on to the next (its flag), so cylinders
// are decoded in the order the archive holds them. Every read is bounded by the buffers at hand and
// every length is checked before use: the input is whatever a user found on the net.
#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>

#include "qfhost/dms.hpp"
#include "qfutil/printable.hpp"

namespace qfhost {
namespace dms {

std::string_view ModeName(Mode mode)
{
    static constexpr std::array<std::string_view, modeCount> names{"NOCOMP", "SIMPLE", "QUICK", "MEDIUM",
                                                                   "DEEP",   "HEAVY1", "HEAVY2"};
    return names[size_t(mode)];
}

uint16_t Crc16(std::span<const uint8_t> bytes)
{
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

uint16_t Sum16(std::span<const uint8_t> bytes)
{
    uint16_t sum = 0;
    for (uint8_t b : bytes) sum = uint16_t(sum + b);
    return sum;
}

bool UnpackRle(std::span<const uint8_t> in, std::span<uint8_t> out)
{
    size_t from = 0, to = 0;
    auto next = [&](uint8_t &b) {
        if (from == in.size()) return false;
        b = in[from++];
        return true;
    };
    while (to < out.size()) {
        uint8_t a, count;
        if (!next(a)) return false;
        if (a != 0x90) {
            out[to++] = a;
            continue;
        }
        if (!next(count)) return false;
        if (count == 0) {  // an escaped 0x90
            out[to++] = a;
            continue;
        }
        uint8_t value;
        if (!next(value)) return false;
        size_t n = count;
        if (count == 0xFF) {
            uint8_t hi, lo;
            if (!next(hi) || !next(lo)) return false;
            n = size_t(hi) << 8 | lo;
        }
        if (n > out.size() - to) return false;
        std::fill_n(out.begin() + ptrdiff_t(to), n, value);
        to += n;
    }
    return true;
}

void BitReader::fill()
{
    while (bits_ <= 24) {
        buffer_ = buffer_ << 8 | (at_ < in_.size() ? in_[at_] : 0);
        ++at_;
        bits_ += 8;
    }
}

uint32_t BitReader::peek(unsigned count)
{
    fill();
    if (count == 0) return 0;
    return (buffer_ >> (bits_ - count)) & ((uint32_t(1) << count) - 1);
}

void BitReader::drop(unsigned count)
{
    fill();
    bits_ -= count;
    buffer_ &= uint32_t((uint64_t(1) << bits_) - 1);
}

void AdaptiveTree::reset()
{
    for (unsigned i = 0; i < symbols; ++i) {
        freq_[i] = 1;
        son_[i] = uint16_t(i + nodes);
        parent_[i + nodes] = uint16_t(i);
    }
    for (unsigned i = 0, j = symbols; j <= root; i += 2, ++j) {
        freq_[j] = uint16_t(freq_[i] + freq_[i + 1]);
        son_[j] = uint16_t(i);
        parent_[i] = parent_[i + 1] = uint16_t(j);
    }
    freq_[nodes] = 0xFFFF;  // stops the search for a node to swap with
    parent_[root] = 0;
}

unsigned AdaptiveTree::decode(BitReader &bits)
{
    unsigned c = son_[root];
    while (c < nodes) c = son_[c + bits.take(1)];
    c -= nodes;
    update(c);
    return c;
}

void AdaptiveTree::encode(unsigned symbol, uint32_t &code, unsigned &count)
{
    code = 0, count = 0;
    // Siblings sit side by side, the first at son_[parent]: a node's bit is its place among them.
    for (unsigned k = parent_[symbol + nodes]; k != root; k = parent_[k], ++count)
        code |= uint32_t(k - son_[parent_[k]]) << count;
    update(symbol);
}

void AdaptiveTree::rebuild()
{
    unsigned j = 0;
    for (unsigned i = 0; i < nodes; ++i)
        if (son_[i] >= nodes) {
            freq_[j] = uint16_t((freq_[i] + 1) / 2);
            son_[j] = son_[i];
            ++j;
        }
    for (unsigned i = 0, n = symbols; n < nodes; i += 2, ++n) {
        uint16_t f = uint16_t(freq_[i] + freq_[i + 1]);
        unsigned k = n;
        while (f < freq_[k - 1]) --k;
        std::copy_backward(freq_.begin() + k, freq_.begin() + n, freq_.begin() + n + 1);
        std::copy_backward(son_.begin() + k, son_.begin() + n, son_.begin() + n + 1);
        freq_[k] = f;
        son_[k] = uint16_t(i);
    }
    for (unsigned i = 0; i < nodes; ++i) {
        unsigned k = son_[i];
        parent_[k] = uint16_t(i);
        if (k < nodes) parent_[k + 1] = uint16_t(i);
    }
}

void AdaptiveTree::update(unsigned symbol)
{
    if (freq_[root] == 0x8000) rebuild();
    unsigned c = parent_[symbol + nodes];
    do {
        uint16_t k = ++freq_[c];
        if (k > freq_[c + 1]) {  // out of order: swap c with the last node of a smaller count
            unsigned l = c + 1;
            while (k > freq_[l + 1]) ++l;
            freq_[c] = freq_[l];
            freq_[l] = k;
            unsigned i = son_[c];
            parent_[i] = uint16_t(l);
            if (i < nodes) parent_[i + 1] = uint16_t(l);
            unsigned j = son_[l];
            son_[l] = uint16_t(i);
            parent_[j] = uint16_t(c);
            if (j < nodes) parent_[j + 1] = uint16_t(c);
            son_[c] = uint16_t(j);
            c = l;
        }
    } while ((c = parent_[c]) != 0);
}

}  // namespace dms

namespace {
using namespace dms;

uint16_t Get16(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }

// Reads one value of the prefix code: the high 6 bits in high, the low 8 in return's low byte.
unsigned ReadPrefixed(BitReader &bits, unsigned &high)
{
    unsigned c = bits.take(8);
    high = prefix.code[c];
    unsigned n = prefix.length[c];
    return ((c << n) | bits.take(n)) & 0xFF;
}

// HEAVY's static Huffman codes: canonical, from code lengths, shorter codes first and symbols in
// order within a length. A table that is not a complete code is refused, as the packer never
// writes one.
class CanonicalCode {
public:
    static constexpr unsigned maxLength = 31;

    bool build(std::span<const uint8_t> lengths)
    {
        constant_ = -1;
        count_.fill(0);
        for (uint8_t l : lengths)
            if (l > maxLength) return ready_ = false;
            else ++count_[l];
        count_[0] = 0;
        uint64_t room = uint64_t(1) << maxLength, used = 0;
        for (unsigned l = 1; l <= maxLength; ++l) used += uint64_t(count_[l]) << (maxLength - l);
        if (used != room) return ready_ = false;
        std::array<uint16_t, maxLength + 2> offset{};
        for (unsigned l = 1; l <= maxLength; ++l) offset[l + 1] = uint16_t(offset[l] + count_[l]);
        for (size_t s = 0; s < lengths.size(); ++s)
            if (lengths[s]) symbols_[offset[lengths[s]]++] = uint16_t(s);
        return ready_ = true;
    }
    void constant(unsigned symbol)
    {
        constant_ = int(symbol);
        ready_ = true;
    }
    bool ready() const { return ready_; }

    // The next symbol, or -1 when the bits name none.
    int decode(BitReader &bits) const
    {
        if (constant_ >= 0) return constant_;
        uint32_t code = 0, first = 0, index = 0;
        for (unsigned l = 1; l <= maxLength; ++l) {
            code |= bits.take(1);
            uint32_t n = count_[l];
            if (code - first < n) return symbols_[index + code - first];
            index += n;
            first = (first + n) << 1;
            code <<= 1;
        }
        return -1;
    }

private:
    std::array<uint16_t, maxLength + 1> count_{};
    std::array<uint16_t, 512> symbols_{};
    int constant_ = -1;
    bool ready_ = false;
};

// What carries from track to track.
struct State {
    static constexpr size_t windowSize = 0x4000;
    static constexpr size_t clearedOnReset = 0x3FC8;  // the packer clears no more than this

    std::array<uint8_t, windowSize> window{};
    uint16_t quickAt = 251, mediumAt = 0x3FBE, deepAt = 0x3FC4, heavyAt = 0;
    bool deepFresh = true;
    AdaptiveTree deep;
    uint16_t lastDistance = 0;
    // HEAVY's tables survive a reset: a track without its own uses the last ones read.
    CanonicalCode heavyLiterals, heavyDistances;

    void reset()
    {
        quickAt = 251, mediumAt = 0x3FBE, deepAt = 0x3FC4, heavyAt = 0;
        deepFresh = true;
        lastDistance = 0;
        std::fill_n(window.begin(), clearedOnReset, uint8_t(0));
    }
};

// Writes LZ output through the shared window; a match may run past the end of the output (the
// window still takes it, as the packer's did).
class LzOutput {
public:
    LzOutput(State &state, std::span<uint8_t> out, uint16_t &at, unsigned mask)
        : window_(state.window), out_(out), at_(at), mask_(mask)
    {}
    bool done() const { return pos_ >= out_.size(); }
    void literal(uint8_t b)
    {
        window_[at_++ & mask_] = b;
        if (pos_ < out_.size()) out_[pos_] = b;
        ++pos_;
    }
    void match(unsigned distance, unsigned length)
    {
        uint16_t from = uint16_t(at_ - distance - 1);
        while (length--) literal(window_[from++ & mask_]);
    }

private:
    std::array<uint8_t, State::windowSize> &window_;
    std::span<uint8_t> out_;
    uint16_t &at_;
    unsigned mask_;
    size_t pos_ = 0;
};

void UnpackQuick(State &s, std::span<const uint8_t> in, std::span<uint8_t> out)
{
    BitReader bits(in);
    LzOutput lz(s, out, s.quickAt, 0xFF);
    while (!lz.done()) {
        if (bits.take(1)) {
            lz.literal(uint8_t(bits.take(8)));
        } else {
            unsigned length = bits.take(2) + 2;
            lz.match(bits.take(8), length);
        }
    }
    s.quickAt = uint16_t((s.quickAt + 5) & 0xFF);
}

void UnpackMedium(State &s, std::span<const uint8_t> in, std::span<uint8_t> out)
{
    BitReader bits(in);
    LzOutput lz(s, out, s.mediumAt, 0x3FFF);
    while (!lz.done()) {
        if (bits.take(1)) {
            lz.literal(uint8_t(bits.take(8)));
        } else {
            unsigned high;
            unsigned c = ReadPrefixed(bits, high);
            unsigned length = high + 3;
            // c is the first 8 bits of the distance's own prefixed value, already read.
            unsigned n = prefix.length[c];
            unsigned distance = unsigned(prefix.code[c]) << 8 | (((c << n) | bits.take(n)) & 0xFF);
            lz.match(distance, length);
        }
    }
    s.mediumAt = uint16_t((s.mediumAt + 66) & 0x3FFF);
}

void UnpackDeep(State &s, std::span<const uint8_t> in, std::span<uint8_t> out)
{
    BitReader bits(in);
    if (s.deepFresh) s.deep.reset(), s.deepFresh = false;
    LzOutput lz(s, out, s.deepAt, 0x3FFF);
    while (!lz.done()) {
        unsigned c = s.deep.decode(bits);
        if (c < 256) {
            lz.literal(uint8_t(c));
        } else {
            unsigned high;
            unsigned low = ReadPrefixed(bits, high);
            lz.match(high << 8 | low, c - 253);
        }
    }
    s.deepAt = uint16_t((s.deepAt + 60) & 0x3FFF);
}

bool ReadHeavyTables(State &s, BitReader &bits, unsigned distanceSymbols)
{
    constexpr unsigned literalSymbols = 510;
    std::array<uint8_t, literalSymbols> lengths{};
    if (unsigned n = bits.take(9)) {
        if (n > literalSymbols) return false;
        for (unsigned i = 0; i < n; ++i) lengths[i] = uint8_t(bits.take(5));
        if (!s.heavyLiterals.build(lengths)) return false;
    } else {
        unsigned only = bits.take(9);
        if (only >= literalSymbols) return false;
        s.heavyLiterals.constant(only);
    }
    std::array<uint8_t, 16> distance{};
    if (unsigned n = bits.take(5)) {
        if (n > distanceSymbols) return false;
        for (unsigned i = 0; i < n; ++i) distance[i] = uint8_t(bits.take(4));
        return s.heavyDistances.build(std::span(distance).first(distanceSymbols));
    }
    unsigned only = bits.take(5);
    if (only >= distanceSymbols) return false;
    s.heavyDistances.constant(only);
    return true;
}

bool UnpackHeavy(State &s, std::span<const uint8_t> in, std::span<uint8_t> out, bool big, uint8_t flags)
{
    const unsigned np = big ? 15 : 14;  // distance classes; the last repeats the previous distance
    BitReader bits(in);
    if ((flags & trackHeavyTables) && !ReadHeavyTables(s, bits, np)) return false;
    if (!s.heavyLiterals.ready() || !s.heavyDistances.ready()) return false;
    LzOutput lz(s, out, s.heavyAt, big ? 0x1FFF : 0xFFF);
    while (!lz.done()) {
        int c = s.heavyLiterals.decode(bits);
        if (c < 0) return false;
        if (c < 256) {
            lz.literal(uint8_t(c));
            continue;
        }
        int j = s.heavyDistances.decode(bits);
        if (j < 0) return false;
        if (unsigned(j) != np - 1) {
            if (j > 0) j = int(bits.take(unsigned(j - 1)) | 1u << (j - 1));
            s.lastDistance = uint16_t(j);
        }
        lz.match(s.lastDistance, unsigned(c) - 253);
    }
    return true;
}

struct Track {
    uint16_t number = 0;
    size_t offset = 0;  // of its header in the file
    std::span<const uint8_t> packed;
    uint16_t middleLength = 0, length = 0;
    uint8_t flags = 0, mode = 0;
    uint16_t sum = 0;
};

std::string TrackName(uint16_t number)
{
    if (number == bannerTrack) return "the banner track";
    if (number == fileIdTrack) return "the FILEID.DIZ track";
    return "track " + std::to_string(number);
}

// "track 17's header checksum is wrong"
std::string Damaged(const Track &t, const std::string &what) { return TrackName(t.number) + "'s " + what; }

enum class Unpacked {
    Ok,
    Broken,
    UnknownMode,
    WrongSum
};

// Unpacks one track into out (its length), then resets the state unless the track hands it on.
Unpacked UnpackTrack(State &s, const Track &t, std::span<const uint8_t> packed, std::vector<uint8_t> &out)
{
    out.assign(t.length, 0);
    std::vector<uint8_t> middle(t.middleLength);
    bool ok = true;
    switch (Mode(t.mode)) {
    case Mode::NoComp:
        if (packed.size() < t.length) return Unpacked::Broken;
        std::copy_n(packed.begin(), t.length, out.begin());
        break;
    case Mode::Simple: ok = UnpackRle(packed, out); break;
    case Mode::Quick:
        UnpackQuick(s, packed, middle);
        ok = UnpackRle(middle, out);
        break;
    case Mode::Medium:
        UnpackMedium(s, packed, middle);
        ok = UnpackRle(middle, out);
        break;
    case Mode::Deep:
        UnpackDeep(s, packed, middle);
        ok = UnpackRle(middle, out);
        break;
    case Mode::Heavy1:
    case Mode::Heavy2:
        ok = UnpackHeavy(s, packed, middle, t.mode == uint8_t(Mode::Heavy2), t.flags);
        if (!ok) break;
        if (t.flags & trackHeavyRle) ok = UnpackRle(middle, out);
        else if (middle.size() < out.size()) ok = false;
        else std::copy_n(middle.begin(), out.size(), out.begin());
        break;
    default: return Unpacked::UnknownMode;
    }
    if (!ok) return Unpacked::Broken;
    if (!(t.flags & trackKeepsState)) s.reset();
    return Sum16(out) == t.sum ? Unpacked::Ok : Unpacked::WrongSum;
}

// The packer's cipher: each byte XORed with the key's low byte, the key then halved plus the
// ciphertext byte. The key runs on from track to track.
std::vector<uint8_t> Decrypt(std::span<const uint8_t> in, uint16_t &key)
{
    std::vector<uint8_t> out(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        out[i] = uint8_t(in[i] ^ key);
        key = uint16_t((key >> 1) + in[i]);
    }
    return out;
}

constexpr size_t maxTrackBytes = 32000;    // what the packer's own buffers hold
constexpr size_t maxTrackRecords = 256;    // 80 cylinders and a few texts, with room to spare
constexpr size_t smallestCylinder = 2048;  // smaller "tracks" below 80 are advertising boot blocks

// Decodes the cylinders in archive order; an empty string when all decode, else why not.
std::string DecodeCylinders(const std::vector<const Track *> &cylinders, size_t trackBytes, std::vector<uint8_t> &image,
                            const uint16_t *key)
{
    State state;
    uint16_t running = key ? *key : 0;
    std::vector<uint8_t> out;
    for (const Track *t : cylinders) {
        std::vector<uint8_t> plain;
        std::span<const uint8_t> packed = t->packed;
        if (key) packed = plain = Decrypt(t->packed, running);
        switch (UnpackTrack(state, *t, packed, out)) {
        case Unpacked::Ok: break;
        case Unpacked::UnknownMode:
            return TrackName(t->number) + " is packed in an unknown mode (" + std::to_string(t->mode) + ")";
        case Unpacked::Broken: return TrackName(t->number) + " does not unpack (damaged archive)";
        case Unpacked::WrongSum: return Damaged(*t, "data checksum is wrong (damaged archive)");
        }
        std::copy(out.begin(), out.end(), image.begin() + ptrdiff_t(t->number * trackBytes));
    }
    return {};
}

std::string Text(const Track &t)
{
    State fresh;  // texts are packed on their own, outside the cylinders' running state
    std::vector<uint8_t> out;
    if (UnpackTrack(fresh, t, t.packed, out) != Unpacked::Ok) return {};
    while (!out.empty() && out.back() == 0) out.pop_back();
    return std::string(out.begin(), out.end());
}

}  // namespace

bool LooksLikeDms(std::span<const uint8_t> head)
{
    return head.size() >= 4 && std::memcmp(head.data(), "DMS!", 4) == 0;
}

DmsDisk DecodeDms(std::span<const uint8_t> file)
{
    if (!LooksLikeDms(file)) throw DmsError("is not a DMS archive");
    if (file.size() < headerSize) throw DmsError("is cut off in its header (truncated archive)");
    if (Crc16(file.subspan(4, headerSize - 6)) != Get16(file, headerSize - 2))
        throw DmsError("its header checksum is wrong (damaged archive)");
    DmsDisk disk;
    const uint16_t general = Get16(file, 10);
    disk.lowTrack = Get16(file, 16);
    disk.highTrack = Get16(file, 18);
    disk.creatorVersion = Get16(file, 46);
    const uint16_t diskType = Get16(file, 50);
    const uint16_t headerMode = Get16(file, 52);
    disk.headerMode = headerMode < modeCount ? Mode(headerMode) : Mode::NoComp;
    disk.encrypted = general & flagEncrypted;
    if (diskType == 7) throw DmsError("holds files (an FMS archive), not a floppy");
    if (disk.lowTrack > disk.highTrack || disk.highTrack >= cylinders)
        throw DmsError("names cylinders " + std::to_string(disk.lowTrack) + " to " + std::to_string(disk.highTrack) +
                       ", not within a floppy's 80 (damaged archive)");

    std::vector<Track> records;
    size_t at = headerSize;
    while (file.size() - at >= 2 && file[at] == 'T' && file[at + 1] == 'R') {
        if (file.size() - at < trackHeaderSize)
            throw DmsError("is cut off in a track header at byte " + std::to_string(at) + " (truncated archive)");
        std::span<const uint8_t> h = file.subspan(at, trackHeaderSize);
        Track t;
        t.number = Get16(h, 2);
        t.offset = at;
        if (Crc16(h.first(trackHeaderSize - 2)) != Get16(h, trackHeaderSize - 2))
            throw DmsError(Damaged(t, "header checksum is wrong (damaged archive)"));
        if (records.size() == maxTrackRecords)
            throw DmsError("holds more than " + std::to_string(maxTrackRecords) + " tracks (damaged archive)");
        const uint16_t packedLength = Get16(h, 6);
        t.middleLength = Get16(h, 8);
        t.length = Get16(h, 10);
        t.flags = h[12];
        t.mode = h[13];
        t.sum = Get16(h, 14);
        for (uint16_t n : {packedLength, t.middleLength, t.length})
            if (n > maxTrackBytes)
                throw DmsError(TrackName(t.number) + " claims " + std::to_string(n) + " bytes, more than " +
                               std::to_string(maxTrackBytes) + " (damaged archive)");
        at += trackHeaderSize;
        if (file.size() - at < packedLength)
            throw DmsError("is cut off in " + TrackName(t.number) + " (truncated archive)");
        t.packed = file.subspan(at, packedLength);
        at += packedLength;
        if (Crc16(t.packed) != Get16(h, 16)) throw DmsError(Damaged(t, "data checksum is wrong (damaged archive)"));
        records.push_back(t);
    }
    // Anything after the last track is not a track: the packer's tools leave such tails, and skip them.

    std::vector<const Track *> order;  // the cylinders, in archive order
    std::array<bool, cylinders> seen{};
    size_t trackBytes = 0;
    for (const Track &t : records) {
        if (t.number >= cylinders || t.length <= smallestCylinder) continue;
        if (seen[t.number]) throw DmsError("holds " + TrackName(t.number) + " twice (damaged archive)");
        seen[t.number] = true;
        if (t.length != trackBytesDD && t.length != trackBytesHD)
            throw DmsError(TrackName(t.number) + " unpacks to " + std::to_string(t.length) +
                           " bytes, neither a DD nor an HD cylinder (damaged archive)");
        if (trackBytes == 0) trackBytes = t.length;
        if (t.length != trackBytes) throw DmsError("mixes DD and HD cylinders (damaged archive)");
        order.push_back(&t);
        disk.modesUsed |= uint8_t(t.mode < modeCount ? 1u << t.mode : 0);
    }
    if (order.empty()) throw DmsError("holds no cylinders of a floppy");
    for (unsigned c = disk.lowTrack; c <= disk.highTrack; ++c)
        if (!seen[c]) throw DmsError(TrackName(uint16_t(c)) + " is missing (truncated archive)");
    disk.lowTrack = unsigned(std::find(seen.begin(), seen.end(), true) - seen.begin());
    disk.highTrack = unsigned(cylinders - 1 - (std::find(seen.rbegin(), seen.rend(), true) - seen.rbegin()));
    disk.tracks = unsigned(order.size());
    disk.highDensity = trackBytes == trackBytesHD;
    disk.image.assign(trackBytes * cylinders, 0);

    if (!disk.encrypted) {
        if (std::string why = DecodeCylinders(order, trackBytes, disk.image, nullptr); !why.empty())
            throw DmsError(why);
    } else {
        // The key is the password's CRC, which the archive does not hold: try each against the first
        // cylinder's checksum, and keep one that decodes the whole disk (a 16-bit sum lets a wrong
        // key through now and then).
        const std::vector<const Track *> first{order.front()};
        std::vector<uint8_t> scratch(disk.image.size());
        bool found = false;
        for (uint32_t key = 0; key <= 0xFFFF && !found; ++key) {
            uint16_t k = uint16_t(key);
            if (!DecodeCylinders(first, trackBytes, scratch, &k).empty()) continue;
            if (DecodeCylinders(order, trackBytes, disk.image, &k).empty()) {
                disk.key = k;
                found = true;
            }
        }
        if (!found) throw DmsError("is encrypted, and no key decodes it (damaged archive)");
    }

    for (const Track &t : records) {
        if (t.number == bannerTrack && disk.banner.empty()) disk.banner = Text(t);
        if (t.number == fileIdTrack && disk.fileId.empty()) disk.fileId = Text(t);
    }
    return disk;
}

std::optional<DmsDisk> LoadDms(const std::filesystem::path &path)
{
    const std::string name = qfutil::Quoted(path.string());
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DmsError("cannot read " + name);
    std::vector<uint8_t> bytes(4);
    in.read(reinterpret_cast<char *>(bytes.data()), 4);
    if (in.gcount() < 4 || !LooksLikeDms(bytes)) return std::nullopt;
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) throw DmsError("cannot read " + name + ": " + ec.message());
    if (size > maxArchiveBytes)
        throw DmsError(name + " is larger than " + std::to_string(maxArchiveBytes) +
                       " bytes, more than a DMS archive of a floppy holds");
    bytes.resize(size_t(size));
    in.read(reinterpret_cast<char *>(bytes.data() + 4), std::streamsize(size - 4));
    bytes.resize(4 + size_t(in.gcount()));
    try {
        return DecodeDms(bytes);
    } catch (const DmsError &e) {
        throw DmsError(name + ": " + e.what());
    }
}

}  // namespace qfhost
