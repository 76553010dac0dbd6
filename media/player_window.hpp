// The player's window: SDL's video, and the picture drawn at a whole scale (scaled to fit in full
// screen) with an optional caption over it.
#pragma once

#include <SDL.h>

#include <memory>
#include <span>
#include <string>

#include "media/image.hpp"

namespace qfmedia::detail {

// SDL with its video up, on a display someone can see (unless a driver was asked for by name).
class SdlVideo {
public:
    SdlVideo();
    ~SdlVideo();
    SdlVideo(const SdlVideo &) = delete;
    SdlVideo &operator=(const SdlVideo &) = delete;
};

// Two lines over the picture's top left corner.
struct Caption {
    std::string time, state;
};

class Window {
public:
    // scale 0: about two thirds of the screen.
    Window(const std::string &title, int movieWidth, int movieHeight, PixelAspect aspect, int scale, bool fullscreen);

    // Draws pixels (none: the picture last drawn) and the caption, if any.
    void present(std::span<const uint32_t> pixels, const Caption *caption);
    bool fullscreen() const;
    void toggleFullscreen();

private:
    void drawCaption(const Caption &caption);
    void fitPicture();

    int movieWidth_, movieHeight_;
    Layout layout_;
    struct Destroy {
        void operator()(SDL_Window *w) const { SDL_DestroyWindow(w); }
        void operator()(SDL_Renderer *r) const { SDL_DestroyRenderer(r); }
        void operator()(SDL_Texture *t) const { SDL_DestroyTexture(t); }
    };
    std::unique_ptr<SDL_Window, Destroy> window_;
    std::unique_ptr<SDL_Renderer, Destroy> renderer_;
    std::unique_ptr<SDL_Texture, Destroy> texture_;
};

}  // namespace qfmedia::detail
