// Name rules shared by every host of the plug-in. No file system and no exceptions here: the
// browser build compiles this file too.
#include "qfhost/name_rules.hpp"

#include <cstring>

#include "quillframer/movie_format.h"

namespace qfhost {
namespace {

constexpr std::string_view messageHead = QF_REQUESTER_HEAD;
constexpr std::string_view messageTail = QF_REQUESTER_TAIL;

unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// An empty part between slashes is AmigaDOS for "parent", like a leading slash; a colon makes
// the component a volume path.
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

int CompareNamesIgnoringCase(std::string_view a, std::string_view b)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        int d = Fold(static_cast<unsigned char>(a[i])) - Fold(static_cast<unsigned char>(b[i]));
        if (d != 0) return d;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

const char *AppendPathComponent(char *buffer, uint32_t size, std::string_view add)
{
    size_t used = strnlen(buffer, size);
    if (used == size) return "the path buffer is not terminated";
    if (add.empty()) return nullptr;
    if (const char *why = Refusal(add)) return why;
    if (add.size() > 1 && add.back() == '/') add.remove_suffix(1);
    bool separator = used > 0 && buffer[used - 1] != '/';
    if (used + separator + add.size() + 1 > size) return "the joined path would not fit in the path buffer";
    if (separator) buffer[used++] = '/';
    std::memcpy(buffer + used, add.data(), add.size());
    buffer[used + add.size()] = '\0';
    return nullptr;
}

std::optional<size_t> FindNameIgnoringCase(std::span<const std::string> names, std::string_view wanted)
{
    std::optional<size_t> match;
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == wanted) return i;
        if (CompareNamesIgnoringCase(names[i], wanted) == 0 && (!match || names[i] < names[*match])) match = i;
    }
    return match;
}

std::optional<std::string> ParseRequesterVolume(const std::string &message)
{
    std::string_view m(message);
    if (m.size() < messageHead.size() + messageTail.size()) return std::nullopt;
    if (m.substr(0, messageHead.size()) != messageHead) return std::nullopt;
    if (m.substr(m.size() - messageTail.size()) != messageTail) return std::nullopt;
    return std::string(m.substr(messageHead.size(), m.size() - messageHead.size() - messageTail.size()));
}

}  // namespace qfhost
