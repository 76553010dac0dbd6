#include "qfutil/suggest.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

namespace qfutil {
namespace {

// Optimal string alignment distance.
size_t Distance(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

}  // namespace

std::optional<std::string> Nearest(std::string_view typed, std::span<const std::string_view> candidates)
{
    std::optional<std::string> best;
    if (typed.empty()) return best;
    size_t bestDistance = std::min<size_t>(2, (typed.size() - 1) / 2) + 1;
    for (std::string_view candidate : candidates) {
        size_t distance = Distance(typed, candidate);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = std::string(candidate);
        }
    }
    return best;
}

}  // namespace qfutil
