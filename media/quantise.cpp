// libimagequant on an indexed picture: its pixels as RGBA, quantised, remapped.
#include "media/quantise.hpp"

#include <libimagequant.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qfmedia {

namespace {

struct Free {
    void operator()(liq_attr *a) const { liq_attr_destroy(a); }
    void operator()(liq_image *i) const { liq_image_destroy(i); }
    void operator()(liq_result *r) const { liq_result_destroy(r); }
};

}  // namespace

Reduced ReduceColours(const IndexedPicture &picture, int colours, bool dither)
{
    std::vector<uint8_t> rgba;
    const size_t pixels = static_cast<size_t>(picture.width) * picture.height;
    rgba.reserve(pixels * 4);
    for (size_t i = 0; i < pixels; ++i) {
        std::array<uint8_t, 3> c{};
        if (!picture.rgb.empty()) c = {picture.rgb[i * 3], picture.rgb[i * 3 + 1], picture.rgb[i * 3 + 2]};
        else if (picture.indices[i] < picture.palette.size()) c = picture.palette[picture.indices[i]];
        rgba.insert(rgba.end(), {c[0], c[1], c[2], 255});
    }
    std::unique_ptr<liq_attr, Free> attr(liq_attr_create());
    if (!attr || liq_set_max_colors(attr.get(), colours) != LIQ_OK)
        throw std::runtime_error("cannot reduce to " + std::to_string(colours) + " colours");
    liq_set_speed(attr.get(), 1);  // the best palette: pictures are small
    std::unique_ptr<liq_image, Free> image(
        liq_image_create_rgba(attr.get(), rgba.data(), picture.width, picture.height, 0));
    if (!image) throw std::runtime_error("cannot reduce the colours of a picture this size");
    liq_result *raw = nullptr;
    if (liq_image_quantize(image.get(), attr.get(), &raw) != LIQ_OK) throw std::runtime_error("cannot reduce colours");
    std::unique_ptr<liq_result, Free> result(raw);
    liq_set_dithering_level(result.get(), dither ? 1.0f : 0.0f);

    Reduced out;
    out.picture.width = picture.width;
    out.picture.height = picture.height;
    out.picture.bitDepth = 8;
    out.picture.indices.resize(pixels);
    if (liq_write_remapped_image(result.get(), image.get(), out.picture.indices.data(), out.picture.indices.size()) !=
        LIQ_OK)
        throw std::runtime_error("cannot reduce colours");
    const liq_palette *palette = liq_get_palette(result.get());
    for (unsigned c = 0; c < palette->count; ++c)
        out.picture.palette.push_back({palette->entries[c].r, palette->entries[c].g, palette->entries[c].b});
    out.picture.colours = static_cast<long>(out.picture.palette.size());
    out.meanError = liq_get_remapping_error(result.get());
    return out;
}

}  // namespace qfmedia
