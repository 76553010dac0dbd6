// quillframer dump: the raw output of the plug-in, packet by packet, for golden tests and checks
// by independent models. Its steps are a contract; keep them exactly as they are.
#include <cstdio>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "common.hpp"
#include "qfhost/volume_files.hpp"

namespace qftools {
namespace {

struct DumpOptions {
    std::string movie;
    std::string video;
    std::string audio;
    std::string seek;
    std::optional<uint64_t> packets;
};

// --seek is handed to SeekVideo as it is: whole milliseconds, nothing else.
uint32_t SeekOption(const std::string &text)
{
    uint64_t ms = 0;
    bool digits = !text.empty() && text.size() <= 10;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (digits) {
        for (char c : text) ms = ms * 10 + static_cast<uint64_t>(c - '0');
        if (ms <= UINT32_MAX) return static_cast<uint32_t>(ms);
    }
    throw BadUsage("--seek takes whole milliseconds (0 to 4294967295), as SeekVideo takes them; got \"" + text + "\"");
}

std::ofstream OpenOutput(const std::optional<qfutil::PendingOutput> &pending, const char *what)
{
    std::ofstream out;
    if (!pending) return out;
    out.open(pending->path(), std::ios::binary | std::ios::trunc);
    if (!out) throw ToolError(std::string("cannot write the ") + what + " file \"" + pending->target().string() + "\"");
    return out;
}

// The machine contract: its outputs are always replaced, but still never onto the movie.
std::optional<qfutil::PendingOutput> Begin(qfutil::Outputs &outputs, const std::string &path)
{
    if (path.empty()) return std::nullopt;
    return outputs.begin(path);
}

void Write(std::ofstream &out, const void *data, size_t size, const std::string &path)
{
    if (!out.is_open()) return;
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out) throw ToolError("cannot write to \"" + path + "\"");
}

void RunDump(const Context &context, const DumpOptions &o)
{
    std::optional<uint32_t> seek;
    if (!o.seek.empty()) seek = SeekOption(o.seek);
    qfutil::Outputs outputs(qfutil::Overwrite::Always);
    outputs.addInput(qfhost::HostFileOf(o.movie));
    if (!o.video.empty()) outputs.claim(std::filesystem::path(o.video));
    if (!o.audio.empty()) outputs.claim(std::filesystem::path(o.audio));
    OpenedMovie opened = OpenMovie(context, o.movie, 0);
    AddInputsRead(opened.plugin->host(), outputs);
    qfhost::Movie &movie = *opened.movie;
    std::optional<qfutil::PendingOutput> videoFile = Begin(outputs, o.video), audioFile = Begin(outputs, o.audio);
    std::ofstream video = OpenOutput(videoFile, "video");
    std::ofstream audio = OpenOutput(audioFile, "audio");
    if (seek) movie.seek(*seek);

    uint64_t handedOut = 0;
    if (!o.packets || *o.packets > 0) {
        for (qfhost::Packet &packet : movie.packets()) {
            ++handedOut;
            if (packet.isVideo()) {
                auto pixels = movie.decodeVideo(packet);
                Write(video, pixels.data(), pixels.size_bytes(), o.video);
            } else if (packet.isAudio()) {
                auto samples = movie.decodeAudio(packet);
                Write(audio, samples.data(), samples.size_bytes(), o.audio);
            }
            if (o.packets && handedOut == *o.packets) break;  // no packet taken beyond the last one
        }
    }
    if (video.is_open()) video.close();
    if (audio.is_open()) audio.close();
    if ((!o.video.empty() && !video) || (!o.audio.empty() && !audio)) throw ToolError("cannot finish the output files");
    try {
        if (videoFile) videoFile->commit();
        if (audioFile) audioFile->commit();
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }

    // With the data on stdout, the line goes to stderr so that a pipe gets the data alone.
    auto onStandardOutput = [](const std::string &path) {
        struct stat named {
        }, out{};
        if (qfutil::IsStandardOutput(path)) return true;
        return !path.empty() && ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
               named.st_dev == out.st_dev && named.st_ino == out.st_ino;  // /dev/stdout, /dev/fd/1
    };
    const bool piped = onStandardOutput(o.video) || onStandardOutput(o.audio);
    std::fprintf(piped ? stderr : stdout,
                 "{\"width\":%d,\"height\":%d,\"duration\":%u,\"frames\":%u,\"packets\":%llu}\n", movie.width(),
                 movie.height(), movie.durationMs(), movie.frames(), static_cast<unsigned long long>(handedOut));
}

}  // namespace

void RegisterDump(CLI::App &app, Context &context)
{
    auto options = std::make_shared<DumpOptions>();
    CLI::App *command = app.add_subcommand(
        "dump", "Write the plug-in's raw output: every video frame and audio packet in playing order.\n"
                "The movie is opened by a version 6 host with open option 0, optionally sought to --seek MS,\n"
                "then packets are taken until the end (or --packets N). Each video packet appends width x height\n"
                "pixel words of 4 bytes (0, red, green, blue) to V; each audio packet appends " +
                    std::to_string(QF_AUDIO_BYTES_PER_PACKET) + " bytes\n(" +
                    std::to_string(QF_AUDIO_FRAMES_PER_PACKET) +
                    " frames of two signed 16-bit native-endian samples at " + std::to_string(QF_AUDIO_SAMPLE_RATE) +
                    " Hz) to A. Prints one JSON line:\n"
                    "{\"width\":W,\"height\":H,\"duration\":MS,\"frames\":F,\"packets\":P}.");
    command->add_option("MOVIE", options->movie, "The movie file")->required();
    command->add_option("--video", options->video, "File that receives the video frames (replaced; - for stdout)")
        ->type_name("V");
    command->add_option("--audio", options->audio, "File that receives the audio packets (replaced; - for stdout)")
        ->type_name("A");
    command->add_option("--seek", options->seek, "Seek to this time in whole milliseconds right after opening")
        ->type_name("MS");
    command->add_option("--packets", options->packets, "Stop after N packets (video and audio together)")
        ->type_name("N");
    AddMovieOptions(*command, context);
    command->callback([&context, options] { RunDump(context, *options); });
}

}  // namespace qftools
