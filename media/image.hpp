// RGB pictures: conversion from the plug-in's pixel words, integer scaling, thumbnails and a
// small bitmap font for labels.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qfmedia {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes per pixel, rows packed

    RgbImage() = default;
    RgbImage(int w, int h, Rgb fill = {});
    uint8_t *at(int x, int y) { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
    const uint8_t *at(int x, int y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

// Pixel words (memory bytes 0,R,G,B) to RGB, each pixel repeated scale x scale times.
RgbImage FromPixelWords(std::span<const uint32_t> words, int width, int height, int scale = 1);
// Pixel word to 0x00RRGGBB, whatever the machine's byte order.
uint32_t PackedColor(uint32_t word);

// How wide a pixel of the movie was on the screen it was made for. A lores PAL picture of 320x256
// filled a 4:3 screen, so its pixels are 16:15; an NTSC 320x200 one, 5:6.
enum class PixelAspect {
    Square,
    Pal,
    Ntsc
};
struct Ratio {
    int num = 1, den = 1;
};
Ratio SampleAspect(PixelAspect aspect);
// "square", "pal" or "ntsc"; nullopt for anything else.
std::optional<PixelAspect> ParseAspect(std::string_view name);
struct Size {
    int width = 0, height = 0;
};
// "1920x1080"; nullopt unless both are positive.
std::optional<Size> ParseSize(std::string_view text);

// Where a movie's picture lands in what we write: the picture scaled (and aspect-corrected) to
// width x height at (x, y) on a canvas that is larger only under --fit.
struct Layout {
    int width = 0, height = 0;
    int x = 0, y = 0;
    int canvasWidth = 0, canvasHeight = 0;
};
// The picture at integer scale, then stretched by the smallest amount that gives it exactly the
// aspect's shape (never shrunk: no row or column of the movie is lost). With fit, the largest
// scale whose picture fits, centred on a fit-sized canvas. Throws std::runtime_error when even
// scale 1 does not fit.
Layout PlacePicture(int width, int height, int scale, PixelAspect aspect, std::optional<Size> fit = {});
// Pixel words laid out as `layout` says, nearest neighbour, black around the picture. Gives the
// bytes of FromPixelWords for a square layout without a canvas.
RgbImage RenderPicture(std::span<const uint32_t> words, int width, int height, const Layout &layout);

// Shrinks by an integer factor, averaging each factor x factor block.
RgbImage Shrink(const RgbImage &image, int factor);
// Any size to any size: each pixel the average of the block of pixels it covers (one pixel when
// enlarging). A whole-number shrink gives what Shrink gives.
RgbImage Resize(const RgbImage &image, int width, int height);
// Resized, shape kept, so that the longer side is `longest` pixels.
RgbImage ResizeLongestSide(const RgbImage &image, int longest);
void Blit(RgbImage &dst, const RgbImage &src, int x, int y);
void FillRect(RgbImage &dst, int x, int y, int w, int h, Rgb colour);

// A 5x7 font (digits, a few letters and punctuation); glyph cells are 6x8 at scale 1.
int TextWidth(std::string_view text, int scale = 1);
constexpr int TextHeight(int scale = 1) { return 8 * scale; }
void DrawText(RgbImage &dst, int x, int y, std::string_view text, Rgb colour, int scale = 1);
// Whether the font's glyph for ch sets column col (0-4) of row row (0-6); false for unknown characters.
bool GlyphPixel(char ch, int col, int row);

}  // namespace qfmedia
