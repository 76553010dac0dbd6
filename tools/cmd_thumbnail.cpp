// quillframer thumbnail: a poster picture for file managers, which call it as the thumbnailer
// entry says (quillframer thumbnail -s SIZE IN OUT).
#include <cstdio>

#include "common.hpp"
#include "frame.hpp"
#include "media/image.hpp"
#include "media/png.hpp"
#include "qfhost/time.hpp"

namespace qftools {

namespace {

struct ThumbnailCommand {
    std::string movie, out, at;
    int size = 256;
};

}  // namespace

void RegisterThumbnail(CLI::App &app, Context &context)
{
    auto o = std::make_shared<ThumbnailCommand>();
    CLI::App *command = app.add_subcommand(
        "thumbnail", "Write a poster picture as PNG, its longer side SIZE pixels, its shape kept: the picture a tenth\n"
                     "of the way into the movie (past an opening fade), or at --at T. File managers call it through\n"
                     "the installed quillframer.thumbnailer; OUT is replaced when it exists.");
    command->add_option("MOVIE", o->movie, "The movie file")->required();
    command->add_option("OUT", o->out, "The PNG file to write")->required();
    command->add_option("-s,--size", o->size, "The longer side in pixels (default 256)")
        ->type_name("SIZE")
        ->check(CLI::Range(1, 4096));
    command->add_option("--at", o->at, "The time instead: seconds, mm:ss.fff or hh:mm:ss")->type_name("T");
    AddMovieOptions(*command, context);
    command->callback([&context, o] {
        // A file manager hands over a fresh temporary name, or one it wants replaced.
        Context replacing = context;
        replacing.overwrite = qfutil::Overwrite::Always;
        qfutil::Outputs outputs = CommandOutputs(replacing, {o->movie});
        outputs.claim(o->out);
        OpenedMovie opened = OpenMovie(context, o->movie);
        AddInputsRead(opened.plugin->host(), outputs);
        const uint32_t at = o->at.empty() ? opened.movie->durationMs() / 10 : TimeOption("--at", o->at);
        const qfmedia::RgbImage poster =
            qfmedia::ResizeLongestSide(PictureAt(*opened.movie, at, 1, PictureOptions{}), o->size);
        try {
            outputs.write(o->out, [&](const std::filesystem::path &file) { qfmedia::WritePng(file, poster); });
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
        if (!context.quiet)
            std::printf("wrote %s: %dx%d at %s\n", o->out.c_str(), poster.width, poster.height,
                        qfhost::FormatTime(at).c_str());
    });
}

}  // namespace qftools
