// Members opened as volumes: copied out once into a memory-backed file, which the readers then take
// like any file on disk.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "qfhost/adf.hpp"
#include "qfhost/lha.hpp"
#include "qfhost/name_rules.hpp"
#include "qfhost/volume_member.hpp"
#include "qfutil/printable.hpp"
#include "volume_open.hpp"

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
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// A volume read from a member: the inner reader's answers, with the member's name where the reader
// would say the memory file's.
class MemberVolume : public Volume {
public:
    MemberVolume(FileDescriptor bytes, std::unique_ptr<Volume> inner, std::string path, std::string name,
                 std::string packing = {})
        : bytes_(std::move(bytes)), inner_(std::move(inner)), path_(std::move(path)), name_(std::move(name)),
          packing_(std::move(packing))
    {}
    VolumeKind kind() const override { return inner_->kind(); }
    std::string fileSystem() const override { return inner_->fileSystem() + packing_; }
    const AdfImage *disk() const override { return inner_->disk(); }
    std::unique_ptr<Volume> partition(const std::string &name) const override
    {
        std::unique_ptr<Volume> inner;
        Named([&] { inner = inner_->partition(name); });
        if (!inner) return nullptr;
        // The partition reads through a descriptor of its own, so the memory file may close first.
        return std::make_unique<MemberVolume>(FileDescriptor(), std::move(inner), path_, name_ + ":" + name, packing_);
    }
    std::string label() const override
    {
        if (inner_->kind() == VolumeKind::DiskImage) return inner_->label();
        const size_t slash = name_.find_last_of("/:");
        return slash == std::string::npos ? name_ : name_.substr(slash + 1);
    }
    void walk(const EntryVisitor &visit) const override
    {
        Named([&] { inner_->walk(visit); });
    }
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
    template <typename F>
    void Named(F &&work) const
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
    std::string packing_;  // how the bytes were compressed, for fileSystem()
};

// Refusals of the budget name what was being opened.
template <typename F>
auto Naming(const std::string &name, F &&work)
{
    try {
        return work();
    } catch (const VolumeError &e) {
        throw VolumeError(qfutil::Quoted(name) + ": " + e.what());
    }
}

std::string PackingName(std::span<const uint8_t> head)
{
    if (head.size() >= 2 && head[0] == 0x1f) return ", gzip-compressed";
    if (head.size() >= 1 && head[0] == 'B') return ", bzip2-compressed";
    return ", xz-compressed";
}

std::optional<VolumeKind> DetectWithin(std::span<const uint8_t> head, uint64_t size, unsigned depth)
{
    if (LooksLikeAdf(head, size)) return VolumeKind::DiskImage;
    switch (PackingOf(head)) {
    case Packing::Archive: return VolumeKind::Archive;
    case Packing::Stream: {
        // A stream may hold a stream; one that holds itself must not recurse forever.
        if (depth == 0) return std::nullopt;
        std::vector<uint8_t> inner = UnpackedHead(head, head.size());
        if (inner.empty()) return std::nullopt;
        return DetectWithin(inner, 0, depth - 1);
    }
    case Packing::None: break;
    }
    // Only an executable's stub needs the archive test's search through a file; spare the rest the
    // memory file, as a scan asks this of every file it meets.
    const bool stub = head.size() >= 4 && ((head[0] == 0 && head[1] == 0 && head[2] == 0x03 && head[3] == 0xF3) ||
                                           (head[0] == 'M' && head[1] == 'Z'));
    if (!stub) return LooksLikeLha(head, {}) ? std::optional(VolumeKind::Archive) : std::nullopt;
    // The archive test searches past an executable stub in a file; hand it the head as one.
    FileDescriptor fd = MemoryFile("head");
    WriteAll(fd.get(), head, "head");
    if (LooksLikeLha(head, FdPath(fd))) return VolumeKind::Archive;
    return std::nullopt;
}

// The way from a host file through members of containers to the location: the host file, and the
// '/'-separated rest inside it. nullopt when no leading part of location is a file here.
std::optional<std::pair<std::filesystem::path, std::string>> HostAndRest(const std::filesystem::path &location)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path host = location;
    std::string rest;
    while (!fs::exists(host, ec)) {
        if (host.filename().empty() || host.parent_path() == host) return std::nullopt;
        rest = host.filename().string() + (rest.empty() ? "" : "/" + rest);
        host = host.parent_path();
    }
    if (rest.empty() || !fs::is_regular_file(host, ec)) return std::nullopt;
    return std::make_pair(host, rest);
}

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
    return DetectWithin(head, size, 8);
}

// The volume a filled memory file holds, answering by name rather than by where its bytes are.
static std::unique_ptr<Volume> OpenHeld(FileDescriptor fd, const std::string &name, NestBudget &budget,
                                        const VolumeLimits &limits, std::string packing = {})
{
    const std::string path = FdPath(fd);
    std::unique_ptr<Volume> inner;
    try {
        inner = OpenWithin(path, limits, budget, name);
    } catch (const VolumeError &e) {
        throw VolumeError(Renamed(e.what(), path, name));
    }
    return std::make_unique<MemberVolume>(std::move(fd), std::move(inner), path, name, std::move(packing));
}

std::unique_ptr<Volume> OpenMember(const Volume &parent, const VolumeEntry &file, const std::string &name,
                                   NestBudget &budget, const VolumeLimits &limits)
{
    if (file.directory || file.link || !file.damage.empty()) return nullptr;
    if (!DetectContent(parent.head(file, headBytes), file.size)) return nullptr;
    Naming(name, [&] { budget.expand(file.size); });
    FileDescriptor fd = MemoryFile(name);
    uint64_t copied = 0;
    parent.copy(file, [&](std::span<const uint8_t> piece) {
        copied += piece.size();
        if (copied > file.size) Naming(name, [&] { budget.expand(piece.size()); });  // a member longer than it said
        WriteAll(fd.get(), piece, name);
    });
    return OpenHeld(std::move(fd), name, budget, limits);
}

std::unique_ptr<Volume> OpenWithin(const std::filesystem::path &location, const VolumeLimits &limits,
                                   NestBudget &budget, const std::string &name)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(location, ec)) {
        auto way = HostAndRest(location);
        if (!way) throw VolumeError(qfutil::Quoted(name) + " does not exist");
        std::string shown = way->first.string();
        std::unique_ptr<Volume> volume = OpenWithin(way->first, limits, budget, shown);
        std::vector<std::unique_ptr<NestBudget::Level>> levels;
        bool partitioned = false;  // a partition names no other partition of its disk
        for (std::string rest = way->second; !rest.empty();) {
            // A hard-disk image's partition named by the next segment (by its drive name or label).
            const std::string segment = rest.substr(0, rest.find('/'));
            if (!partitioned) {
                const std::string inner = shown + ":" + segment;
                if (std::unique_ptr<Volume> part = Naming(inner, [&] { return volume->partition(segment); })) {
                    volume = std::move(part);
                    shown = inner;
                    rest = rest.size() > segment.size() ? rest.substr(segment.size() + 1) : "";
                    partitioned = true;
                    continue;
                }
            }
            partitioned = false;
            // The member whose path the rest begins with: a file, so the shortest such is the only one.
            std::optional<VolumeEntry> member;
            volume->walk([&](const VolumeEntry &e) {
                Naming(shown, [&] { budget.member(); });
                if (e.directory || e.path.empty() || e.path.size() > rest.size()) return true;
                if (e.path.size() < rest.size() && rest[e.path.size()] != '/') return true;
                if (CompareNamesIgnoringCase(std::string_view(rest).substr(0, e.path.size()), e.path) != 0) return true;
                member = e;
                return false;
            });
            if (!member) throw VolumeError(qfutil::Quoted(shown) + " holds no " + qfutil::Quoted(rest));
            const std::string inner = shown + ":" + member->path;
            levels.push_back(Naming(inner, [&] { return std::make_unique<NestBudget::Level>(budget); }));
            std::unique_ptr<Volume> next = OpenMember(*volume, *member, inner, budget, limits);
            if (!next) throw VolumeError(qfutil::Quoted(inner) + " is neither a disk image nor an archive");
            volume = std::move(next);
            shown = inner;
            rest = rest.size() > member->path.size() ? rest.substr(member->path.size() + 1) : "";
        }
        return volume;
    }
    if (std::unique_ptr<Volume> plain = OpenPlain(location, limits)) return plain;
    std::vector<uint8_t> head(512);  // a tar archive's signature lies at byte 257
    {
        FileDescriptor in(::open(location.c_str(), O_RDONLY | O_CLOEXEC));
        ssize_t n = in ? ::pread(in.get(), head.data(), head.size(), 0) : -1;
        head.resize(n > 0 ? size_t(n) : 0);
    }
    switch (PackingOf(head)) {
    case Packing::Archive: return OpenPackedArchive(location, limits);
    case Packing::Stream: {
        if (StreamHoldsArchive(location)) return OpenPackedArchive(location, limits);
        NestBudget::Level level = Naming(name, [&] { return NestBudget::Level(budget); });
        FileDescriptor fd = MemoryFile(name);
        Naming(name, [&] { ExpandStream(location, fd.get(), budget); });
        return OpenHeld(std::move(fd), name, budget, limits, PackingName(head));
    }
    case Packing::None: break;
    }
    throw VolumeError(qfutil::Quoted(name) +
                      " is neither a directory, an AmigaDOS disk image nor an archive (LHA, ZIP, 7-Zip, tar)");
}

}  // namespace qfhost
