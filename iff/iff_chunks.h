// IFF framing shared by the picture, face set and sound readers: big-endian headers read a
// byte at a time through the host, unknown chunks skipped forward.
#ifndef QUILLFRAMER_IFF_CHUNKS_H
#define QUILLFRAMER_IFF_CHUNKS_H

#include <stdint.h>

#include "quillframer/host_api.h"

enum {
    ChunkBMHD = 0x424D4844,
    ChunkCMAP = 0x434D4150,
    ChunkBODY = 0x424F4459,
    ChunkFACE = 0x46414345,
    ChunkVHDR = 0x56484452
};

// colors has room for this many entries, in pictures and face sets alike.
enum {
    MaxColorCount = 256
};

struct ChunkHeader {
    uint32_t id;
    uint32_t length;
};

// Reads a 12-byte group header and returns its length field as stored.
uint32_t ReadGroupHeader(HostFile file);

// Reads the next chunk header. Returns 0, reading nothing, when the file is already at its end:
// a walk stops there instead of counting its way through phantom zero-length chunks.
int32_t ReadChunkHeader(HostFile file, ChunkHeader *header);

// The walk over one group's chunks that the picture and face set readers share. Writers pad an
// odd chunk with a zero byte; older files have no pad. Ids never start with a zero byte, so the
// byte after an odd chunk tells them apart without seeking back.
struct ChunkWalk {
    HostFile file;
    int64_t groupLength;  // bytes after the length field, type included
    int64_t consumed;     // starts at 4, for the type
    int32_t idByte;       // first byte of the next id, already read; -1 when none
    ChunkHeader chunk;    // the chunk being handled
};

void BeginChunkWalk(ChunkWalk *walk, HostFile file, int64_t groupLength);
// Reads the next chunk header into walk->chunk; 0 when the group or the file has ended.
int32_t NextChunk(ChunkWalk *walk);
// Ends a chunk other than BODY whose reader took taken of its data bytes: skips what it left,
// then the pad. A reader that took more than the chunk held stays where it is, with no pad check.
void EndChunk(ChunkWalk *walk, uint32_t taken);

// Skips length bytes forward. The length is unsigned, so no chunk can move the walk backwards.
void SkipChunkData(HostFile file, uint32_t length);

// Reads count entries of entrySize bytes through readEntry, keeping the first MaxColorCount;
// the rest are skipped in one seek. Returns the number kept.
uint32_t ReadColorEntries(HostFile file, uint8_t *colors, uint32_t count, uint32_t entrySize,
                          void (*readEntry)(HostFile file, uint8_t *rgb));

#endif
