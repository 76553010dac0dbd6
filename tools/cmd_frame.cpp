// quillframer frame: one picture of a movie as PNG.
#include <cstdio>

#include "common.hpp"
#include "media/image.hpp"
#include "media/png.hpp"
#include "qfhost/time.hpp"

namespace qftools {

namespace {

struct FrameCommand {
    std::string movie, out, at = "0";
    int scale = 1;
};

}  // namespace

void RegisterFrame(CLI::App &app, Context &context)
{
    auto o = std::make_shared<FrameCommand>();
    CLI::App *command = app.add_subcommand("frame", "Write the picture at time T as PNG (a seek to T, then the next picture).");
    command->add_option("MOVIE", o->movie, "The movie file")->required();
    command->add_option("--at", o->at, "The time: seconds, mm:ss.fff or hh:mm:ss (default 0)");
    command->add_option("-o,--output", o->out, "The PNG file to write")->required();
    command->add_option("--scale", o->scale, "Integer picture scale, nearest neighbour (default 1)")->check(CLI::Range(1, 16));
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        const uint32_t at = TimeOption("--at", o->at);
        qfhost::Outputs outputs = CommandOutputs(context, {o->movie});
        outputs.claim(o->out);
        OpenedMovie opened = OpenMovie(context, o->movie);
        qfhost::Movie &movie = *opened.movie;
        const std::string when = qfhost::FormatTime(at);
        if (at >= movie.durationMs())
            throw ToolError("--at " + when + " is past the end of the movie (" + qfhost::FormatTime(movie.durationMs()) + ")");
        movie.seek(at);
        for (qfhost::Packet &packet : movie.packets()) {
            if (!packet.isVideo()) continue;
            qfmedia::RgbImage image = qfmedia::FromPixelWords(movie.decodeVideo(packet), movie.width(), movie.height(), o->scale);
            try {
                outputs.write(o->out, [&](const std::filesystem::path &file) { qfmedia::WritePng(file, image); });
            } catch (const std::runtime_error &e) {
                throw ToolError(e.what());
            }
            if (!context.quiet) std::printf("wrote %s: %dx%d at %s\n", o->out.c_str(), image.width, image.height, when.c_str());
            return;
        }
        throw ToolError("no picture at " + when);
    });
}

}  // namespace qftools
