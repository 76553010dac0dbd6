// quillframer frame: one picture of a movie as PNG, JPEG or WebP.
#include <cstdio>

#include "common.hpp"
#include "frame.hpp"
#include "media/image.hpp"
#include "media/still.hpp"
#include "qfhost/time.hpp"

namespace qftools {

qfmedia::RgbImage PictureAt(qfhost::Movie &movie, uint32_t at, int scale, const PictureOptions &picture)
{
    if (at >= movie.durationMs()) throw ToolError(qfhost::PastTheEnd("--at", at, movie.durationMs()));
    const std::optional<std::span<const uint32_t>> words = movie.pictureAt(at);
    if (!words) throw ToolError("no picture at " + qfhost::FormatTime(at));
    try {
        const qfmedia::Layout layout =
            qfmedia::PlacePicture(movie.width(), movie.height(), scale, picture.aspect, picture.fit);
        return qfmedia::RenderPicture(*words, movie.width(), movie.height(), layout);
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
}

namespace {

struct FrameCommand {
    std::vector<std::string> movies;
    std::string out, at = "0";
    int scale = 1, jobs = 1;
    PictureOptions picture;
};

void Frame(const Context &context, const FrameCommand &o, const std::string &path)
{
    const uint32_t at = TimeOption("--at", o.at);
    const std::string out = NameOutput(o.out, path);
    const qfmedia::StillFormat format = StillOutput(out);
    qfutil::Outputs outputs = CommandOutputs(context, {path});
    outputs.claim(out);
    OpenedMovie opened = OpenMovie(context, path);
    AddInputsRead(opened.plugin->host(), outputs);
    qfmedia::RgbImage image = PictureAt(*opened.movie, at, o.scale, o.picture);
    try {
        outputs.write(out, [&](const std::filesystem::path &file) { qfmedia::WriteStill(file, image, format); });
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    if (!context.quiet)
        std::printf("wrote %s: %dx%d at %s\n", out.c_str(), image.width, image.height, qfhost::FormatTime(at).c_str());
}

}  // namespace

void RegisterFrame(CLI::App &app, Context &context)
{
    auto o = std::make_shared<FrameCommand>();
    CLI::App *command = app.add_subcommand(
        "frame", "Write the picture at time T (a seek to T, then the next picture) as PNG, JPEG or WebP,\n"
                 "as the output's extension says.");
    command->add_option("MOVIE", o->movies, "The movie files")->required();
    command->add_option("--at", o->at, "The time: seconds, mm:ss.fff or hh:mm:ss (default 0)")->type_name("T");
    command
        ->add_option("-o,--output", o->out,
                     "The picture to write: .png, .jpg or .jpeg (JPEG), .webp (lossless WebP); %n is the movie's name")
        ->required()
        ->type_name("FILE");
    command->add_option("--scale", o->scale, "Integer picture scale, nearest neighbour (default 1)")
        ->type_name("N")
        ->check(CLI::Range(1, 16));
    AddPictureOptions(*command, o->picture, true);
    AddJobsOption(*command, o->jobs);
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        // Bad values before any movie is opened.
        StillOutput(o->out);
        TimeOption("--at", o->at);
        RequireNamePerMovie(o->movies, o->out, "%n.png");
        ForEachMovie(context, o->movies, o->jobs,
                     [&context, o](const std::string &movie) { Frame(context, *o, movie); });
    });
}

}  // namespace qftools
