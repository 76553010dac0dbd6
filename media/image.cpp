#include "media/image.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace qfmedia {

RgbImage::RgbImage(int w, int h, Rgb fill) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3)
{
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = fill.r;
        rgb[i + 1] = fill.g;
        rgb[i + 2] = fill.b;
    }
}

uint32_t PackedColor(uint32_t word)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&word);
    return (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

RgbImage FromPixelWords(std::span<const uint32_t> words, int width, int height, int scale)
{
    scale = std::max(scale, 1);
    RgbImage image(width * scale, height * scale);
    for (int y = 0; y < height; ++y) {
        uint8_t *row = image.at(0, y * scale);
        uint8_t *out = row;
        for (int x = 0; x < width; ++x) {
            const auto *bytes = reinterpret_cast<const uint8_t *>(&words[static_cast<size_t>(y) * width + x]);
            for (int s = 0; s < scale; ++s) {
                *out++ = bytes[1];
                *out++ = bytes[2];
                *out++ = bytes[3];
            }
        }
        const size_t rowBytes = static_cast<size_t>(image.width) * 3;
        for (int s = 1; s < scale; ++s) std::memcpy(image.at(0, y * scale + s), row, rowBytes);
    }
    return image;
}

Ratio SampleAspect(PixelAspect aspect)
{
    switch (aspect) {
    case PixelAspect::Pal: return {16, 15};
    case PixelAspect::Ntsc: return {5, 6};
    case PixelAspect::Square: break;
    }
    return {1, 1};
}

std::optional<PixelAspect> ParseAspect(std::string_view name)
{
    if (name == "square") return PixelAspect::Square;
    if (name == "pal") return PixelAspect::Pal;
    if (name == "ntsc") return PixelAspect::Ntsc;
    return std::nullopt;
}

std::optional<Size> ParseSize(std::string_view text)
{
    Size size;
    char x = 0;
    int used = 0;
    const std::string s(text);
    if (std::sscanf(s.c_str(), "%d%c%d%n", &size.width, &x, &size.height, &used) != 3 || (x != 'x' && x != 'X') ||
        used != static_cast<int>(s.size()) || size.width <= 0 || size.height <= 0)
        return std::nullopt;
    return size;
}

namespace {

// The picture at `scale`, stretched to exactly the aspect's shape.
Size Corrected(int width, int height, int scale, Ratio sar)
{
    const int64_t w = int64_t{width} * scale, h = int64_t{height} * scale;
    if (sar.num == sar.den) return {static_cast<int>(w), static_cast<int>(h)};
    // The shown shape p:q in lowest terms; the output is k*p by k*q with the smallest k that
    // loses nothing.
    int64_t p = int64_t{width} * sar.num, q = int64_t{height} * sar.den;
    const int64_t g = std::gcd(p, q);
    p /= g, q /= g;
    const int64_t k = std::max((w + p - 1) / p, (h + q - 1) / q);
    // An awkward size (say 321x257) has no exact shape near it: then only the axis that grows
    // is stretched, rounded to whole pixels.
    if (k * p > w + w / 8 || k * q > h + h / 8) {
        if (sar.num > sar.den) return {static_cast<int>((w * sar.num + sar.den / 2) / sar.den), static_cast<int>(h)};
        return {static_cast<int>(w), static_cast<int>((h * sar.den + sar.num / 2) / sar.num)};
    }
    return {static_cast<int>(k * p), static_cast<int>(k * q)};
}

}  // namespace

Layout PlacePicture(int width, int height, int scale, PixelAspect aspect, std::optional<Size> fit)
{
    const Ratio sar = SampleAspect(aspect);
    Layout layout;
    Size picture = Corrected(width, height, std::max(scale, 1), sar);
    if (fit) {
        picture = Corrected(width, height, 1, sar);
        if (picture.width > fit->width || picture.height > fit->height)
            throw std::runtime_error("the picture (" + std::to_string(picture.width) + "x" +
                                     std::to_string(picture.height) + ") does not fit in " +
                                     std::to_string(fit->width) + "x" + std::to_string(fit->height));
        for (int s = 2;; ++s) {
            Size next = Corrected(width, height, s, sar);
            if (next.width > fit->width || next.height > fit->height) break;
            picture = next;
        }
    }
    layout.width = picture.width;
    layout.height = picture.height;
    layout.canvasWidth = fit ? fit->width : picture.width;
    layout.canvasHeight = fit ? fit->height : picture.height;
    layout.x = (layout.canvasWidth - layout.width) / 2;
    layout.y = (layout.canvasHeight - layout.height) / 2;
    return layout;
}

RgbImage RenderPicture(std::span<const uint32_t> words, int width, int height, const Layout &layout)
{
    const bool plain = layout.canvasWidth == layout.width && layout.canvasHeight == layout.height;
    if (plain && layout.width % width == 0 && layout.height % height == 0 &&
        layout.width / width == layout.height / height)
        return FromPixelWords(words, width, height, layout.width / width);
    RgbImage image(layout.canvasWidth, layout.canvasHeight);
    std::vector<int> column(static_cast<size_t>(layout.width));
    for (int x = 0; x < layout.width; ++x) column[x] = static_cast<int>(int64_t{x} * width / layout.width);
    int previous = -1;
    for (int y = 0; y < layout.height; ++y) {
        const int sy = static_cast<int>(int64_t{y} * height / layout.height);
        uint8_t *out = image.at(layout.x, layout.y + y);
        if (sy == previous) {  // a repeated row: copy the one above
            std::memcpy(out, image.at(layout.x, layout.y + y - 1), static_cast<size_t>(layout.width) * 3);
            continue;
        }
        previous = sy;
        for (int x = 0; x < layout.width; ++x) {
            const auto *bytes = reinterpret_cast<const uint8_t *>(&words[static_cast<size_t>(sy) * width + column[x]]);
            *out++ = bytes[1], *out++ = bytes[2], *out++ = bytes[3];
        }
    }
    return image;
}

RgbImage Shrink(const RgbImage &image, int factor)
{
    if (factor <= 1) return image;
    RgbImage out(std::max(1, image.width / factor), std::max(1, image.height / factor));
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            unsigned sum[3] = {0, 0, 0};
            unsigned count = 0;
            for (int dy = 0; dy < factor && y * factor + dy < image.height; ++dy)
                for (int dx = 0; dx < factor && x * factor + dx < image.width; ++dx) {
                    const uint8_t *p = image.at(x * factor + dx, y * factor + dy);
                    sum[0] += p[0], sum[1] += p[1], sum[2] += p[2];
                    ++count;
                }
            uint8_t *q = out.at(x, y);
            for (int c = 0; c < 3; ++c) q[c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
        }
    return out;
}

RgbImage Resize(const RgbImage &image, int width, int height)
{
    RgbImage out(width, height);
    if (image.width <= 0 || image.height <= 0) return out;
    // Each output pixel covers source columns [x0, x1) and rows [y0, y1), at least one of each.
    auto span = [](int i, int from, int to) {
        const int a = static_cast<int>(int64_t{i} * from / to);
        const int b = static_cast<int>(int64_t{i + 1} * from / to);
        return std::pair{a, std::max(a + 1, b)};
    };
    for (int y = 0; y < height; ++y) {
        const auto [y0, y1] = span(y, image.height, height);
        for (int x = 0; x < width; ++x) {
            const auto [x0, x1] = span(x, image.width, width);
            uint64_t sum[3] = {0, 0, 0};
            for (int sy = y0; sy < y1; ++sy)
                for (int sx = x0; sx < x1; ++sx) {
                    const uint8_t *p = image.at(sx, sy);
                    sum[0] += p[0], sum[1] += p[1], sum[2] += p[2];
                }
            const uint64_t count = uint64_t(y1 - y0) * uint64_t(x1 - x0);
            uint8_t *q = out.at(x, y);
            for (int c = 0; c < 3; ++c) q[c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
        }
    }
    return out;
}

RgbImage ResizeLongestSide(const RgbImage &image, int longest)
{
    const int64_t w = std::max(1, image.width), h = std::max(1, image.height), side = std::max(1, longest);
    // Rounded to the nearest pixel, never below one.
    if (w >= h)
        return Resize(image, static_cast<int>(side), static_cast<int>(std::max<int64_t>(1, (h * side + w / 2) / w)));
    return Resize(image, static_cast<int>(std::max<int64_t>(1, (w * side + h / 2) / h)), static_cast<int>(side));
}

void Blit(RgbImage &dst, const RgbImage &src, int x, int y)
{
    for (int row = 0; row < src.height; ++row) {
        int dy = y + row;
        if (dy < 0 || dy >= dst.height) continue;
        int x0 = std::max(0, -x), x1 = std::min(src.width, dst.width - x);
        if (x1 <= x0) continue;
        std::memcpy(dst.at(x + x0, dy), src.at(x0, row), static_cast<size_t>(x1 - x0) * 3);
    }
}

void FillRect(RgbImage &dst, int x, int y, int w, int h, Rgb colour)
{
    for (int row = std::max(0, y); row < std::min(dst.height, y + h); ++row)
        for (int col = std::max(0, x); col < std::min(dst.width, x + w); ++col) {
            uint8_t *p = dst.at(col, row);
            p[0] = colour.r, p[1] = colour.g, p[2] = colour.b;
        }
}

namespace {

struct Glyph {
    char ch;
    const char *rows[7];  // '#' set, anything else clear; 5 columns
};

// clang-format off
constexpr Glyph Glyphs[] = {
    {'0', {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "}},
    {'1', {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'2', {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"}},
    {'3', {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "}},
    {'4', {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "}},
    {'5', {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "}},
    {'6', {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "}},
    {'7', {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "}},
    {'8', {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "}},
    {'9', {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "}},
    {'A', {" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'B', {"#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "}},
    {'C', {" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "}},
    {'D', {"#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "}},
    {'E', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"}},
    {'F', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "}},
    {'G', {" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"}},
    {'H', {"#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'I', {" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'J', {"  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "}},
    {'K', {"#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"}},
    {'L', {"#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"}},
    {'M', {"#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"}},
    {'N', {"#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"}},
    {'O', {" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'P', {"#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "}},
    {'Q', {" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"}},
    {'R', {"#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"}},
    {'S', {" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "}},
    {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'U', {"#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'V', {"#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "}},
    {'W', {"#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "}},
    {'X', {"#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"}},
    {'Y', {"#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'Z', {"#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"}},
    {':', {"     ", "  #  ", "  #  ", "     ", "  #  ", "  #  ", "     "}},
    {'.', {"     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "}},
    {',', {"     ", "     ", "     ", "     ", " ##  ", "  #  ", " #   "}},
    {'-', {"     ", "     ", "     ", "#####", "     ", "     ", "     "}},
    {'/', {"    #", "    #", "   # ", "  #  ", " #   ", "#    ", "#    "}},
    {'!', {"  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "     ", "  #  "}},
    {'?', {" ### ", "#   #", "    #", "   # ", "  #  ", "     ", "  #  "}},
    {'\'', {"  #  ", "  #  ", " #   ", "     ", "     ", "     ", "     "}},
    {'*', {"     ", "# # #", " ### ", "#####", " ### ", "# # #", "     "}},
    {'+', {"     ", "  #  ", "  #  ", "#####", "  #  ", "  #  ", "     "}},
};
// clang-format on

const Glyph *FindGlyph(char ch)
{
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');  // one case is enough for labels
    for (const Glyph &g : Glyphs)
        if (g.ch == ch) return &g;
    return nullptr;
}

}  // namespace

bool GlyphPixel(char ch, int col, int row)
{
    const Glyph *g = FindGlyph(ch);
    return g && col >= 0 && col < 5 && row >= 0 && row < 7 && g->rows[row][col] == '#';
}

int TextWidth(std::string_view text, int scale) { return static_cast<int>(text.size()) * 6 * scale; }

void DrawText(RgbImage &dst, int x, int y, std::string_view text, Rgb colour, int scale)
{
    for (char ch : text) {
        if (const Glyph *g = FindGlyph(ch))
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[row][col] == '#') FillRect(dst, x + col * scale, y + row * scale, scale, scale, colour);
        x += 6 * scale;
    }
}

}  // namespace qfmedia
