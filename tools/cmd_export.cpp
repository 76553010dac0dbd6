// quillframer export: a movie to MP4, WebM, MKV, GIF, WAV or PNG frames.
#include <cstdio>

#include "common.hpp"
#include "media/export.hpp"

namespace qftools {

namespace {

struct ExportCommand {
    std::string movie, out, start, duration;
    int scale = 0;
};

}  // namespace

void RegisterExport(CLI::App &app, Context &context)
{
    auto o = std::make_shared<ExportCommand>();
    CLI::App *command = app.add_subcommand(
        "export",
        "Convert a movie. The output's extension chooses the format:\n"
        "  .mp4  H.264 (yuv420p) + AAC       .webm  VP9 + Opus (48 kHz)      .mkv  H.264 + FLAC\n"
        "  .gif  every frame's exact colours, 4 cs per frame, looping\n"
        "  .wav  the mixed sound, 16-bit stereo 22050 Hz, sample for sample as the plug-in makes it\n"
        "  a pattern such as frames/%05d.png: one lossless PNG per frame, numbered from 0");
    command->add_option("MOVIE", o->movie, "The movie file")->required();
    command->add_option("-o,--output", o->out, "The file (or PNG pattern) to write")->required();
    command->add_option("--scale", o->scale, "Integer picture scale, nearest neighbour (default 2 for video, 1 for GIF and PNG)")
        ->check(CLI::Range(1, 16));
    command->add_option("--start", o->start, "Start at T (seconds, mm:ss.fff or hh:mm:ss)");
    command->add_option("--duration", o->duration, "Export T (seconds, mm:ss.fff or hh:mm:ss)");
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        qfmedia::ExportOptions options;
        options.scale = o->scale;
        options.quiet = context.quiet;
        if (!o->start.empty()) options.startMs = TimeOption("--start", o->start);
        if (!o->duration.empty()) {
            options.durationMs = TimeOption("--duration", o->duration);
            if (*options.durationMs == 0) throw ToolError("--duration must be more than 0");
        }
        qfhost::Outputs outputs = CommandOutputs(context, {o->movie});
        try {
            // Before the movie is opened: a typo or a refused output costs nothing.
            if (qfmedia::RequireFormat(o->out) != qfmedia::ExportFormat::PngFrames) outputs.claim(o->out);
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
        OpenedMovie opened = OpenMovie(context, o->movie);
        try {
            qfmedia::ExportResult result = qfmedia::ExportMovie(*opened.movie, o->out, options, outputs);
            if (!context.quiet) std::printf("%s\n", qfmedia::SummaryLine(o->out, result).c_str());
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
    });
}

}  // namespace qftools
