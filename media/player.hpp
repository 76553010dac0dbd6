// A window with sound that plays a movie (SDL2). Keys: space pause, left/right seek 5 s, Home
// restart, . and , a frame forward and back while paused, o time, frame and scene on screen, l loop,
// f full screen, > or Enter next and < previous movie of a playlist, q or Esc quit.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "media/image.hpp"
#include "qfhost/survey.hpp"

namespace qfhost {
class Movie;
}

namespace qfmedia {

struct PlayerOptions {
    int scale = 0;  // 0: about two thirds of the screen
    bool fullscreen = false;
    int frames = 0;  // quit after showing this many pictures (0: at the end)
    PixelAspect aspect = PixelAspect::Square;
    bool loop = false;
    bool overlay = false;  // time and frame on screen from the start
    // For tests: keys (space . , o l f q home left right > < enter) pressed one per step once the
    // first picture is up; each is answered on stdout with the frame then shown, and each movie
    // with its window's title.
    std::optional<std::string> script;
};

// A movie's place in a playlist, and what goes on from one movie to the next.
struct Playlist {
    size_t index = 0, count = 1;
    size_t scriptAt = 0;      // keys of the script pressed so far
    int shown = 0;            // pictures shown so far, for PlayerOptions::frames
    bool fullscreen = false;  // as the last window was left
};

enum class PlayEnd {
    Finished,
    Next,
    Previous,
    Quit
};

// Plays from where the movie stands until the end, the user quits or moves on in the playlist
// (> and < do nothing past its ends; Enter on the last movie finishes). scenes, when known, put
// the scene number on screen. Throws std::runtime_error.
PlayEnd PlayInWindow(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title, Playlist &playlist,
                     std::span<const qfhost::SceneEntry> scenes = {});

}  // namespace qfmedia
