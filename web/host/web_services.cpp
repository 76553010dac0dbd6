// The web host's service tables over the file table and the mounted disk images.
#include "web_services.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "qfhost/name_rules.hpp"
#include "quillframer/movie_format.h"
#include "web_disks.hpp"
#include "web_files.hpp"

namespace qfweb {
namespace {

using qfhost::CompareNamesIgnoringCase;

std::vector<std::pair<std::string, std::string>> answers;  // volume -> root directory
std::vector<FoundAsset> found;
Failure failure;
std::string moviePath;
const char *badBuffer = nullptr;  // a refused join leaves this buffer bad for the next open

HostBase base{};
HostFunction fileTable[HOST_FILE_TABLE_SIZE]{};
HostFunction utilityTable[HOST_UTILITY_TABLE_SIZE]{};
HostFunction requesterTable[HOST_REQUESTER_TABLE_SIZE]{};
PluginInfo pluginInfo{};

void Fail(int kind, std::string text, std::string volume = {})
{
    failure = Failure{kind, std::move(text), std::move(volume)};
}

std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

// The volume whose root starts path, or "".
std::string VolumeOf(std::string_view path)
{
    for (const auto &[volume, root] : answers)
        if (path.substr(0, root.size()) == root && (path.size() == root.size() || path[root.size()] == '/'))
            return volume;
    return {};
}

void RecordOpenFailure(const std::string &name, const char *reason)
{
    if (name == moviePath) {
        Fail(FailureMovieFile, "cannot open the movie " + Quote(name) + ": " + reason);
        return;
    }
    std::string volume = VolumeOf(name);
    std::string inside = volume.empty() ? name : name.substr(name.find('/', 1 + name.find('/', 1)) + 1);
    if (volume.empty()) Fail(FailureReferencedFile, "cannot open the referenced file " + Quote(name) + ": " + reason);
    else
        Fail(FailureReferencedFile,
             "a file the movie needs is missing: " + Quote(inside) + " on Amiga volume " + Quote(volume + ":") + " (" +
                 reason + ")",
             volume);
}

HostFile OpenFile(const char *name, int32_t mode)
{
    if (!name) return nullptr;
    if (badBuffer && badBuffer == name) {  // the join already said why
        badBuffer = nullptr;
        return nullptr;
    }
    badBuffer = nullptr;
    if (mode != 0) {
        RecordOpenFailure(name, "only reading is supported");
        return nullptr;
    }
    const MemoryFile *f = nullptr;
    if (OnDiskImage(name)) {
        MemoryFile read;
        std::string why;
        if (!ReadFromDiskImage(name, read.bytes, read.path, why)) {
            RecordOpenFailure(name, why.c_str());
            return nullptr;
        }
        f = KeepDiskFile(std::move(read));
    } else {
        bool isFolder = false;
        f = Lookup(name, isFolder);
        if (!f) {
            RecordOpenFailure(name, isFolder ? "it is a folder" : "no such file");
            return nullptr;
        }
    }
    if (std::string_view(name) != moviePath) {
        FoundAsset asset{name, f->path, "", static_cast<uint32_t>(f->bytes.size())};
        if (f->bytes.size() >= 12 && std::memcmp(f->bytes.data(), "FORM", 4) == 0)
            asset.form.assign(reinterpret_cast<const char *>(f->bytes.data()) + 8, 4);
        found.push_back(std::move(asset));
    }
    return OpenHandle(f);
}

HostFile OpenFileTagged(const char *name, int32_t mode, const uint32_t *) { return OpenFile(name, mode); }

void CloseFile(HostFile handle) { CloseHandle(handle); }

int64_t Seek(HostFile handle, int64_t offset, int32_t mode)
{
    OpenedFile *f = FileOf(handle);
    if (!f) return -1;
    int64_t origin;
    switch (mode) {
    case HOST_SEEK_RELATIVE: origin = f->position; break;
    case HOST_SEEK_START: origin = 0; break;
    case HOST_SEEK_END: origin = static_cast<int64_t>(f->file->bytes.size()); break;
    default: return -1;
    }
    int64_t target;
    if (__builtin_add_overflow(origin, offset, &target) || target < 0) return -1;
    f->position = target;
    return target;
}

int32_t Read(HostFile handle, void *buffer, uint32_t count)
{
    OpenedFile *f = FileOf(handle);
    const int64_t size = f ? static_cast<int64_t>(f->file->bytes.size()) : 0;
    if (!f || !buffer || f->position >= size) return 0;
    int64_t got = std::min<int64_t>(count, size - f->position);
    std::memcpy(buffer, f->file->bytes.data() + f->position, static_cast<size_t>(got));
    f->position += got;
    return static_cast<int32_t>(got);
}

int32_t ReadByte(HostFile handle)
{
    OpenedFile *f = FileOf(handle);
    if (!f || f->position >= static_cast<int64_t>(f->file->bytes.size())) return 0;
    return f->file->bytes[static_cast<size_t>(f->position++)];
}

int32_t AtEndOfFile(HostFile handle)
{
    OpenedFile *f = FileOf(handle);
    return !f || f->position >= static_cast<int64_t>(f->file->bytes.size());
}

int32_t JoinPath(char *buffer, const char *component, uint32_t size)
{
    if (!buffer || !component || size == 0) return 0;
    if (badBuffer == buffer) return 0;
    std::string before(buffer, strnlen(buffer, size));
    const char *why = qfhost::AppendPathComponent(buffer, size, component);
    if (!why) return 1;
    badBuffer = buffer;
    std::string volume = VolumeOf(before);
    std::string where = volume.empty() ? "after " + Quote(before) : "on Amiga volume " + Quote(volume + ":");
    Fail(FailureEscapingPath, "the movie names a path that is refused, " + Quote(component) + " " + where + ": " + why,
         volume);
    return 0;
}

int32_t CompareNames(const char *a, const char *b)
{
    if (!a || !b) return a == b ? 0 : 1;
    return CompareNamesIgnoringCase(a, b);
}

int32_t PathRequester(const char *message, char *buffer, uint32_t size, uint32_t)
{
    if (!message || !buffer || size == 0) return 0;
    std::optional<std::string> volume = qfhost::ParseRequesterVolume(message);
    std::string name = volume.value_or(message);
    for (const auto &[v, root] : answers) {
        if (CompareNamesIgnoringCase(v, name) != 0) continue;
        if (root.size() + 1 > size) break;
        std::memcpy(buffer, root.c_str(), root.size() + 1);
        badBuffer = nullptr;
        return 1;
    }
    Fail(FailureVolumeWanted, "the movie needs Amiga volume " + Quote(name + ":"), name);
    return 0;
}

template <typename F>
HostFunction Slot(F f)
{
    return reinterpret_cast<HostFunction>(f);
}

}  // namespace

void InitHost()
{
    if (base.version) return;
    fileTable[HOST_FILE_OPEN] = Slot(&OpenFile);
    fileTable[HOST_FILE_CLOSE] = Slot(&CloseFile);
    fileTable[HOST_FILE_SEEK] = Slot(&Seek);
    fileTable[HOST_FILE_READ] = Slot(&Read);
    fileTable[HOST_FILE_READ_BYTE] = Slot(&ReadByte);
    fileTable[HOST_FILE_AT_END] = Slot(&AtEndOfFile);
    fileTable[HOST_FILE_JOIN_PATH] = Slot(&JoinPath);
    fileTable[HOST_FILE_OPEN_TAGGED] = Slot(&OpenFileTagged);
    utilityTable[HOST_UTILITY_COMPARE_NAMES] = Slot(&CompareNames);
    requesterTable[HOST_REQUESTER_PATH] = Slot(&PathRequester);
    base.version = 6;  // as `dump` opens: version 6, open option 0
    base.fileTable = fileTable;
    base.utilityTable = utilityTable;
    base.requesterTable = requesterTable;
    InitPlugin(&pluginInfo, &base);
}

const PluginInfo &Plugin() { return pluginInfo; }

void BeginOpen(std::string path)
{
    failure = {};
    found.clear();
    badBuffer = nullptr;
    moviePath = std::move(path);
}

const std::string &MoviePath() { return moviePath; }

// The plug-in's first test is the signature, which the host can repeat.
void ExplainFailedOpen()
{
    if (failure.kind != FailureNone) return;
    bool isFolder = false;
    const MemoryFile *f = Lookup(moviePath, isFolder);
    MemoryFile onDisk;
    std::string why;
    if (OnDiskImage(moviePath) && ReadFromDiskImage(moviePath, onDisk.bytes, onDisk.path, why)) f = &onDisk;
    std::string shown = Quote(moviePath.substr(moviePath.rfind('/') + 1));
    if (!f || !StartsLikeMovie(f->bytes))
        Fail(FailureBadSignature, shown + " is not a Quill Framer movie: it does not start with a movie's signature");
    else Fail(FailureMalformed, shown + " is not a valid Quill Framer movie: its command stream is malformed");
}

const Failure &LastFailure() { return failure; }
const std::vector<FoundAsset> &FoundAssets() { return found; }

void AnswerVolume(const char *volume, const char *root)
{
    for (auto &[v, r] : answers)
        if (CompareNamesIgnoringCase(v, volume) == 0) {
            r = root;
            return;
        }
    answers.emplace_back(volume, root);
}

void ForgetVolume(const char *volume)
{
    std::erase_if(answers, [&](const auto &answer) { return CompareNamesIgnoringCase(answer.first, volume) == 0; });
}

bool StartsLikeMovie(const std::vector<uint8_t> &bytes) { return QfIsMovieSignature(bytes.data(), bytes.size()); }

}  // namespace qfweb
