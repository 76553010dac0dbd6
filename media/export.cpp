#include "media/export.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "media/image.hpp"
#include "media/png.hpp"
#include "media/progress.hpp"
#include "qfhost/host.hpp"
#include "qfhost/time.hpp"
#include "quillframer/movie_format.h"
#include "qfutil/output.hpp"

namespace qfmedia {

namespace {

constexpr int MovieRate = QF_AUDIO_SAMPLE_RATE;
constexpr int FramesPerPacket = QF_AUDIO_FRAMES_PER_PACKET;

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A printf pattern with exactly one integer conversion (%d or %0Nd) and no other conversion.
bool IsFramePattern(const std::string &name)
{
    int conversions = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') continue;
        if (i + 1 < name.size() && name[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) ++j;
        if (j >= name.size() || name[j] != 'd' || j - i > 3) return false;
        ++conversions;
        i = j;
    }
    return conversions == 1;
}

// The first `count` frames of a pattern that exist already, from one look at the folder: a long
// movie would make a list of every name it may write far too long.
std::vector<std::filesystem::path> ExistingFrames(const std::filesystem::path &pattern, uint64_t count)
{
    std::vector<std::filesystem::path> found;
    std::filesystem::path dir = pattern.parent_path().empty() ? "." : pattern.parent_path();
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (size_t i = 0, j; i < name.size(); i = j) {
            for (j = i; j < name.size() && std::isdigit(static_cast<unsigned char>(name[j])); ++j) {}
            if (j == i) {
                ++j;
                continue;
            }
            uint64_t index = j - i <= 9 ? std::stoull(name.substr(i, j - i)) : count;
            if (index < count && PatternPath(pattern, index).filename() == name) {
                found.push_back(PatternPath(pattern, index));
                break;
            }
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Receives the decoded stream, one picture or one packet of sound at a time.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool wantsVideo() const = 0;
    virtual bool wantsAudio() const = 0;
    virtual void video(std::span<const uint32_t> pixels) = 0;
    virtual void audio(std::span<const int16_t> samples) = 0;
    virtual void finish() = 0;
    virtual std::string codecs() const = 0;
};

class PngSink : public Sink {
public:
    PngSink(std::filesystem::path pattern, int width, int height, Layout layout, qfutil::Outputs &outputs)
        : pattern_(std::move(pattern)), width_(width), height_(height), layout_(layout), outputs_(outputs)
    {
        // frames/%05d.png names a folder of its own: make it, as the docs' example expects.
        if (!pattern_.parent_path().empty()) std::filesystem::create_directories(pattern_.parent_path());
    }
    bool wantsVideo() const override { return true; }
    bool wantsAudio() const override { return false; }
    void video(std::span<const uint32_t> pixels) override
    {
        // Each frame whole or not at all: an interrupt leaves the frames before it, all complete.
        RgbImage image = RenderPicture(pixels, width_, height_, layout_);
        outputs_.write(PatternPath(pattern_, count_++), [&](const std::filesystem::path &file) { WritePng(file, image); });
    }
    void audio(std::span<const int16_t>) override {}
    void finish() override {}
    std::string codecs() const override { return "PNG"; }
    uint64_t count() const { return count_; }

private:
    std::filesystem::path pattern_;
    int width_, height_;
    Layout layout_;
    qfutil::Outputs &outputs_;
    uint64_t count_ = 0;
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

struct Plan {
    const char *muxer;
    std::vector<const char *> videoEncoders;  // tried in order; empty: no video
    AVCodecID videoFallback;                  // any encoder of this codec when the named ones are missing
    const char *videoName;
    const char *audioEncoder;                 // nullptr: no audio
    const char *audioName;
    int audioRate;
};

Plan PlanFor(ExportFormat format)
{
    switch (format) {
    case ExportFormat::Mp4: return {"mp4", {"libx264"}, AV_CODEC_ID_H264, "H.264", "aac", "AAC", MovieRate};
    case ExportFormat::Mkv: return {"matroska", {"libx264"}, AV_CODEC_ID_H264, "H.264", "flac", "FLAC", MovieRate};
    case ExportFormat::Webm: return {"webm", {"libvpx-vp9"}, AV_CODEC_ID_VP9, "VP9", "libopus", "Opus", 48000};
    case ExportFormat::Gif: return {"gif", {"gif"}, AV_CODEC_ID_GIF, "GIF", nullptr, nullptr, 0};
    case ExportFormat::Wav: return {"wav", {}, AV_CODEC_ID_NONE, nullptr, "pcm_s16le", "PCM 16-bit", MovieRate};
    case ExportFormat::PngFrames: break;
    }
    throw std::logic_error("no FFmpeg plan for PNG frames");
}

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WrittenBytes = const uint8_t *;
#else
using WrittenBytes = uint8_t *;
#endif

// The RIFF and data sizes of a WAV header whose data chunk comes last, for `data` bytes of sound.
// False when the header is not laid out that way.
bool SetWavSizes(std::span<uint8_t> header, uint64_t data)
{
    auto le32 = [&](size_t at) {
        return uint32_t{header[at]} | uint32_t{header[at + 1]} << 8 | uint32_t{header[at + 2]} << 16 |
               uint32_t{header[at + 3]} << 24;
    };
    auto put32 = [&](size_t at, uint64_t value) {
        for (int i = 0; i < 4; ++i) header[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    auto is = [&](size_t at, const char *id) { return std::memcmp(header.data() + at, id, 4) == 0; };
    if (header.size() < 20 || !is(0, "RIFF") || !is(8, "WAVE")) return false;
    size_t at = 12;
    while (at + 8 < header.size()) {
        if (is(at, "data")) return false;
        at += 8 + uint64_t{le32(at + 4)} + (le32(at + 4) & 1);
    }
    if (at + 8 != header.size() || !is(at, "data")) return false;
    const uint64_t riff = header.size() - 8 + data;
    if (riff > UINT32_MAX) throw std::runtime_error("the sound is too long for a WAV on standard output");
    put32(4, riff);
    put32(at + 4, data);
    return true;
}

// Standard output as FFmpeg's output: written front to back with no seek, so a pipe takes it.
// There a WAV muxer would leave its two sizes unknown; instead its header is held back until it
// says how much sound follows (known before the first packet), so the stream equals the file.
class StandardOutput {
public:
    explicit StandardOutput(std::optional<uint64_t> wavData) : wavData_(wavData), holding_(wavData.has_value())
    {
        constexpr int Size = 64 * 1024;
        auto *buffer = static_cast<uint8_t *>(av_malloc(Size));
        if (buffer) io_ = avio_alloc_context(buffer, Size, 1, this, nullptr, &Write, nullptr);
        if (!io_) {
            av_free(buffer);
            throw std::runtime_error("out of memory");
        }
    }
    ~StandardOutput()
    {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    StandardOutput(const StandardOutput &) = delete;
    StandardOutput &operator=(const StandardOutput &) = delete;

    AVIOContext *io() { return io_; }
    uint64_t written() const { return written_; }

    void headerWritten()
    {
        avio_flush(io_);
        if (!holding_) return;
        if (!SetWavSizes(held_, *wavData_)) throw std::runtime_error("FFmpeg wrote a WAV header of an unknown layout");
        holding_ = false;
        send(held_.data(), held_.size());
        headerBytes_ = written_;
    }

    // Throws when a write failed, or the sound came out at another length than its header says.
    void finish(const std::string &name)
    {
        avio_flush(io_);
        if (error_) throw std::runtime_error("cannot write " + name + ": " + std::strerror(error_));
        if (wavData_ && written_ - headerBytes_ != *wavData_)
            throw std::runtime_error("the sound came out at " + std::to_string(written_ - headerBytes_) +
                                     " bytes, not the " + std::to_string(*wavData_) + " its header gives");
    }

private:
    static int Write(void *opaque, WrittenBytes data, int size)
    {
        auto *self = static_cast<StandardOutput *>(opaque);
        if (self->holding_) {
            self->held_.insert(self->held_.end(), data, data + size);
            return size;
        }
        return self->send(data, static_cast<size_t>(size)) ? size : AVERROR(self->error_);
    }

    bool send(const uint8_t *data, size_t size)
    {
        while (size > 0 && !error_) {
            ssize_t n = ::write(STDOUT_FILENO, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                break;
            }
            data += n;
            size -= static_cast<size_t>(n);
            written_ += static_cast<uint64_t>(n);
        }
        return !error_;
    }

    AVIOContext *io_ = nullptr;
    std::optional<uint64_t> wavData_;
    bool holding_;
    std::vector<uint8_t> held_;
    uint64_t written_ = 0, headerBytes_ = 0;
    int error_ = 0;
};

class AvSink : public Sink {
public:
    // Writes into file, or standard output when out is "-" (wavData: the sound's bytes, known
    // before the first, for a WAV there); messages name out, the file the user asked for.
    // The picture goes in as layout says; sar is what the video stream declares (1:1 when the
    // layout already corrected it).
    AvSink(ExportFormat format, const std::filesystem::path &out, const std::filesystem::path &file, int width,
           int height, Layout layout, Ratio sar, std::optional<uint64_t> wavData)
        : format_(format), plan_(PlanFor(format)), out_(out), width_(width), height_(height), layout_(layout), sar_(sar)
    {
        av_log_set_level(AV_LOG_ERROR);  // the libraries' chatter is not for our users
        if (qfutil::IsStandardOutput(out)) stream_ = std::make_unique<StandardOutput>(wavData);
        AVFormatContext *raw = nullptr;
        int rc = avformat_alloc_output_context2(&raw, nullptr, plan_.muxer, file.c_str());
        if (rc < 0 || !raw) fail("cannot set up the " + std::string(plan_.muxer) + " container", rc);
        fmt_.reset(raw);
        packet_.reset(av_packet_alloc());
        if (!packet_) throw std::runtime_error("out of memory");
        if (!plan_.videoEncoders.empty()) openVideo();
        if (plan_.audioEncoder) openAudio();

        if (stream_) {
            fmt_->pb = stream_->io();
            fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
        } else {
            rc = avio_open(&fmt_->pb, file.c_str(), AVIO_FLAG_WRITE);
            if (rc < 0) throw std::runtime_error("cannot write " + out.string() + ": " + AvError(rc));
        }
        AVDictionary *options = nullptr;
        if (format_ == ExportFormat::Mp4) av_dict_set(&options, "movflags", "+faststart", 0);
        rc = avformat_write_header(fmt_.get(), &options);
        av_dict_free(&options);
        if (rc < 0) fail("cannot write the header", rc);
        if (stream_) stream_->headerWritten();
        headerWritten_ = true;
    }

    // Bytes written to standard output.
    uint64_t streamed() const { return stream_ ? stream_->written() : 0; }

    bool wantsVideo() const override { return venc_ != nullptr; }
    bool wantsAudio() const override { return aenc_ != nullptr; }
    std::string codecs() const override
    {
        std::string s;
        if (venc_) s = plan_.videoName + (videoEncoderName_.empty() ? "" : " (" + videoEncoderName_ + ")");
        if (aenc_) s += (s.empty() ? "" : " + ") + std::string(plan_.audioName);
        return s;
    }

    void video(std::span<const uint32_t> pixels) override
    {
        if (av_frame_make_writable(vframe_.get()) < 0) throw std::runtime_error("out of memory");
        if (format_ == ExportFormat::Gif)
            fillPaletted(pixels);
        else
            fillYuv(pixels);
        vframe_->pts = vpts_;
        vpts_ += videoTicksPerFrame_;
        encode(venc_.get(), vst_, vframe_.get());
    }

    void audio(std::span<const int16_t> samples) override
    {
        if (!swr_) {  // same format in and out: hand the samples over untouched
            AVFrame *f = newAudioFrame(FramesPerPacket);
            std::memcpy(f->data[0], samples.data(), samples.size_bytes());
            f->pts = apts_;
            apts_ += FramesPerPacket;
            encode(aenc_.get(), ast_, f);
            av_frame_unref(f);
            return;
        }
        const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(samples.data())};
        convert(in, FramesPerPacket);
        drainFifo(false);
    }

    void finish() override
    {
        if (aenc_) {
            if (swr_) {
                convert(nullptr, 0);
                drainFifo(true);
            }
            encode(aenc_.get(), ast_, nullptr);
        }
        if (venc_) encode(venc_.get(), vst_, nullptr);
        int rc = av_write_trailer(fmt_.get());
        if (rc < 0) fail("cannot finish", rc);
        if (stream_) return stream_->finish(out_.string());
        rc = avio_closep(&fmt_->pb);
        if (rc < 0) fail("cannot finish", rc);
    }

private:
    [[noreturn]] void fail(const std::string &what, int code) const
    {
        throw std::runtime_error(out_.string() + ": " + what + ": " + AvError(code));
    }

    void configureGlobalHeader(AVCodecContext *c)
    {
        if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }

    void openVideo()
    {
        const AVCodec *codec = nullptr;
        for (const char *name : plan_.videoEncoders)
            if ((codec = avcodec_find_encoder_by_name(name))) break;
        if (!codec) codec = avcodec_find_encoder(plan_.videoFallback);
        if (!codec) throw std::runtime_error(std::string("this FFmpeg has no ") + plan_.videoName + " encoder");
        videoEncoderName_ = codec->name;
        venc_.reset(avcodec_alloc_context3(codec));
        if (!venc_) throw std::runtime_error("out of memory");
        AVCodecContext *c = venc_.get();
        bool gif = format_ == ExportFormat::Gif;
        // 4:2:0 needs even sizes: a scaled-up odd picture gets its last row / column repeated.
        c->width = layout_.canvasWidth + (gif ? 0 : layout_.canvasWidth % 2);
        c->height = layout_.canvasHeight + (gif ? 0 : layout_.canvasHeight % 2);
        // Players stretch the picture by this; no pixel is resampled.
        if (sar_.num != sar_.den) c->sample_aspect_ratio = {sar_.num, sar_.den};
        c->time_base = gif ? AVRational{1, 100} : AVRational{1, QF_FRAMES_PER_SECOND};
        videoTicksPerFrame_ = gif ? 4 : 1;
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
        configureGlobalHeader(c);
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
        if (rc < 0) fail(std::string("cannot open the ") + codec->name + " encoder", rc);
        vst_ = avformat_new_stream(fmt_.get(), nullptr);
        if (!vst_) throw std::runtime_error("out of memory");
        vst_->time_base = c->time_base;
        vst_->sample_aspect_ratio = c->sample_aspect_ratio;
        vst_->avg_frame_rate = {QF_FRAMES_PER_SECOND, 1};
        vst_->r_frame_rate = {QF_FRAMES_PER_SECOND, 1};
        rc = avcodec_parameters_from_context(vst_->codecpar, c);
        if (rc < 0) fail("cannot set up the video stream", rc);

        vframe_.reset(av_frame_alloc());
        if (!vframe_) throw std::runtime_error("out of memory");
        vframe_->format = c->pix_fmt;
        vframe_->width = c->width;
        vframe_->height = c->height;
        if (av_frame_get_buffer(vframe_.get(), 0) < 0) throw std::runtime_error("out of memory");
        if (!gif) {
            rgb_ = RgbImage(c->width, c->height);
            sws_.reset(sws_getContext(c->width, c->height, AV_PIX_FMT_RGB24, c->width, c->height, AV_PIX_FMT_YUV420P,
                                      SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr));
            if (!sws_) throw std::runtime_error("cannot set up the colour conversion");
        }
    }

    void openAudio()
    {
        const AVCodec *codec = avcodec_find_encoder_by_name(plan_.audioEncoder);
        if (!codec) throw std::runtime_error(std::string("this FFmpeg has no ") + plan_.audioName + " encoder");
        aenc_.reset(avcodec_alloc_context3(codec));
        if (!aenc_) throw std::runtime_error("out of memory");
        AVCodecContext *c = aenc_.get();
        c->sample_rate = plan_.audioRate;
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        av_channel_layout_copy(&c->ch_layout, &stereo);
        c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
        // Prefer 16-bit where the encoder takes it: no conversion at all for PCM and FLAC.
        if (codec->sample_fmts)
            for (const AVSampleFormat *f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
                if (*f == AV_SAMPLE_FMT_S16) c->sample_fmt = AV_SAMPLE_FMT_S16;
        c->time_base = {1, c->sample_rate};
        if (format_ == ExportFormat::Mp4) c->bit_rate = 128000;
        if (format_ == ExportFormat::Webm) c->bit_rate = 96000;
        configureGlobalHeader(c);
        int rc = avcodec_open2(c, codec, nullptr);
        if (rc < 0) fail(std::string("cannot open the ") + codec->name + " encoder", rc);
        ast_ = avformat_new_stream(fmt_.get(), nullptr);
        if (!ast_) throw std::runtime_error("out of memory");
        ast_->time_base = c->time_base;
        rc = avcodec_parameters_from_context(ast_->codecpar, c);
        if (rc < 0) fail("cannot set up the audio stream", rc);

        aframe_.reset(av_frame_alloc());
        if (!aframe_) throw std::runtime_error("out of memory");

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

    // The audio frame, emptied by the last encode, set up afresh for `samples` frames.
    AVFrame *newAudioFrame(int samples)
    {
        AVCodecContext *c = aenc_.get();
        AVFrame *f = aframe_.get();
        av_frame_unref(f);
        f->format = c->sample_fmt;
        f->sample_rate = c->sample_rate;
        f->nb_samples = samples;
        if (av_channel_layout_copy(&f->ch_layout, &c->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
            throw std::runtime_error("out of memory");
        return f;
    }

    void convert(const uint8_t **in, int count)
    {
        AVCodecContext *c = aenc_.get();
        int room = swr_get_out_samples(swr_.get(), count) + 32;
        uint8_t **buffers = nullptr;
        if (av_samples_alloc_array_and_samples(&buffers, nullptr, 2, room, c->sample_fmt, 0) < 0)
            throw std::runtime_error("out of memory");
        int made = swr_convert(swr_.get(), buffers, room, in, count);
        int rc = made < 0 ? made : av_audio_fifo_write(fifo_.get(), reinterpret_cast<void **>(buffers), made);
        av_freep(&buffers[0]);
        av_freep(&buffers);
        if (rc < 0) fail("cannot convert the sound", rc);
    }

    void drainFifo(bool last)
    {
        AVCodecContext *c = aenc_.get();
        int size = c->frame_size > 0 ? c->frame_size : FramesPerPacket;
        while (av_audio_fifo_size(fifo_.get()) >= size || (last && av_audio_fifo_size(fifo_.get()) > 0)) {
            int count = std::min(size, av_audio_fifo_size(fifo_.get()));
            bool pad = count < size && !(c->codec->capabilities &
                                         (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
            AVFrame *f = newAudioFrame(pad ? size : count);
            if (pad) av_samples_set_silence(f->data, 0, size, 2, c->sample_fmt);
            if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void **>(f->data), count) < count)
                throw std::runtime_error("sound buffer underrun");
            f->pts = apts_;
            apts_ += f->nb_samples;
            encode(c, ast_, f);
            av_frame_unref(f);
        }
    }

    void fillYuv(std::span<const uint32_t> pixels)
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
        sws_scale(sws_.get(), src, stride, 0, rgb_.height, vframe_->data, vframe_->linesize);
    }

    void fillPaletted(std::span<const uint32_t> pixels)
    {
        // The exact colours of this frame; the plug-in draws through 256 palette words, so there
        // are never more (padding adds black at most), and the GIF needs no dithering.
        const RgbImage image = RenderPicture(pixels, width_, height_, layout_);
        std::unordered_map<uint32_t, uint8_t> index;
        auto *palette = reinterpret_cast<uint32_t *>(vframe_->data[1]);
        std::fill(palette, palette + 256, 0xFF000000u);
        for (int y = 0; y < image.height; ++y) {
            uint8_t *dst = vframe_->data[0] + static_cast<ptrdiff_t>(y) * vframe_->linesize[0];
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

    void encode(AVCodecContext *c, AVStream *st, AVFrame *frame)
    {
        int rc = avcodec_send_frame(c, frame);
        if (rc < 0) fail("cannot encode", rc);
        while (true) {
            rc = avcodec_receive_packet(c, packet_.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) fail("cannot encode", rc);
            if (c == venc_.get() && packet_->duration == 0) packet_->duration = videoTicksPerFrame_;
            av_packet_rescale_ts(packet_.get(), c->time_base, st->time_base);
            packet_->stream_index = st->index;
            rc = av_interleaved_write_frame(fmt_.get(), packet_.get());
            if (rc < 0) throw std::runtime_error("cannot write " + out_.string() + ": " + AvError(rc));
        }
    }

    ExportFormat format_;
    Plan plan_;
    std::filesystem::path out_;
    int width_, height_;
    Layout layout_;
    Ratio sar_;
    bool headerWritten_ = false;
    std::string videoEncoderName_;
    std::unique_ptr<StandardOutput> stream_;  // before fmt_: it outlives the muxer that writes into it
    std::unique_ptr<AVFormatContext, FormatDeleter> fmt_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::unique_ptr<AVCodecContext, CodecDeleter> venc_, aenc_;
    AVStream *vst_ = nullptr, *ast_ = nullptr;
    std::unique_ptr<AVFrame, FrameDeleter> vframe_, aframe_;
    std::unique_ptr<SwsContext, SwsDeleter> sws_;
    std::unique_ptr<SwrContext, SwrDeleter> swr_;
    std::unique_ptr<AVAudioFifo, FifoDeleter> fifo_;
    RgbImage rgb_;
    int64_t vpts_ = 0, apts_ = 0;
    int videoTicksPerFrame_ = 1;
};

}  // namespace

std::optional<ExportFormat> FormatForPath(const std::filesystem::path &out)
{
    std::string ext = Lower(out.extension().string());
    if (ext == ".mp4") return ExportFormat::Mp4;
    if (ext == ".webm") return ExportFormat::Webm;
    if (ext == ".mkv") return ExportFormat::Mkv;
    if (ext == ".gif") return ExportFormat::Gif;
    if (ext == ".wav") return ExportFormat::Wav;
    if (ext == ".png" && IsFramePattern(out.filename().string())) return ExportFormat::PngFrames;
    return std::nullopt;
}

ExportFormat RequireFormat(const std::filesystem::path &out)
{
    if (auto f = FormatForPath(out)) return *f;
    if (Lower(out.extension().string()) == ".png")
        throw std::runtime_error("PNG output needs a frame number pattern such as frames/%05d.png (got " +
                                 out.string() + "; use `frame` for one picture)");
    throw std::runtime_error("unknown output type for " + out.string() +
                             ": use .mp4, .webm, .mkv, .gif, .wav or a %05d.png pattern");
}

std::optional<ExportFormat> FormatNamed(const std::string &name)
{
    const std::string n = Lower(name);
    if (n == "mp4") return ExportFormat::Mp4;
    if (n == "webm") return ExportFormat::Webm;
    if (n == "mkv" || n == "matroska") return ExportFormat::Mkv;
    if (n == "gif") return ExportFormat::Gif;
    if (n == "wav") return ExportFormat::Wav;
    return std::nullopt;
}

std::string StreamProblem(ExportFormat format)
{
    if (format == ExportFormat::Mp4)
        return "MP4 needs a seekable file, not standard output (its index is written last); -f mkv streams";
    if (format == ExportFormat::PngFrames) return "PNG frames are files of their own, not standard output";
    return "";
}

int DefaultScale(ExportFormat format)
{
    return format == ExportFormat::PngFrames || format == ExportFormat::Gif || format == ExportFormat::Wav ? 1 : 2;
}

std::filesystem::path PatternPath(const std::filesystem::path &pattern, uint64_t index)
{
    std::string name = pattern.filename().string();
    std::vector<char> text(name.size() + 32);
    // The pattern was checked by IsFramePattern: exactly one integer conversion.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text.data(), text.size(), name.c_str(), static_cast<int>(index));
#pragma GCC diagnostic pop
    return pattern.parent_path() / text.data();
}

ExportResult ExportMovie(qfhost::Movie &movie, const std::filesystem::path &out, const ExportOptions &options,
                         qfutil::Outputs &outputs)
{
    const ExportFormat format = options.format ? *options.format : RequireFormat(out);
    const bool streaming = qfutil::IsStandardOutput(out);
    if (streaming && !StreamProblem(format).empty()) throw std::runtime_error(StreamProblem(format));
    int scale = options.scale > 0 ? options.scale : DefaultScale(format);
    if (scale > 16) throw std::runtime_error("--scale must be between 1 and 16");
    if (options.durationMs && *options.durationMs == 0) throw std::runtime_error("--duration must be positive");
    const uint32_t length = movie.durationMs();
    if (options.startMs > 0 && options.startMs >= length)
        throw std::runtime_error("--start " + qfhost::FormatTime(options.startMs) + " is past the end of the movie (" +
                                 qfhost::FormatTime(length) + ")");
    if (movie.width() <= 0 || movie.height() <= 0) throw std::runtime_error("the movie has an empty picture");

    const uint64_t endMs = options.durationMs ? std::min<uint64_t>(length, options.startMs + *options.durationMs) : length;
    const double end = endMs / 1000.0;
    const uint64_t expected = qfhost::PicturesDelivered(length, options.startMs, options.durationMs ? std::optional<uint32_t>(endMs) : std::nullopt);

    // Every target is checked before the first byte is written.
    // A video stream declares its pixels' shape unless --fit asks for square pixels on a fixed canvas.
    const bool declared = format != ExportFormat::Gif && format != ExportFormat::PngFrames && !options.fit;
    const Layout layout = PlacePicture(movie.width(), movie.height(), scale,
                                       declared ? PixelAspect::Square : options.aspect, options.fit);
    const Ratio sar = declared ? SampleAspect(options.aspect) : Ratio{};
    std::optional<qfutil::PendingOutput> pending;
    std::unique_ptr<Sink> sink;
    AvSink *video = nullptr;
    if (format == ExportFormat::PngFrames) {
        outputs.claim(ExistingFrames(out, expected), out.string());
        sink = std::make_unique<PngSink>(out, movie.width(), movie.height(), layout, outputs);
    } else {
        pending.emplace(outputs.begin(out));
        std::optional<uint64_t> wavData;
        if (format == ExportFormat::Wav) wavData = expected * QF_AUDIO_BYTES_PER_PACKET;
        auto av = std::make_unique<AvSink>(format, out, pending->path(), movie.width(), movie.height(), layout, sar,
                                           wavData);
        video = av.get();
        sink = std::move(av);
    }

    ExportResult result;
    ProgressBar progress(out.filename().string(), expected, !options.quiet);
    try {
        if (options.startMs > 0) movie.seek(options.startMs);
        uint64_t pairs = 0;
        for (qfhost::Packet &packet : movie.packets()) {
            if (options.durationMs && packet.time() >= end - 1e-9) break;
            if (packet.isVideo()) {
                if (sink->wantsVideo()) {
                    sink->video(movie.decodeVideo(packet));
                    ++result.videoFrames;
                }
                progress.update(++pairs);
            } else if (sink->wantsAudio()) {
                sink->audio(movie.decodeAudio(packet));
                ++result.audioPackets;
            }
        }
        if (pairs == 0) throw std::runtime_error("nothing to export: the movie is " + std::to_string(movie.durationMs()) + " ms long");
        sink->finish();
        if (pending) pending->commit();
        result.seconds = static_cast<double>(pairs * QF_PACKET_MS) / 1000.0;
    } catch (...) {
        progress.finish();
        throw;  // the sink closes, then the temporary file goes; out is as it was
    }
    progress.finish();
    result.elapsed = progress.elapsedSeconds();
    result.codecs = sink->codecs();
    if (format != ExportFormat::Wav) {
        result.width = layout.canvasWidth;
        result.height = layout.canvasHeight;
    }
    std::error_code ec;
    if (format == ExportFormat::PngFrames) {
        for (uint64_t i = 0; i < result.videoFrames; ++i) result.bytes += std::filesystem::file_size(PatternPath(out, i), ec);
    } else {
        result.bytes = streaming ? video->streamed() : std::filesystem::file_size(out, ec);
    }
    return result;
}

std::string SummaryLine(const std::filesystem::path &out, const ExportResult &r)
{
    char size[32];
    if (r.bytes >= 1024 * 1024)
        std::snprintf(size, sizeof size, "%.1f MB", r.bytes / (1024.0 * 1024.0));
    else
        std::snprintf(size, sizeof size, "%.1f KB", r.bytes / 1024.0);
    char line[512];
    std::string what = r.videoFrames ? std::to_string(r.videoFrames) + " frames, " + std::to_string(r.width) + "x" +
                                           std::to_string(r.height) + ", "
                                     : std::string();
    const std::string name = qfutil::IsStandardOutput(out) ? "standard output" : out.string();
    std::snprintf(line, sizeof line, "wrote %s: %s%.2f s, %s, %s in %.1f s", name.c_str(), what.c_str(),
                  r.seconds, r.codecs.c_str(), size, r.elapsed);
    return line;
}

}  // namespace qfmedia
