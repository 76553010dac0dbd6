// quillframer export: a movie to MP4, WebM, MKV, GIF, WAV or PNG frames.
#include <cstdio>

#include "common.hpp"
#include "media/export.hpp"
#include "qfutil/printable.hpp"

namespace qftools {

namespace {

struct ExportCommand {
    std::vector<std::string> movies;
    std::string out, start, duration;
    std::optional<qfmedia::ExportFormat> format;  // -f
    int scale = 0, jobs = 1;
    PictureOptions picture;
};

void Export(const Context &context, const ExportCommand &o, const std::string &movie)
{
    qfmedia::ExportOptions options;
    options.format = o.format;
    options.scale = o.scale;
    options.quiet = context.quiet || context.noBars;
    options.aspect = o.picture.aspect;
    options.fit = o.picture.fit;
    const std::string out = NameOutput(o.out, movie);
    if (!o.start.empty()) options.startMs = TimeOption("--start", o.start);
    if (!o.duration.empty()) options.durationMs = TimeOption("--duration", o.duration);
    qfutil::Outputs outputs = CommandOutputs(context, {movie});
    try {
        // Before the movie is opened: a typo or a refused output costs nothing.
        if ((o.format ? *o.format : qfmedia::RequireFormat(out)) != qfmedia::ExportFormat::PngFrames)
            outputs.claim(out);
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    OpenedMovie opened = OpenMovie(context, movie);
    AddInputsRead(opened.plugin->host(), outputs);
    // out/%n.mp4 names a folder of its own, made as a PNG pattern's is.
    if (const std::filesystem::path folder = std::filesystem::path(out).parent_path();
        !qfutil::IsStandardOutput(out) && !folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec) throw ToolError("cannot make the folder " + qfutil::Printable(folder.string()) + ": " + ec.message());
    }
    try {
        qfmedia::ExportResult result = qfmedia::ExportMovie(*opened.movie, out, options, outputs);
        // With the movie on stdout, the summary goes to stderr so that a pipe gets the movie alone.
        if (!context.quiet)
            std::fprintf(qfutil::IsStandardOutput(out) ? stderr : stdout, "%s\n",
                         qfmedia::SummaryLine(out, result).c_str());
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
}

}  // namespace

void RegisterExport(CLI::App &app, Context &context)
{
    auto o = std::make_shared<ExportCommand>();
    CLI::App *command = app.add_subcommand(
        "export", "Convert a movie. The output's extension chooses the format:\n"
                  "  .mp4  H.264 (yuv420p) + AAC       .webm  VP9 + Opus (48 kHz)      .mkv  H.264 + FLAC\n"
                  "  .gif  every frame's exact colours, 4 cs per frame, looping\n"
                  "  .wav  the mixed sound, 16-bit stereo 22050 Hz, sample for sample as the plug-in makes it\n"
                  "  a pattern such as frames/%05d.png: one lossless PNG per frame, numbered from 0\n"
                  "-f FORMAT names the container instead (mp4, webm, mkv or matroska, gif, wav); -o - with -f writes\n"
                  "to standard output, for every format but MP4.\n"
                  "In OUT, %n stands for the movie's name: export *.qf -o out/%n.mp4 -j 2");
    command->add_option("MOVIE", o->movies, "The movie files")->required();
    command
        ->add_option("-o,--output", o->out,
                     "The file (or PNG pattern) to write, - for standard output; %n is the movie's name")
        ->required()
        ->type_name("OUT");
    command
        ->add_option_function<std::string>(
            "-f,--format",
            [o](const std::string &name) {
                o->format = qfmedia::FormatNamed(name);
                if (!o->format)
                    throw CLI::ValidationError("--format",
                                               "mp4, webm, mkv (matroska), gif or wav, not \"" + name + "\"");
            },
            "The container, whatever the extension: mp4, webm, mkv (matroska), gif or wav")
        ->type_name("mp4|webm|mkv|matroska|gif|wav");
    command
        ->add_option("--scale", o->scale,
                     "Integer picture scale, nearest neighbour (default 2 for video, 1 for GIF and PNG)")
        ->type_name("N")
        ->check(CLI::Range(1, 16));
    command->add_option("--start", o->start, "Start at T (seconds, mm:ss.fff or hh:mm:ss)")->type_name("T");
    command->add_option("--duration", o->duration, "Export T (seconds, mm:ss.fff or hh:mm:ss)")->type_name("T");
    AddPictureOptions(*command, o->picture, true);
    AddJobsOption(*command, o->jobs);
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        if (qfutil::IsStandardOutput(o->out)) {
            // Usage errors, before any movie is opened.
            if (!o->format)
                throw CLI::ValidationError(
                    "-o - needs -f FORMAT (wav, mkv, webm or gif): standard output has no extension");
            if (std::string problem = qfmedia::StreamProblem(*o->format); !problem.empty())
                throw CLI::ValidationError(problem);
        }
        if (!o->start.empty()) TimeOption("--start", o->start);
        if (!o->duration.empty() && TimeOption("--duration", o->duration) == 0)
            throw BadUsage("--duration must be more than 0");
        if (!o->format) {
            try {
                qfmedia::RequireFormat(o->out);
            } catch (const std::runtime_error &e) {
                throw BadUsage(e.what());
            }
        }
        RequireNamePerMovie(o->movies, o->out, "out/%n.mp4");
        ForEachMovie(context, o->movies, o->jobs,
                     [&context, o](const std::string &movie) { Export(context, *o, movie); });
    });
}

}  // namespace qftools
