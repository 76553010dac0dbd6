// quillframer export: a movie to MP4, WebM, MKV, GIF, WAV or PNG frames.
#include <cstdio>

#include "common.hpp"
#include "media/export.hpp"

namespace qftools {

namespace {

struct ExportCommand {
    std::vector<std::string> movies;
    std::string out, start, duration;
    int scale = 0, jobs = 1;
    PictureOptions picture;
};

void Export(const Context &context, const ExportCommand &o, const std::string &movie)
{
    qfmedia::ExportOptions options;
    options.scale = o.scale;
    options.quiet = context.quiet || context.noBars;
    options.aspect = o.picture.aspect;
    options.fit = o.picture.fit;
    const std::string out = NameOutput(o.out, movie);
    if (!o.start.empty()) options.startMs = TimeOption("--start", o.start);
    if (!o.duration.empty()) {
        options.durationMs = TimeOption("--duration", o.duration);
        if (*options.durationMs == 0) throw ToolError("--duration must be more than 0");
    }
    qfhost::Outputs outputs = CommandOutputs(context, {movie});
    try {
        // Before the movie is opened: a typo or a refused output costs nothing.
        if (qfmedia::RequireFormat(out) != qfmedia::ExportFormat::PngFrames) outputs.claim(out);
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    OpenedMovie opened = OpenMovie(context, movie);
    try {
        qfmedia::ExportResult result = qfmedia::ExportMovie(*opened.movie, out, options, outputs);
        if (!context.quiet) std::printf("%s\n", qfmedia::SummaryLine(out, result).c_str());
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
}

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
        "  a pattern such as frames/%05d.png: one lossless PNG per frame, numbered from 0\n"
        "In OUT, %n stands for the movie's name: export *.qf -o out/%n.mp4 -j 2");
    command->add_option("MOVIE", o->movies, "The movie files")->required();
    command->add_option("-o,--output", o->out, "The file (or PNG pattern) to write; %n is the movie's name")->required();
    command->add_option("--scale", o->scale, "Integer picture scale, nearest neighbour (default 2 for video, 1 for GIF and PNG)")
        ->check(CLI::Range(1, 16));
    command->add_option("--start", o->start, "Start at T (seconds, mm:ss.fff or hh:mm:ss)");
    command->add_option("--duration", o->duration, "Export T (seconds, mm:ss.fff or hh:mm:ss)");
    AddPictureOptions(*command, o->picture, true);
    AddJobsOption(*command, o->jobs);
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        if (o->movies.size() > 1 && NameOutput(o->out, "a") == NameOutput(o->out, "b"))
            throw ToolError("several movies need %n in -o, such as out/%n.mp4");
        ForEachMovie(context, o->movies, o->jobs, [&context, o](const std::string &movie) { Export(context, *o, movie); });
    });
}


}  // namespace qftools
