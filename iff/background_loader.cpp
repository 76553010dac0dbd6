// LoadBackgroundImage: one ILBM picture into a new BackgroundImage at the tail of the movie's list.
#include "iff/iff_chunks.h"
#include "iff/iff_loaders.h"
#include "movie/record_list.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/notes.h"

namespace {

enum {
    BitmapHeaderSize = 20
};

void ReadBitmapHeader(HostFile file, BackgroundImage *image)
{
    image->width = (uint16_t)ReadU16(file);
    image->height = (uint16_t)ReadU16(file);
    image->x = (uint16_t)ReadU16(file);
    image->y = (uint16_t)ReadU16(file);
    image->planeCount = (uint8_t)ReadU8(file);
    image->masking = (uint8_t)ReadU8(file);
    image->compression = (uint8_t)ReadU8(file);
    image->pad = (uint8_t)ReadU8(file);
    image->transparentColor = (uint16_t)ReadU16(file);
    image->xAspect = (uint8_t)ReadU8(file);
    image->yAspect = (uint8_t)ReadU8(file);
    image->pageWidth = (uint16_t)ReadU16(file);
    image->pageHeight = (uint16_t)ReadU16(file);
}

void ReadRgbEntry(HostFile file, uint8_t *rgb)
{
    rgb[0] = (uint8_t)ReadU8(file);
    rgb[1] = (uint8_t)ReadU8(file);
    rgb[2] = (uint8_t)ReadU8(file);
}

int32_t ReadPictureBody(const MovieHandle *movie, HostFile file, BackgroundImage *image, uint32_t length)
{
    image->bodyLength = length;
    // Even an empty picture gets its (zero-byte) block: pixels set means a BODY was decoded.
    size_t size = (size_t)image->width * (size_t)image->height;
    image->pixels = (uint8_t *)AllocZeroed(size);
    if (!image->pixels) return QF_FAIL(movie, Memory, "the pixels of a picture", size);
    if (DecodePlanarBody(file, length, image->pixels, image->width, image->height, image->planeCount, image->masking,
                         image->compression))
        return 1;
    FreeBlock(image->pixels);  // nothing was decoded into it
    image->pixels = 0;
    return QF_FAIL(movie, Memory, "the BODY buffers of a picture", length);  // the decoder fails only so
}

}  // namespace

int32_t LoadBackgroundImage(MovieHandle *movie, HostFile file)
{
    BackgroundImage *image = (BackgroundImage *)AllocZeroed(sizeof(BackgroundImage));
    if (!image) return QF_FAIL(movie, Memory, "a picture record", sizeof(BackgroundImage));
    AppendBackground(movie, image);  // its index is fixed even if the load fails

    ChunkWalk walk;
    BeginChunkWalk(&walk, file, ReadGroupHeader(file) & 0x7FFFFFFF);
    while (NextChunk(&walk)) {
        uint32_t length = walk.chunk.length;
        switch (walk.chunk.id) {
        case ChunkBMHD:
            ReadBitmapHeader(file, image);
            EndChunk(&walk, BitmapHeaderSize);
            break;
        case ChunkCMAP:
            image->colorCount = ReadColorEntries(file, image->colors, length / 3, 3, ReadRgbEntry);
            EndChunk(&walk, length / 3 * 3);
            break;
        case ChunkBODY:
            // The position stays right after the data: an embedded picture's caller reads on there.
            return ReadPictureBody(movie, file, image, length);
        default:
            SkipChunkData(file, length);
            EndChunk(&walk, length);
            break;
        }
    }
    return 1;
}
