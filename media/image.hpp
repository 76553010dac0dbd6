// RGB pictures: conversion from the plug-in's pixel words, integer scaling, thumbnails and a
// small bitmap font for labels.
#pragma once

#include <cstdint>
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

// Shrinks by an integer factor, averaging each factor x factor block.
RgbImage Shrink(const RgbImage &image, int factor);
void Blit(RgbImage &dst, const RgbImage &src, int x, int y);
void FillRect(RgbImage &dst, int x, int y, int w, int h, Rgb colour);

// A 5x7 font (digits, a few letters and punctuation); glyph cells are 6x8 at scale 1.
int TextWidth(std::string_view text, int scale = 1);
constexpr int TextHeight(int scale = 1) { return 8 * scale; }
void DrawText(RgbImage &dst, int x, int y, std::string_view text, Rgb colour, int scale = 1);
// Whether the font's glyph for ch sets column col (0-4) of row row (0-6); false for unknown characters.
bool GlyphPixel(char ch, int col, int row);

}  // namespace qfmedia
