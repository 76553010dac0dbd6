#include "media/export_audio.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "quillframer/host_api.h"

namespace qfmedia::detail {

namespace {

constexpr int MovieRate = QF_AUDIO_SAMPLE_RATE;
constexpr int FramesPerPacket = QF_AUDIO_FRAMES_PER_PACKET;

}  // namespace

AudioEncoder::AudioEncoder(const Plan &plan, Muxer &muxer) : muxer_(muxer)
{
    const AVCodec *codec = avcodec_find_encoder_by_name(plan.audioEncoder);
    if (!codec) throw std::runtime_error(std::string("this FFmpeg has no ") + plan.audioName + " encoder");
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_) throw std::runtime_error("out of memory");
    AVCodecContext *c = codec_.get();
    c->sample_rate = plan.audioRate;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    av_channel_layout_copy(&c->ch_layout, &stereo);
    c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    // Prefer 16-bit where the encoder takes it: no conversion at all for PCM and FLAC.
    if (codec->sample_fmts)
        for (const AVSampleFormat *f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
            if (*f == AV_SAMPLE_FMT_S16) c->sample_fmt = AV_SAMPLE_FMT_S16;
    c->time_base = {1, c->sample_rate};
    if (plan.audioBitRate > 0) c->bit_rate = plan.audioBitRate;
    muxer_.configureGlobalHeader(c);
    int rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0) muxer_.fail(std::string("cannot open the ") + codec->name + " encoder", rc);
    stream_ = muxer_.addStream(c, "audio");

    frame_.reset(av_frame_alloc());
    if (!frame_) throw std::runtime_error("out of memory");

    if (c->sample_fmt != AV_SAMPLE_FMT_S16 || c->sample_rate != MovieRate ||
        (c->frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE))) {
        SwrContext *swr = nullptr;
        rc = swr_alloc_set_opts2(&swr, &c->ch_layout, c->sample_fmt, c->sample_rate, &stereo, AV_SAMPLE_FMT_S16,
                                 MovieRate, 0, nullptr);
        if (rc < 0 || swr_init(swr) < 0) {
            swr_free(&swr);
            throw std::runtime_error("cannot set up the sound conversion");
        }
        swr_.reset(swr);
        fifo_.reset(av_audio_fifo_alloc(c->sample_fmt, 2, 4096));
        if (!fifo_) throw std::runtime_error("out of memory");
    }
}

void AudioEncoder::encode(std::span<const int16_t> samples)
{
    if (!swr_) {  // same format in and out: hand the samples over untouched
        AVFrame *f = newFrame(FramesPerPacket);
        std::memcpy(f->data[0], samples.data(), samples.size_bytes());
        f->pts = pts_;
        pts_ += FramesPerPacket;
        muxer_.encode(codec_.get(), stream_, f);
        av_frame_unref(f);
        return;
    }
    const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(samples.data())};
    convert(in, FramesPerPacket);
    drainFifo(false);
}

void AudioEncoder::flush()
{
    if (swr_) {
        convert(nullptr, 0);
        drainFifo(true);
    }
    muxer_.encode(codec_.get(), stream_, nullptr);
}

// The audio frame, emptied by the last encode, set up afresh for `samples` frames.
AVFrame *AudioEncoder::newFrame(int samples)
{
    AVCodecContext *c = codec_.get();
    AVFrame *f = frame_.get();
    av_frame_unref(f);
    f->format = c->sample_fmt;
    f->sample_rate = c->sample_rate;
    f->nb_samples = samples;
    if (av_channel_layout_copy(&f->ch_layout, &c->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
        throw std::runtime_error("out of memory");
    return f;
}

void AudioEncoder::convert(const uint8_t **in, int count)
{
    AVCodecContext *c = codec_.get();
    int room = swr_get_out_samples(swr_.get(), count) + 32;
    uint8_t **buffers = nullptr;
    if (av_samples_alloc_array_and_samples(&buffers, nullptr, 2, room, c->sample_fmt, 0) < 0)
        throw std::runtime_error("out of memory");
    int made = swr_convert(swr_.get(), buffers, room, in, count);
    int rc = made < 0 ? made : av_audio_fifo_write(fifo_.get(), reinterpret_cast<void **>(buffers), made);
    av_freep(&buffers[0]);
    av_freep(&buffers);
    if (rc < 0) muxer_.fail("cannot convert the sound", rc);
}

void AudioEncoder::drainFifo(bool last)
{
    AVCodecContext *c = codec_.get();
    int size = c->frame_size > 0 ? c->frame_size : FramesPerPacket;
    while (av_audio_fifo_size(fifo_.get()) >= size || (last && av_audio_fifo_size(fifo_.get()) > 0)) {
        int count = std::min(size, av_audio_fifo_size(fifo_.get()));
        bool pad = count < size &&
                   !(c->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
        AVFrame *f = newFrame(pad ? size : count);
        if (pad) av_samples_set_silence(f->data, 0, size, 2, c->sample_fmt);
        if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void **>(f->data), count) < count)
            throw std::runtime_error("sound buffer underrun");
        f->pts = pts_;
        pts_ += f->nb_samples;
        muxer_.encode(codec_.get(), stream_, f);
        av_frame_unref(f);
    }
}

}  // namespace qfmedia::detail
