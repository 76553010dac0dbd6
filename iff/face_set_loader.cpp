// LoadFaceSet: a face set file (palette group, then one image group per face) into a new FaceSet.
#include "iff/iff_chunks.h"
#include "iff/iff_loaders.h"
#include "movie/record_list.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/notes.h"

namespace {

enum {
    FaceHeaderSize = 12
};

// 12-bit colour, 2 bytes: ----rrrr ggggbbbb; each 4-bit component r becomes r * 16.
void ReadPackedEntry(HostFile file, uint8_t *rgb)
{
    uint32_t red = ReadU8(file);
    uint32_t greenBlue = ReadU8(file);
    rgb[0] = (uint8_t)((red & 0x0F) << 4);
    rgb[1] = (uint8_t)(greenBlue & 0xF0);
    rgb[2] = (uint8_t)((greenBlue & 0x0F) << 4);
}

void ReadPaletteGroup(HostFile file, FaceSet *set, int32_t groupLength)
{
    ChunkWalk walk;
    BeginChunkWalk(&walk, file, groupLength);
    while (NextChunk(&walk)) {
        uint32_t length = walk.chunk.length;
        if (walk.chunk.id == ChunkCMAP) {
            set->colorCount = (int32_t)ReadColorEntries(file, set->colors, length / 2, 2, ReadPackedEntry);
            EndChunk(&walk, length / 2 * 2);
        } else {
            SkipChunkData(file, length);
            EndChunk(&walk, length);
        }
    }
}

void ReadFaceHeader(HostFile file, FaceImage *image)
{
    image->width = ReadU16(file);
    image->height = ReadU16(file);
    image->faceWord2 = ReadU16(file);
    image->faceWord3 = ReadU16(file);
    image->offsetX = (int16_t)ReadU16(file);
    image->offsetY = (int16_t)ReadU16(file);
}

int32_t ReadFaceBody(const MovieHandle *movie, HostFile file, FaceImage *image, uint32_t length)
{
    image->bodyLength = length;
    size_t size = (size_t)image->width * (size_t)image->height;
    image->pixels = (uint8_t *)AllocZeroed(size);
    if (!image->pixels) return QF_FAIL(movie, Memory, "the pixels of a face", size);
    if (DecodePlanarBody(file, length, image->pixels, (int32_t)image->width, (int32_t)image->height, 5, 0, 1)) return 1;
    FreeBlock(image->pixels);  // nothing was decoded into it
    image->pixels = 0;
    return QF_FAIL(movie, Memory, "the BODY buffers of a face", length);  // the decoder fails only so
}

// Reads one image group; the BODY ends it. Returns 0 only when memory runs out.
int32_t ReadImageGroup(const MovieHandle *movie, HostFile file, FaceImage *image)
{
    ChunkWalk walk;
    BeginChunkWalk(&walk, file, (int32_t)ReadGroupHeader(file));
    while (NextChunk(&walk)) {
        uint32_t length = walk.chunk.length;
        switch (walk.chunk.id) {
        case ChunkFACE:
            ReadFaceHeader(file, image);
            EndChunk(&walk, FaceHeaderSize);
            break;
        case ChunkBODY: return ReadFaceBody(movie, file, image, length);  // the next image group starts right after it
        default:
            SkipChunkData(file, length);
            EndChunk(&walk, length);
            break;
        }
    }
    return 1;
}

}  // namespace

int32_t LoadFaceSet(MovieHandle *movie, HostFile file)
{
    FaceSet *set = (FaceSet *)AllocZeroed(sizeof(FaceSet));
    if (!set) return QF_FAIL(movie, Memory, "a face set record", sizeof(FaceSet));
    AppendFaceSet(movie, set);

    ReadU32(file);  // not interpreted
    int32_t imageCount = (int32_t)ReadU32(file);
    ReadU32(file);  // not interpreted
    int32_t paletteLength = (int32_t)ReadGroupHeader(file);
    ReadPaletteGroup(file, set, paletteLength);

    FaceImage *last = 0;
    for (int32_t i = 0; i < imageCount; ++i) {
        // The count is trusted only as far as the data goes: keep the faces read so far.
        if (HostAtEndOfFile(file)) return 1;
        FaceImage *image = (FaceImage *)AllocZeroed(sizeof(FaceImage));
        if (!image) return QF_FAIL(movie, Memory, "a face record", sizeof(FaceImage));
        if (last) last->next = image;
        else set->images = image;
        last = image;
        set->imageCount++;  // counted before it is read, so later face numbers never shift
        if (!ReadImageGroup(movie, file, image)) return 0;
    }
    return 1;
}
