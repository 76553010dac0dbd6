// libFuzzer target: the bytes as an LHA archive volume. It is opened from a file (the volume reads
// through a descriptor), walked, and every member's head read, copied and opened, all under a 1 MB
// cap, so a member that decodes to gigabytes costs what the cap allows. A VolumeError is the only
// acceptable refusal.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qfhost/volume.hpp"

namespace {

constexpr uint64_t Cap = 1 << 20;

// One memory file for every run, named through /proc so the volume opens it as any other file.
struct MemoryFile {
    int fd = ::memfd_create("lha_volume_fuzzer", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
};

const MemoryFile &Archive()
{
    static const MemoryFile file;
    if (file.fd < 0) __builtin_trap();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = Archive().fd;
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != ssize_t(size)) __builtin_trap();
    qfhost::VolumeLimits limits;
    limits.fileBytes = Cap;
    try {
        auto volume = qfhost::Volume::Open(Archive().path, limits);
        if (!volume) return 0;
        std::vector<qfhost::VolumeEntry> files;
        try {
            volume->walk([&](const qfhost::VolumeEntry &e) {
                if (!e.directory && !e.link) files.push_back(e);
                return files.size() < 64;
            });
        } catch (const qfhost::VolumeError &) {}
        for (const qfhost::VolumeEntry &e : files) {
            if (volume->head(e, 16).size() > 16) __builtin_trap();
            uint64_t copied = 0;
            try {
                volume->copy(e, [&](std::span<const uint8_t> piece) {
                    if ((copied += piece.size()) > Cap) throw qfhost::VolumeError("over the cap");
                });
            } catch (const qfhost::VolumeError &) {}
            try {
                if (volume->open(e.path).bytes.size() > Cap) __builtin_trap();
            } catch (const qfhost::VolumeError &) {}
        }
    } catch (const qfhost::VolumeError &) {}
    return 0;
}
