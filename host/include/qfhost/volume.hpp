// What an Amiga volume name can stand for on this machine: a directory, an AmigaDOS disk image, an
// LHA/LZH, ZIP, 7-Zip or tar archive, or any of these compressed whole by gzip, xz or bzip2. The file services open through a Volume, so a file on it is found the same
// way whatever holds it, and nothing outside the volume can be reached by a name inside it.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qfhost {

// The volume cannot be read, or a name on it cannot be opened: one line saying why.
class VolumeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class VolumeKind {
    Directory,
    DiskImage,
    Archive
};

struct VolumeEntry {
    std::string path;  // inside the volume, '/'-separated
    bool directory = false;
    bool link = false;  // reported, never followed by a listing
    uint64_t size = 0;
    std::time_t modified = 0;
    std::string linkTarget;
    std::string name;    // as stored, where it may differ from the path's last part (a '/' inside)
    uint64_t id = 0;     // the volume's own key for the entry (a header block, a member's place), for copy()
    std::string damage;  // why this entry cannot be read: the walk went on past it
    // Names are Latin-1, as Amiga names are; an archive's name with a character Latin-1 lacks keeps
    // its path, name and link target in UTF-8 instead.
    bool utf8 = false;
};

// Called for each entry of a walk, parents before children; false ends the walk. The entry is only
// valid during the call, so a walk holds one path at a time, not the whole listing.
using EntryVisitor = std::function<bool(const VolumeEntry &)>;
// A file's bytes as they arrive, in pieces.
using ByteSink = std::function<void(std::span<const uint8_t>)>;

// What nested opening may cost in all, each refused past its limit with the limit named.
struct NestLimits {
    unsigned depth = 8;                          // containers inside containers
    uint64_t expandedBytes = uint64_t(4) << 30;  // bytes taken out of containers to open them
    uint64_t members = 1000000;                  // entries walked inside containers
};

// What reading a volume may cost: refused beyond these, naming the limit.
struct VolumeLimits {
    uint64_t fileBytes = uint64_t(64) << 20;  // a file opened whole (movies and their assets are small)
    unsigned depth = 1000;                    // folders inside folders; no Amiga path gets near it
    NestLimits nest;                          // for a compressed file or a container opened inside another
};

class AdfImage;

// An owned file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// An opened file: a descriptor for a real file, or the bytes of one from an image or archive.
struct VolumeFile {
    FileDescriptor descriptor;
    std::vector<uint8_t> bytes;
};

class Volume {
public:
    virtual ~Volume() = default;

    // Decides the kind by content (a directory, a "DOS" or rigid-disk image, an "-lh?-" archive,
    // a ZIP, 7-Zip or tar archive; a gzip, xz or bzip2 stream is what it holds) and opens it. A
    // location that is no host file may go on inside containers ("/x/set.zip/Disk1.adz", the
    // served form of set.zip:Disk1.adz), each member opened within limits.nest. Throws VolumeError.
    static std::unique_ptr<Volume> Open(const std::filesystem::path &location, const VolumeLimits &limits = {});
    static std::optional<VolumeKind> Detect(const std::filesystem::path &location);

    virtual VolumeKind kind() const = 0;
    // The disk's own name for an image; the file or directory name otherwise.
    virtual std::string label() const = 0;
    // Every entry, parents before children, one at a time. Throws VolumeError on damage.
    virtual void walk(const EntryVisitor &visit) const = 0;
    // The whole listing at once: for volumes known to be small.
    std::vector<VolumeEntry> list() const;
    // A file by its '/'-separated path inside, whole (at most the limits' fileBytes). Names compare
    // without regard to case where the exact name is missing (on an image, as its file system
    // compares them). Throws VolumeError.
    virtual VolumeFile open(std::string_view inside) const = 0;
    // The first bytes of a walked file (fewer when it is shorter): enough to recognise it by,
    // without reading or decompressing the rest.
    virtual std::vector<uint8_t> head(const VolumeEntry &file, size_t count) const = 0;
    // A walked file's bytes, in pieces, from the entry itself (no second lookup by name, so two
    // names equal but for case stay two files). Throws VolumeError.
    virtual void copy(const VolumeEntry &file, const ByteSink &sink) const = 0;
    // "FFS, international names (DOS\3)", "ZIP archive", "directory"...
    virtual std::string fileSystem() const;
    // The AmigaDOS file system underneath, for a disk image (however packed); null otherwise. Its
    // partitions() lists a hard-disk image's partitions.
    virtual const AdfImage *disk() const { return nullptr; }
    // The partition of a hard-disk image named by its drive name or label (case ignored, a drive
    // name first) as a volume of its own; nullptr when none is so named. Throws VolumeError when
    // the one named cannot be read.
    virtual std::unique_ptr<Volume> partition(const std::string &) const { return nullptr; }
};

// Opens path beneath directory: the kernel's openat2 with RESOLVE_BENEATH, so a symbolic link may
// lead anywhere inside but nowhere outside. Without openat2 (or with useOpenat2 false), a walk
// component by component that follows no symbolic link at all. -1 with errno set on failure.
int OpenBeneath(int directory, const std::string &path, int flags, bool useOpenat2 = true);

}  // namespace qfhost
