// The sound side of an export: the movie's 16-bit stereo, converted and regrouped only when the
// plan's audio encoder needs it.
#pragma once

#include <memory>
#include <span>

#include "media/export_av.hpp"
#include "media/export_output.hpp"

namespace qfmedia::detail {

class AudioEncoder {
public:
    // Opens the encoder and adds its stream to muxer.
    AudioEncoder(const Plan &plan, Muxer &muxer);
    AudioEncoder(const AudioEncoder &) = delete;
    AudioEncoder &operator=(const AudioEncoder &) = delete;

    // One packet of the movie's sound.
    void encode(std::span<const int16_t> samples);
    void flush();

private:
    AVFrame *newFrame(int samples);
    void convert(const uint8_t **in, int count);
    void drainFifo(bool last);

    Muxer &muxer_;
    std::unique_ptr<AVCodecContext, CodecDeleter> codec_;
    AVStream *stream_ = nullptr;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<SwrContext, SwrDeleter> swr_;     // none: the encoder takes the movie's sound as it is
    std::unique_ptr<AVAudioFifo, FifoDeleter> fifo_;  // converted sound, regrouped to the encoder's frame size
    int64_t pts_ = 0;
};

}  // namespace qfmedia::detail
