#include "qfhost/time.hpp"

#include <cstdio>

namespace qfhost {

std::string FormatTime(uint64_t ms)
{
    unsigned long long hours = ms / 3600000, minutes = ms / 60000 % 60, seconds = ms / 1000 % 60, rest = ms % 1000;
    char text[48];
    if (hours) std::snprintf(text, sizeof text, "%llu:%02llu:%02llu.%03llu", hours, minutes, seconds, rest);
    else std::snprintf(text, sizeof text, "%02llu:%02llu.%03llu", minutes, seconds, rest);
    return text;
}

std::string FormatSeconds(uint64_t ms)
{
    char text[48];
    const unsigned long long whole = ms / 1000, rest = ms % 1000;
    if (rest % 10) std::snprintf(text, sizeof text, "%llu.%03llu s", whole, rest);
    else std::snprintf(text, sizeof text, "%llu.%02llu s", whole, rest / 10);
    return text;
}

std::string PastTheEnd(const std::string &option, uint64_t ms, uint32_t durationMs)
{
    std::string line = option + " " + FormatTime(ms) + " is past the end of the movie";
    if (durationMs == 0) return line + ": it has no pictures";
    return line + ": it plays " + FormatSeconds(PlayedMs(PicturesDelivered(durationMs))) + ", and times up to " +
           FormatTime(durationMs - 1) + " reach its last picture";
}

std::optional<uint64_t> ParseTime(std::string_view text)
{
    constexpr uint64_t limit = uint64_t(1) << 40;  // far beyond any movie, far below overflow
    uint64_t total = 0;                            // whole seconds
    int fields = 0;
    for (;;) {
        size_t colon = text.find(':');
        std::string_view field = text.substr(0, colon);
        bool last = colon == std::string_view::npos;
        size_t dot = field.find('.');
        std::string_view whole = field.substr(0, dot);
        std::string_view fraction = dot == std::string_view::npos ? std::string_view() : field.substr(dot + 1);
        bool hasFraction = dot != std::string_view::npos;
        if ((whole.empty() && !hasFraction) || (hasFraction && (fraction.empty() || !last))) return std::nullopt;
        uint64_t value = 0;
        for (char c : whole) {
            if (c < '0' || c > '9' || value > limit) return std::nullopt;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (fields > 0 && value >= 60) return std::nullopt;
        if (++fields > 3) return std::nullopt;
        total = total * 60 + value;
        if (total > limit) return std::nullopt;
        if (last) {
            uint64_t ms = 0, scale = 100;
            for (char c : fraction) {
                if (c < '0' || c > '9') return std::nullopt;
                ms += static_cast<uint64_t>(c - '0') * scale;
                scale /= 10;
            }
            return total * 1000 + ms;
        }
        text.remove_prefix(colon + 1);
    }
}

uint64_t PicturesDelivered(uint32_t durationMs, uint32_t startMs, std::optional<uint32_t> endMs)
{
    // The packet clock as the stream runs it: truncated milliseconds against the duration.
    auto wholeMs = [](double t) {
        double ms = t * 1000.0;
        return ms <= 0 ? uint64_t{0} : ms >= 4294967295.0 ? uint64_t{4294967295} : static_cast<uint64_t>(ms);
    };
    const double end = endMs ? *endMs / 1000.0 : 0;
    uint64_t count = 0;
    for (double t = startMs / 1000.0; wholeMs(t) < durationMs; t += 0.04, ++count)
        if (endMs && t >= end - 1e-9) break;
    return count;
}

}  // namespace qfhost
