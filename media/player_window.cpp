#include "media/player_window.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qfmedia::detail {

namespace {

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

}  // namespace

SdlVideo::SdlVideo()
{
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
    try {
        RequireDisplay();
    } catch (...) {
        SDL_Quit();
        throw;
    }
}

SdlVideo::~SdlVideo()
{
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    SDL_Quit();
}

Window::Window(const std::string &title, int movieWidth, int movieHeight, PixelAspect aspect, int scale,
               bool fullscreen)
    : movieWidth_(movieWidth), movieHeight_(movieHeight)
{
    // The texture holds the picture in the screen's shape at scale 1; the renderer scales it
    // and letterboxes the rest (see fitPicture).
    layout_ = PlacePicture(movieWidth, movieHeight, 1, aspect);
    const int w = layout_.width, h = layout_.height;
    SDL_Rect usable{};
    if (SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0 && usable.h > 0) {
        if (scale <= 0) scale = std::min(usable.w * 2 / 3 / w, usable.h * 2 / 3 / h);
        scale = std::min(scale, std::min(usable.w / w, usable.h / h));  // never larger than the screen
    } else if (scale <= 0) {
        scale = 2;
    }
    scale = std::max(scale, 1);
    Uint32 flags = SDL_WINDOW_RESIZABLE | (fullscreen ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
    window_.reset(
        SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, w * scale, h * scale, flags));
    if (!window_) SdlFail("cannot open a window");
    renderer_.reset(SDL_CreateRenderer(window_.get(), -1, SDL_RENDERER_PRESENTVSYNC));
    if (!renderer_) renderer_.reset(SDL_CreateRenderer(window_.get(), -1, SDL_RENDERER_SOFTWARE));
    if (!renderer_) SdlFail("cannot draw in the window");
    SDL_RenderSetLogicalSize(renderer_.get(), w, h);
    SDL_RenderSetIntegerScale(renderer_.get(), SDL_TRUE);
    texture_.reset(SDL_CreateTexture(renderer_.get(), SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STREAMING, w, h));
    if (!texture_) SdlFail("cannot make a texture");
    SDL_SetTextureBlendMode(texture_.get(), SDL_BLENDMODE_NONE);
}

void Window::present(std::span<const uint32_t> pixels, const Caption *caption)
{
    if (!pixels.empty()) {
        RgbImage image = RenderPicture(pixels, movieWidth_, movieHeight_, layout_);
        SDL_UpdateTexture(texture_.get(), nullptr, image.rgb.data(), image.width * 3);
    }
    fitPicture();
    SDL_SetRenderDrawColor(renderer_.get(), 0, 0, 0, 255);
    SDL_RenderClear(renderer_.get());
    SDL_RenderCopy(renderer_.get(), texture_.get(), nullptr, nullptr);
    if (caption) drawCaption(*caption);
    SDL_RenderPresent(renderer_.get());
}

// Whole steps keep every pixel the same size; full screen, or a window too small for one step,
// scales to fit instead, so the whole picture shows with black bars and its shape kept.
void Window::fitPicture()
{
    int w = 0, h = 0;
    SDL_GetRendererOutputSize(renderer_.get(), &w, &h);
    const bool wholeSteps = !fullscreen() && w >= layout_.width && h >= layout_.height;
    SDL_RenderSetLogicalSize(renderer_.get(), layout_.width, layout_.height);
    SDL_RenderSetIntegerScale(renderer_.get(), wholeSteps ? SDL_TRUE : SDL_FALSE);
}

bool Window::fullscreen() const { return SDL_GetWindowFlags(window_.get()) & SDL_WINDOW_FULLSCREEN_DESKTOP; }

void Window::toggleFullscreen()
{
    SDL_SetWindowFullscreen(window_.get(), fullscreen() ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
}

// On a dark band, in the window's own pixels: in the movie's a small picture would have no room
// for it.
void Window::drawCaption(const Caption &caption)
{
    SDL_Rect view{};
    float sx = 1, sy = 1;
    SDL_RenderGetViewport(renderer_.get(), &view);
    SDL_RenderGetScale(renderer_.get(), &sx, &sy);
    const int left = static_cast<int>(view.x * sx), top = static_cast<int>(view.y * sy);
    const int pictureWidth = static_cast<int>(view.w * sx);

    const int scale = std::clamp(pictureWidth / 320, 1, 3);
    const int pad = 2 * scale;
    RgbImage band(std::max(TextWidth(caption.time, scale), TextWidth(caption.state, scale)) + 2 * pad,
                  2 * TextHeight(scale) + 2 * pad);
    DrawText(band, pad, pad, caption.time, {255, 255, 255}, scale);
    DrawText(band, pad, pad + TextHeight(scale), caption.state, {255, 220, 120}, scale);

    SDL_Texture *text =
        SDL_CreateTexture(renderer_.get(), SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STATIC, band.width, band.height);
    if (!text) return;  // the picture matters more than its caption
    SDL_UpdateTexture(text, nullptr, band.rgb.data(), band.width * 3);
    SDL_RenderSetLogicalSize(renderer_.get(), 0, 0);  // draw in window pixels
    SDL_Rect at{left, top, band.width, band.height};
    SDL_RenderCopy(renderer_.get(), text, nullptr, &at);
    SDL_DestroyTexture(text);
    fitPicture();
}

}  // namespace qfmedia::detail
