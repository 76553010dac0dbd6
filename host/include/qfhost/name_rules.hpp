// How Amiga names behave on a host, with no file system attached: the browser player compiles
// this same file, so both hosts compare, join and look up names alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qfhost {

// ASCII case-insensitive order, as Amiga volume and file names compare (0 = equal).
int CompareNamesIgnoringCase(std::string_view a, std::string_view b);

// Appends one Amiga path component to the NUL-terminated directory path in buffer (size bytes)
// with a "/" between. Returns null when done, or why it refused: a component that names a volume
// or climbs out of the directory ("..", a leading "/" or "//"), an unterminated buffer, or a
// result that would not fit. A refusal leaves the buffer unchanged.
const char *AppendPathComponent(char *buffer, uint32_t size, std::string_view component);

// The index of wanted among names: the exact spelling if present, else the smallest name equal
// ignoring case, so the choice does not depend on listing order.
std::optional<size_t> FindNameIgnoringCase(std::span<const std::string> names, std::string_view wanted);

// The volume named in the plug-in's requester message ("...Amiga volume \"Work:\"!"), or nullopt.
std::optional<std::string> ParseRequesterVolume(const std::string &message);

}  // namespace qfhost
