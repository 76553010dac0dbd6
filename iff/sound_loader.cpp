// LoadSoundSample: one 8SVX sound into a new SoundSample at the tail of the movie's list.
#include "iff/iff_chunks.h"
#include "iff/iff_loaders.h"
#include "movie/record_list.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/notes.h"

namespace {

void ReadVoiceHeader(HostFile file, SoundSample *sample)
{
    sample->oneShotSamples = ReadU32(file);
    sample->repeatSamples = ReadU32(file);
    sample->samplesPerCycle = ReadU32(file);
    sample->samplesPerSecond = (uint16_t)ReadU16(file);
    sample->octaveCount = (uint8_t)ReadU8(file);
    sample->compression = (uint8_t)ReadU8(file);
    sample->headerVolume = ReadU32(file);
}

// This reader takes an odd length up to the next even number: the pad byte belongs to the chunk.
uint32_t PaddedLength(uint32_t length) { return (length & 0x7FFFFFFF) + (length & 1); }

}  // namespace

int32_t LoadSoundSample(MovieHandle *movie, HostFile file)
{
    SoundSample *sample = (SoundSample *)AllocZeroed(sizeof(SoundSample));
    if (!sample) return QF_FAIL(movie, Memory, "a sound record", sizeof(SoundSample));
    AppendSound(movie, sample);

    // Sounds keep their own framing: every odd length takes in its pad byte, so a file written
    // without pads reads as it always has (the picture readers look for the pad instead).
    uint32_t groupLength = ReadGroupHeader(file);
    groupLength = (groupLength + (groupLength & 1)) & 0x7FFFFFFF;  // 32-bit: 0xFFFFFFFF becomes 0
    uint64_t consumed = 4;
    ChunkHeader chunk;
    while (consumed < groupLength && ReadChunkHeader(file, &chunk)) {
        uint32_t length = PaddedLength(chunk.length);
        switch (chunk.id) {
        case ChunkVHDR: ReadVoiceHeader(file, sample); break;
        case ChunkBODY:
            sample->length = length;
            // Zero-filled: bytes missing from the file play as silence.
            sample->data = (int8_t *)AllocZeroed(length);
            if (!sample->data) return QF_FAIL(movie, Memory, "the samples of a sound", length);
            HostRead(file, sample->data, length);
            return 1;
        default: SkipChunkData(file, length); break;
        }
        consumed += 8 + (uint64_t)length;
    }
    return 1;
}
