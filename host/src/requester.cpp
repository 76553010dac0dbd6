// The volume requester: the plug-in asks for what stands for an Amiga volume (a directory, disk image or archive).
// The answer comes from the fixed map, from the person at the terminal, or is a cancel.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "host_state.hpp"
#include "qfhost/volume_files.hpp"
#include "quillframer/movie_format.h"
#include "qfutil/printable.hpp"

namespace qfhost {
namespace {

// The location mapped to the volume; a whole hard-disk image stands for its partition of that drive
// name or label, where it has one (else its first).
std::optional<std::string> Mapped(Host::State &s, const std::string &volume)
{
    for (const auto &[name, directory] : s.settings.volumes) {
        if (CompareIgnoringCase(name, volume) != 0) continue;
        try {
            auto &mounted = s.mounted[directory.string()];
            if (!mounted) {
                mounted = Volume::Open(directory, s.settings.volumeLimits);
                s.read(directory.string());
            }
            if (std::optional<std::filesystem::path> part = PartitionFor(*mounted, directory, volume);
                part && part->parent_path() == directory)
                return part->string();
        } catch (const std::exception &) {
            // opening it for a file says what is wrong with it
        }
        return directory.string();
    }
    return std::nullopt;
}

std::string Trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return s.substr(i);
}

// Asks on the controlling terminal (or stdin when that is one); nullopt when there is none.
std::optional<std::string> AskTerminal(const std::string &volume)
{
    int in = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    int out = in;
    bool own = in >= 0;
    if (!own) {
        if (!::isatty(STDIN_FILENO)) return std::nullopt;
        in = STDIN_FILENO;
        out = STDERR_FILENO;
    }
    std::optional<std::string> answer;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::string prompt =
            "Directory, disk image or archive for Amiga volume \"" + Printable(volume) + ":\" (empty to cancel): ";
        if (::write(out, prompt.data(), prompt.size()) < 0) break;
        std::string line;
        char c;
        ssize_t n;
        while ((n = ::read(in, &c, 1)) == 1 && c != '\n') line += c;
        if (n < 0 || (n == 0 && line.empty())) break;  // end of input cancels
        line = Trimmed(line);
        if (line.empty()) break;
        if (Volume::Detect(line)) {
            answer = line;
            break;
        }
        std::string complaint = "\"" + Printable(line) + "\" is neither a directory, a disk image nor an archive\n";
        if (::write(out, complaint.data(), complaint.size()) < 0) break;
    }
    if (own) ::close(in);
    return answer;
}

// A disk image labelled like the volume beside the movie, a folder named like it there, then a
// disk image so labelled in the search directories; once found it counts as mapped, so later
// opens neither search nor tell again.
std::optional<std::string> FoundByLabel(Host::State &s, const std::string &volume)
{
    namespace fs = std::filesystem;
    std::optional<fs::path> found;
    std::string why = "its disk label";
    if (s.settings.searchBesideMovie) {
        std::optional<ImagePath> served = SplitServedPath(s.moviePath);
        const fs::path beside = (served ? HostFileOf(served->image.string()) : fs::path(s.moviePath)).parent_path();
        found = FindImageByLabel(std::span(&beside, 1), volume);
        if (!found && (found = FindFolderByName(beside, volume))) why = "the folder beside the movie";
    }
    if (!found) found = FindImageByLabel(s.settings.searchDirectories, volume);
    if (!found) return std::nullopt;
    std::error_code ec;
    fs::path location = fs::absolute(*found, ec).lexically_normal();
    s.settings.volumes[volume] = location;
    if (s.settings.notice)
        s.settings.notice("using " + Printable(found->string()) + " for Amiga volume \"" + Printable(volume) + ":\" (" +
                          why + ")");
    return location.string();
}

// The disk image or archive the movie is served from, as the host mounts it, or nullopt.
std::optional<std::string> OwnContainer(const Host::State &s)
{
    std::optional<ImagePath> served = SplitServedPath(s.moviePath);
    if (!served) return std::nullopt;
    std::error_code ec;
    return std::filesystem::absolute(served->image, ec).lexically_normal().string();
}

// The answer for a volume of a movie in a container: the container's own path when its label is
// the volume (files keep the paths they always had), else a name below it that no file on an
// Amiga can have (the colon), so each volume's answer stays its own.
std::optional<std::string> ChainFor(Host::State &s, const std::string &volume)
{
    std::optional<std::string> container = OwnContainer(s);
    if (!container) return std::nullopt;
    std::string answer = *container + "/" + volume + ":";
    try {
        auto &mounted = s.mounted[*container];
        if (!mounted) {
            mounted = Volume::Open(*container, s.settings.volumeLimits);
            s.read(*container);
        }
        if (mounted->kind() == VolumeKind::DiskImage && CompareIgnoringCase(mounted->label(), volume) == 0)
            answer = *container;
        // Another partition of the movie's hard disk so named or labelled stands for the volume.
        else if (std::optional<std::filesystem::path> part = PartitionFor(*mounted, *container, volume))
            answer = part->string();
    } catch (const std::exception &) {
        return std::nullopt;  // the open of the movie itself says what is wrong with it
    }
    s.chains[answer] = Host::State::Chain{volume, {answer.back() == ':' ? *container : answer}, false};
    return answer;
}

}  // namespace

int32_t HostServices::PathRequester(const char *message, char *buffer, uint32_t size, uint32_t)
{
    Host::State *s = state();
    try {
        if (!s || !message || !buffer || size == 0) return 0;
        std::optional<std::string> volume = ParseRequesterVolume(message);
        std::string name = volume.value_or(message);
        std::string shown = volume ? "\"" + *volume + ":\"" : "\"" + name + "\"";
        auto cancel = [&](const std::string &why) {
            s->fail(FailureKind::VolumeCancelled, "no directory for Amiga volume " + shown + ": " + why, {},
                    volume.value_or(""));
            return 0;
        };

        std::optional<std::string> directory;
        const HostSettings &settings = s->settings;
        if (settings.policy != RequesterPolicy::Cancel && volume) directory = ChainFor(*s, *volume);
        if (!directory && settings.policy != RequesterPolicy::Cancel && volume) directory = Mapped(*s, *volume);
        if (!directory && settings.policy != RequesterPolicy::Cancel && volume) directory = FoundByLabel(*s, *volume);
        if (!directory && settings.policy == RequesterPolicy::Terminal)
            directory = settings.prompt ? settings.prompt(name) : AskTerminal(name);
        if (directory && directory->empty()) directory.reset();

        std::string hint = volume ? " (use --volume " + *volume + "=DIR)" : "";
        if (!directory) return cancel("the request was cancelled" + hint);
        if (directory->size() + 1 > size)
            return cancel("its directory \"" + *directory + "\" is longer than " + std::to_string(size - 1) + " bytes");
        std::memcpy(buffer, directory->c_str(), directory->size() + 1);
        s->answers.emplace_back(volume.value_or(name), *directory);
        s->badBuffer = nullptr;
        return 1;
    } catch (...) {
        return 0;
    }
}

std::optional<std::string> Host::State::fallbackFor(Chain &chain)
{
    if (!chain.asked) {
        chain.asked = true;
        std::optional<std::string> location;
        if (settings.policy != RequesterPolicy::Cancel) location = Mapped(*this, chain.volume);
        if (!location && settings.policy != RequesterPolicy::Cancel) location = FoundByLabel(*this, chain.volume);
        if (!location && settings.policy == RequesterPolicy::Terminal)
            location = settings.prompt ? settings.prompt(chain.volume) : AskTerminal(chain.volume);
        if (location && !location->empty()) chain.locations.push_back(*location);
    }
    if (chain.locations.size() < 2) return std::nullopt;
    return chain.locations[1];
}

std::vector<std::pair<std::string, std::string>> Host::State::locationAnswers() const
{
    std::vector<std::pair<std::string, std::string>> real;
    for (const auto &answer : answers)
        if (!chains.count(answer.second)) real.push_back(answer);
    for (const auto &[answer, chain] : chains)
        if (chain.locations.size() > 1) real.emplace_back(chain.volume, chain.locations[1]);
    return real;
}

}  // namespace qfhost
