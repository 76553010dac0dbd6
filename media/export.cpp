#include "media/export.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "media/export_audio.hpp"
#include "media/export_av.hpp"
#include "media/export_output.hpp"
#include "media/export_video.hpp"
#include "media/image.hpp"
#include "media/png.hpp"
#include "media/progress.hpp"
#include "qfhost/host.hpp"
#include "qfhost/time.hpp"
#include "quillframer/movie_format.h"
#include "qfutil/output.hpp"

namespace qfmedia {

namespace {

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
        outputs_.write(PatternPath(pattern_, count_++),
                       [&](const std::filesystem::path &file) { WritePng(file, image); });
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

using detail::Plan;

Plan PlanFor(ExportFormat format)
{
    constexpr int MovieRate = QF_AUDIO_SAMPLE_RATE;
    // One row per format, as a table reads.
    // clang-format off
    switch (format) {
    case ExportFormat::Mp4:
        return {.muxer = "mp4", .indexFirst = true, .videoEncoders = {"libx264"}, .videoFallback = AV_CODEC_ID_H264,
                .videoName = "H.264", .paletted = false, .audioEncoder = "aac", .audioName = "AAC",
                .audioRate = MovieRate, .audioBitRate = 128000};
    case ExportFormat::Mkv:
        return {.muxer = "matroska", .indexFirst = false, .videoEncoders = {"libx264"},
                .videoFallback = AV_CODEC_ID_H264, .videoName = "H.264", .paletted = false, .audioEncoder = "flac",
                .audioName = "FLAC", .audioRate = MovieRate, .audioBitRate = 0};
    case ExportFormat::Webm:
        return {.muxer = "webm", .indexFirst = false, .videoEncoders = {"libvpx-vp9"}, .videoFallback = AV_CODEC_ID_VP9,
                .videoName = "VP9", .paletted = false, .audioEncoder = "libopus", .audioName = "Opus",
                .audioRate = 48000, .audioBitRate = 96000};
    case ExportFormat::Gif:
        return {.muxer = "gif", .indexFirst = false, .videoEncoders = {"gif"}, .videoFallback = AV_CODEC_ID_GIF,
                .videoName = "GIF", .paletted = true, .audioEncoder = nullptr, .audioName = nullptr, .audioRate = 0,
                .audioBitRate = 0};
    case ExportFormat::Wav:
        return {.muxer = "wav", .indexFirst = false, .videoEncoders = {}, .videoFallback = AV_CODEC_ID_NONE,
                .videoName = nullptr, .paletted = false, .audioEncoder = "pcm_s16le", .audioName = "PCM 16-bit",
                .audioRate = MovieRate, .audioBitRate = 0};
    case ExportFormat::PngFrames: break;
    }
    // clang-format on
    throw std::logic_error("no FFmpeg plan for PNG frames");
}

// A container with the plan's streams, through FFmpeg.
class AvSink : public Sink {
public:
    // Writes into file, or standard output when out is "-" (wavData: the sound's bytes, known
    // before the first, for a WAV there); messages name out, the file the user asked for.
    // The picture goes in as layout says; sar is what the video stream declares.
    AvSink(ExportFormat format, const std::filesystem::path &out, const std::filesystem::path &file, int width,
           int height, Layout layout, Ratio sar, std::optional<uint64_t> wavData)
        : plan_(PlanFor(format)), muxer_(plan_, out, file, wavData)
    {
        if (!plan_.videoEncoders.empty()) video_.emplace(plan_, muxer_, width, height, layout, sar);
        if (plan_.audioEncoder) audio_.emplace(plan_, muxer_);
        muxer_.start();
    }

    // Bytes written to standard output.
    uint64_t streamed() const { return muxer_.streamed(); }

    bool wantsVideo() const override { return video_.has_value(); }
    bool wantsAudio() const override { return audio_.has_value(); }
    std::string codecs() const override
    {
        std::string s;
        if (video_) s = video_->name();
        if (audio_) s += (s.empty() ? "" : " + ") + std::string(plan_.audioName);
        return s;
    }
    void video(std::span<const uint32_t> pixels) override { video_->encode(pixels); }
    void audio(std::span<const int16_t> samples) override { audio_->encode(samples); }
    void finish() override
    {
        if (audio_) audio_->flush();
        if (video_) video_->flush();
        muxer_.finish();
    }

private:
    Plan plan_;
    detail::Muxer muxer_;  // before the encoders: they write into it
    std::optional<detail::VideoEncoder> video_;
    std::optional<detail::AudioEncoder> audio_;
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
        throw std::runtime_error(qfhost::PastTheEnd("--start", options.startMs, length));
    if (movie.width() <= 0 || movie.height() <= 0) throw std::runtime_error("the movie has an empty picture");

    const uint64_t endMs =
        options.durationMs ? std::min<uint64_t>(length, options.startMs + *options.durationMs) : length;
    const double end = endMs / 1000.0;
    const uint64_t expected = qfhost::PicturesDelivered(
        length, options.startMs, options.durationMs ? std::optional<uint32_t>(endMs) : std::nullopt);

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
        auto av =
            std::make_unique<AvSink>(format, out, pending->path(), movie.width(), movie.height(), layout, sar, wavData);
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
        if (pairs == 0)
            throw std::runtime_error("nothing to export: the movie is " + std::to_string(movie.durationMs()) +
                                     " ms long");
        sink->finish();
        if (pending) pending->commit();
        result.playedMs = qfhost::PlayedMs(pairs);
        result.seconds = static_cast<double>(result.playedMs) / 1000.0;
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
        for (uint64_t i = 0; i < result.videoFrames; ++i)
            result.bytes += std::filesystem::file_size(PatternPath(out, i), ec);
    } else {
        result.bytes = streaming ? video->streamed() : std::filesystem::file_size(out, ec);
    }
    return result;
}

std::string SummaryLine(const std::filesystem::path &out, const ExportResult &r)
{
    char size[32];
    if (r.bytes >= 1024 * 1024) std::snprintf(size, sizeof size, "%.1f MB", r.bytes / (1024.0 * 1024.0));
    else std::snprintf(size, sizeof size, "%.1f KB", r.bytes / 1024.0);
    char line[512];
    std::string what = r.videoFrames ? std::to_string(r.videoFrames) + " frames, " + std::to_string(r.width) + "x" +
                                           std::to_string(r.height) + ", "
                                     : std::string();
    const std::string name = qfutil::IsStandardOutput(out) ? "standard output" : out.string();
    std::snprintf(line, sizeof line, "wrote %s: %s%s, %s, %s in %.1f s", name.c_str(), what.c_str(),
                  qfhost::FormatSeconds(r.playedMs).c_str(), r.codecs.c_str(), size, r.elapsed);
    return line;
}

}  // namespace qfmedia