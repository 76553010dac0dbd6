// The player's keys: what each one asks for, and the keys a test script presses.
#pragma once

#include <SDL.h>

#include <optional>
#include <string>
#include <vector>

namespace qfmedia::detail {

enum class KeyAction {
    None,
    Next,
    Previous,
    Enter,
    Quit,
    Pause,
    Back,
    Forward,
    Restart,
    StepForward,
    StepBack,
    Overlay,
    Loop,
    Fullscreen
};

// As mpv has them: > and < (shifted . and , on most keyboards, a key of their own on some), Enter.
KeyAction ActionFor(SDL_Keycode key, Uint16 mod);

// Keys (space . , o l f q home left right > < enter) pressed one per step, from the word `next`.
class KeyScript {
public:
    // Throws on an unknown key, before any window opens; then names the window on stdout.
    KeyScript(const std::optional<std::string> &script, size_t next, const std::string &title);
    // Queues the next key as a key press, if any is left.
    void pressNext();
    size_t next() const { return next_; }

private:
    std::vector<SDL_Keycode> keys_;
    size_t next_;
};

}  // namespace qfmedia::detail
