// DMS (Disk Masher) archives: a packed Amiga floppy, one cylinder at a time. Decoded whole into
// memory, every checksum verified, so what comes out is the floppy or a one-line refusal.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qfhost {

class DmsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace dms {

constexpr size_t headerSize = 56;
constexpr size_t trackHeaderSize = 20;
constexpr unsigned cylinders = 80;
constexpr size_t trackBytesDD = 11 * 512 * 2;  // both heads of a cylinder
constexpr size_t trackBytesHD = 22 * 512 * 2;
constexpr uint16_t fileIdTrack = 80;  // FILEID.DIZ text
constexpr uint16_t bannerTrack = 0xFFFF;
constexpr uint16_t flagEncrypted = 2;  // in the header's general flags
constexpr uint16_t flagHighDensity = 16;
constexpr uint8_t trackKeepsState = 1;   // track flags: the next track carries on this one's state
constexpr uint8_t trackHeavyTables = 2;  // HEAVY: the track carries new Huffman tables
constexpr uint8_t trackHeavyRle = 4;     // HEAVY: the LZ output is run-length packed again

enum class Mode : uint8_t {
    NoComp,
    Simple,
    Quick,
    Medium,
    Deep,
    Heavy1,
    Heavy2
};
constexpr unsigned modeCount = 7;
std::string_view ModeName(Mode mode);  // "NOCOMP", "SIMPLE", ...

// CRC-16 (polynomial 0xA001, reflected, starting at 0) over headers and packed data.
uint16_t Crc16(std::span<const uint8_t> bytes);
// The 16-bit sum of the unpacked bytes each track records.
uint16_t Sum16(std::span<const uint8_t> bytes);

// Undoes SIMPLE's run-length packing of in into exactly out.size() bytes; false when in is cut
// short or a run overshoots.
bool UnpackRle(std::span<const uint8_t> in, std::span<uint8_t> out);

// Reads MSB-first bits; past the end it reads zeros, as the packer's own padding does.
class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> in) : in_(in) {}
    uint32_t peek(unsigned count);  // count <= 24
    void drop(unsigned count);
    uint32_t take(unsigned count)
    {
        uint32_t v = peek(count);
        drop(count);
        return v;
    }

private:
    void fill();
    std::span<const uint8_t> in_;
    size_t at_ = 0;
    uint32_t buffer_ = 0;
    unsigned bits_ = 0;
};

// The prefix code of MEDIUM's lengths and distances and DEEP's distances: the top 6 bits of an
// 8-bit value by a code of 3 to 8 bits (LZHUF's table), the rest verbatim.
struct PrefixTable {
    std::array<uint8_t, 256> code{}, length{};
    constexpr PrefixTable()
    {
        // 1 group of 32 with 3-bit codes, 3 of 16 with 4 bits, 8 of 8, 12 of 4, 24 of 2, 16 of 1.
        constexpr std::array<std::pair<unsigned, unsigned>, 6> groups{
            {{1, 32}, {3, 16}, {8, 8}, {12, 4}, {24, 2}, {16, 1}}};
        unsigned at = 0, value = 0, bits = 3;
        for (auto [count, size] : groups) {
            for (unsigned g = 0; g < count; ++g, ++value)
                for (unsigned i = 0; i < size; ++i, ++at) code[at] = uint8_t(value), length[at] = uint8_t(bits);
            ++bits;
        }
    }
};
inline constexpr PrefixTable prefix;

// DEEP's adaptive Huffman tree over 314 symbols (literals, then lengths 3..60); each symbol coded
// moves it up. Rebuilt with halved counts when the root's count reaches 0x8000.
class AdaptiveTree {
public:
    static constexpr unsigned symbols = 256 - 2 + 60;
    static constexpr unsigned nodes = symbols * 2 - 1;
    static constexpr unsigned root = nodes - 1;

    void reset();
    unsigned decode(BitReader &bits);
    // The bits of symbol's code, first bit first, in the low `count` bits of code.
    void encode(unsigned symbol, uint32_t &code, unsigned &count);

private:
    void rebuild();
    void update(unsigned symbol);

    std::array<uint16_t, nodes + 1> freq_{};
    std::array<uint16_t, nodes + symbols> parent_{};
    std::array<uint16_t, nodes> son_{};
};

}  // namespace dms

struct DmsDisk {
    std::vector<uint8_t> image;  // 80 cylinders; cylinders the archive lacks read as zeros
    bool highDensity = false;
    unsigned lowTrack = 0, highTrack = 0;  // the cylinders the archive holds
    unsigned tracks = 0;                   // how many
    uint8_t modesUsed = 0;                 // bit n: Mode(n) packs some cylinder
    dms::Mode headerMode = dms::Mode::NoComp;
    unsigned creatorVersion = 0;  // 0 when the header does not say
    bool encrypted = false;
    uint16_t key = 0;    // the key that decodes an encrypted archive
    std::string banner;  // raw text, as the archive holds it
    std::string fileId;  // FILEID.DIZ
};

// True when bytes begin with the archive's signature.
bool LooksLikeDms(std::span<const uint8_t> head);

// Decodes a whole archive. Throws DmsError with a message that does not name the file.
DmsDisk DecodeDms(std::span<const uint8_t> file);

// The archive in a regular file decoded, or nullopt when the file is no archive. Throws DmsError
// whose message begins with the file's quoted name.
std::optional<DmsDisk> LoadDms(const std::filesystem::path &path);

constexpr uint64_t maxArchiveBytes = uint64_t(8) << 20;  // 80 cylinders and texts at their largest

}  // namespace qfhost
