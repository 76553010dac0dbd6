#include "iff/iff_chunks.h"

#include "plugin/host_calls.h"

uint32_t ReadGroupHeader(HostFile file)
{
    ReadU32(file);  // group id: any
    uint32_t length = ReadU32(file);
    ReadU32(file);  // group type: any
    return length;
}

int32_t ReadChunkHeader(HostFile file, ChunkHeader *header)
{
    if (HostAtEndOfFile(file)) return 0;
    header->id = ReadU32(file);
    header->length = ReadU32(file);
    return 1;
}

void SkipChunkData(HostFile file, uint32_t length) { HostSeek(file, (int64_t)length, HOST_SEEK_RELATIVE); }

uint32_t ReadColorEntries(HostFile file, uint8_t *colors, uint32_t count, uint32_t entrySize,
                          void (*readEntry)(HostFile file, uint8_t *rgb))
{
    uint32_t limit = MaxColorCount;
    uint32_t kept = count < limit ? count : limit;
    for (uint32_t i = 0; i < kept; ++i) readEntry(file, colors + i * 3);
    if (count > kept) SkipChunkData(file, (count - kept) * entrySize);  // no room: consumed, not kept
    return kept;
}
