// Inside the stand-in host: the state behind a Host and the C services of its tables.
#pragma once

#include <sys/stat.h>

#include <map>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qfhost/host.hpp"
#include "qfhost/volume.hpp"
#include "qfutil/printable.hpp"

struct OpenDiagnostics;

namespace qfhost {

// Every name the host shows from a movie goes through the one escaping rule.
using qfutil::Printable;

struct Host::State {
    HostSettings settings;
    HostBase base{};
    HostFunction fileTable[HOST_FILE_TABLE_SIZE]{};
    HostFunction utilityTable[HOST_UTILITY_TABLE_SIZE]{};
    HostFunction requesterTable[HOST_REQUESTER_TABLE_SIZE]{};

    FailureRecord failure;
    std::string moviePath;  // the name handed to OpenVideo, while an open runs
    int opensSinceBegin = 0;
    // Directories chosen for volumes during this open, so a failure can name the volume.
    std::vector<std::pair<std::string, std::string>> answers;
    // A join was refused on this buffer: it stays bad until the next open or requester answer.
    const char *badBuffer = nullptr;
    std::string badPath;  // what that buffer held: an open of it fails
    uint32_t lastOpenOption = 0;
    // A movie on a disk image or archive: for each volume it names, that container is tried first
    // and what stands for the volume otherwise (--volume, a disk by label, a folder beside, the
    // terminal) only for a file the container lacks. By the answer handed to the plug-in.
    struct Chain {
        std::string volume;
        std::vector<std::string> locations;  // the container, then a fallback once one was needed
        bool asked = false;                  // the fallback was looked for (found or not)
    };
    std::map<std::string, Chain> chains;
    // Where a file was found, by the path the plug-in asked for, when the two differ (a chain's).
    std::map<std::string, std::string> foundAt;
    // Volumes opened during this open, by the path chosen for them: an image is read once.
    std::map<std::string, std::shared_ptr<const Volume>> mounted;
    // Every file read for the movie (an image or archive for what it served): never an output.
    std::vector<std::pair<dev_t, ino_t>> filesRead;
    void read(const struct stat &info) { filesRead.emplace_back(info.st_dev, info.st_ino); }
    void read(const std::string &location);

    void fail(FailureKind kind, std::string what, std::string path = {}, std::string volume = {});
    // The volume whose chosen directory starts path, or "".
    std::string volumeOf(const std::string &path) const;
    // The answer (volume, chosen path) whose path starts path, the longest, or null.
    const std::pair<std::string, std::string> *answerFor(const std::string &path) const;
    // The volume's location when the container lacks a file: --volume, a disk by its label or a
    // folder by its name, the terminal; each looked for once per open. nullopt: there is none.
    std::optional<std::string> fallbackFor(Chain &chain);
    // Answers that name real locations (not a chain's): what a second open of the same movie
    // may take as mapped, so no one is asked twice.
    std::vector<std::pair<std::string, std::string>> locationAnswers() const;
};

// One line for an open that failed as d records, in the words every subcommand uses; hostSaw is
// what the host recorded on the way. Not yet escaped for printing.
std::string DescribeOpenFailure(const OpenDiagnostics &d, const std::string &movie, const FailureRecord &hostSaw);

// The services as the plug-in calls them. None of them throws: they are called from C.
struct HostServices {
    static HostFile OpenFile(const char *name, int32_t mode);
    static HostFile OpenFileTagged(const char *name, int32_t mode, const uint32_t *options);
    static void CloseFile(HostFile file);
    static int64_t Seek(HostFile file, int64_t offset, int32_t mode);
    static int32_t Read(HostFile file, void *buffer, uint32_t count);
    static int32_t ReadByte(HostFile file);
    static int32_t AtEndOfFile(HostFile file);
    static int32_t JoinPath(char *buffer, const char *component, uint32_t size);
    static int32_t CompareNames(const char *a, const char *b);
    static int32_t PathRequester(const char *message, char *buffer, uint32_t size, uint32_t flags);

    static Host::State *state();  // of the current host, or null
};

// ASCII case-insensitive comparison, as Amiga names compare (0 = equal).
int CompareIgnoringCase(const std::string &a, const std::string &b);

}  // namespace qfhost
