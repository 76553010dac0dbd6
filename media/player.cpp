// The SDL2 player. The sound card's clock drives the picture, so sound and picture stay together
// however fast the machine is.
#include "media/player.hpp"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "qfhost/host.hpp"
#include "qfhost/survey.hpp"
#include "qfhost/time.hpp"
#include "quillframer/movie_format.h"

namespace qfmedia {

namespace {

struct Frame {
    double time;
    std::vector<uint32_t> pixels;
};

constexpr int BytesPerSecond = QF_AUDIO_SAMPLE_RATE * 4;
constexpr double FrameSeconds = static_cast<double>(QF_PACKET_MS) / 1000.0;

struct Sdl {
    Uint32 systems = 0;
    SDL_Window *window = nullptr;
    SDL_Renderer *renderer = nullptr;
    SDL_Texture *texture = nullptr;
    SDL_AudioDeviceID audio = 0;
    ~Sdl()
    {
        if (audio) SDL_CloseAudioDevice(audio);
        if (texture) SDL_DestroyTexture(texture);
        if (renderer) SDL_DestroyRenderer(renderer);
        if (window) SDL_DestroyWindow(window);
        if (systems) SDL_QuitSubSystem(systems);
        SDL_Quit();
    }
};

[[noreturn]] void SdlFail(const char *what) { throw std::runtime_error(std::string(what) + ": " + SDL_GetError()); }

// SDL falls back to drivers that show nothing; a player that plays to no one for the movie's
// length helps nobody, unless someone asked for such a driver by name.
void RequireDisplay()
{
    const char *asked = std::getenv("SDL_VIDEODRIVER");
    auto set = [](const char *name) {
        const char *value = std::getenv(name);
        return value && *value;
    };
    // Asked first: the libraries' own probing writes its complaints to stderr.
    if (!(asked && *asked) && !set("DISPLAY") && !set("WAYLAND_DISPLAY"))
        throw std::runtime_error("no display to play on (DISPLAY and WAYLAND_DISPLAY are not set)");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
        throw std::runtime_error(std::string("no display to play on (") + SDL_GetError() + ")");
    const char *driver = SDL_GetCurrentVideoDriver();
    const bool invisible = !driver || std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0 ||
                           std::strcmp(driver, "evdev") == 0;
    if (invisible && !(asked && *asked)) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        throw std::runtime_error("no display to play on (the X or Wayland display cannot be opened)");
    }
}

SDL_Keycode KeyNamed(const std::string &name)
{
    if (name.size() == 1) return static_cast<SDL_Keycode>(static_cast<unsigned char>(name[0]));  // . , o l f q
    if (name == "space") return SDLK_SPACE;
    if (name == "home") return SDLK_HOME;
    if (name == "left") return SDLK_LEFT;
    if (name == "right") return SDLK_RIGHT;
    if (name == "enter") return SDLK_RETURN;
    throw std::runtime_error("--script: unknown key \"" + name + "\"");
}

class Player {
public:
    Player(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title, Playlist &playlist,
           std::span<const qfhost::SceneEntry> scenes)
        : movie_(movie), options_(options), playlist_(playlist), scenes_(scenes), next_(playlist.scriptAt),
          overlay_(options.overlay), loop_(options.loop)
    {
        if (options.script) {
            std::istringstream words(*options.script);
            for (std::string word; words >> word;) script_.push_back(word);
            for (const std::string &word : script_) KeyNamed(word);  // a typo fails before the window opens
            std::printf("window: %s\n", title.c_str());
        }
        SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
        RequireDisplay();
        sdl_.systems |= SDL_INIT_VIDEO;
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
            sdl_.systems |= SDL_INIT_AUDIO;
            SDL_AudioSpec want{}, have{};
            want.freq = QF_AUDIO_SAMPLE_RATE;
            want.format = AUDIO_S16SYS;
            want.channels = 2;
            want.samples = 1024;
            sdl_.audio = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        }
        if (!sdl_.audio) std::fprintf(stderr, "quillframer: no sound (%s); playing without\n", SDL_GetError());

        // The texture holds the picture in the screen's shape at scale 1; the renderer scales it
        // by whole steps and letterboxes the rest, in a window and in full screen alike.
        layout_ = PlacePicture(movie.width(), movie.height(), 1, options.aspect);
        const int w = layout_.width, h = layout_.height;
        int scale = options.scale;
        SDL_Rect usable{};
        if (SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0 && usable.h > 0) {
            if (scale <= 0) scale = std::min(usable.w * 2 / 3 / w, usable.h * 2 / 3 / h);
            scale = std::min(scale, std::min(usable.w / w, usable.h / h));  // never larger than the screen
        } else if (scale <= 0) {
            scale = 2;
        }
        scale = std::max(scale, 1);
        Uint32 flags = SDL_WINDOW_RESIZABLE | (playlist.fullscreen ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
        sdl_.window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, w * scale, h * scale, flags);
        if (!sdl_.window) SdlFail("cannot open a window");
        sdl_.renderer = SDL_CreateRenderer(sdl_.window, -1, SDL_RENDERER_PRESENTVSYNC);
        if (!sdl_.renderer) sdl_.renderer = SDL_CreateRenderer(sdl_.window, -1, SDL_RENDERER_SOFTWARE);
        if (!sdl_.renderer) SdlFail("cannot draw in the window");
        SDL_RenderSetLogicalSize(sdl_.renderer, w, h);
        SDL_RenderSetIntegerScale(sdl_.renderer, SDL_TRUE);
        sdl_.texture = SDL_CreateTexture(sdl_.renderer, SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STREAMING, w, h);
        if (!sdl_.texture) SdlFail("cannot make a texture");
        SDL_SetTextureBlendMode(sdl_.texture, SDL_BLENDMODE_NONE);
        if (sdl_.audio) SDL_PauseAudioDevice(sdl_.audio, 0);
        wallStart_ = SDL_GetTicks64();
    }

    PlayEnd run()
    {
        const PlayEnd end = play();
        playlist_.scriptAt = next_;
        playlist_.shown += shown_;
        playlist_.fullscreen = SDL_GetWindowFlags(sdl_.window) & SDL_WINDOW_FULLSCREEN_DESKTOP;
        return end;
    }

private:
    PlayEnd play()
    {
        while (true) {
            if (shown_ > 0 && next_ < script_.size()) pushKey(KeyNamed(script_[next_++]));
            SDL_Event e;
            std::optional<PlayEnd> end;
            // A key after one that ends this movie is the next movie's.
            while (!end && SDL_PollEvent(&e)) {
                if (e.type == SDL_QUIT) end = PlayEnd::Quit;
                if (e.type == SDL_WINDOWEVENT) redraw_ = true;
                if (e.type == SDL_KEYDOWN) end = key(e.key.keysym.sym, e.key.keysym.mod);
            }
            if (end) return *end;
            if (!paused_) fill();
            // Paused, the picture stays, whatever a sound device that ignores pausing does.
            const double now = paused_ ? current_.time : clock();
            while (frames_.size() > 1 && frames_[1].time <= now) frames_.pop_front();  // late: drop
            if (!frames_.empty() && frames_.front().time <= now && (!paused_ || shown_ == 0)) {
                show(std::move(frames_.front()));
                frames_.pop_front();
            }
            if (redraw_) present();
            if (options_.frames > 0 && playlist_.shown + shown_ >= options_.frames) return PlayEnd::Quit;
            if (ended_ && frames_.empty() && (!sdl_.audio || SDL_GetQueuedAudioSize(sdl_.audio) == 0)) {
                if (!loop_) return PlayEnd::Finished;
                if (options_.script) std::printf("loop: back to the start\n");
                seek(0);
            }
            SDL_Delay(4);
        }
    }

    void pushKey(SDL_Keycode k)
    {
        SDL_Event e{};
        e.type = SDL_KEYDOWN;
        e.key.state = SDL_PRESSED;
        e.key.keysym.sym = k;
        SDL_PushEvent(&e);
    }

    // Answers a key; a value when it ends this movie.
    std::optional<PlayEnd> key(SDL_Keycode k, Uint16 mod)
    {
        // As mpv has them: > and < (shifted . and , on most keyboards, a key of their own on some), Enter.
        const bool shift = mod & KMOD_SHIFT;
        if (k == SDLK_GREATER || (k == SDLK_PERIOD && shift)) {
            if (playlist_.index + 1 < playlist_.count) return PlayEnd::Next;
        } else if (k == SDLK_LESS || (k == SDLK_COMMA && shift)) {
            if (playlist_.index > 0) return PlayEnd::Previous;
        } else if (k == SDLK_RETURN || k == SDLK_KP_ENTER) {
            return playlist_.index + 1 < playlist_.count ? PlayEnd::Next : PlayEnd::Finished;
        }
        switch (k) {
        case SDLK_q:
        case SDLK_ESCAPE: return PlayEnd::Quit;
        case SDLK_SPACE: setPaused(!paused_); break;
        case SDLK_LEFT: seek(clock() - 5); break;
        case SDLK_RIGHT: seek(clock() + 5); break;
        case SDLK_HOME: seek(0); break;
        case SDLK_PERIOD:
            if (paused_ && !shift) step(false);
            break;
        case SDLK_COMMA:
            if (paused_ && !shift) step(true);
            break;
        case SDLK_o:
            overlay_ = !overlay_;
            redraw_ = true;
            break;
        case SDLK_l:
            loop_ = !loop_;
            redraw_ = true;
            break;
        case SDLK_f: {
            bool full = SDL_GetWindowFlags(sdl_.window) & SDL_WINDOW_FULLSCREEN_DESKTOP;
            SDL_SetWindowFullscreen(sdl_.window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
            redraw_ = true;
            break;
        }
        default: break;
        }
        if (options_.script)
            std::printf("%s: frame %d%s%s%s\n", SDL_GetKeyName(k), frameNumber(), sceneText(" scene ").c_str(),
                        paused_ ? " paused" : "", loop_ ? " loop" : "");
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
        if (!current_.pixels.empty()) {
            RgbImage image = RenderPicture(current_.pixels, movie_.width(), movie_.height(), layout_);
            SDL_UpdateTexture(sdl_.texture, nullptr, image.rgb.data(), image.width * 3);
        }
        SDL_SetRenderDrawColor(sdl_.renderer, 0, 0, 0, 255);
        SDL_RenderClear(sdl_.renderer);
        SDL_RenderCopy(sdl_.renderer, sdl_.texture, nullptr, nullptr);
        if (overlay_) drawOverlay();
        SDL_RenderPresent(sdl_.renderer);
        redraw_ = false;
    }

    // Time, length and frame number on a dark band over the picture's top left corner, in the
    // window's own pixels: in the movie's a small picture would have no room for it.
    void drawOverlay()
    {
        SDL_Rect view{};
        float sx = 1, sy = 1;
        SDL_RenderGetViewport(sdl_.renderer, &view);
        SDL_RenderGetScale(sdl_.renderer, &sx, &sy);
        const int left = static_cast<int>(view.x * sx), top = static_cast<int>(view.y * sy);
        const int pictureWidth = static_cast<int>(view.w * sx);

        const uint32_t length = movie_.durationMs();
        const std::string time =
            qfhost::FormatTime(qfhost::MillisecondsOf(current_.time)) + " / " + qfhost::FormatTime(length);
        // Counted from 1 on screen, of the pictures the stream delivers (info's count).
        std::string state =
            "FRAME " + std::to_string(frameNumber() + 1) + "/" + std::to_string(qfhost::PicturesDelivered(length));
        state += sceneText("  SCENE ");
        if (paused_) state += "  PAUSED";
        if (loop_) state += "  LOOP";
        const int scale = std::clamp(pictureWidth / 320, 1, 3);
        const int pad = 2 * scale;
        RgbImage band(std::max(TextWidth(time, scale), TextWidth(state, scale)) + 2 * pad, 2 * TextHeight(scale) + 2 * pad);
        DrawText(band, pad, pad, time, {255, 255, 255}, scale);
        DrawText(band, pad, pad + TextHeight(scale), state, {255, 220, 120}, scale);

        SDL_Texture *text = SDL_CreateTexture(sdl_.renderer, SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STATIC,
                                              band.width, band.height);
        if (!text) return;  // the picture matters more than its caption
        SDL_UpdateTexture(text, nullptr, band.rgb.data(), band.width * 3);
        SDL_RenderSetLogicalSize(sdl_.renderer, 0, 0);  // draw in window pixels
        SDL_Rect at{left, top, band.width, band.height};
        SDL_RenderCopy(sdl_.renderer, text, nullptr, &at);
        SDL_DestroyTexture(text);
        SDL_RenderSetLogicalSize(sdl_.renderer, layout_.width, layout_.height);
        SDL_RenderSetIntegerScale(sdl_.renderer, SDL_TRUE);
    }

    // The next picture (or, back, the one before the shown one), with its sound left out: a
    // still does not play.
    void step(bool back)
    {
        if (back) {
            // A seek may land a little past where it was asked to: start earlier and walk up to
            // the frame before this one.
            const double target = current_.time - FrameSeconds;
            if (target < -FrameSeconds / 2) return;  // the first frame already
            seek(std::max(0.0, target - 10 * FrameSeconds));  // paused: shows where it lands
            while (current_.time < target - FrameSeconds / 2 && showNextPicture()) {}
            base_ = pausedAt_ = current_.time;
            restartWall(base_);
            return;
        }
        if (!frames_.empty()) {
            show(std::move(frames_.front()));
            frames_.pop_front();
        } else if (!ended_) {
            showNextPicture();
        }
        base_ = pausedAt_ = current_.time;
        if (sdl_.audio) {
            SDL_ClearQueuedAudio(sdl_.audio);
            queued_ = 0;
        }
    }

    // Takes packets up to the next picture and shows it; returns false at the end.
    bool showNextPicture()
    {
        while (true) {
            qfhost::Taken taken = movie_.take();
            if (taken.result == qfhost::Took::End) {
                ended_ = true;
                return false;
            }
            if (taken.result == qfhost::Took::OutOfMemory) throw std::runtime_error("the plug-in ran out of memory while playing");
            if (!taken.packet.isVideo()) continue;
            auto pixels = movie_.decodeVideo(taken.packet);
            show({taken.packet.time(), std::vector<uint32_t>(pixels.begin(), pixels.end())});
            return true;
        }
    }

    void setPaused(bool paused)
    {
        if (paused == paused_) return;
        if (!sdl_.audio) {
            if (paused)
                pausedAt_ = clock();
            else
                restartWall(pausedAt_);
        }
        paused_ = paused;
        if (sdl_.audio) SDL_PauseAudioDevice(sdl_.audio, paused ? 1 : 0);
        redraw_ = true;
    }

    void seek(double seconds)
    {
        double length = movie_.durationMs() / 1000.0;
        seconds = std::clamp(seconds, 0.0, std::max(0.0, length - FrameSeconds));
        auto ms = static_cast<uint32_t>(std::lround(seconds * 1000.0));
        movie_.seek(ms);
        frames_.clear();
        ended_ = false;
        base_ = ms / 1000.0;
        queued_ = 0;
        if (sdl_.audio) SDL_ClearQueuedAudio(sdl_.audio);
        restartWall(base_);
        if (paused_) {
            // Nothing plays while paused, so the seek shows its picture at once.
            showNextPicture();
            pausedAt_ = base_ = current_.time;
            restartWall(base_);
        }
    }

    void restartWall(double at)
    {
        wallStart_ = SDL_GetTicks64();
        wallBase_ = at;
    }

    // Where playback stands, in movie seconds.
    double clock()
    {
        if (paused_ && !sdl_.audio) return pausedAt_;
        if (sdl_.audio && !audioStalled_) {
            uint64_t played = queued_ - std::min<uint64_t>(queued_, SDL_GetQueuedAudioSize(sdl_.audio));
            double t = base_ + static_cast<double>(played) / BytesPerSecond;
            // A sound device that takes nothing (some dummy or broken outputs) must not freeze
            // the picture: after a second without progress the wall clock takes over.
            Uint64 now = SDL_GetTicks64();
            if (played != lastPlayed_ || paused_) {
                lastPlayed_ = played;
                lastProgress_ = now;
            } else if (now - lastProgress_ > 1000 && queued_ > 0) {
                audioStalled_ = true;
                restartWall(t);
            }
            return t;
        }
        if (paused_) return pausedAt_;
        return wallBase_ + (SDL_GetTicks64() - wallStart_) / 1000.0;
    }

    // Decodes ahead: about a quarter of a second of sound queued, a few pictures waiting.
    void fill()
    {
        while (!ended_) {
            if (sdl_.audio && !audioStalled_) {
                if (SDL_GetQueuedAudioSize(sdl_.audio) >= BytesPerSecond / 4) return;
            } else if (frames_.size() >= 4) {
                return;
            }
            qfhost::Taken taken = movie_.take();
            if (taken.result == qfhost::Took::End) {
                ended_ = true;
                return;
            }
            if (taken.result == qfhost::Took::OutOfMemory) throw std::runtime_error("the plug-in ran out of memory while playing");
            const qfhost::Packet &packet = taken.packet;
            if (packet.isVideo()) {
                auto pixels = movie_.decodeVideo(packet);
                frames_.push_back({packet.time(), std::vector<uint32_t>(pixels.begin(), pixels.end())});
            } else {
                auto samples = movie_.decodeAudio(packet);
                if (sdl_.audio) {
                    SDL_QueueAudio(sdl_.audio, samples.data(), static_cast<Uint32>(samples.size_bytes()));
                    queued_ += samples.size_bytes();
                }
            }
        }
    }

    qfhost::Movie &movie_;
    const PlayerOptions &options_;
    Playlist &playlist_;
    std::span<const qfhost::SceneEntry> scenes_;
    size_t next_;  // the script's next key
    Sdl sdl_;
    Layout layout_;
    std::deque<Frame> frames_;
    Frame current_{0, {}};
    std::vector<std::string> script_;
    bool paused_ = false, ended_ = false, redraw_ = true, audioStalled_ = false, overlay_, loop_;
    double base_ = 0, wallBase_ = 0, pausedAt_ = 0;
    uint64_t queued_ = 0, lastPlayed_ = 0;
    Uint64 wallStart_ = 0, lastProgress_ = 0;
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
