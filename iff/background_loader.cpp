// LoadBackgroundImage: one ILBM picture into a new BackgroundImage at the tail of the movie's list.
#include "iff/iff_chunks.h"
#include "iff/iff_loaders.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"

namespace {

void AppendBackground(MovieHandle *movie, BackgroundImage *image)
{
    BackgroundImage **link = &movie->backgrounds;
    while (*link) link = &(*link)->next;
    *link = image;
    movie->backgroundCount++;
}

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

int32_t ReadPictureBody(HostFile file, BackgroundImage *image, uint32_t length)
{
    image->bodyLength = length;
    // Even an empty picture gets its (zero-byte) block: pixels set means a BODY was decoded.
    image->pixels = (uint8_t *)AllocZeroed((size_t)image->width * (size_t)image->height);
    if (!image->pixels) return 0;
    if (DecodePlanarBody(file, length, image->pixels, image->width, image->height, image->planeCount,
                         image->masking, image->compression))
        return 1;
    FreeBlock(image->pixels);  // nothing was decoded into it
    image->pixels = 0;
    return 0;
}

}  // namespace

int32_t LoadBackgroundImage(MovieHandle *movie, HostFile file)
{
    BackgroundImage *image = (BackgroundImage *)AllocZeroed(sizeof(BackgroundImage));
    if (!image) return 0;
    AppendBackground(movie, image);  // its index is fixed even if the load fails

    uint32_t groupLength = ReadGroupHeader(file) & 0x7FFFFFFF;
    // 64-bit count: a huge chunk length ends the walk instead of wrapping it.
    uint64_t consumed = 4;
    ChunkHeader chunk;
    while (consumed < groupLength && ReadChunkHeader(file, &chunk)) {
        switch (chunk.id) {
        case ChunkBMHD:
            ReadBitmapHeader(file, image);
            break;
        case ChunkCMAP:
            image->colorCount = ReadColorEntries(file, image->colors, chunk.length / 3, 3, ReadRgbEntry);
            break;
        case ChunkBODY:
            return ReadPictureBody(file, image, chunk.length);
        default:
            SkipChunkData(file, chunk.length);
            break;
        }
        consumed += 8 + (uint64_t)chunk.length;
    }
    return 1;
}
