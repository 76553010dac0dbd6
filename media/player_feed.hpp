// The movie decoded ahead of the clock: pictures wait for their time, sound goes to the device.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "media/player_sound.hpp"

namespace qfhost {
class Movie;
}

namespace qfmedia::detail {

struct Frame {
    double time;
    std::vector<uint32_t> pixels;
};

class Feed {
public:
    Feed(qfhost::Movie &movie, SoundOut &sound) : movie_(movie), sound_(sound) {}

    // Decodes ahead: about a quarter of a second of sound queued while the sound leads, else a
    // few pictures waiting.
    void fill(bool soundLeads);
    // Takes packets up to the next picture, its sound left out: a still does not play. nullopt at
    // the end.
    std::optional<Frame> takePicture();
    // Empties the queue for a seek to ms.
    void seek(uint32_t ms);

    // Drops the pictures that a later one, due by now, replaces.
    void dropLate(double now);
    bool due(double now) const { return !frames_.empty() && frames_.front().time <= now; }
    bool empty() const { return frames_.empty(); }
    Frame pop();
    bool ended() const { return ended_; }

private:
    qfhost::Movie &movie_;
    SoundOut &sound_;
    std::deque<Frame> frames_;
    bool ended_ = false;
};

}  // namespace qfmedia::detail
