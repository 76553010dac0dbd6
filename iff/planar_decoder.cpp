// DecodePlanarBody: interleaved bit-plane rows (plain or ByteRun1) to one colour index per byte.
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "iff/iff_loaders.h"
#include "iff/planar_transpose.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"

namespace {

// A colour index has 8 bits; deeper planes are unpacked (to stay in step) but not kept.
const int32_t KeptPlaneLimit = 8;

// Spare bytes after each unpacked plane row: short runs are written 16 bytes at a time.
const size_t RowSlack = 16;

struct BodyCursor {
    const uint8_t *next;
    const uint8_t *end;
};

// Copies and fills in 16-byte steps (short runs are the common case, and a call or a string
// instruction per run costs more than the run): up to 15 bytes past count are written, into
// bytes a later run rewrites or into the row's slack.
inline void CopyInSteps(uint8_t *to, const uint8_t *from, size_t count)
{
#if defined(__SSE2__)
    for (size_t i = 0; i < count; i += 16)
        _mm_storeu_si128((__m128i *)(to + i), _mm_loadu_si128((const __m128i *)(from + i)));
#else
    memcpy(to, from, count);
#endif
}

inline void FillInSteps(uint8_t *to, uint8_t value, size_t count)
{
#if defined(__SSE2__)
    __m128i pattern = _mm_set1_epi8((char)value);
    for (size_t i = 0; i < count; i += 16) _mm_storeu_si128((__m128i *)(to + i), pattern);
#else
    memset(to, value, count);
#endif
}

// Produces one ByteRun1 plane row of rowBytes bytes into row (rowBytes + RowSlack long). Returns
// 0 when the data runs out first; the bytes not produced are then 0.
int32_t UnpackPackedRow(BodyCursor *cursor, uint8_t *row, size_t rowBytes)
{
    const uint8_t *next = cursor->next, *end = cursor->end;
    size_t produced = 0;
    int32_t complete = 1;
    while (produced < rowBytes) {
        if (next >= end) {  // data ran out
            complete = 0;
            break;
        }
        int32_t control = (int8_t)*next++;
        size_t room = rowBytes - produced;
        if (control >= 0) {
            size_t count = (size_t)control + 1;
            size_t left = (size_t)(end - next);
            size_t kept = count < room ? count : room;  // cut at row end
            if (left >= kept + 15 && left >= count) {
                CopyInSteps(row + produced, next, kept);
            } else if (left < count) {
                memcpy(row + produced, next, left < room ? left : room);
                produced += left < room ? left : room;
                next = end;
                complete = 0;
                break;
            } else {
                memcpy(row + produced, next, kept);
            }
            next += count;
            produced += count;
        } else if (control != -128) {  // -128 is a no-op
            if (next >= end) {
                complete = 0;
                break;
            }
            size_t count = (size_t)(1 - control);
            FillInSteps(row + produced, *next++, count < room ? count : room);
            produced += count;
        }
    }
    cursor->next = next;
    if (!complete) memset(row + produced, 0, rowBytes - produced);
    return complete;
}

// Walks one ByteRun1 row without keeping it (a mask row, or a plane above the kept ones).
int32_t SkipPackedRow(BodyCursor *cursor, size_t rowBytes)
{
    size_t produced = 0;
    while (produced < rowBytes) {
        if (cursor->next >= cursor->end) return 0;
        int32_t control = (int8_t)*cursor->next++;
        if (control >= 0) {
            size_t count = (size_t)control + 1;
            size_t left = (size_t)(cursor->end - cursor->next);
            cursor->next += left < count ? left : count;
            if (left < count) return 0;
            produced += count;
        } else if (control != -128) {
            if (cursor->next >= cursor->end) return 0;
            cursor->next++;
            produced += (size_t)(1 - control);
        }
    }
    return 1;
}

// One picture row of ByteRun1 data: kept planes into rows, the rest walked over.
int32_t UnpackPackedPictureRow(BodyCursor *cursor, uint8_t *const *rows, int32_t keptPlanes, int32_t rowsInData,
                               size_t rowBytes)
{
    for (int32_t plane = 0; plane < rowsInData; ++plane) {
        int32_t complete =
            plane < keptPlanes ? UnpackPackedRow(cursor, rows[plane], rowBytes) : SkipPackedRow(cursor, rowBytes);
        if (!complete) {
            for (int32_t rest = plane + 1; rest < keptPlanes; ++rest) memset(rows[rest], 0, rowBytes);
            return 0;
        }
    }
    return 1;
}

// The last plain picture row, cut short by the end of the data: what is there, then zeros.
void CopyShortPlainRow(const BodyCursor *cursor, uint8_t *const *rows, int32_t keptPlanes, size_t rowBytes)
{
    size_t left = (size_t)(cursor->end - cursor->next);
    for (int32_t plane = 0; plane < keptPlanes; ++plane) {
        size_t start = (size_t)plane * rowBytes;
        size_t take = left <= start ? 0 : left - start < rowBytes ? left - start : rowBytes;
        memcpy(rows[plane], cursor->next + start, take);
        memset(rows[plane] + take, 0, rowBytes - take);
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
    // One picture row of the kept planes, for ByteRun1 rows and a plain row cut short.
    size_t rowStride = rowBytes + RowSlack;
    uint8_t *planes = (uint8_t *)AllocZeroed(keptPlanes ? (size_t)keptPlanes * rowStride : 0);
    if (!planes) {
        FreeBlock(body);
        return 0;
    }
    int32_t delivered = HostRead(file, body, length);
    // Past what the host delivered the block is all zeros, and so is every row decoded from it:
    // decoding stops there, so the work follows the data and not the declared size.
    const uint8_t *dataEnd = delivered >= 0 && (uint32_t)delivered < length ? body + delivered : body + length;

    PlaneRowMerge merge = ChoosePlaneRowMerge();
    uint8_t *rows[KeptPlaneLimit];
    const uint8_t *sources[KeptPlaneLimit];
    for (int32_t plane = 0; plane < keptPlanes; ++plane) rows[plane] = planes + (size_t)plane * rowStride;
    int32_t rowsInData = planeCount + (masking == 1 ? 1 : 0);
    size_t plainRowBytes = (size_t)rowsInData * rowBytes;

    BodyCursor cursor = {body, body + length};
    for (int32_t y = 0; decodable && y < height; ++y) {
        uint8_t *target = destination + (size_t)y * (size_t)width;
        int32_t complete = 1;
        if (compression != 0) {
            complete = UnpackPackedPictureRow(&cursor, rows, keptPlanes, rowsInData, rowBytes);
            merge(rows, keptPlanes, target, (size_t)width, rowStride);
        } else if ((size_t)(cursor.end - cursor.next) >= plainRowBytes) {
            for (int32_t plane = 0; plane < keptPlanes; ++plane)
                sources[plane] = cursor.next + (size_t)plane * rowBytes;
            merge(sources, keptPlanes, target, (size_t)width, (size_t)(cursor.end - sources[keptPlanes - 1]));
            cursor.next += plainRowBytes;
        } else {
            CopyShortPlainRow(&cursor, rows, keptPlanes, rowBytes);
            merge(rows, keptPlanes, target, (size_t)width, rowStride);
            complete = 0;
        }
        if (!complete || cursor.next >= dataEnd) break;  // the rows below stay zero
    }

    FreeBlock(planes);
    FreeBlock(body);
    return 1;
}
