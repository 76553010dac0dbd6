// quillframer sheet: a contact sheet of a movie.
#include <cstdio>

#include "common.hpp"
#include "media/still.hpp"
#include "media/sheet.hpp"
#include "qfhost/time.hpp"

namespace qftools {

namespace {

struct SheetCommand {
    std::vector<std::string> movies;
    std::string out, every;
    int columns = 4;
    int shrink = 0;
    int jobs = 1;
    PictureOptions picture;
};

void MakeSheet(const Context &context, const SheetCommand &o, const std::string &path)
{
    const std::string out = NameOutput(o.out, path);
    const qfmedia::StillFormat format = StillOutput(out);
    qfutil::Outputs outputs = CommandOutputs(context, {path});
    outputs.claim(out);
    qfmedia::SheetOptions options;
    if (!o.every.empty()) { options.everyMs = TimeOption("--every", o.every); }
    options.columns = o.columns;
    options.shrink = o.shrink;
    options.quiet = context.quiet || context.noBars;
    options.aspect = o.picture.aspect;
    std::filesystem::path movie = path;
    OpenedMovie opened = OpenMovie(context, movie);
    AddInputsRead(opened.plugin->host(), outputs);
    options.title = MovieFileName(movie).string() + "  " + std::to_string(opened.movie->width()) + "x" +
                    std::to_string(opened.movie->height()) + "  " + qfhost::FormatTime(opened.movie->durationMs());
    try {
        qfmedia::Sheet sheet = qfmedia::MakeSheet(*opened.movie, options);
        outputs.write(out, [&](const std::filesystem::path &file) { qfmedia::WriteStill(file, sheet.image, format); });
        if (!context.quiet) {
            std::printf("wrote %s: %d thumbnails, %dx%d\n", out.c_str(), sheet.thumbnails, sheet.image.width,
                        sheet.image.height);
            std::string times;
            for (uint32_t ms : sheet.times) times += " " + qfhost::FormatTime(ms);
            std::printf("at%s\n", times.c_str());
        }
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
}

}  // namespace

void RegisterSheet(CLI::App &app, Context &context)
{
    auto o = std::make_shared<SheetCommand>();
    CLI::App *command = app.add_subcommand(
        "sheet", "Make a contact sheet: a labelled thumbnail at each scene change (a new picture or palette),\n"
                 "and at least one per twelfth of the movie; or one per --every interval.");
    command->add_option("MOVIE", o->movies, "The movie files")->required();
    command
        ->add_option("-o,--output", o->out,
                     "The picture to write: .png, .jpg or .jpeg (JPEG), .webp (lossless WebP); %n is the movie's name")
        ->required()
        ->type_name("FILE");
    command
        ->add_option("--every", o->every, "A thumbnail every T (seconds, mm:ss.fff or hh:mm:ss) instead of at changes")
        ->type_name("T");
    command->add_option("--columns", o->columns, "Thumbnails per row (default 4)")
        ->type_name("N")
        ->check(CLI::Range(1, 64));
    command->add_option("--shrink", o->shrink, "Thumbnail = picture / N (default 2, or 1 for small pictures)")
        ->type_name("N")
        ->check(CLI::Range(1, 16));
    AddPictureOptions(*command, o->picture, false);
    AddJobsOption(*command, o->jobs);
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        // Bad values before any movie is opened.
        StillOutput(o->out);
        if (!o->every.empty() && TimeOption("--every", o->every) == 0) throw BadUsage("--every must be more than 0");
        RequireNamePerMovie(o->movies, o->out, "%n-sheet.png");
        ForEachMovie(context, o->movies, o->jobs,
                     [&context, o](const std::string &movie) { MakeSheet(context, *o, movie); });
    });
}

}  // namespace qftools
