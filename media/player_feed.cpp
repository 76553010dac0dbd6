#include "media/player_feed.hpp"

#include <stdexcept>
#include <utility>

#include "qfhost/host.hpp"

namespace qfmedia::detail {

void Feed::fill(bool soundLeads)
{
    while (!ended_) {
        if (soundLeads) {
            if (sound_.waiting() >= SoundOut::BytesPerSecond / 4) return;
        } else if (frames_.size() >= 4) {
            return;
        }
        qfhost::Taken taken = movie_.take();
        if (taken.result == qfhost::Took::End) {
            ended_ = true;
            return;
        }
        if (taken.result == qfhost::Took::OutOfMemory)
            throw std::runtime_error("the plug-in ran out of memory while playing");
        const qfhost::Packet &packet = taken.packet;
        if (packet.isVideo()) {
            auto pixels = movie_.decodeVideo(packet);
            frames_.push_back({packet.time(), std::vector<uint32_t>(pixels.begin(), pixels.end())});
        } else {
            sound_.queue(movie_.decodeAudio(packet));
        }
    }
}

std::optional<Frame> Feed::takePicture()
{
    while (true) {
        qfhost::Taken taken = movie_.take();
        if (taken.result == qfhost::Took::End) {
            ended_ = true;
            return std::nullopt;
        }
        if (taken.result == qfhost::Took::OutOfMemory)
            throw std::runtime_error("the plug-in ran out of memory while playing");
        if (!taken.packet.isVideo()) continue;
        auto pixels = movie_.decodeVideo(taken.packet);
        return Frame{taken.packet.time(), std::vector<uint32_t>(pixels.begin(), pixels.end())};
    }
}

void Feed::seek(uint32_t ms)
{
    movie_.seek(ms);
    frames_.clear();
    ended_ = false;
}

void Feed::dropLate(double now)
{
    while (frames_.size() > 1 && frames_[1].time <= now) frames_.pop_front();
}

Frame Feed::pop()
{
    Frame frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

}  // namespace qfmedia::detail
