// The demo as a web page: the browser player with the demo movie and its volume built in.
#pragma once

#include <filesystem>
#include <optional>

#include "demo_movie.hpp"

namespace qfauthor {

// Writes dir/web/: the player's page (built beside this executable, in web-page/) and
// demo-data.js holding the movie and its volume. Returns the page to open, or nullopt when the
// player was not built (no Emscripten).
std::optional<std::filesystem::path> WriteDemoWebPage(const std::filesystem::path &dir, const DemoMovie &demo);

}  // namespace qfauthor
