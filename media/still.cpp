#include "media/still.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <string>

#include "media/export_av.hpp"
#include "media/png.hpp"
#include "qfutil/output.hpp"

namespace qfmedia {

namespace {

using detail::AvError;
using detail::CodecDeleter;
using detail::FrameDeleter;
using detail::PacketDeleter;

// RGB24 into the encoder's frame: 4:4:4 full-range YUV for JPEG (no colour smeared across the
// pixel art's hard edges), native ARGB words for lossless WebP.
void FillFrame(AVFrame &frame, const RgbImage &image)
{
    if (frame.format == AV_PIX_FMT_RGB32) {
        for (int y = 0; y < image.height; ++y) {
            auto *row = reinterpret_cast<uint32_t *>(frame.data[0] + static_cast<ptrdiff_t>(y) * frame.linesize[0]);
            for (int x = 0; x < image.width; ++x) {
                const uint8_t *p = image.at(x, y);
                row[x] = 0xFF000000u | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            }
        }
        return;
    }
    SwsContext *sws = sws_getContext(image.width, image.height, AV_PIX_FMT_RGB24, image.width, image.height,
                                     static_cast<AVPixelFormat>(frame.format), SWS_POINT, nullptr, nullptr, nullptr);
    if (!sws) throw std::runtime_error("cannot convert the picture's colours");
    const int *matrix = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(sws, matrix, 1, matrix, 1, 0, 1 << 16, 1 << 16);  // full range in and out
    const uint8_t *src[1] = {image.rgb.data()};
    const int stride[1] = {image.width * 3};
    sws_scale(sws, src, stride, 0, image.height, frame.data, frame.linesize);
    sws_freeContext(sws);
}

// One picture through one of FFmpeg's image encoders; its packet is the whole file.
void WriteEncoded(const std::filesystem::path &path, const RgbImage &image, StillFormat format)
{
    const bool jpeg = format == StillFormat::Jpeg;
    const char *label = jpeg ? "JPEG" : "WebP";
    const AVCodec *codec = avcodec_find_encoder_by_name(jpeg ? "mjpeg" : "libwebp");
    if (!codec) throw std::runtime_error(std::string("this FFmpeg has no ") + label + " encoder");
    std::unique_ptr<AVCodecContext, CodecDeleter> c(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!c || !frame || !packet) throw std::bad_alloc();
    c->width = image.width;
    c->height = image.height;
    c->time_base = {1, 25};
    AVDictionary *options = nullptr;
    if (jpeg) {
        c->pix_fmt = AV_PIX_FMT_YUV444P;
        c->color_range = AVCOL_RANGE_JPEG;
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = FF_QP2LAMBDA * 2;  // qscale 2: close to the best JPEG makes
    } else {
        c->pix_fmt = AV_PIX_FMT_RGB32;
        av_dict_set(&options, "lossless", "1", 0);
    }
    int rc = avcodec_open2(c.get(), codec, &options);
    av_dict_free(&options);
    if (rc < 0) throw std::runtime_error(std::string("cannot open the ") + codec->name + " encoder: " + AvError(rc));
    frame->format = c->pix_fmt;
    frame->width = c->width;
    frame->height = c->height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::bad_alloc();
    FillFrame(*frame, image);
    if ((rc = avcodec_send_frame(c.get(), frame.get())) < 0 || (rc = avcodec_send_frame(c.get(), nullptr)) < 0 ||
        (rc = avcodec_receive_packet(c.get(), packet.get())) < 0)
        throw std::runtime_error(std::string("the ") + label + " encoder failed: " + AvError(rc));
    qfutil::WriteFile(path, std::span<const uint8_t>(packet->data, static_cast<size_t>(packet->size)));
}

}  // namespace

StillFormat StillFormatOf(const std::filesystem::path &path)
{
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
    if (ext.empty() || ext == ".png") return StillFormat::Png;
    if (ext == ".jpg" || ext == ".jpeg") return StillFormat::Jpeg;
    if (ext == ".webp") return StillFormat::Webp;
    throw std::runtime_error(path.extension().string() +
                             " is no picture format this command writes (.png, .jpg or .jpeg, .webp)");
}

void WriteStill(const std::filesystem::path &path, const RgbImage &image, StillFormat format)
{
    if (format == StillFormat::Png) return WritePng(path, image);
    WriteEncoded(path, image, format);
}

}  // namespace qfmedia
