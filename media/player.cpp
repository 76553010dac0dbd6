// The SDL2 player: the movie decoded ahead, shown and heard as the clock says, and the keys that
// move it about.
#include "media/player.hpp"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

#include "media/player_clock.hpp"
#include "media/player_feed.hpp"
#include "media/player_keys.hpp"
#include "media/player_sound.hpp"
#include "media/player_window.hpp"
#include "qfhost/host.hpp"
#include "qfhost/survey.hpp"
#include "qfhost/time.hpp"
#include "quillframer/movie_format.h"

namespace qfmedia {

namespace {

using detail::Frame;
using detail::KeyAction;

constexpr double FrameSeconds = static_cast<double>(QF_PACKET_MS) / 1000.0;

class Player {
public:
    Player(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title, Playlist &playlist,
           std::span<const qfhost::SceneEntry> scenes)
        : movie_(movie), options_(options), playlist_(playlist), scenes_(scenes),
          keys_(options.script, playlist.scriptAt, title),
          window_(title, movie.width(), movie.height(), options.aspect, options.scale, playlist.fullscreen),
          clock_(sound_), feed_(movie, sound_), overlay_(options.overlay), loop_(options.loop)
    {}

    PlayEnd run()
    {
        const PlayEnd end = play();
        playlist_.scriptAt = keys_.next();
        playlist_.shown += shown_;
        playlist_.fullscreen = window_.fullscreen();
        return end;
    }

private:
    PlayEnd play()
    {
        while (true) {
            if (shown_ > 0) keys_.pressNext();
            SDL_Event e;
            std::optional<PlayEnd> end;
            // A key after one that ends this movie is the next movie's.
            while (!end && SDL_PollEvent(&e)) {
                if (e.type == SDL_QUIT) end = PlayEnd::Quit;
                if (e.type == SDL_WINDOWEVENT) redraw_ = true;
                if (e.type == SDL_KEYDOWN) end = key(e.key.keysym.sym, e.key.keysym.mod);
            }
            if (end) return *end;
            if (!clock_.paused()) feed_.fill(clock_.soundLeads());
            // Paused, the picture stays, whatever a sound device that ignores pausing does.
            const double now = clock_.paused() ? current_.time : clock_.now();
            feed_.dropLate(now);
            if (feed_.due(now) && (!clock_.paused() || shown_ == 0)) show(feed_.pop());
            if (redraw_) present();
            if (options_.frames > 0 && playlist_.shown + shown_ >= options_.frames) return PlayEnd::Quit;
            if (feed_.ended() && feed_.empty() && sound_.waiting() == 0) {
                if (!loop_) return PlayEnd::Finished;
                if (options_.script) std::printf("loop: back to the start\n");
                seek(0);
            }
            SDL_Delay(4);
        }
    }

    // Answers a key; a value when it ends this movie.
    std::optional<PlayEnd> key(SDL_Keycode k, Uint16 mod)
    {
        switch (detail::ActionFor(k, mod)) {
        case KeyAction::Next:
            if (playlist_.index + 1 < playlist_.count) return PlayEnd::Next;
            break;
        case KeyAction::Previous:
            if (playlist_.index > 0) return PlayEnd::Previous;
            break;
        case KeyAction::Enter: return playlist_.index + 1 < playlist_.count ? PlayEnd::Next : PlayEnd::Finished;
        case KeyAction::Quit: return PlayEnd::Quit;
        case KeyAction::Pause:
            clock_.setPaused(!clock_.paused());
            redraw_ = true;
            break;
        case KeyAction::Back: seek(clock_.now() - 5); break;
        case KeyAction::Forward: seek(clock_.now() + 5); break;
        case KeyAction::Restart: seek(0); break;
        case KeyAction::StepForward:
            if (clock_.paused()) step(false);
            break;
        case KeyAction::StepBack:
            if (clock_.paused()) step(true);
            break;
        case KeyAction::Overlay:
            overlay_ = !overlay_;
            redraw_ = true;
            break;
        case KeyAction::Loop:
            loop_ = !loop_;
            redraw_ = true;
            break;
        case KeyAction::Fullscreen:
            window_.toggleFullscreen();
            redraw_ = true;
            break;
        case KeyAction::None: break;
        }
        if (options_.script)
            std::printf("%s: frame %d%s%s%s\n", SDL_GetKeyName(k), frameNumber(), sceneText(" scene ").c_str(),
                        clock_.paused() ? " paused" : "", loop_ ? " loop" : "");
        return std::nullopt;
    }

    int frameNumber() const { return static_cast<int>(std::lround(current_.time / FrameSeconds)); }

    // "SCENE 3/81" after prefix, or "" when the scenes are not known. The plug-in reads a picture's
    // time in whole milliseconds, truncated, to find its scene; so does this.
    std::string sceneText(const std::string &prefix) const
    {
        if (scenes_.empty()) return "";
        const auto ms = static_cast<uint32_t>(std::max(0.0, current_.time * 1000.0));
        return prefix + std::to_string(qfhost::SceneAt(scenes_, ms)) + "/" + std::to_string(scenes_.size());
    }

    void show(Frame frame)
    {
        current_ = std::move(frame);
        redraw_ = true;
        ++shown_;
    }

    void present()
    {
        std::optional<detail::Caption> caption;
        if (overlay_) caption = makeCaption();
        window_.present(current_.pixels, caption ? &*caption : nullptr);
        redraw_ = false;
    }

    // Time and length, then frame number, scene and state.
    detail::Caption makeCaption() const
    {
        // Counted from 1 on screen, of the pictures the stream delivers, and how long they play
        // (info's counts).
        const uint64_t pictures = qfhost::PicturesDelivered(movie_.durationMs());
        detail::Caption caption;
        caption.time = qfhost::FormatTime(qfhost::MillisecondsOf(current_.time)) + " / " +
                       qfhost::FormatTime(qfhost::PlayedMs(pictures));
        caption.state = "FRAME " + std::to_string(frameNumber() + 1) + "/" + std::to_string(pictures);
        caption.state += sceneText("  SCENE ");
        if (clock_.paused()) caption.state += "  PAUSED";
        if (loop_) caption.state += "  LOOP";
        return caption;
    }

    // The next picture (or, back, the one before the shown one), with its sound left out: a
    // still does not play.
    void step(bool back)
    {
        if (back) {
            // A seek may land a little past where it was asked to: start earlier and walk up to
            // the frame before this one.
            const double target = current_.time - FrameSeconds;
            if (target < -FrameSeconds / 2) return;           // the first frame already
            seek(std::max(0.0, target - 10 * FrameSeconds));  // paused: shows where it lands
            while (current_.time < target - FrameSeconds / 2 && showNextPicture()) {}
            clock_.hold(current_.time);
            clock_.restartWall(current_.time);
            return;
        }
        if (!feed_.empty()) show(feed_.pop());
        else if (!feed_.ended()) showNextPicture();
        clock_.hold(current_.time);
        sound_.clear();
    }

    // Shows the next picture from the movie; false at the end.
    bool showNextPicture()
    {
        std::optional<Frame> frame = feed_.takePicture();
        if (frame) show(std::move(*frame));
        return frame.has_value();
    }

    void seek(double seconds)
    {
        double length = movie_.durationMs() / 1000.0;
        seconds = std::clamp(seconds, 0.0, std::max(0.0, length - FrameSeconds));
        auto ms = static_cast<uint32_t>(std::lround(seconds * 1000.0));
        feed_.seek(ms);
        clock_.setBase(ms / 1000.0);
        sound_.clear();
        clock_.restartWall(ms / 1000.0);
        if (clock_.paused()) {
            // Nothing plays while paused, so the seek shows its picture at once.
            showNextPicture();
            clock_.hold(current_.time);
            clock_.restartWall(current_.time);
        }
    }

    qfhost::Movie &movie_;
    const PlayerOptions &options_;
    Playlist &playlist_;
    std::span<const qfhost::SceneEntry> scenes_;
    detail::KeyScript keys_;
    detail::SdlVideo video_;  // SDL up before the sound and the window, down after them
    detail::SoundOut sound_;
    detail::Window window_;
    detail::PlaybackClock clock_;
    detail::Feed feed_;
    Frame current_{0, {}};
    bool redraw_ = true, overlay_, loop_;
    int shown_ = 0;
};

}  // namespace

PlayEnd PlayInWindow(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title, Playlist &playlist,
                     std::span<const qfhost::SceneEntry> scenes)
{
    if (movie.width() <= 0 || movie.height() <= 0) throw std::runtime_error("the movie has an empty picture");
    if (movie.durationMs() == 0) throw std::runtime_error("the movie is 0 ms long: nothing to play");
    Player player(movie, options, title, playlist, scenes);
    const PlayEnd end = player.run();
    std::fflush(stdout);
    return end;
}

}  // namespace qfmedia
