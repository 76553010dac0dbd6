// quillframer frame: one picture of a movie as PNG.
#include <cstdio>

#include "common.hpp"
#include "media_image.hpp"
#include "media_png.hpp"

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
    command->add_option("--at", o->at, "The time: seconds, or mm:ss (default 0)");
    command->add_option("-o,--output", o->out, "The PNG file to write")->required();
    command->add_option("--scale", o->scale, "Integer picture scale, nearest neighbour (default 1)")->check(CLI::Range(1, 16));
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        auto at = ParseTime(o->at);
        if (!at) throw ToolError("--at: \"" + o->at + "\" is not a time (seconds, or mm:ss)");
        qfhost::Outputs outputs = CommandOutputs(context, {o->movie});
        outputs.claim(o->out);
        OpenedMovie opened = OpenMovie(context, o->movie);
        qfhost::Movie &movie = *opened.movie;
        const double length = movie.durationMs() / 1000.0;
        if (*at >= length)
            throw ToolError("--at " + FormatTime(*at) + " is past the end of the movie (" + FormatTime(length) + ")");
        movie.seek(static_cast<uint32_t>(*at * 1000.0));
        while (true) {
            qfhost::Packet packet = movie.next();
            if (packet.code == -1) throw ToolError("no picture at " + FormatTime(*at));
            if (packet.code != 0) throw ToolError("the plug-in ran out of memory");
            if (packet.stream != 0) {
                movie.release(packet);
                continue;
            }
            RgbImage image = FromPixelWords(movie.decodeVideo(packet), movie.width(), movie.height(), o->scale);
            movie.release(packet);
            try {
                outputs.write(o->out, [&](const std::filesystem::path &file) { WritePng(file, image); });
            } catch (const std::runtime_error &e) {
                throw ToolError(e.what());
            }
            if (!context.quiet) std::printf("wrote %s: %dx%d at %s\n", o->out.c_str(), image.width, image.height, FormatTime(*at).c_str());
            return;
        }
    });
}

}  // namespace qftools
