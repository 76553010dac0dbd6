// quillframer play: a movie in a window with sound.
#include <algorithm>
#include <cstdio>
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
    command
        ->add_option("MOVIE", o->movies,
                     "The movies, played in this order; one that cannot be opened is skipped with a message")
        ->required();
    command->add_option("--scale", o->player.scale, "Integer picture scale (default: about two thirds of the screen)")
        ->type_name("N")
        ->check(CLI::Range(1, 64));
    command->add_flag("--fullscreen", o->player.fullscreen,
                      "Start in full screen: the whole picture, scaled to fit, with black bars (f toggles)");
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
        // As in mpv, a movie that cannot be opened is skipped in the direction of travel.
        std::vector<bool> failed(playlist.count);
        bool back = false;
        while (playlist.index < playlist.count) {
            const std::string &movie = o->movies[playlist.index];
            auto move = [&] {
                if (back && playlist.index == 0) back = false;  // nothing before: on from the start
                else if (back) --playlist.index;
                else ++playlist.index;
            };
            if (failed[playlist.index]) {
                move();
                continue;
            }
            OpenedMovie opened;
            try {
                opened = OpenMovie(context, movie);
            } catch (const ToolError &e) {
                if (playlist.count == 1) throw;
                std::fprintf(stderr, "quillframer: %s: %s; skipped\n", qfutil::Printable(MovieName(movie)).c_str(),
                             qfutil::Printable(e.what()).c_str());
                failed[playlist.index] = true;
                move();
                continue;
            }
            std::vector<qfhost::SceneEntry> scenes;  // for the scene number on screen
            {
                qfhost::Survey survey(opened.plugin->host(), opened.served, 0, false);
                if (survey.opened()) scenes = survey.scenes();
            }
            std::string title =
                "quillframer - " + qfutil::Printable(movie == "-" ? MovieName(movie) : MovieFileName(movie).string());
            if (playlist.count > 1)
                title += " (" + std::to_string(playlist.index + 1) + "/" + std::to_string(playlist.count) + ")";
            qfmedia::PlayEnd end;
            try {
                end = qfmedia::PlayInWindow(*opened.movie, o->player, title, playlist, scenes);
            } catch (const std::runtime_error &e) {
                throw ToolError(e.what());
            }
            if (end == qfmedia::PlayEnd::Quit) break;
            back = end == qfmedia::PlayEnd::Previous;
            move();
        }
        // mpv's habit too: the others played, and the status says not all could be.
        const auto skipped = static_cast<size_t>(std::count(failed.begin(), failed.end(), true));
        if (skipped > 0)
            throw ToolError(std::to_string(skipped) + " of " + std::to_string(playlist.count) +
                            " movies could not be played");
    });
}

}  // namespace qftools
