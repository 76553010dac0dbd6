// quillframer play: a movie in a window with sound.
#include <stdexcept>

#include "common.hpp"
#include "media/player.hpp"

namespace qftools {

namespace {

struct PlayCommand {
    std::string movie;
    qfmedia::PlayerOptions player;
    PictureOptions picture;
    std::string script;
};

}  // namespace

void RegisterPlay(CLI::App &app, Context &context)
{
    auto o = std::make_shared<PlayCommand>();
    CLI::App *command = app.add_subcommand(
        "play", "Play a movie in a window with sound.\n"
                "Keys: space pause, left/right seek 5 s, Home restart, . and , a frame forward and back while\n"
                "paused, o time on screen, l loop, f full screen, q or Esc quit.");
    command->add_option("MOVIE", o->movie, "The movie file")->required();
    command->add_option("--scale", o->player.scale, "Integer picture scale (default: about two thirds of the screen)")
        ->check(CLI::Range(1, 64));
    command->add_flag("--fullscreen", o->player.fullscreen, "Start in full screen");
    command->add_flag("--loop", o->player.loop, "Start again at the end");
    command->add_flag("--osd", o->player.overlay, "Show the time and frame from the start (o toggles)");
    AddPictureOptions(*command, o->picture, false);
    // Keys pressed by a test, answered on stdout; not for people.
    command->add_option("--script", o->script)->group("");
    command->add_option("--frames", o->player.frames, "Quit after showing N pictures")->check(CLI::PositiveNumber);
    AddMovieOptions(*command, context);
    command->callback([&context, o, command] {
        o->player.aspect = o->picture.aspect;
        if (command->count("--script") > 0) o->player.script = o->script;
        OpenedMovie opened = OpenMovie(context, o->movie);
        std::string title = "quillframer - " + std::filesystem::path(o->movie).filename().string();
        try {
            qfmedia::PlayInWindow(*opened.movie, o->player, title);
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
    });
}

}  // namespace qftools
