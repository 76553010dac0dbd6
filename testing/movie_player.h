// Plays a movie through the entry points the way a host does, with bounded work, so the
// fuzzer and the regression replay exercise exactly the same calls.
#pragma once

#include <cstdint>
#include <span>

namespace qftest {

struct PlayReport {
    bool opened = false;
    int packets = 0;
    int videoFrames = 0;
    int audioFrames = 0;
    int seeks = 0;
};

// Work limits per play: a single input must not take seconds.
constexpr int MaxPackets = 256;
constexpr uint64_t MaxFramePixels = 4u << 20;  // larger pictures are opened but not decoded
constexpr uint64_t PixelBudget = 1u << 19;     // pixel words decoded per play, all frames together

// Opens `name` with the installed host and plays its packets: every video packet into a buffer of
// the descriptor's size, every audio packet into QF_AUDIO_BYTES_PER_PACKET bytes, with seeks chosen by the last bytes
// of `control` (the stream ends at "z", so bytes after it steer the seeks). Then CloseVideo.
// Aborts with a message when a result breaks the host contract.
PlayReport PlayMovie(const char *name, std::span<const uint8_t> control);

// PlayMovie, then for one input in four again with one allocation failing (and, for some
// inputs, every later one), the allocation chosen by a hash of `control`. Returns the report of the first play.
PlayReport PlayMovieWithFailures(const char *name, std::span<const uint8_t> control);

}  // namespace qftest
