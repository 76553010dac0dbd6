// "did you mean": the closest of a few known words to a mistyped one.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qfutil {

// The candidate nearest to `typed` by edit distance (case-insensitive, a swap of two neighbours
// counting as one), if it is near enough to be a typo: at most 2 edits and fewer than half the
// word's length.
std::optional<std::string> Nearest(std::string_view typed, std::span<const std::string_view> candidates);

}  // namespace qfutil
