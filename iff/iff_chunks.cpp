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

void BeginChunkWalk(ChunkWalk *walk, HostFile file, int64_t groupLength)
{
    walk->file = file;
    walk->groupLength = groupLength;
    walk->consumed = 4;
    walk->idByte = -1;
    walk->chunk.id = 0;
    walk->chunk.length = 0;
}

int32_t NextChunk(ChunkWalk *walk)
{
    if (walk->consumed >= walk->groupLength) return 0;
    if (walk->idByte < 0) return ReadChunkHeader(walk->file, &walk->chunk);
    // The id's first byte came in place of a pad: the rest of the header follows it.
    uint32_t id = (uint32_t)walk->idByte << 24;
    id |= ReadU8(walk->file) << 16;
    id |= ReadU16(walk->file);
    walk->chunk.id = id;
    walk->chunk.length = ReadU32(walk->file);
    walk->idByte = -1;
    return 1;
}

void EndChunk(ChunkWalk *walk, uint32_t taken)
{
    uint32_t length = walk->chunk.length;
    walk->consumed += 8 + (int64_t)length;
    if (taken > length) return;  // read past its end: the next header is taken from there
    if (taken < length) SkipChunkData(walk->file, length - taken);
    // A pad is looked for only inside the group: past it the caller's own data may follow.
    if (!(length & 1) || walk->consumed >= walk->groupLength) return;
    if (HostAtEndOfFile(walk->file)) return;  // the walk stops at the next header
    int32_t next = (int32_t)ReadU8(walk->file);
    if (next == 0) walk->consumed += 1;
    else walk->idByte = next;
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
