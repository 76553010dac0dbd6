// The picture side of an export: each frame converted for the plan's video encoder and encoded.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "media/export_av.hpp"
#include "media/export_output.hpp"
#include "media/image.hpp"

namespace qfmedia::detail {

class VideoEncoder {
public:
    // Opens the encoder and adds its stream to muxer. The picture goes in as layout says; sar is
    // what the stream declares (1:1 when the layout already corrected it).
    VideoEncoder(const Plan &plan, Muxer &muxer, int width, int height, Layout layout, Ratio sar);
    VideoEncoder(const VideoEncoder &) = delete;
    VideoEncoder &operator=(const VideoEncoder &) = delete;

    void encode(std::span<const uint32_t> pixels);
    void flush();
    // "H.264 (libx264)"
    std::string name() const { return name_; }

private:
    void open(const Plan &plan, Ratio sar);
    void fillYuv(std::span<const uint32_t> pixels);
    void fillPaletted(std::span<const uint32_t> pixels);

    Muxer &muxer_;
    bool paletted_;
    int width_, height_;
    Layout layout_;
    std::string name_;
    std::unique_ptr<AVCodecContext, CodecDeleter> codec_;
    AVStream *stream_ = nullptr;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<SwsContext, SwsDeleter> sws_;
    RgbImage rgb_;
    int64_t pts_ = 0;
    int ticksPerFrame_ = 1;
};

}  // namespace qfmedia::detail
