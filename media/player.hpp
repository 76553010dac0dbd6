// A window with sound that plays a movie (SDL2). Keys: space pause, left/right seek 5 s, Home
// restart, . and , a frame forward and back while paused, o time on screen, l loop, f full
// screen, q or Esc quit.
#pragma once

#include <string>

#include "media/image.hpp"

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
    // For tests: keys (space . , o l f q home left right) pressed one per step once the first
    // picture is up; each is answered on stdout with the frame then shown.
    std::optional<std::string> script;
};

// Plays from where the movie stands until the end or the user quits. Throws std::runtime_error.
void PlayInWindow(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title);

}  // namespace qfmedia
