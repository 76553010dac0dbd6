// The player's sound device: SDL's queue of the movie's 16-bit stereo, and how much of it has
// played. Without a device (none, or it would not open) the player plays silently.
#pragma once

#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <span>

#include "quillframer/host_api.h"

namespace qfmedia::detail {

class SoundOut {
public:
    static constexpr int BytesPerSecond = QF_AUDIO_SAMPLE_RATE * 4;

    // Says on stderr when there is no sound.
    SoundOut();
    ~SoundOut();
    SoundOut(const SoundOut &) = delete;
    SoundOut &operator=(const SoundOut &) = delete;

    bool open() const { return device_ != 0; }
    void pause(bool paused);
    void queue(std::span<const int16_t> samples);
    // Drops what waits to be played; played() counts from here.
    void clear();
    // Bytes queued and not yet played.
    uint32_t waiting() const { return device_ ? SDL_GetQueuedAudioSize(device_) : 0; }
    // Bytes played since the last clear.
    uint64_t played() const { return queued_ - std::min<uint64_t>(queued_, waiting()); }
    bool anyQueued() const { return queued_ > 0; }

private:
    bool system_ = false;
    SDL_AudioDeviceID device_ = 0;
    uint64_t queued_ = 0;  // bytes since the last clear
};

}  // namespace qfmedia::detail
