// quillframer play: a movie in a window with sound.
#include <stdexcept>

#include "common.hpp"
#include "media/player.hpp"
#include "qfhost/survey.hpp"
#include "qfutil/printable.hpp"

namespace qftools {

namespace {

struct PlayCommand {
    std::vector<std::string> movies;
    qfmedia::PlayerOptions player;
    PictureOptions picture;
    std::string script;
};

}  // namespace

void RegisterPlay(CLI::App &app, Context &context)
{
    auto o = std::make_shared<PlayCommand>();
    CLI::App *command = app.add_subcommand(
        "play", "Play movies in a window with sound, one after another.\n"
                "Keys: space pause, left/right seek 5 s, Home restart, . and , a frame forward and back while\n"
                "paused, o time, frame and scene on screen, l loop, f full screen, > or Enter next movie, < previous, "
                "q or Esc quit.");
    command->add_option("MOVIE", o->movies, "The movie files, played in this order")->required();
    command->add_option("--scale", o->player.scale, "Integer picture scale (default: about two thirds of the screen)")
        ->type_name("N")
        ->check(CLI::Range(1, 64));
    command->add_flag("--fullscreen", o->player.fullscreen, "Start in full screen");
    command->add_flag("--loop", o->player.loop, "Start each movie again at its end");
    command->add_flag("--osd", o->player.overlay, "Show the time, frame and scene from the start (o toggles)");
    AddPictureOptions(*command, o->picture, false);
    // Keys pressed by a test, answered on stdout; not for people.
    command->add_option("--script", o->script)->group("");
    command->add_option("--frames", o->player.frames, "Quit after showing N pictures (of all the movies)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    AddMovieOptions(*command, context);
    command->callback([&context, o, command] {
        o->player.aspect = o->picture.aspect;
        if (command->count("--script") > 0) o->player.script = o->script;
        qfmedia::Playlist playlist;
        playlist.count = o->movies.size();
        playlist.fullscreen = o->player.fullscreen;
        while (playlist.index < playlist.count) {
            const std::string &movie = o->movies[playlist.index];
            OpenedMovie opened = OpenMovie(context, movie);
            std::vector<qfhost::SceneEntry> scenes;  // for the scene number on screen
            {
                qfhost::Survey survey(opened.plugin->host(), opened.served, 0, false);
                if (survey.opened()) scenes = survey.scenes();
            }
            std::string title = "quillframer - " + qfutil::Printable(std::filesystem::path(movie).filename().string());
            if (playlist.count > 1)
                title += " (" + std::to_string(playlist.index + 1) + "/" + std::to_string(playlist.count) + ")";
            qfmedia::PlayEnd end;
            try {
                end = qfmedia::PlayInWindow(*opened.movie, o->player, title, playlist, scenes);
            } catch (const std::runtime_error &e) {
                throw ToolError(e.what());
            }
            if (end == qfmedia::PlayEnd::Quit) return;
            if (end == qfmedia::PlayEnd::Previous) --playlist.index;
            else ++playlist.index;
        }
    });
}

}  // namespace qftools
