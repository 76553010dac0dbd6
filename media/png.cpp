#include "media/png.hpp"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <unordered_map>
#include <stdexcept>

namespace qfmedia {

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File OpenFile(const std::filesystem::path &path, const char *mode, const char *verb)
{
    FILE *f = std::fopen(path.c_str(), mode);
    if (!f) throw std::runtime_error(std::string("cannot ") + verb + " " + path.string() + ": " + std::strerror(errno));
    return File(f);
}

[[noreturn]] void PngError(png_structp png, png_const_charp message)
{
    // libpng wants no return from here; an exception unwinds through its C frames, which is fine
    // because nothing there owns resources (our RAII guards below do).
    (void)png;
    throw std::runtime_error(message);
}

void PngWarning(png_structp, png_const_charp) {}

struct WriteGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteGuard() { png_destroy_write_struct(&png, &info); }
};

struct ReadGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadGuard() { png_destroy_read_struct(&png, &info, nullptr); }
};

template <typename Fill>
void WriteWith(const std::filesystem::path &path, int width, int height, Fill fill)
{
    File file = OpenFile(path, "wb", "write");
    WriteGuard g;
    g.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    if (!g.png) throw std::runtime_error("out of memory");
    g.info = png_create_info_struct(g.png);
    if (!g.info) throw std::runtime_error("out of memory");
    try {
        png_init_io(g.png, file.get());
        fill(g.png, g.info);
        png_write_end(g.png, g.info);
    } catch (const std::runtime_error &e) {
        throw std::runtime_error("cannot write " + path.string() + ": " + e.what());
    }
    (void)width, (void)height;
    if (std::fflush(file.get()) != 0 || std::ferror(file.get()))
        throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
    FILE *raw = file.release();
    if (std::fclose(raw) != 0) throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

void WritePng(const std::filesystem::path &path, const RgbImage &image)
{
    WriteWith(path, image.width, image.height, [&](png_structp png, png_infop info) {
        png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < image.height; ++y) png_write_row(png, image.at(0, y));
    });
}

void WriteIndexedPng(const std::filesystem::path &path, const IndexedPicture &picture)
{
    WriteWith(path, picture.width, picture.height, [&](png_structp png, png_infop info) {
        const int depth =
            picture.bitDepth == 1 || picture.bitDepth == 2 || picture.bitDepth == 4 ? picture.bitDepth : 8;
        png_set_IHDR(png, info, picture.width, picture.height, depth, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        std::vector<png_color> colours;
        for (auto &c : picture.palette) colours.push_back({c[0], c[1], c[2]});
        if (colours.empty()) colours.push_back({0, 0, 0});
        png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
        // Entries before the transparent one stay opaque; those after need no tRNS entry.
        std::vector<png_byte> alpha;
        if (picture.transparentIndex >= 0 && picture.transparentIndex < static_cast<int>(colours.size())) {
            alpha.assign(static_cast<size_t>(picture.transparentIndex) + 1, 0xff);
            alpha.back() = 0;
            png_set_tRNS(png, info, alpha.data(), static_cast<int>(alpha.size()), nullptr);
        }
        png_write_info(png, info);
        if (depth < 8) png_set_packing(png);  // rows stay one index per byte here
        for (int y = 0; y < picture.height; ++y)
            png_write_row(png, picture.indices.data() + static_cast<size_t>(y) * picture.width);
    });
}

namespace {

template <typename Body>
auto ReadWith(const std::filesystem::path &path, Body body)
{
    File file = OpenFile(path, "rb", "read");
    unsigned char signature[8] = {};
    if (std::fread(signature, 1, 8, file.get()) != 8 || png_sig_cmp(signature, 0, 8) != 0)
        throw std::runtime_error(path.string() + " is not a PNG file");
    ReadGuard g;
    g.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    if (!g.png) throw std::runtime_error("out of memory");
    g.info = png_create_info_struct(g.png);
    if (!g.info) throw std::runtime_error("out of memory");
    try {
        png_init_io(g.png, file.get());
        png_set_sig_bytes(g.png, 8);
        png_read_info(g.png, g.info);
        return body(g.png, g.info);
    } catch (const std::runtime_error &e) {
        std::string what = e.what();
        if (what.rfind(path.string(), 0) == 0) throw;
        throw std::runtime_error("cannot read " + path.string() + ": " + what);
    }
}

}  // namespace

namespace {

std::runtime_error PartlyTransparent(const std::filesystem::path &path)
{
    return std::runtime_error(path.string() + " has partly transparent pixels; an Amiga picture has none "
                                              "(make each pixel opaque or fully transparent)");
}

// A grey or RGB(A) picture with few enough colours becomes an indexed one without changing a pixel:
// fully transparent pixels take index 0 (as faces want), the colours follow in the order first met.
IndexedPicture IndexTrueColour(const std::filesystem::path &path, png_structp png, png_infop info)
{
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    IndexedPicture picture;
    picture.width = static_cast<int>(png_get_image_width(png, info));
    picture.height = static_cast<int>(png_get_image_height(png, info));
    picture.bitDepth = 8;
    std::vector<uint8_t> rgba(static_cast<size_t>(picture.width) * picture.height * 4);
    std::vector<png_bytep> rows(picture.height);
    for (int y = 0; y < picture.height; ++y) rows[y] = rgba.data() + static_cast<size_t>(y) * picture.width * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);

    constexpr uint32_t transparent = 0xffffffff;  // no opaque colour has this key
    std::unordered_map<uint32_t, int> index;
    bool anyTransparent = false;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        if (rgba[i + 3] != 0 && rgba[i + 3] != 0xff) throw PartlyTransparent(path);
        anyTransparent |= rgba[i + 3] == 0;
    }
    if (anyTransparent) {
        index[transparent] = 0;
        picture.palette.push_back({0, 0, 0});
        picture.transparentIndex = 0;
    }
    picture.indices.resize(rgba.size() / 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        uint32_t key =
            rgba[i + 3] == 0 ? transparent : uint32_t{rgba[i]} << 16 | uint32_t{rgba[i + 1]} << 8 | rgba[i + 2];
        auto [it, added] = index.try_emplace(key, static_cast<int>(index.size()));
        if (added && index.size() <= 256) picture.palette.push_back({rgba[i], rgba[i + 1], rgba[i + 2]});
        picture.indices[i / 4] = static_cast<uint8_t>(std::min(it->second, 255));
    }
    picture.colours = static_cast<long>(index.size());
    if (index.size() > 256) {
        // Too many for a palette: the caller reduces them or refuses the picture with the count.
        picture.indices.clear();
        picture.palette.clear();
        picture.transparentIndex = -1;
        picture.rgb.reserve(rgba.size() / 4 * 3);
        for (size_t i = 0; i < rgba.size(); i += 4) picture.rgb.insert(picture.rgb.end(), &rgba[i], &rgba[i + 3]);
    }
    return picture;
}

}  // namespace

IndexedPicture ReadIndexedPng(const std::filesystem::path &path)
{
    return ReadWith(path, [&](png_structp png, png_infop info) {
        if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE) return IndexTrueColour(path, png, info);
        IndexedPicture picture;
        picture.width = static_cast<int>(png_get_image_width(png, info));
        picture.height = static_cast<int>(png_get_image_height(png, info));
        picture.bitDepth = png_get_bit_depth(png, info);
        png_colorp colours = nullptr;
        int count = 0;
        png_get_PLTE(png, info, &colours, &count);
        for (int i = 0; i < count; ++i) picture.palette.push_back({colours[i].red, colours[i].green, colours[i].blue});
        png_bytep alpha = nullptr;
        int alphas = 0;
        if (png_get_tRNS(png, info, &alpha, &alphas, nullptr) & PNG_INFO_tRNS)
            for (int i = 0; i < alphas && picture.transparentIndex < 0; ++i)
                if (alpha[i] == 0) picture.transparentIndex = i;
        if (picture.bitDepth < 8) png_set_packing(png);  // one index per byte
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        picture.indices.resize(static_cast<size_t>(picture.width) * picture.height);
        std::vector<png_bytep> rows(picture.height);
        for (int y = 0; y < picture.height; ++y)
            rows[y] = picture.indices.data() + static_cast<size_t>(y) * picture.width;
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        for (uint8_t &v : picture.indices) {
            if (v >= alphas || alpha[v] == 0xff) continue;
            if (alpha[v] != 0) throw PartlyTransparent(path);
            v = static_cast<uint8_t>(picture.transparentIndex);
        }
        picture.colours = static_cast<long>(picture.palette.size());
        return picture;
    });
}

RgbImage ReadRgbPng(const std::filesystem::path &path)
{
    return ReadWith(path, [&](png_structp png, png_infop info) {
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_strip_alpha(png);
        png_set_gray_to_rgb(png);
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        RgbImage image(static_cast<int>(png_get_image_width(png, info)),
                       static_cast<int>(png_get_image_height(png, info)));
        std::vector<png_bytep> rows(image.height);
        for (int y = 0; y < image.height; ++y) rows[y] = image.at(0, y);
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        return image;
    });
}

}  // namespace qfmedia
