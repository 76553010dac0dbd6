// Volumes: directories opened beneath their root, and AmigaDOS disk images read a block at a time.
// LHA archives are in lha_archive.cpp.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "host_state.hpp"
#include "qfhost/adf.hpp"
#include "qfhost/dms.hpp"
#include "qfhost/lha.hpp"
#include "qfhost/volume.hpp"
#include "qfhost/volume_member.hpp"
#include "volume_open.hpp"

namespace qfhost {
namespace fs = std::filesystem;

std::unique_ptr<Volume> OpenArchiveVolume(const fs::path &archive, const VolumeLimits &limits);  // lha_archive.cpp

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

namespace {

std::vector<std::string> Components(std::string_view path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

int OpenWithoutLinks(int directory, const std::string &path, int flags)
{
    std::vector<std::string> parts = Components(path);
    FileDescriptor at(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    if (!at) return -1;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] == "..") {
            errno = EXDEV;
            return -1;
        }
        bool last = i + 1 == parts.size();
        int fd = ::openat(at.get(), parts[i].c_str(),
                          (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return -1;
        if (last) return fd;
        at = FileDescriptor(fd);
    }
    return ::fcntl(at.get(), F_DUPFD_CLOEXEC, 0);  // the directory itself
}

// The names of a directory's entries.
std::vector<std::string> Names(int directory)
{
    std::vector<std::string> names;
    int fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    DIR *d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return names;
    }
    while (dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

class DirectoryVolume : public Volume {
public:
    explicit DirectoryVolume(const fs::path &location)
        : location_(location), root_(::open(location.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC))
    {
        if (!root_)
            throw VolumeError("cannot open directory " + Quote(location.string()) + ": " + std::strerror(errno));
    }

    VolumeKind kind() const override { return VolumeKind::Directory; }
    std::string label() const override { return location_.filename().string(); }

    void walk(const EntryVisitor &visit) const override
    {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(location_, ec), end; !ec && it != end; it.increment(ec)) {
            VolumeEntry e;
            e.path = fs::relative(it->path(), location_, ec).generic_string();
            e.link = it->is_symlink(ec);
            e.directory = !e.link && it->is_directory(ec);
            if (e.link) e.linkTarget = fs::read_symlink(it->path(), ec).string();
            else if (!e.directory) e.size = it->file_size(ec);
            struct stat info {};
            if (::lstat(it->path().c_str(), &info) == 0) e.modified = info.st_mtime;
            if (!visit(e)) return;
        }
    }

    std::vector<uint8_t> head(const VolumeEntry &file, size_t count) const override
    {
        VolumeFile f = open(file.path);
        std::vector<uint8_t> bytes(count);
        ssize_t n = ::pread(f.descriptor.get(), bytes.data(), count, 0);
        bytes.resize(n > 0 ? size_t(n) : 0);
        return bytes;
    }

    void copy(const VolumeEntry &file, const ByteSink &sink) const override
    {
        VolumeFile f = open(file.path);
        uint8_t buffer[65536];
        ssize_t n;
        while ((n = ::read(f.descriptor.get(), buffer, sizeof buffer)) > 0) sink({buffer, size_t(n)});
        if (n < 0) throw VolumeError(std::strerror(errno));
    }

    VolumeFile open(std::string_view inside) const override
    {
        std::string path(inside);
        int fd = OpenBeneath(root_.get(), path, O_RDONLY | O_NONBLOCK);  // a FIFO must not block
        if (fd < 0 && errno == ENOENT) {
            if (auto found = IgnoringCase(path)) fd = OpenBeneath(root_.get(), path = *found, O_RDONLY | O_NONBLOCK);
            else errno = ENOENT;
        }
        if (fd < 0) {
            int error = errno;
            if (error == EXDEV) throw VolumeError("it leads outside the volume");
            if (error == ELOOP) throw VolumeError("a symbolic link on its way is not followed here");
            throw VolumeError(std::strerror(error));
        }
        VolumeFile file{FileDescriptor(fd), {}};
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
            throw VolumeError(S_ISDIR(info.st_mode) ? "is a directory" : "not a regular file");
        return file;
    }

private:
    // The path whose components equal those given ignoring ASCII case, each directory listed
    // beneath the root; of several matches the smallest name, so directory order does not matter.
    std::optional<std::string> IgnoringCase(const std::string &path) const
    {
        std::string found;
        for (const std::string &part : Components(path)) {
            FileDescriptor here(found.empty() ? ::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0)
                                              : OpenBeneath(root_.get(), found, O_PATH | O_DIRECTORY));
            if (!here) return std::nullopt;
            std::optional<std::string> match;
            for (const std::string &name : Names(here.get())) {
                if (name == part) {
                    match = name;
                    break;
                }
                if (CompareIgnoringCase(name, part) == 0 && (!match || name < *match)) match = name;
            }
            if (!match) return std::nullopt;
            found += (found.empty() ? "" : "/") + *match;
        }
        return found;
    }

    fs::path location_;
    FileDescriptor root_;
};

class DiskImageVolume : public Volume {
public:
    DiskImageVolume(const fs::path &location, const VolumeLimits &limits)
    try : image_(AdfImage::Load(location, {.depth = limits.depth})), limits_(limits) {
    } catch (const AdfError &e) {
        throw VolumeError(location.string() + ": " + e.what());
    } catch (const DmsError &e) {  // names the file already
        throw VolumeError(e.what());
    }
    DiskImageVolume(AdfImage image, const VolumeLimits &limits) : image_(std::move(image)), limits_(limits) {}

    VolumeKind kind() const override { return VolumeKind::DiskImage; }
    std::string label() const override { return image_.label(); }
    const AdfImage *disk() const override { return &image_; }
    std::string fileSystem() const override { return image_.fileSystem() + " (" + image_.dosType() + ")"; }
    std::unique_ptr<Volume> partition(const std::string &name) const override
    {
        try {
            std::optional<AdfImage> other = image_.partition(name);
            if (!other) return nullptr;
            return std::make_unique<DiskImageVolume>(std::move(*other), limits_);
        } catch (const AdfError &e) {
            throw VolumeError(e.what());
        }
    }

    void walk(const EntryVisitor &visit) const override
    {
        try {
            VolumeEntry v;
            image_.walk([&](const AdfEntry &a) {
                v.path = a.path;
                v.directory = a.kind == AdfEntry::Kind::Directory;
                v.link = a.kind == AdfEntry::Kind::HardLink || a.kind == AdfEntry::Kind::SoftLink;
                v.size = a.size;
                v.modified = a.modified;
                v.linkTarget = a.linkTarget;
                v.name = a.name;
                v.id = a.block;
                v.damage = a.damage;
                return visit(v);
            });
        } catch (const AdfError &e) {
            throw VolumeError(e.what());
        }
    }

    std::vector<uint8_t> head(const VolumeEntry &file, size_t count) const override
    {
        try {
            if (file.id == 0) {  // an entry made by hand, not walked: found by its path
                std::vector<uint8_t> bytes = open(file.path).bytes;
                bytes.resize(std::min(bytes.size(), count));
                return bytes;
            }
            return image_.head(uint32_t(file.id), file.path, count);
        } catch (const AdfError &e) {
            throw VolumeError(e.what());
        }
    }

    void copy(const VolumeEntry &file, const ByteSink &sink) const override
    {
        try {
            if (file.id == 0) return sink(open(file.path).bytes);
            image_.copy(uint32_t(file.id), file.path, sink);
        } catch (const AdfError &e) {
            throw VolumeError(e.what());
        }
    }

    VolumeFile open(std::string_view inside) const override
    {
        try {
            return VolumeFile{FileDescriptor(), image_.read(inside, limits_.fileBytes)};
        } catch (const AdfError &e) {
            throw VolumeError(e.what());
        }
    }

private:
    AdfImage image_;
    VolumeLimits limits_;
};

}  // namespace

int OpenBeneath(int directory, const std::string &path, int flags, bool useOpenat2)
{
    static bool kernelLacksOpenat2 = false;
    if (useOpenat2 && !kernelLacksOpenat2) {
        open_how how{};
        // openat2 refuses O_PATH with any flag it does not take.
        how.flags = uint64_t(flags | O_CLOEXEC | ((flags & O_PATH) ? 0 : O_NOCTTY));
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const char *name = path.empty() ? "." : path.c_str();
        long fd = ::syscall(SYS_openat2, directory, name, &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS) return int(fd);
        kernelLacksOpenat2 = true;
    }
    return OpenWithoutLinks(directory, path, flags);
}

namespace {

std::vector<uint8_t> ReadHead(const fs::path &location, size_t count)
{
    std::vector<uint8_t> head(count);
    std::ifstream in(location, std::ios::binary);
    in.read(reinterpret_cast<char *>(head.data()), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    return head;
}

// A directory, disk image or LHA archive: the kinds read from the file itself, from its first
// 16 blocks (where a rigid disk block may be).
std::optional<VolumeKind> PlainKind(const fs::path &location, std::vector<uint8_t> &head, uint64_t &size)
{
    std::error_code ec;
    if (fs::is_directory(location, ec)) return VolumeKind::Directory;
    head = ReadHead(location, size_t(16) * amigados::blockSize);
    size = fs::file_size(location, ec);
    if (ec) return std::nullopt;
    if (LooksLikeAdf(head, size)) return VolumeKind::DiskImage;
    if (LooksLikeLha(head, location)) return VolumeKind::Archive;
    return std::nullopt;
}

// The size a gzip file gives for what it holds (modulo 4 GiB), so a floppy whose boot block was
// wiped is still known by its size.
uint64_t GzipSize(const fs::path &location, std::span<const uint8_t> head)
{
    if (head.size() < 2 || head[0] != 0x1f || head[1] != 0x8b) return 0;
    std::ifstream in(location, std::ios::binary);
    uint8_t tail[4] = {};
    if (!in.seekg(-4, std::ios::end) || !in.read(reinterpret_cast<char *>(tail), 4)) return 0;
    return tail[0] | uint64_t(tail[1]) << 8 | uint64_t(tail[2]) << 16 | uint64_t(tail[3]) << 24;
}

}  // namespace

std::optional<VolumeKind> Volume::Detect(const fs::path &location)
{
    std::vector<uint8_t> head;
    uint64_t size = 0;
    std::error_code ec;
    if (!fs::exists(location, ec)) {
        // A place inside containers: known only by opening the way there.
        try {
            return Open(location)->kind();
        } catch (const VolumeError &) {
            return std::nullopt;
        }
    }
    if (std::optional<VolumeKind> kind = PlainKind(location, head, size)) return kind;
    switch (PackingOf(head)) {
    case Packing::Archive: return VolumeKind::Archive;
    case Packing::Stream:
        if (StreamHoldsArchive(location)) return VolumeKind::Archive;
        // A stream is known by its signature: what it holds may only show once it is expanded
        // (a floppy whose boot block was wiped), so it is taken for a disk until then.
        // Enough packed bytes for 16 blocks even when they hardly compress.
        return DetectContent(UnpackedHead(ReadHead(location, size_t(1) << 16), size_t(16) * amigados::blockSize),
                             GzipSize(location, head))
            .value_or(VolumeKind::DiskImage);
    case Packing::None: break;
    }
    return std::nullopt;
}

std::unique_ptr<Volume> OpenPlain(const fs::path &location, const VolumeLimits &limits)
{
    std::vector<uint8_t> head;
    uint64_t size = 0;
    std::optional<VolumeKind> kind = PlainKind(location, head, size);
    if (!kind) return nullptr;
    switch (*kind) {
    case VolumeKind::Directory: return std::make_unique<DirectoryVolume>(location);
    case VolumeKind::DiskImage: return std::make_unique<DiskImageVolume>(location, limits);
    case VolumeKind::Archive: return OpenArchiveVolume(location, limits);
    }
    return nullptr;
}

std::vector<VolumeEntry> Volume::list() const
{
    std::vector<VolumeEntry> entries;
    walk([&](const VolumeEntry &e) {
        entries.push_back(e);
        return true;
    });
    return entries;
}

std::string Volume::fileSystem() const
{
    switch (kind()) {
    case VolumeKind::Directory: return "directory";
    case VolumeKind::DiskImage: return "disk image";
    case VolumeKind::Archive: return "archive";
    }
    return "";
}

std::unique_ptr<Volume> Volume::Open(const fs::path &location, const VolumeLimits &limits)
{
    NestBudget budget(limits.nest);
    return OpenWithin(location, limits, budget, location.string());
}

}  // namespace qfhost
