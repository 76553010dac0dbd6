// Times as people write them on the command line and read them in output: one formatter and one
// parser for every time the host and the tools show or take.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qfhost {

// 83456 ms -> "01:23.456"; with hours, 3723456 ms -> "1:02:03.456".
std::string FormatTime(uint64_t ms);

// Milliseconds from seconds ("12", "12.5"), "mm:ss" or "mm:ss.fff", or "hh:mm:ss" (with or without
// a fraction); the fraction goes on the seconds only, and digits past the millisecond are dropped.
// nullopt when malformed, negative, or a minutes or seconds field after the first reaches 60.
std::optional<uint64_t> ParseTime(std::string_view text);

// A time in seconds, as packets carry it, to the nearest millisecond (0 for anything below 0).
inline uint64_t MillisecondsOf(double seconds)
{
    return seconds > 0 ? static_cast<uint64_t>(std::llround(seconds * 1000.0)) : 0;
}

}  // namespace qfhost
