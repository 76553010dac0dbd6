// Members opened as volumes: copied out once into a memory-backed file, which the readers then take
// like any file on disk.
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "qfhost/adf.hpp"
#include "qfhost/lha.hpp"
#include "qfhost/volume_member.hpp"
#include "qfutil/printable.hpp"

namespace qfhost {
namespace {

constexpr size_t headBytes = size_t(1) << 16;  // a self-extracting archive's stub is searched this far

FileDescriptor MemoryFile(const std::string &name)
{
    FileDescriptor fd(::memfd_create(name.c_str(), MFD_CLOEXEC));
    if (!fd) throw VolumeError("cannot hold " + qfutil::Quoted(name) + " in memory: " + std::strerror(errno));
    return fd;
}

void WriteAll(int fd, std::span<const uint8_t> bytes, const std::string &name)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw VolumeError("cannot hold " + qfutil::Quoted(name) + " in memory: " + std::strerror(errno));
        done += size_t(n);
    }
}

std::string FdPath(const FileDescriptor &fd) { return "/proc/self/fd/" + std::to_string(fd.get()); }

std::string Renamed(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
    return text;
}

// A volume read from a member: the inner reader's answers, with the member's name where the reader
// would say the memory file's.
class MemberVolume : public Volume {
public:
    MemberVolume(FileDescriptor bytes, std::unique_ptr<Volume> inner, std::string path, std::string name)
        : bytes_(std::move(bytes)), inner_(std::move(inner)), path_(std::move(path)), name_(std::move(name))
    {
    }
    VolumeKind kind() const override { return inner_->kind(); }
    std::string label() const override
    {
        if (inner_->kind() == VolumeKind::DiskImage) return inner_->label();
        const size_t slash = name_.find_last_of("/:");
        return slash == std::string::npos ? name_ : name_.substr(slash + 1);
    }
    void walk(const EntryVisitor &visit) const override { Named([&] { inner_->walk(visit); }); }
    VolumeFile open(std::string_view inside) const override
    {
        VolumeFile file;
        Named([&] { file = inner_->open(inside); });
        return file;
    }
    std::vector<uint8_t> head(const VolumeEntry &file, size_t count) const override
    {
        std::vector<uint8_t> bytes;
        Named([&] { bytes = inner_->head(file, count); });
        return bytes;
    }
    void copy(const VolumeEntry &file, const ByteSink &sink) const override
    {
        Named([&] { inner_->copy(file, sink); });
    }

private:
    template <typename F> void Named(F &&work) const
    {
        try {
            work();
        } catch (const VolumeError &e) {
            throw VolumeError(Renamed(e.what(), path_, name_));
        }
    }

    FileDescriptor bytes_;  // keeps path_ valid for readers that reopen it
    std::unique_ptr<Volume> inner_;
    std::string path_;
    std::string name_;
};

}  // namespace

void NestBudget::expand(uint64_t bytes)
{
    if (bytes > limits_.expandedBytes - expanded_)
        throw VolumeError("expands to more than " + std::to_string(limits_.expandedBytes) +
                          " bytes taken out of containers (the limit on bytes expanded)");
    expanded_ += bytes;
}

void NestBudget::member()
{
    if (members_ == limits_.members)
        throw VolumeError("holds more than " + std::to_string(limits_.members) +
                          " entries inside containers (the limit on members)");
    ++members_;
}

NestBudget::Level::Level(NestBudget &budget) : budget_(budget)
{
    if (budget.depth_ == budget.limits_.depth)
        throw VolumeError("nests containers more than " + std::to_string(budget.limits_.depth) +
                          " deep (the limit on nesting)");
    ++budget.depth_;
}

std::optional<VolumeKind> DetectContent(std::span<const uint8_t> head, uint64_t size)
{
    if (LooksLikeAdf(head, size)) return VolumeKind::DiskImage;
    // The archive test searches past an executable stub in a file; hand it the head as one.
    FileDescriptor fd = MemoryFile("head");
    WriteAll(fd.get(), head, "head");
    if (LooksLikeLha(head, FdPath(fd))) return VolumeKind::Archive;
    return std::nullopt;
}

std::unique_ptr<Volume> OpenMember(const Volume &parent, const VolumeEntry &file, const std::string &name,
                                   NestBudget &budget, const VolumeLimits &limits)
{
    if (file.directory || file.link || !file.damage.empty()) return nullptr;
    if (!DetectContent(parent.head(file, headBytes), file.size)) return nullptr;
    budget.expand(file.size);
    FileDescriptor fd = MemoryFile(name);
    uint64_t copied = 0;
    parent.copy(file, [&](std::span<const uint8_t> piece) {
        copied += piece.size();
        if (copied > file.size) budget.expand(piece.size());  // a member longer than it said
        WriteAll(fd.get(), piece, name);
    });
    const std::string path = FdPath(fd);
    std::unique_ptr<Volume> inner;
    try {
        inner = Volume::Open(path, limits);
    } catch (const VolumeError &e) {
        throw VolumeError(Renamed(e.what(), path, name));
    }
    return std::make_unique<MemberVolume>(std::move(fd), std::move(inner), path, name);
}

}  // namespace qfhost
