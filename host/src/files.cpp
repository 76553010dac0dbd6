// File services over real files, read-only. A handle is a pointer to an OpenedFile that the host
// keeps in a registry, so a stale or foreign handle is refused instead of dereferenced. A file on
// a chosen volume opens through its Volume; one from a disk image or archive is served from memory.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <memory>
#include <set>
#include <vector>
#include <sys/stat.h>

#include "host_state.hpp"
#include "qfhost/volume_files.hpp"

namespace qfhost {
namespace fs = std::filesystem;
namespace {

struct OpenedFile {
    std::FILE *stream = nullptr;  // null: the file is in memory
    int64_t size = 0;
    int64_t position = 0;        // may stand past the end
    int64_t streamPosition = 0;  // where the stdio stream is, to seek it only when needed
    std::vector<uint8_t> memory;
};

std::mutex registryLock;
std::set<OpenedFile *> &Registry()
{
    static std::set<OpenedFile *> files;
    return files;
}

OpenedFile *Lookup(HostFile file)
{
    std::lock_guard lock(registryLock);
    auto *f = static_cast<OpenedFile *>(file);
    return Registry().count(f) ? f : nullptr;
}

// Puts the stdio stream at the file's logical position before a read inside the file.
bool Sync(OpenedFile &f)
{
    if (f.streamPosition == f.position) return true;
    if (fseeko(f.stream, static_cast<off_t>(f.position), SEEK_SET) != 0) return false;
    f.streamPosition = f.position;
    return true;
}

bool IsMoviePath(const Host::State *s, const char *name)
{
    return s && s->opensSinceBegin == 1 && s->moviePath == name;
}

std::string Quote(const std::string &s) { return "\"" + s + "\""; }

// Records why an open failed: the movie itself, or a file named through a volume.
void RecordOpenFailure(Host::State *s, const std::string &name, const std::string &reason)
{
    if (!s) return;
    if (IsMoviePath(s, name.c_str())) {
        s->fail(FailureKind::MovieFile, "cannot open movie " + Quote(name) + ": " + reason, name);
        return;
    }
    std::string volume = s->volumeOf(name);
    if (volume.empty()) {
        s->fail(FailureKind::ReferencedFile, "cannot open referenced file " + Quote(name) + ": " + reason, name);
        return;
    }
    std::string directory;
    for (const auto &[v, d] : s->answers)
        if (v == volume) directory = d;
    s->fail(FailureKind::ReferencedFile,
            "cannot open " + Quote(name) + ", a file on Amiga volume " + Quote(volume + ":") + " (mapped to " +
                Quote(directory) + "): " + reason,
            name, volume);
}

// The volume a path lies on, opened once per movie open; null for a path on no chosen volume.
std::shared_ptr<const Volume> VolumeFor(Host::State &s, const std::string &name, std::string &inside)
{
    const auto *answer = s.answerFor(name);
    if (!answer) return nullptr;
    inside = name.substr(answer->second.size());
    while (!inside.empty() && inside.front() == '/') inside.erase(0, 1);
    auto &volume = s.mounted[answer->second];
    if (!volume) {
        volume = Volume::Open(answer->second, s.settings.volumeLimits);
        s.read(answer->second);
    }
    return volume;
}

HostFile Register(OpenedFile *f)
{
    std::lock_guard lock(registryLock);
    Registry().insert(f);
    return f;
}

// Serves an opened volume file through a handle.
HostFile Serve(Host::State &s, const std::string &name, VolumeFile file)
{
    auto f = std::make_unique<OpenedFile>();
    if (file.descriptor) {
        struct stat info {};
        if (::fstat(file.descriptor.get(), &info) != 0 || !(f->stream = ::fdopen(file.descriptor.get(), "rb"))) {
            RecordOpenFailure(&s, name, std::strerror(errno));
            return nullptr;
        }
        file.descriptor.release();
        f->size = info.st_size;
        s.read(info);
    } else {
        f->size = static_cast<int64_t>(file.bytes.size());
        f->memory = std::move(file.bytes);
    }
    try {
        Register(f.get());
    } catch (...) {
        if (f->stream) std::fclose(f->stream);
        return nullptr;
    }
    return f.release();
}

HostFile OpenOnVolume(Host::State &s, const std::string &name, const Volume &volume, const std::string &inside)
{
    VolumeFile file;
    try {
        file = volume.open(inside);
    } catch (const std::exception &e) {
        RecordOpenFailure(&s, name, e.what());
        return nullptr;
    }
    return Serve(s, name, std::move(file));
}

// A file of a movie in a container: from the container, else from what stands for the volume
// otherwise, looked for only now that it is needed.
HostFile OpenThroughChain(Host::State &s, const std::string &name, const std::string &answer, Host::State::Chain &chain)
{
    std::string inside = name.substr(answer.size());
    while (!inside.empty() && inside.front() == '/') inside.erase(0, 1);
    std::string why;
    for (size_t i = 0; i < chain.locations.size() || (i == 1 && s.fallbackFor(chain)); ++i) {
        const std::string location = chain.locations[i];
        try {
            auto &volume = s.mounted[location];
            if (!volume) {
                volume = Volume::Open(location, s.settings.volumeLimits);
                s.read(location);
            }
            VolumeFile file = volume->open(inside);
            if (location + "/" + inside != name) s.foundAt[name] = location + "/" + inside;
            return Serve(s, name, std::move(file));
        } catch (const std::exception &e) {
            why += (i == 0 ? "not in the movie's own disk or archive " : "; nor in ") + Quote(location) + " (" +
                   e.what() + ")";
        }
    }
    if (chain.locations.size() < 2)
        why += "; nothing else stands for the volume (use --volume " + Printable(chain.volume) + "=DIR)";
    s.foundAt[name] = chain.locations.front() + "/" + inside;
    s.fail(FailureKind::ReferencedFile,
           "cannot open " + Quote(Printable(chain.volume) + ":" + Printable(inside)) + ": " + why, name, chain.volume);
    return nullptr;
}

HostFile Open(const char *name, int32_t mode, uint32_t option)
{
    Host::State *s = HostServices::state();
    if (s) {
        s->opensSinceBegin++;
        s->lastOpenOption = option;
    }
    if (!name) return nullptr;
    if (s && s->badBuffer && (s->badBuffer == name || s->badPath == name)) {
        // The join already recorded why; the path in the buffer is not the one asked for.
        s->badBuffer = nullptr;
        return nullptr;
    }
    if (s) s->badBuffer = nullptr;
    if (mode != 0) {
        RecordOpenFailure(s, name, "only reading is supported");
        return nullptr;
    }

    std::string path = name;
    if (s && !IsMoviePath(s, name)) {
        const auto *answer = s->answerFor(path);
        if (auto chain = answer ? s->chains.find(answer->second) : s->chains.end(); chain != s->chains.end())
            return OpenThroughChain(*s, path, chain->first, chain->second);
        std::string inside;
        std::shared_ptr<const Volume> volume;
        try {
            volume = VolumeFor(*s, path, inside);
        } catch (const std::exception &e) {
            RecordOpenFailure(s, name, e.what());
            return nullptr;
        }
        if (volume) return OpenOnVolume(*s, path, *volume, inside);
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        int error = errno;
        // A movie inside a disk image or archive, named as image/path.
        if (s && IsMoviePath(s, name)) {
            if (std::optional<ImagePath> served = SplitServedPath(path)) {
                try {
                    std::string key = fs::absolute(served->image).lexically_normal().string();
                    auto &volume = s->mounted[key];
                    if (!volume) {
                        volume = Volume::Open(key, s->settings.volumeLimits);
                        s->read(key);
                    }
                    return OpenOnVolume(*s, path, *volume, served->inside);
                } catch (const std::exception &e) {
                    RecordOpenFailure(s, name, e.what());
                    return nullptr;
                }
            }
        }
        auto found = FindPathIgnoringCase(path);
        if (!found || ::stat(found->c_str(), &info) != 0) {
            RecordOpenFailure(s, name, std::strerror(error));
            return nullptr;
        }
        path = found->string();
    }
    if (!S_ISREG(info.st_mode)) {
        RecordOpenFailure(s, name, S_ISDIR(info.st_mode) ? "is a directory" : "not a regular file");
        return nullptr;
    }
    std::FILE *stream = std::fopen(path.c_str(), "rb");
    if (!stream) {
        RecordOpenFailure(s, name, std::strerror(errno));
        return nullptr;
    }
    if (s) s->read(info);
    auto *f = new (std::nothrow) OpenedFile{stream, static_cast<int64_t>(info.st_size), 0, 0, {}};
    if (!f) {
        std::fclose(stream);
        return nullptr;
    }
    try {
        std::lock_guard lock(registryLock);
        Registry().insert(f);
    } catch (...) {
        std::fclose(stream);
        delete f;
        return nullptr;
    }
    return f;
}

}  // namespace

HostFile HostServices::OpenFile(const char *name, int32_t mode)
{
    try {
        return Open(name, mode, 0);
    } catch (...) {
        return nullptr;
    }
}

HostFile HostServices::OpenFileTagged(const char *name, int32_t mode, const uint32_t *options)
{
    // Tag/value pairs up to the 0 tag; this host knows one tag and needs none of them to read.
    uint32_t option = 0;
    for (int i = 0; options && i < 64 && options[2 * i] != 0; ++i)
        if (options[2 * i] == HOST_OPEN_TAG_OPTION) option = options[2 * i + 1];
    try {
        return Open(name, mode, option);
    } catch (...) {
        return nullptr;
    }
}

void HostServices::CloseFile(HostFile file)
{
    OpenedFile *f = nullptr;
    {
        std::lock_guard lock(registryLock);
        auto it = Registry().find(static_cast<OpenedFile *>(file));
        if (it == Registry().end()) return;  // unknown or already closed
        f = *it;
        Registry().erase(it);
    }
    if (f->stream) std::fclose(f->stream);
    delete f;
}

int64_t HostServices::Seek(HostFile file, int64_t offset, int32_t mode)
{
    OpenedFile *f = Lookup(file);
    if (!f) return -1;
    int64_t origin;
    switch (mode) {
    case HOST_SEEK_RELATIVE: origin = f->position; break;
    case HOST_SEEK_START: origin = 0; break;
    case HOST_SEEK_END: origin = f->size; break;
    default: return -1;
    }
    int64_t target;
    if (__builtin_add_overflow(origin, offset, &target) || target < 0) return -1;
    f->position = target;  // past the end is allowed; reads there deliver nothing
    return target;
}

int32_t HostServices::Read(HostFile file, void *buffer, uint32_t count)
{
    OpenedFile *f = Lookup(file);
    if (!f || !buffer || f->position >= f->size) return 0;
    int64_t wanted = std::min<int64_t>(count, f->size - f->position);
    if (!f->stream) {
        std::memcpy(buffer, f->memory.data() + f->position, static_cast<size_t>(wanted));
        f->position += wanted;
        return static_cast<int32_t>(wanted);
    }
    if (!Sync(*f)) return 0;
    size_t got = std::fread(buffer, 1, static_cast<size_t>(wanted), f->stream);
    f->position += static_cast<int64_t>(got);
    f->streamPosition = f->position;
    return static_cast<int32_t>(got);
}

int32_t HostServices::ReadByte(HostFile file)
{
    OpenedFile *f = Lookup(file);
    if (!f || f->position >= f->size) return 0;
    if (!f->stream) return f->memory[static_cast<size_t>(f->position++)];
    if (!Sync(*f)) return 0;
    int c = std::fgetc(f->stream);
    if (c == EOF) {
        std::clearerr(f->stream);
        return 0;
    }
    f->position++;
    f->streamPosition = f->position;
    return c;
}

int32_t HostServices::AtEndOfFile(HostFile file)
{
    OpenedFile *f = Lookup(file);
    return !f || f->position >= f->size;
}

void Host::State::read(const std::string &location)
{
    struct stat info {};
    if (::stat(location.c_str(), &info) == 0) read(info);
}

std::vector<std::pair<dev_t, ino_t>> Host::filesRead() const { return state_->filesRead; }

int Host::openFileCount()
{
    std::lock_guard lock(registryLock);
    return static_cast<int>(Registry().size());
}

}  // namespace qfhost
