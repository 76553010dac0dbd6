// The container and where its bytes go: a file, or standard output written front to back.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "media/export_av.hpp"

namespace qfmedia::detail {

class StandardOutput;

class Muxer {
public:
    // Writes into file, or standard output when out is "-" (wavData: the sound's bytes, known
    // before the first, for a WAV there); messages name out, the file the user asked for.
    Muxer(const Plan &plan, const std::filesystem::path &out, const std::filesystem::path &file,
          std::optional<uint64_t> wavData);
    ~Muxer();
    Muxer(const Muxer &) = delete;
    Muxer &operator=(const Muxer &) = delete;

    // For an encoder about to open: some containers want its headers out of band.
    void configureGlobalHeader(AVCodecContext *c) const;
    // A stream for the opened encoder c, in its time base; what names it in a failure.
    AVStream *addStream(const AVCodecContext *c, const std::string &what);
    // Opens the output and writes the container's header, once every stream is added.
    void start();
    // Encodes frame (nullptr: drain) and writes what comes out; a packet without a duration
    // gets emptyDuration.
    void encode(AVCodecContext *c, AVStream *st, AVFrame *frame, int64_t emptyDuration = 0);
    void finish();
    // Bytes written to standard output.
    uint64_t streamed() const;

    [[noreturn]] void fail(const std::string &what, int code) const;

private:
    const char *muxer_;
    bool indexFirst_;
    std::filesystem::path out_, file_;
    std::unique_ptr<StandardOutput> stream_;  // before fmt_: it outlives the muxer that writes into it
    std::unique_ptr<AVFormatContext, FormatDeleter> fmt_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
};

}  // namespace qfmedia::detail
