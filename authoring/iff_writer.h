// Writers for the IFF files the plug-in reads: ILBM pictures, face set files and 8SVX sounds.
// Every writer returns the whole file as bytes; numbers are big-endian as on the Amiga.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qfauthor {

using Bytes = std::vector<uint8_t>;

struct Color {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    bool operator==(const Color &) const = default;
};

// A chunky picture: one colour index per byte, row after row.
struct IndexedImage {
    int width = 0;
    int height = 0;
    Bytes pixels;  // width * height
};

struct IffChunk {
    std::string id;  // four characters
    Bytes data;
};

// Appends big-endian numbers and four-character codes.
void PutU8(Bytes &out, uint32_t value);
void PutU16(Bytes &out, uint32_t value);
void PutU32(Bytes &out, uint32_t value);
void PutId(Bytes &out, const std::string &id);

// Appends one chunk: id, length, data, and a pad byte after odd data when padOdd is set.
void PutChunk(Bytes &out, const IffChunk &chunk, bool padOdd);

// A whole group: groupId ("FORM"), length, type, then the chunks. The length counts the type
// and every chunk as written (pads included).
Bytes WriteGroup(const std::string &groupId, const std::string &type, std::span<const IffChunk> chunks, bool padOdd);

// ByteRun1 as Amiga tools write it: a run of 3 or more equal bytes becomes a run (up to 128),
// everything else literals of up to 128 bytes. One call packs one plane row.
void PackByteRun1(std::span<const uint8_t> row, Bytes &out);
Bytes PackByteRun1(std::span<const uint8_t> row);

// Bytes per plane row: whole 16-bit words.
inline size_t PlaneRowBytes(int width) { return static_cast<size_t>((width + 15) / 16 * 2); }

enum class Compression : uint8_t {
    None = 0,
    ByteRun1 = 1
};

struct IlbmOptions {
    int planeCount = 5;  // 1 to 8; every pixel must be below 2^planeCount
    Compression compression = Compression::ByteRun1;
    // Writes a mask plane after each row's planes (masking 1). Bits are set where mask is
    // nonzero; an empty mask means "pixel differs from transparentColor".
    bool withMask = false;
    Bytes mask;
    uint16_t transparentColor = 0;
    int16_t x = 0;
    int16_t y = 0;
    uint8_t xAspect = 10;
    uint8_t yAspect = 11;
    uint16_t pageWidth = 0;  // 0: the picture's width
    uint16_t pageHeight = 0;
    std::vector<IffChunk> chunksBeforeBody;  // after CMAP
    std::vector<IffChunk> chunksAfterBody;
    // Standard IFF pads odd chunks. The plug-in's picture reader takes a zero byte after an odd
    // chunk as its pad but never reads one after BODY: for a picture embedded in a movie stream,
    // keep this false unless the BODY is even.
    bool padOddChunks = true;
};

// The BODY alone: interleaved plane rows (plus mask rows), plain or packed row by row.
Bytes EncodePlanarBody(const IndexedImage &image, int planeCount, Compression compression, const Bytes *mask);

// BMHD, CMAP (left out when palette is empty), the extra chunks and BODY in a FORM ILBM.
Bytes WriteIlbm(const IndexedImage &image, std::span<const Color> palette, const IlbmOptions &options = {});

struct FaceEntry {
    IndexedImage image;  // indices 0 to 31; 0 shows through
    uint16_t faceWord2 = 0;
    uint16_t faceWord3 = 0;
    int16_t offsetX = 0;
    int16_t offsetY = 0;
    std::vector<IffChunk> chunksBeforeBody;  // after FACE; BODY always ends the image group
};

// Header with the image count, a palette group with a 12-bit CMAP (the low 4 bits of each
// component are dropped), then one image group per face with FACE and a 5-plane ByteRun1 BODY.
// Nothing is padded: each BODY is followed directly by the next image group.
Bytes WriteFaceSet(std::span<const FaceEntry> faces, std::span<const Color> palette);

struct SvxOptions {
    uint32_t oneShotSamples = UINT32_MAX;  // UINT32_MAX: the sample count
    uint32_t repeatSamples = 0;
    uint32_t samplesPerCycle = 0;
    uint16_t samplesPerSecond = 8363;
    uint8_t octaveCount = 1;
    uint8_t compression = 0;
    uint32_t volume = 0x10000;  // 16.16, 1.0 = full
    std::vector<IffChunk> chunksBeforeBody;
};

// VHDR, the extra chunks and BODY in a FORM 8SVX; odd chunks are padded.
Bytes Write8svx(std::span<const int8_t> samples, const SvxOptions &options = {});

}  // namespace qfauthor
