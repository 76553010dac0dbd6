#include "media/player_clock.hpp"

namespace qfmedia::detail {

PlaybackClock::PlaybackClock(SoundOut &sound) : sound_(sound)
{
    sound_.pause(false);
    wallStart_ = SDL_GetTicks64();
}

double PlaybackClock::now()
{
    if (paused_ && !sound_.open()) return pausedAt_;
    if (sound_.open() && !stalled_) {
        const uint64_t played = sound_.played();
        double t = base_ + static_cast<double>(played) / SoundOut::BytesPerSecond;
        // A sound device that takes nothing (some dummy or broken outputs) must not freeze
        // the picture: after a second without progress the wall clock takes over.
        Uint64 now = SDL_GetTicks64();
        if (played != lastPlayed_ || paused_) {
            lastPlayed_ = played;
            lastProgress_ = now;
        } else if (now - lastProgress_ > 1000 && sound_.anyQueued()) {
            stalled_ = true;
            restartWall(t);
        }
        return t;
    }
    if (paused_) return pausedAt_;
    return wallBase_ + (SDL_GetTicks64() - wallStart_) / 1000.0;
}

void PlaybackClock::setPaused(bool paused)
{
    if (paused == paused_) return;
    if (!sound_.open()) {
        if (paused) pausedAt_ = now();
        else restartWall(pausedAt_);
    }
    paused_ = paused;
    sound_.pause(paused);
}

void PlaybackClock::restartWall(double at)
{
    wallStart_ = SDL_GetTicks64();
    wallBase_ = at;
}

}  // namespace qfmedia::detail
