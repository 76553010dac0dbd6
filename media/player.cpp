// The SDL2 player. The sound card's clock drives the picture, so sound and picture stay together
// however fast the machine is.
#include "media/player.hpp"

#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include "qfhost/host.hpp"
#include "quillframer/movie_format.h"

namespace qfmedia {

namespace {

struct Frame {
    double time;
    std::vector<uint32_t> pixels;
};

constexpr int BytesPerSecond = QF_AUDIO_SAMPLE_RATE * 4;

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

class Player {
public:
    Player(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title) : movie_(movie), options_(options)
    {
        SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) SdlFail("cannot open a window");
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

        const int w = movie.width(), h = movie.height();
        int scale = options.scale;
        if (scale <= 0) {  // as large as fits comfortably on the screen, up to 4
            SDL_DisplayMode mode{};
            scale = 2;
            if (SDL_GetDesktopDisplayMode(0, &mode) == 0 && mode.w > 0 && mode.h > 0)
                scale = std::clamp(std::min(mode.w * 4 / 5 / w, mode.h * 4 / 5 / h), 1, 4);
        }
        Uint32 flags = SDL_WINDOW_RESIZABLE | (options.fullscreen ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
        sdl_.window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, w * scale, h * scale, flags);
        if (!sdl_.window) SdlFail("cannot open a window");
        sdl_.renderer = SDL_CreateRenderer(sdl_.window, -1, SDL_RENDERER_PRESENTVSYNC);
        if (!sdl_.renderer) sdl_.renderer = SDL_CreateRenderer(sdl_.window, -1, SDL_RENDERER_SOFTWARE);
        if (!sdl_.renderer) SdlFail("cannot draw in the window");
        SDL_RenderSetLogicalSize(sdl_.renderer, w, h);
        SDL_RenderSetIntegerScale(sdl_.renderer, SDL_TRUE);
        // Pixel words are bytes 0, R, G, B in memory: ARGB in byte order, the first byte ignored.
        sdl_.texture = SDL_CreateTexture(sdl_.renderer, SDL_PIXELFORMAT_ARGB32, SDL_TEXTUREACCESS_STREAMING, w, h);
        if (!sdl_.texture) SdlFail("cannot make a texture");
        SDL_SetTextureBlendMode(sdl_.texture, SDL_BLENDMODE_NONE);
        if (sdl_.audio) SDL_PauseAudioDevice(sdl_.audio, 0);
        wallStart_ = SDL_GetTicks64();
    }

    int run()
    {
        bool running = true;
        while (running) {
            SDL_Event e;
            while (SDL_PollEvent(&e)) {
                if (e.type == SDL_QUIT) running = false;
                if (e.type == SDL_WINDOWEVENT) redraw_ = true;
                if (e.type == SDL_KEYDOWN) running = key(e.key.keysym.sym) && running;
            }
            if (!running) break;
            if (!paused_) fill();
            double now = clock();
            while (frames_.size() > 1 && frames_[1].time <= now) frames_.pop_front();  // late: drop
            if (!frames_.empty() && frames_.front().time <= now) {
                SDL_UpdateTexture(sdl_.texture, nullptr, frames_.front().pixels.data(), movie_.width() * 4);
                frames_.pop_front();
                redraw_ = true;
                ++shown_;
            }
            if (redraw_) {
                SDL_RenderClear(sdl_.renderer);
                SDL_RenderCopy(sdl_.renderer, sdl_.texture, nullptr, nullptr);
                SDL_RenderPresent(sdl_.renderer);
                redraw_ = false;
            }
            if (options_.frames > 0 && shown_ >= options_.frames) break;
            if (ended_ && frames_.empty() && (!sdl_.audio || SDL_GetQueuedAudioSize(sdl_.audio) == 0)) break;
            SDL_Delay(4);
        }
        return 0;
    }

private:
    bool key(SDL_Keycode k)
    {
        switch (k) {
        case SDLK_q:
        case SDLK_ESCAPE: return false;
        case SDLK_SPACE: setPaused(!paused_); break;
        case SDLK_LEFT: seek(clock() - 5); break;
        case SDLK_RIGHT: seek(clock() + 5); break;
        case SDLK_HOME: seek(0); break;
        case SDLK_f: {
            bool full = SDL_GetWindowFlags(sdl_.window) & SDL_WINDOW_FULLSCREEN_DESKTOP;
            SDL_SetWindowFullscreen(sdl_.window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
            redraw_ = true;
            break;
        }
        default: break;
        }
        return true;
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
    }

    void seek(double seconds)
    {
        double length = movie_.durationMs() / 1000.0;
        seconds = std::clamp(seconds, 0.0, std::max(0.0, length - static_cast<double>(QF_PACKET_MS) / 1000.0));
        auto ms = static_cast<uint32_t>(seconds * 1000.0);
        movie_.seek(ms);
        frames_.clear();
        ended_ = false;
        base_ = ms / 1000.0;
        queued_ = 0;
        if (sdl_.audio) SDL_ClearQueuedAudio(sdl_.audio);
        restartWall(base_);
        if (paused_) pausedAt_ = base_;
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
    Sdl sdl_;
    std::deque<Frame> frames_;
    bool paused_ = false, ended_ = false, redraw_ = true, audioStalled_ = false;
    double base_ = 0, wallBase_ = 0, pausedAt_ = 0;
    uint64_t queued_ = 0, lastPlayed_ = 0;
    Uint64 wallStart_ = 0, lastProgress_ = 0;
    int shown_ = 0;
};

}  // namespace

void PlayInWindow(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title)
{
    if (movie.width() <= 0 || movie.height() <= 0) throw std::runtime_error("the movie has an empty picture");
    if (movie.durationMs() == 0) throw std::runtime_error("the movie is 0 ms long: nothing to play");
    Player player(movie, options, title);
    player.run();
}

}  // namespace qfmedia
