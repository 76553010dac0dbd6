// Amiga-style names on a Linux file system: joins that may not leave the chosen directory,
// names that compare without regard to case, and a lookup that forgives case.
#include <algorithm>
#include <cstring>
#include <system_error>

#include "host_state.hpp"

namespace qfhost {
namespace fs = std::filesystem;

namespace {

unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// Why a component may not be joined, or null when it may. An empty part between slashes is
// AmigaDOS for "parent", like a leading slash; a colon makes the component a volume path.
const char *Refusal(std::string_view component)
{
    if (component.find(':') != std::string_view::npos) return "it names a volume";
    if (component.front() == '/') return "a leading \"/\" climbs to the parent";
    if (component.size() > 1 && component.back() == '/') component.remove_suffix(1);
    size_t start = 0;
    while (start <= component.size()) {
        size_t end = component.find('/', start);
        if (end == std::string_view::npos) end = component.size();
        std::string_view part = component.substr(start, end - start);
        if (part.empty()) return "\"//\" climbs to the parent";
        if (part == "..") return "\"..\" climbs out of the directory";
        start = end + 1;
    }
    return nullptr;
}

}  // namespace

int CompareIgnoringCase(const std::string &a, const std::string &b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int d = Fold(static_cast<unsigned char>(a[i])) - Fold(static_cast<unsigned char>(b[i]));
        if (d != 0) return d;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

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
        std::string_view add(component);
        auto refuse = [&](const std::string &why) {
            if (s) {
                std::string dir(buffer, used);
                s->badBuffer = buffer;
                s->badPath = dir;
                s->fail(FailureKind::EscapingPath,
                        "refused path component \"" + std::string(add) + "\" after \"" + dir + "\": " + why, dir,
                        s->volumeOf(dir));
            }
            return 0;
        };
        if (s && s->badBuffer == buffer) return 0;  // stays bad: the earlier refusal is the cause
        if (used == size) return refuse("the path buffer is not terminated");
        if (add.empty()) return 1;
        if (const char *why = Refusal(add)) return refuse(why);
        if (add.size() > 1 && add.back() == '/') add.remove_suffix(1);
        bool separator = used > 0 && buffer[used - 1] != '/';
        if (used + separator + add.size() + 1 > size)
            return refuse("the joined path would not fit in " + std::to_string(size) + " bytes");
        if (separator) buffer[used++] = '/';
        std::memcpy(buffer + used, add.data(), add.size());
        buffer[used + add.size()] = '\0';
        return 1;
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
        // The smallest matching name, so the choice does not depend on directory order.
        std::optional<fs::path> match;
        const fs::path here = found.empty() ? fs::path(".") : found;
        for (fs::directory_iterator it(here, ec), end; !ec && it != end; it.increment(ec)) {
            fs::path name = it->path().filename();
            if (CompareIgnoringCase(name.string(), part.string()) == 0 && (!match || name < *match)) match = name;
        }
        if (!match) return std::nullopt;
        found /= *match;
    }
    return found;
}

}  // namespace qfhost
