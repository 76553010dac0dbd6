// Exports a movie played through the plug-in into a video, GIF, WAV or PNG frames, with
// FFmpeg's libraries and libpng.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "media/image.hpp"

namespace qfhost {
class Movie;
}
namespace qfutil {
class Outputs;
}

namespace qfmedia {

enum class ExportFormat {
    Mp4,
    Webm,
    Mkv,
    Gif,
    Wav,
    PngFrames
};

// The format an output path asks for, from its extension (a PNG output must be a pattern such as
// frames/%05d.png). nullopt for anything else.
std::optional<ExportFormat> FormatForPath(const std::filesystem::path &out);
// Throws std::runtime_error with a one-line reason when the path is no known output.
ExportFormat RequireFormat(const std::filesystem::path &out);
// A container named as ffmpeg's -f names it: mp4, webm, mkv or matroska, gif, wav. nullopt otherwise.
std::optional<ExportFormat> FormatNamed(const std::string &name);
// Why the format cannot go to standard output (written front to back, never seeked), or "" when
// it can.
std::string StreamProblem(ExportFormat format);
int DefaultScale(ExportFormat format);

struct ExportOptions {
    std::optional<ExportFormat> format;        // nullopt: from the output's extension
    int scale = 0;                             // 0: the format's default
    uint32_t startMs = 0;                      // where to seek first (0: no seek)
    std::optional<uint32_t> durationMs;        // nullopt: to the end
    bool quiet = false;                        // no progress bar
    PixelAspect aspect = PixelAspect::Square;  // video files carry it as their sample aspect; GIF and PNG are resampled
    std::optional<Size> fit;                   // largest integer scale that fits, padded to this size (square pixels)
};

struct ExportResult {
    uint64_t videoFrames = 0;
    uint64_t audioPackets = 0;
    int width = 0;  // of the written picture, after scaling
    int height = 0;
    double seconds = 0;     // length written, 0.04 s per packet pair
    uint64_t playedMs = 0;  // the same in milliseconds, as info counts a movie's length
    std::string codecs;     // e.g. "H.264 + AAC"
    uint64_t bytes = 0;
    double elapsed = 0;  // wall-clock seconds spent
};

// Plays the movie from options.start and writes it to out through outputs (an existing out, or
// PNG frame, is claimed first; a failed export leaves out as it was). out "-" is standard output,
// for a format that can stream. Throws std::runtime_error with a one-line reason.
ExportResult ExportMovie(qfhost::Movie &movie, const std::filesystem::path &out, const ExportOptions &options,
                         qfutil::Outputs &outputs);

// "wrote demo.mp4: 251 frames, 640x480, 10.04 s, H.264 + AAC, 1.2 MB in 3.4 s"; the length is
// qfhost::FormatSeconds's, as info shows it
std::string SummaryLine(const std::filesystem::path &out, const ExportResult &result);

// The file name a PNG frame pattern gives for frame index i (counted from 0).
std::filesystem::path PatternPath(const std::filesystem::path &pattern, uint64_t index);

}  // namespace qfmedia
