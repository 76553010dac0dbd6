// LoadSoundSample: one 8SVX sound into a new SoundSample at the tail of the movie's list.
#include "iff/iff_chunks.h"
#include "iff/iff_loaders.h"
#include "movie/record_list.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/notes.h"

namespace {

enum { VoiceHeaderSize = 20 };

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

// A sound takes an odd BODY up to the next even number: the pad byte plays as one more sample.
uint32_t PaddedLength(uint32_t length) { return (length & 0x7FFFFFFF) + (length & 1); }

}  // namespace

int32_t LoadSoundSample(MovieHandle *movie, HostFile file)
{
    SoundSample *sample = (SoundSample *)AllocZeroed(sizeof(SoundSample));
    if (!sample) return QF_FAIL(movie, Memory, "a sound record", sizeof(SoundSample));
    AppendSound(movie, sample);

    uint32_t groupLength = ReadGroupHeader(file);
    ChunkWalk walk;
    BeginChunkWalk(&walk, file, (groupLength + (groupLength & 1)) & 0x7FFFFFFF);  // 32-bit: 0xFFFFFFFF becomes 0
    while (NextChunk(&walk)) {
        switch (walk.chunk.id) {
        case ChunkVHDR:
            ReadVoiceHeader(file, sample);
            EndChunk(&walk, VoiceHeaderSize);
            break;
        case ChunkBODY: {
            uint32_t length = PaddedLength(walk.chunk.length);
            sample->length = length;
            // Zero-filled: bytes missing from the file play as silence.
            sample->data = (int8_t *)AllocZeroed(length);
            if (!sample->data) return QF_FAIL(movie, Memory, "the samples of a sound", length);
            HostRead(file, sample->data, length);
            return 1;
        }
        default:
            SkipChunkData(file, walk.chunk.length);
            EndChunk(&walk, walk.chunk.length);
            break;
        }
    }
    return 1;
}
