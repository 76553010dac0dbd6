// DecodePlanarBody: interleaved bit-plane rows (plain or ByteRun1) to one colour index per byte.
#include <string.h>

#include "iff/iff_loaders.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"

namespace {

// A colour index has 8 bits; deeper planes are unpacked (to stay in step) but not kept.
const int32_t KeptPlaneLimit = 8;

// Spread[b]: the eight bits of a plane byte as eight bytes of 0 or 1, leftmost pixel first in
// memory, so one 64-bit OR sets eight destination pixels.
struct SpreadTable {
    uint64_t entry[256];
};

constexpr SpreadTable MakeSpreadTable()
{
    SpreadTable table{};
    for (int value = 0; value < 256; ++value) {
        uint64_t word = 0;
        for (int pixel = 0; pixel < 8; ++pixel) {
            uint64_t bit = (uint64_t)((value >> (7 - pixel)) & 1);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            word |= bit << (8 * (7 - pixel));
#else
            word |= bit << (8 * pixel);
#endif
        }
        table.entry[value] = word;
    }
    return table;
}

constexpr SpreadTable Spread = MakeSpreadTable();

struct BodyCursor {
    const uint8_t *next;
    const uint8_t *end;
};

// Produces one plane row of rowBytes bytes into row (null: consume without keeping, as for a
// mask row). Returns 0 when the data runs out first; what was not produced stays as it was.
int32_t UnpackRow(BodyCursor *cursor, uint8_t *row, size_t rowBytes, int32_t compression)
{
    if (compression == 0) {
        size_t left = (size_t)(cursor->end - cursor->next);
        size_t take = left < rowBytes ? left : rowBytes;
        if (row) memcpy(row, cursor->next, take);
        cursor->next += take;
        return take == rowBytes;
    }
    size_t produced = 0;
    while (produced < rowBytes) {
        if (cursor->next >= cursor->end) return 0;  // data ran out
        int32_t control = (int8_t)*cursor->next++;
        size_t room = rowBytes - produced;
        if (control >= 0) {
            size_t count = (size_t)control + 1;
            size_t left = (size_t)(cursor->end - cursor->next);
            size_t take = left < count ? left : count;
            if (row) memcpy(row + produced, cursor->next, take < room ? take : room);  // cut at row end
            cursor->next += take;
            if (take < count) return 0;
            produced += count;
        } else if (control != -128) {  // -128 is a no-op
            if (cursor->next >= cursor->end) return 0;
            uint8_t value = *cursor->next++;
            size_t count = (size_t)(1 - control);
            if (row) memset(row + produced, value, count < room ? count : room);
            produced += count;
        }
    }
    return 1;
}

// ORs one picture row of kept planes (each rowBytes long, plane 0 first) into destination.
void MergeRow(const uint8_t *planes, int32_t keptPlanes, size_t rowBytes, uint8_t *destination, size_t width)
{
    size_t fullBytes = width / 8;
    size_t partialPixels = width % 8;
    for (size_t column = 0; column < fullBytes + (partialPixels ? 1 : 0); ++column) {
        uint64_t pixels = 0;
        for (int32_t plane = 0; plane < keptPlanes; ++plane)
            pixels |= Spread.entry[planes[(size_t)plane * rowBytes + column]] << plane;
        if (!pixels) continue;
        uint8_t *out = destination + column * 8;
        size_t count = column < fullBytes ? 8 : partialPixels;
        uint64_t current = 0;
        memcpy(&current, out, count);
        current |= pixels;
        memcpy(out, &current, count);  // a partial byte writes only the pixels the row has
    }
}

}  // namespace

int32_t DecodePlanarBody(HostFile file, uint32_t length, uint8_t *destination, int32_t width, int32_t height,
                         int32_t planeCount, int32_t masking, int32_t compression)
{
    // Negative sizes decode nothing; the BODY is still read so the file moves past it.
    int32_t decodable = width > 0 && height > 0 && planeCount > 0;
    size_t rowBytes = decodable ? ((size_t)width + 15) / 16 * 2 : 0;
    int32_t keptPlanes = !decodable ? 0 : planeCount < KeptPlaneLimit ? planeCount : KeptPlaneLimit;

    // Zero-filled, so bytes the host does not deliver read as 0.
    uint8_t *body = (uint8_t *)AllocZeroed(length);
    if (!body) return 0;
    // One picture row of the kept planes; each row is merged as soon as it is unpacked.
    uint8_t *planes = (uint8_t *)AllocZeroed((size_t)keptPlanes * rowBytes);
    if (!planes) {
        FreeBlock(body);
        return 0;
    }
    HostRead(file, body, length);

    BodyCursor cursor = {body, body + length};
    for (int32_t y = 0; decodable && y < height; ++y) {
        memset(planes, 0, (size_t)keptPlanes * rowBytes);
        int32_t complete = 1;
        for (int32_t plane = 0; complete && plane < planeCount; ++plane) {
            uint8_t *row = plane < keptPlanes ? planes + (size_t)plane * rowBytes : 0;
            complete = UnpackRow(&cursor, row, rowBytes, compression);
        }
        if (complete && masking == 1) complete = UnpackRow(&cursor, 0, rowBytes, compression);
        MergeRow(planes, keptPlanes, rowBytes, destination + (size_t)y * (size_t)width, (size_t)width);
        if (!complete) break;  // data ran out: the rows below stay zero
    }

    FreeBlock(planes);
    FreeBlock(body);
    return 1;
}
