#include "media/export_video.hpp"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "quillframer/movie_format.h"

namespace qfmedia::detail {

VideoEncoder::VideoEncoder(const Plan &plan, Muxer &muxer, int width, int height, Layout layout, Ratio sar)
    : muxer_(muxer), paletted_(plan.paletted), width_(width), height_(height), layout_(layout)
{
    open(plan, sar);
}

void VideoEncoder::open(const Plan &plan, Ratio sar)
{
    const AVCodec *codec = nullptr;
    for (const char *name : plan.videoEncoders)
        if ((codec = avcodec_find_encoder_by_name(name))) break;
    if (!codec) codec = avcodec_find_encoder(plan.videoFallback);
    if (!codec) throw std::runtime_error(std::string("this FFmpeg has no ") + plan.videoName + " encoder");
    name_ = std::string(plan.videoName) + (*codec->name ? std::string(" (") + codec->name + ")" : "");
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_) throw std::runtime_error("out of memory");
    AVCodecContext *c = codec_.get();
    const bool gif = paletted_;
    // 4:2:0 needs even sizes: a scaled-up odd picture gets its last row / column repeated.
    c->width = layout_.canvasWidth + (gif ? 0 : layout_.canvasWidth % 2);
    c->height = layout_.canvasHeight + (gif ? 0 : layout_.canvasHeight % 2);
    // Players stretch the picture by this; no pixel is resampled.
    if (sar.num != sar.den) c->sample_aspect_ratio = {sar.num, sar.den};
    c->time_base = gif ? AVRational{1, 100} : AVRational{1, QF_FRAMES_PER_SECOND};
    ticksPerFrame_ = gif ? 4 : 1;
    c->framerate = {QF_FRAMES_PER_SECOND, 1};
    c->pix_fmt = gif ? AV_PIX_FMT_PAL8 : AV_PIX_FMT_YUV420P;
    c->gop_size = 250;
    if (!gif) {
        // swscale's default RGB->YUV matrix is BT.601 limited range; say so in the stream.
        c->colorspace = AVCOL_SPC_SMPTE170M;
        c->color_range = AVCOL_RANGE_MPEG;
        c->color_primaries = AVCOL_PRI_BT709;
        c->color_trc = AVCOL_TRC_IEC61966_2_1;
    }
    muxer_.configureGlobalHeader(c);
    AVDictionary *options = nullptr;
    if (std::strcmp(codec->name, "libx264") == 0) {
        // Flat-coloured pixel art at a generous quality: small files, crisp edges.
        av_dict_set(&options, "preset", "medium", 0);
        av_dict_set(&options, "crf", "16", 0);
        av_dict_set(&options, "tune", "animation", 0);
    } else if (std::strcmp(codec->name, "libvpx-vp9") == 0) {
        av_dict_set(&options, "crf", "20", 0);
        av_dict_set(&options, "b", "0", 0);
        av_dict_set(&options, "deadline", "good", 0);
        av_dict_set(&options, "cpu-used", "4", 0);
        av_dict_set(&options, "row-mt", "1", 0);
    }
    int rc = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (rc < 0) muxer_.fail(std::string("cannot open the ") + codec->name + " encoder", rc);
    stream_ = muxer_.addStream(c, "video");
    stream_->sample_aspect_ratio = c->sample_aspect_ratio;
    stream_->avg_frame_rate = {QF_FRAMES_PER_SECOND, 1};
    stream_->r_frame_rate = {QF_FRAMES_PER_SECOND, 1};

    frame_.reset(av_frame_alloc());
    if (!frame_) throw std::runtime_error("out of memory");
    frame_->format = c->pix_fmt;
    frame_->width = c->width;
    frame_->height = c->height;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) throw std::runtime_error("out of memory");
    if (!gif) {
        rgb_ = RgbImage(c->width, c->height);
        sws_.reset(sws_getContext(c->width, c->height, AV_PIX_FMT_RGB24, c->width, c->height, AV_PIX_FMT_YUV420P,
                                  SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr));
        if (!sws_) throw std::runtime_error("cannot set up the colour conversion");
    }
}

void VideoEncoder::encode(std::span<const uint32_t> pixels)
{
    if (av_frame_make_writable(frame_.get()) < 0) throw std::runtime_error("out of memory");
    if (paletted_) fillPaletted(pixels);
    else fillYuv(pixels);
    frame_->pts = pts_;
    pts_ += ticksPerFrame_;
    muxer_.encode(codec_.get(), stream_, frame_.get(), ticksPerFrame_);
}

void VideoEncoder::flush() { muxer_.encode(codec_.get(), stream_, nullptr, ticksPerFrame_); }

void VideoEncoder::fillYuv(std::span<const uint32_t> pixels)
{
    RgbImage scaled = RenderPicture(pixels, width_, height_, layout_);
    const int w = scaled.width, h = scaled.height;
    for (int y = 0; y < rgb_.height; ++y) {
        int sy = std::min(y, h - 1);
        std::memcpy(rgb_.at(0, y), scaled.at(0, sy), static_cast<size_t>(w) * 3);
        if (rgb_.width > w) std::memcpy(rgb_.at(w, y), scaled.at(w - 1, sy), 3);
    }
    const uint8_t *src[1] = {rgb_.rgb.data()};
    int stride[1] = {rgb_.width * 3};
    sws_scale(sws_.get(), src, stride, 0, rgb_.height, frame_->data, frame_->linesize);
}

void VideoEncoder::fillPaletted(std::span<const uint32_t> pixels)
{
    // The exact colours of this frame; the plug-in draws through 256 palette words, so there
    // are never more (padding adds black at most), and the GIF needs no dithering.
    const RgbImage image = RenderPicture(pixels, width_, height_, layout_);
    std::unordered_map<uint32_t, uint8_t> index;
    auto *palette = reinterpret_cast<uint32_t *>(frame_->data[1]);
    std::fill(palette, palette + 256, 0xFF000000u);
    for (int y = 0; y < image.height; ++y) {
        uint8_t *dst = frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0];
        for (int x = 0; x < image.width; ++x) {
            const uint8_t *p = image.at(x, y);
            const uint32_t colour = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
            auto [it, added] = index.try_emplace(colour, static_cast<uint8_t>(index.size()));
            if (added) {
                if (index.size() > 256) throw std::runtime_error("a frame has more than 256 colours");
                palette[it->second] = 0xFF000000u | colour;
            }
            dst[x] = it->second;
        }
    }
}

}  // namespace qfmedia::detail
