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

// The pictures the packet stream delivers from startMs until endMs (a packet at or past it is not
// taken) or the end of the movie. This is the count the command shows everywhere, not the plug-in's
// GetVideoFrames: that one truncates, so a last part-picture is not in it (580 ms: 14), and the
// stream's clock adds 0.04 s per picture in doubles and compares whole milliseconds with the
// duration, so its drift can add one more (10.4 s: 261 pictures, GetVideoFrames 260).
uint64_t PicturesDelivered(uint32_t durationMs, uint32_t startMs = 0, std::optional<uint32_t> endMs = std::nullopt);

// How long those pictures play, 40 ms each: the length the command, its JSON and the page show,
// and what an export of them lasts (10.4 s of scenes: 261 pictures, 10.44 s).
inline uint64_t PlayedMs(uint64_t pictures) { return pictures * 40; }

// A length in seconds, with two decimals or three when the milliseconds need them: 10440 ms ->
// "10.44 s", 1234 ms -> "1.234 s".
std::string FormatSeconds(uint64_t ms);

// "--start 00:10.420 is past the end of the movie: it plays 10.44 s, and times up to 00:10.399
// reach its last picture". Seeks run on the plug-in's clock, which ends where the scenes end.
std::string PastTheEnd(const std::string &option, uint64_t ms, uint32_t durationMs);

}  // namespace qfhost
