// Where playback stands, in movie seconds. The sound card's clock drives the picture, so sound
// and picture stay together however fast the machine is; without sound, or with a device that
// takes nothing, the wall clock does.
#pragma once

#include <SDL.h>

#include "media/player_sound.hpp"

namespace qfmedia::detail {

class PlaybackClock {
public:
    // Starts the sound, and the clock with it.
    explicit PlaybackClock(SoundOut &sound);

    double now();
    bool paused() const { return paused_; }
    void setPaused(bool paused);
    // The sound leads: the device plays and the clock follows it.
    bool soundLeads() const { return sound_.open() && !stalled_; }
    // The queue starts again at `at` (after a seek).
    void setBase(double at) { base_ = at; }
    // Stands still at `at` while paused, and goes on from there.
    void hold(double at) { base_ = pausedAt_ = at; }
    void restartWall(double at);

private:
    SoundOut &sound_;
    bool paused_ = false, stalled_ = false;
    double base_ = 0, wallBase_ = 0, pausedAt_ = 0;
    uint64_t lastPlayed_ = 0;
    Uint64 wallStart_ = 0, lastProgress_ = 0;
};

}  // namespace qfmedia::detail
