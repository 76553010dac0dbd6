// What the FFmpeg side of export shares: a row of the format table and owners of FFmpeg's objects.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <string>
#include <vector>

namespace qfmedia::detail {

// FFmpeg's words for an error code.
std::string AvError(int code);

// How one format is written: its muxer and encoders, and what the summary calls them.
struct Plan {
    const char *muxer;
    bool indexFirst;                          // MP4's index moved to the front (+faststart)
    std::vector<const char *> videoEncoders;  // tried in order; empty: no video
    AVCodecID videoFallback;                  // any encoder of this codec when the named ones are missing
    const char *videoName;
    bool paletted;             // GIF: each frame's own palette, in centiseconds
    const char *audioEncoder;  // nullptr: no audio
    const char *audioName;
    int audioRate;
    int64_t audioBitRate;  // 0: the encoder's own
};

struct FormatDeleter {
    void operator()(AVFormatContext *f) const
    {
        if (f && f->pb && !(f->flags & AVFMT_FLAG_CUSTOM_IO)) avio_closep(&f->pb);
        avformat_free_context(f);
    }
};
struct CodecDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};
struct SwrDeleter {
    void operator()(SwrContext *s) const { swr_free(&s); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo *f) const { av_audio_fifo_free(f); }
};

}  // namespace qfmedia::detail
