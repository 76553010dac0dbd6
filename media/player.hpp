// A window with sound that plays a movie (SDL2). Keys: space pause, left/right seek 5 s, Home
// restart, f full screen, q or Esc quit.
#pragma once

#include <string>

namespace qfhost {
class Movie;
}

namespace qfmedia {

struct PlayerOptions {
    int scale = 0;  // 0: as large as fits comfortably, up to 4
    bool fullscreen = false;
    int frames = 0;  // quit after showing this many pictures (0: at the end)
};

// Plays from where the movie stands until the end or the user quits. Throws std::runtime_error.
void PlayInWindow(qfhost::Movie &movie, const PlayerOptions &options, const std::string &title);

}  // namespace qfmedia
