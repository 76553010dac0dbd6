// Amiga-style names on a Linux file system: joins that may not leave the chosen directory,
// names that compare without regard to case, and a lookup that forgives case.
#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include "host_state.hpp"
#include "qfhost/name_rules.hpp"

namespace qfhost {
namespace fs = std::filesystem;

int CompareIgnoringCase(const std::string &a, const std::string &b) { return CompareNamesIgnoringCase(a, b); }

int32_t HostServices::CompareNames(const char *a, const char *b)
{
    if (!a || !b) return a == b ? 0 : 1;
    return CompareIgnoringCase(a, b);
}

int32_t HostServices::JoinPath(char *buffer, const char *component, uint32_t size)
{
    if (!buffer || !component || size == 0) return 0;
    Host::State *s = state();
    try {
        size_t used = strnlen(buffer, size);
        std::string dir(buffer, used);
        if (s && s->badBuffer == buffer) return 0;  // stays bad: the earlier refusal is the cause
        const char *why = AppendPathComponent(buffer, size, component);
        if (!why) return 1;
        if (s) {
            s->badBuffer = buffer;
            s->badPath = dir;
            s->fail(FailureKind::EscapingPath,
                    "refused path component \"" + std::string(component) + "\" after \"" + dir + "\": " + why, dir,
                    s->volumeOf(dir));
        }
        return 0;
    } catch (...) {
        return 0;
    }
}

std::optional<fs::path> FindPathIgnoringCase(const fs::path &path)
{
    if (path.empty()) return std::nullopt;
    std::error_code ec;
    if (fs::exists(path, ec)) return path;

    fs::path found = path.has_root_path() ? path.root_path() : fs::path();
    for (const fs::path &part : path.relative_path()) {
        if (part.empty()) continue;  // a trailing slash
        fs::path exact = found / part;
        if (fs::exists(exact, ec)) {
            found = exact;
            continue;
        }
        std::vector<std::string> names;
        const fs::path here = found.empty() ? fs::path(".") : found;
        for (fs::directory_iterator it(here, ec), end; !ec && it != end; it.increment(ec))
            names.push_back(it->path().filename().string());
        std::optional<size_t> match = FindNameIgnoringCase(names, part.string());
        if (!match) return std::nullopt;
        found /= names[*match];
    }
    return found;
}

}  // namespace qfhost
