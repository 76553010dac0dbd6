#include "media/player_keys.hpp"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace qfmedia::detail {

namespace {

SDL_Keycode KeyNamed(const std::string &name)
{
    if (name.size() == 1) return static_cast<SDL_Keycode>(static_cast<unsigned char>(name[0]));  // . , o l f q
    if (name == "space") return SDLK_SPACE;
    if (name == "home") return SDLK_HOME;
    if (name == "left") return SDLK_LEFT;
    if (name == "right") return SDLK_RIGHT;
    if (name == "enter") return SDLK_RETURN;
    throw std::runtime_error("--script: unknown key \"" + name + "\"");
}

}  // namespace

KeyAction ActionFor(SDL_Keycode key, Uint16 mod)
{
    const bool shift = mod & KMOD_SHIFT;
    if (key == SDLK_GREATER || (key == SDLK_PERIOD && shift)) return KeyAction::Next;
    if (key == SDLK_LESS || (key == SDLK_COMMA && shift)) return KeyAction::Previous;
    if (key == SDLK_RETURN || key == SDLK_KP_ENTER) return KeyAction::Enter;
    switch (key) {
    case SDLK_q:
    case SDLK_ESCAPE: return KeyAction::Quit;
    case SDLK_SPACE: return KeyAction::Pause;
    case SDLK_LEFT: return KeyAction::Back;
    case SDLK_RIGHT: return KeyAction::Forward;
    case SDLK_HOME: return KeyAction::Restart;
    case SDLK_PERIOD: return KeyAction::StepForward;
    case SDLK_COMMA: return KeyAction::StepBack;
    case SDLK_o: return KeyAction::Overlay;
    case SDLK_l: return KeyAction::Loop;
    case SDLK_f: return KeyAction::Fullscreen;
    default: return KeyAction::None;
    }
}

KeyScript::KeyScript(const std::optional<std::string> &script, size_t next, const std::string &title) : next_(next)
{
    if (!script) return;
    std::istringstream words(*script);
    for (std::string word; words >> word;) keys_.push_back(KeyNamed(word));
    std::printf("window: %s\n", title.c_str());
}

void KeyScript::pressNext()
{
    if (next_ >= keys_.size()) return;
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.state = SDL_PRESSED;
    e.key.keysym.sym = keys_[next_++];
    SDL_PushEvent(&e);
}

}  // namespace qfmedia::detail
