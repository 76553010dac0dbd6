// libFuzzer target: the bytes as a container (a disk image, an LHA, ZIP, 7-Zip or tar archive, a
// gzip/xz/bzip2 stream), opened from a file, walked, and every member that is itself a container
// opened in turn, recursively, within a small nesting budget; heads read on the way. A VolumeError
// is the only acceptable refusal, and no budget may be passed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qfhost/volume.hpp"
#include "qfhost/volume_member.hpp"

namespace {

constexpr uint64_t Cap = 1 << 20;

struct MemoryFile {
    int fd = ::memfd_create("nested_volume_fuzzer", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
};

const MemoryFile &Container()
{
    static const MemoryFile file;
    if (file.fd < 0) __builtin_trap();
    return file;
}

void Visit(const qfhost::Volume &volume, qfhost::NestBudget &budget, const qfhost::VolumeLimits &limits)
{
    std::vector<qfhost::VolumeEntry> files;
    try {
        volume.walk([&](const qfhost::VolumeEntry &e) {
            budget.member();
            if (!e.directory && !e.link) files.push_back(e);
            return files.size() < 16;
        });
    } catch (const qfhost::VolumeError &) {}
    for (const qfhost::VolumeEntry &e : files) {
        try {
            if (volume.head(e, 64).size() > 64) __builtin_trap();
            qfhost::NestBudget::Level level(budget);
            if (auto inner = qfhost::OpenMember(volume, e, e.path, budget, limits)) Visit(*inner, budget, limits);
        } catch (const qfhost::VolumeError &) {}
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = Container().fd;
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != ssize_t(size)) __builtin_trap();
    qfhost::VolumeLimits limits;
    limits.fileBytes = Cap;
    limits.nest = {.depth = 4, .expandedBytes = 8 * Cap, .members = 4096};
    qfhost::NestBudget budget(limits.nest);
    try {
        auto volume = qfhost::Volume::Open(Container().path, limits);
        Visit(*volume, budget, limits);
    } catch (const qfhost::VolumeError &) {}
    if (budget.expanded() > limits.nest.expandedBytes || budget.members() > limits.nest.members) __builtin_trap();
    return 0;
}
