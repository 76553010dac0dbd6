#include "authoring/iff_writer.h"

#include <algorithm>
#include <stdexcept>

namespace qfauthor {

void PutU8(Bytes &out, uint32_t value) { out.push_back(static_cast<uint8_t>(value)); }

void PutU16(Bytes &out, uint32_t value)
{
    PutU8(out, value >> 8);
    PutU8(out, value);
}

void PutU32(Bytes &out, uint32_t value)
{
    PutU16(out, value >> 16);
    PutU16(out, value);
}

void PutId(Bytes &out, const std::string &id)
{
    if (id.size() != 4) throw std::invalid_argument("IFF id must have four characters: " + id);
    out.insert(out.end(), id.begin(), id.end());
}

void PutChunk(Bytes &out, const IffChunk &chunk, bool padOdd)
{
    if (chunk.data.size() > UINT32_MAX) throw std::length_error("IFF chunk too large");
    PutId(out, chunk.id);
    PutU32(out, static_cast<uint32_t>(chunk.data.size()));
    out.insert(out.end(), chunk.data.begin(), chunk.data.end());
    if (padOdd && chunk.data.size() % 2) PutU8(out, 0);
}

Bytes WriteGroup(const std::string &groupId, const std::string &type, std::span<const IffChunk> chunks, bool padOdd)
{
    Bytes body;
    PutId(body, type);
    for (const auto &chunk : chunks) PutChunk(body, chunk, padOdd);
    Bytes out;
    PutId(out, groupId);
    PutU32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void PackByteRun1(std::span<const uint8_t> row, Bytes &out)
{
    size_t literalStart = 0;
    size_t i = 0;
    auto flushLiteral = [&](size_t end) {
        while (literalStart < end) {
            size_t count = std::min<size_t>(128, end - literalStart);
            PutU8(out, static_cast<uint32_t>(count - 1));
            out.insert(out.end(), row.begin() + literalStart, row.begin() + literalStart + count);
            literalStart += count;
        }
    };
    while (i < row.size()) {
        size_t run = 1;
        while (i + run < row.size() && run < 128 && row[i + run] == row[i]) ++run;
        if (run >= 3) {
            flushLiteral(i);
            PutU8(out, static_cast<uint32_t>(257 - run));  // -(run - 1) as a signed byte
            PutU8(out, row[i]);
            i += run;
            literalStart = i;
        } else {
            i += run;
        }
    }
    flushLiteral(row.size());
}

Bytes PackByteRun1(std::span<const uint8_t> row)
{
    Bytes out;
    PackByteRun1(row, out);
    return out;
}

static void CheckImage(const IndexedImage &image, int planeCount)
{
    if (image.width < 0 || image.height < 0 || image.width > 0xFFFF || image.height > 0xFFFF)
        throw std::invalid_argument("picture size out of range");
    if (image.pixels.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height))
        throw std::invalid_argument("pixel count does not match the picture size");
    if (planeCount < 1 || planeCount > 8) throw std::invalid_argument("plane count must be 1 to 8");
    if (planeCount < 8) {
        for (uint8_t pixel : image.pixels)
            if (pixel >> planeCount) throw std::invalid_argument("colour index does not fit the plane count");
    }
}

Bytes EncodePlanarBody(const IndexedImage &image, int planeCount, Compression compression, const Bytes *mask)
{
    CheckImage(image, planeCount);
    if (mask && mask->size() != image.pixels.size()) throw std::invalid_argument("mask size mismatch");
    const size_t rowBytes = PlaneRowBytes(image.width);
    Bytes body;
    Bytes planeRow(rowBytes);
    auto emit = [&] {
        if (compression == Compression::ByteRun1) PackByteRun1(planeRow, body);
        else body.insert(body.end(), planeRow.begin(), planeRow.end());
    };
    for (int y = 0; y < image.height; ++y) {
        const uint8_t *row = image.pixels.data() + static_cast<size_t>(y) * image.width;
        for (int plane = 0; plane < planeCount + (mask ? 1 : 0); ++plane) {
            std::fill(planeRow.begin(), planeRow.end(), 0);
            const uint8_t *maskRow = mask ? mask->data() + static_cast<size_t>(y) * image.width : nullptr;
            for (int x = 0; x < image.width; ++x) {
                bool set = plane < planeCount ? (row[x] >> plane) & 1 : maskRow[x] != 0;
                if (set) planeRow[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
            emit();
        }
    }
    return body;
}

Bytes WriteIlbm(const IndexedImage &image, std::span<const Color> palette, const IlbmOptions &options)
{
    if (palette.size() > 256) throw std::invalid_argument("an ILBM palette holds at most 256 colours");
    Bytes mask;
    if (options.withMask) {
        mask = options.mask;
        if (mask.empty()) {
            mask.resize(image.pixels.size());
            std::transform(image.pixels.begin(), image.pixels.end(), mask.begin(),
                           [&](uint8_t pixel) { return pixel != options.transparentColor; });
        }
    }

    std::vector<IffChunk> chunks;
    IffChunk header{"BMHD", {}};
    Bytes &h = header.data;
    PutU16(h, static_cast<uint32_t>(image.width));
    PutU16(h, static_cast<uint32_t>(image.height));
    PutU16(h, static_cast<uint16_t>(options.x));
    PutU16(h, static_cast<uint16_t>(options.y));
    PutU8(h, static_cast<uint32_t>(options.planeCount));
    PutU8(h, options.withMask ? 1 : 0);
    PutU8(h, static_cast<uint32_t>(options.compression));
    PutU8(h, 0);
    PutU16(h, options.transparentColor);
    PutU8(h, options.xAspect);
    PutU8(h, options.yAspect);
    PutU16(h, options.pageWidth ? options.pageWidth : static_cast<uint32_t>(image.width));
    PutU16(h, options.pageHeight ? options.pageHeight : static_cast<uint32_t>(image.height));
    chunks.push_back(std::move(header));

    if (!palette.empty()) {
        IffChunk cmap{"CMAP", {}};
        for (const Color &c : palette) {
            PutU8(cmap.data, c.red);
            PutU8(cmap.data, c.green);
            PutU8(cmap.data, c.blue);
        }
        chunks.push_back(std::move(cmap));
    }
    chunks.insert(chunks.end(), options.chunksBeforeBody.begin(), options.chunksBeforeBody.end());
    chunks.push_back(
        {"BODY", EncodePlanarBody(image, options.planeCount, options.compression, options.withMask ? &mask : nullptr)});
    chunks.insert(chunks.end(), options.chunksAfterBody.begin(), options.chunksAfterBody.end());
    return WriteGroup("FORM", "ILBM", chunks, options.padOddChunks);
}

Bytes WriteFaceSet(std::span<const FaceEntry> faces, std::span<const Color> palette)
{
    if (palette.size() > 256) throw std::invalid_argument("a face set palette holds at most 256 colours");
    Bytes out;
    PutId(out, "FORM");
    PutU32(out, static_cast<uint32_t>(faces.size()));
    PutId(out, "FACS");

    IffChunk cmap{"CMAP", {}};
    for (const Color &c : palette) {
        PutU8(cmap.data, c.red >> 4);
        PutU8(cmap.data, (c.green & 0xF0) | (c.blue >> 4));
    }
    const IffChunk paletteChunks[] = {cmap};
    Bytes paletteGroup = WriteGroup("FORM", "PALT", paletteChunks, false);
    out.insert(out.end(), paletteGroup.begin(), paletteGroup.end());

    for (const FaceEntry &face : faces) {
        std::vector<IffChunk> chunks;
        IffChunk header{"FACE", {}};
        PutU16(header.data, static_cast<uint32_t>(face.image.width));
        PutU16(header.data, static_cast<uint32_t>(face.image.height));
        PutU16(header.data, face.faceWord2);
        PutU16(header.data, face.faceWord3);
        PutU16(header.data, static_cast<uint16_t>(face.offsetX));
        PutU16(header.data, static_cast<uint16_t>(face.offsetY));
        chunks.push_back(std::move(header));
        chunks.insert(chunks.end(), face.chunksBeforeBody.begin(), face.chunksBeforeBody.end());
        chunks.push_back({"BODY", EncodePlanarBody(face.image, 5, Compression::ByteRun1, nullptr)});
        Bytes group = WriteGroup("FORM", "FIMG", chunks, false);
        out.insert(out.end(), group.begin(), group.end());
    }
    return out;
}

Bytes Write8svx(std::span<const int8_t> samples, const SvxOptions &options)
{
    std::vector<IffChunk> chunks;
    IffChunk header{"VHDR", {}};
    Bytes &h = header.data;
    PutU32(h, options.oneShotSamples == UINT32_MAX ? static_cast<uint32_t>(samples.size()) : options.oneShotSamples);
    PutU32(h, options.repeatSamples);
    PutU32(h, options.samplesPerCycle);
    PutU16(h, options.samplesPerSecond);
    PutU8(h, options.octaveCount);
    PutU8(h, options.compression);
    PutU32(h, options.volume);
    chunks.push_back(std::move(header));
    chunks.insert(chunks.end(), options.chunksBeforeBody.begin(), options.chunksBeforeBody.end());
    IffChunk body{"BODY", Bytes(samples.size())};
    std::transform(samples.begin(), samples.end(), body.data.begin(), [](int8_t s) { return static_cast<uint8_t>(s); });
    chunks.push_back(std::move(body));
    return WriteGroup("FORM", "8SVX", chunks, true);
}

}  // namespace qfauthor
