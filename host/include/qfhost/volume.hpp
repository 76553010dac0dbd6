// What an Amiga volume name can stand for on this machine: a directory, an AmigaDOS disk image or
// an LHA/LZH archive. The file services open through a Volume, so a file on it is found the same
// way whatever holds it, and nothing outside the volume can be reached by a name inside it.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
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

enum class VolumeKind { Directory, DiskImage, Archive };

struct VolumeEntry {
    std::string path;  // inside the volume, '/'-separated
    bool directory = false;
    bool link = false;  // reported, never followed by a listing
    uint64_t size = 0;
    std::time_t modified = 0;
    std::string linkTarget;
    std::string name;  // as stored, where it may differ from the path's last part (a '/' inside)
};

// An owned file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    int get() const { return fd_; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
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

    // Decides the kind by content (a directory, a "DOS" or rigid-disk image, an "-lh?-" archive)
    // and opens it; throws VolumeError.
    static std::unique_ptr<Volume> Open(const std::filesystem::path &location);
    static std::optional<VolumeKind> Detect(const std::filesystem::path &location);

    virtual VolumeKind kind() const = 0;
    // The disk's own name for an image; the file or directory name otherwise.
    virtual std::string label() const = 0;
    virtual std::vector<VolumeEntry> list() const = 0;
    // A file by its '/'-separated path inside. Names compare without regard to case where the
    // exact name is missing (on an image, as its file system compares them). Throws VolumeError.
    virtual VolumeFile open(std::string_view inside) const = 0;
};

// Opens path beneath directory: the kernel's openat2 with RESOLVE_BENEATH, so a symbolic link may
// lead anywhere inside but nowhere outside. Without openat2 (or with useOpenat2 false), a walk
// component by component that follows no symbolic link at all. -1 with errno set on failure.
int OpenBeneath(int directory, const std::string &path, int flags, bool useOpenat2 = true);

}  // namespace qfhost
