#include "media/export_output.hpp"

#include <cerrno>
#include <cstring>
#include <span>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "qfutil/output.hpp"

namespace qfmedia::detail {

namespace {

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

}  // namespace

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
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

Muxer::Muxer(const Plan &plan, const std::filesystem::path &out, const std::filesystem::path &file,
             std::optional<uint64_t> wavData)
    : muxer_(plan.muxer), indexFirst_(plan.indexFirst), out_(out), file_(file)
{
    av_log_set_level(AV_LOG_ERROR);  // the libraries' chatter is not for our users
    if (qfutil::IsStandardOutput(out)) stream_ = std::make_unique<StandardOutput>(wavData);
    AVFormatContext *raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, muxer_, file.c_str());
    if (rc < 0 || !raw) fail("cannot set up the " + std::string(muxer_) + " container", rc);
    fmt_.reset(raw);
    packet_.reset(av_packet_alloc());
    if (!packet_) throw std::runtime_error("out of memory");
}

Muxer::~Muxer() = default;

void Muxer::configureGlobalHeader(AVCodecContext *c) const
{
    if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

AVStream *Muxer::addStream(const AVCodecContext *c, const std::string &what)
{
    AVStream *st = avformat_new_stream(fmt_.get(), nullptr);
    if (!st) throw std::runtime_error("out of memory");
    st->time_base = c->time_base;
    int rc = avcodec_parameters_from_context(st->codecpar, c);
    if (rc < 0) fail("cannot set up the " + what + " stream", rc);
    return st;
}

void Muxer::start()
{
    if (stream_) {
        fmt_->pb = stream_->io();
        fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    } else {
        int rc = avio_open(&fmt_->pb, file_.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) throw std::runtime_error("cannot write " + out_.string() + ": " + AvError(rc));
    }
    AVDictionary *options = nullptr;
    if (indexFirst_) av_dict_set(&options, "movflags", "+faststart", 0);
    int rc = avformat_write_header(fmt_.get(), &options);
    av_dict_free(&options);
    if (rc < 0) fail("cannot write the header", rc);
    if (stream_) stream_->headerWritten();
}

void Muxer::encode(AVCodecContext *c, AVStream *st, AVFrame *frame, int64_t emptyDuration)
{
    int rc = avcodec_send_frame(c, frame);
    if (rc < 0) fail("cannot encode", rc);
    while (true) {
        rc = avcodec_receive_packet(c, packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
        if (rc < 0) fail("cannot encode", rc);
        if (packet_->duration == 0) packet_->duration = emptyDuration;
        av_packet_rescale_ts(packet_.get(), c->time_base, st->time_base);
        packet_->stream_index = st->index;
        rc = av_interleaved_write_frame(fmt_.get(), packet_.get());
        if (rc < 0) throw std::runtime_error("cannot write " + out_.string() + ": " + AvError(rc));
    }
}

void Muxer::finish()
{
    int rc = av_write_trailer(fmt_.get());
    if (rc < 0) fail("cannot finish", rc);
    if (stream_) return stream_->finish(out_.string());
    rc = avio_closep(&fmt_->pb);
    if (rc < 0) fail("cannot finish", rc);
}

uint64_t Muxer::streamed() const { return stream_ ? stream_->written() : 0; }

void Muxer::fail(const std::string &what, int code) const
{
    throw std::runtime_error(out_.string() + ": " + what + ": " + AvError(code));
}

}  // namespace qfmedia::detail
