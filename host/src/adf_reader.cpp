// A read-only AmigaDOS file system over an image in memory or in a file, a block at a time: OFS
// and FFS, international mode and directory caches (the caches are not needed to read:
// directories are walked by their hash tables), floppies, bare hard-disk file systems and
// rigid-disk-block images.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "adf_walk.hpp"
#include "qfhost/dms.hpp"

namespace qfhost {
namespace fs = std::filesystem;
using namespace amigados;

namespace amigados {

uint8_t UpperCase(uint8_t c, bool international)
{
    if (c >= 'a' && c <= 'z') return uint8_t(c - 32);
    if (international && c >= 0xE0 && c <= 0xFE && c != 0xF7) return uint8_t(c - 32);
    return c;
}

bool SameName(std::string_view a, std::string_view b, bool international)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperCase(uint8_t(a[i]), international) != UpperCase(uint8_t(b[i]), international)) return false;
    return true;
}

uint32_t NameHash(std::string_view name, bool international, uint32_t size)
{
    uint32_t hash = uint32_t(name.size());
    for (char c : name) hash = (hash * 13 + UpperCase(uint8_t(c), international)) & 0x7FF;
    return hash % HashTableSize(size);
}

uint32_t BlockChecksum(std::span<const uint8_t> block, uint32_t at)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= block.size(); i += 4)
        if (i != at) sum += Get32(block, i);
    return uint32_t(0) - sum;
}

uint32_t BootChecksum(std::span<const uint8_t> boot)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= std::min<size_t>(boot.size(), 1024); i += 4) {
        if (i == 4) continue;
        uint32_t before = sum;
        sum += Get32(boot, i);
        if (sum < before) ++sum;  // the carry goes round
    }
    return ~sum;
}

std::time_t UnixTime(uint32_t days, uint32_t minutes, uint32_t ticks)
{
    constexpr int64_t epoch1978 = 252460800;  // 1978-01-01 in Unix time
    return std::time_t(epoch1978 + int64_t(days) * 86400 + int64_t(minutes) * 60 + ticks / 50);
}

}  // namespace amigados

namespace {

constexpr uint64_t floppyBytesDD = uint64_t(floppyBlocksDD) * blockSize;

using adf::Bcpl;
using adf::Block;
using adf::MulAdd;

bool IsPowerOfTwoBlock(uint64_t size) { return size >= 256 && size <= 65536 && (size & (size - 1)) == 0; }

class MemorySource : public AdfImage::Source {
public:
    explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t size() const override { return bytes_.size(); }
    void read(uint64_t at, std::span<uint8_t> out) const override
    {
        std::copy_n(bytes_.data() + at, out.size(), out.data());
    }

private:
    std::vector<uint8_t> bytes_;
};

class FileSource : public AdfImage::Source {
public:
    FileSource(int fd, uint64_t size, std::string name) : fd_(fd), size_(size), name_(std::move(name)) {}
    ~FileSource() override { ::close(fd_); }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    uint64_t size() const override { return size_; }
    void read(uint64_t at, std::span<uint8_t> out) const override
    {
        for (size_t done = 0; done < out.size();) {
            ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(at + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw AdfError("cannot read disk image \"" + name_ + "\": " + std::strerror(errno));
            if (n == 0) throw AdfError("truncated image: \"" + name_ + "\" became shorter while it was read");
            done += size_t(n);
        }
    }

private:
    int fd_;
    uint64_t size_;
    std::string name_;
};

// The file system a rigid disk block's partition list gives for the partition asked for.
struct RigidDiskPartition {
    uint32_t size;
    uint64_t first;
    uint32_t count;
    uint8_t dosFlags;
};

RigidDiskPartition ReadPartition(const AdfImage::Source &source, uint64_t imageBytes, uint64_t rdb, unsigned wanted)
{
    std::optional<Block> r = adf::ImageBytes(source, imageBytes, rdb * blockSize, blockSize);
    if (!r) throw AdfError("truncated image: its rigid disk block is cut short");
    uint32_t rdbBlock = Get32(*r, 16);
    if (!IsPowerOfTwoBlock(rdbBlock))
        throw AdfError("damaged disk: the rigid disk block gives a block size of " + std::to_string(rdbBlock));
    uint32_t part = Get32(*r, 28);
    std::unordered_set<uint32_t> seen;
    for (unsigned index = 0;; ++index) {
        uint64_t offset = uint64_t(part) * rdbBlock;  // below 2^48
        if (part == 0xFFFFFFFF || part == 0) throw AdfError("the image has no partition " + std::to_string(wanted));
        if (!seen.insert(part).second) throw AdfError("damaged disk: the partition list loops");
        std::optional<Block> p = adf::ImageBytes(source, imageBytes, offset, 256);
        if (!p || !std::equal(p->begin(), p->begin() + 4, "PART"))
            throw AdfError("damaged disk: partition block " + std::to_string(part) + " is missing");
        if (index == wanted) {
            std::string named = "partition " + std::to_string(index) + " (" + Bcpl(*p, 36, 31) + ")";
            auto env = std::span<const uint8_t>(*p).subspan(128, 128);
            uint64_t sizeBlock = uint64_t(Get32(env, 4)) * 4;
            uint32_t surfaces = Get32(env, 12), perTrack = Get32(env, 20);
            uint32_t low = Get32(env, 36), high = Get32(env, 40);
            if (!IsPowerOfTwoBlock(sizeBlock) || surfaces == 0 || perTrack == 0 || high < low)
                throw AdfError("damaged disk: " + named + " has an impossible geometry");
            uint64_t perCylinder = uint64_t(surfaces) * perTrack;  // below 2^64
            std::optional<uint64_t> firstBlock = MulAdd(low, perCylinder);
            std::optional<uint64_t> first = firstBlock ? MulAdd(*firstBlock, sizeBlock) : std::nullopt;
            std::optional<uint64_t> count = MulAdd(uint64_t(high) - low + 1, perCylinder);
            if (!first || *first >= imageBytes || sizeBlock > imageBytes - *first)
                throw AdfError(named + " lies outside the image: it starts at cylinder " + std::to_string(low) +
                               ", past the image's " + std::to_string(imageBytes) + " bytes");
            if (!count || *count > 0xFFFFFFFFu) throw AdfError(named + " is too large");
            return {uint32_t(sizeBlock), *first, uint32_t(*count), uint8_t(Get32(env, 64))};
        }
        part = Get32(*p, 16);
    }
}

}  // namespace

bool LooksLikeAdf(std::span<const uint8_t> head, uint64_t fileSize)
{
    if (LooksLikeDms(head)) return true;
    if (head.size() >= 4 && head[0] == 'D' && head[1] == 'O' && head[2] == 'S' && head[3] <= 7) return true;
    for (size_t at = 0; at + 4 <= head.size() && at < 16 * blockSize; at += blockSize)
        if (std::string_view(reinterpret_cast<const char *>(&head[at]), 4) == "RDSK") return true;
    // A floppy of the right size whose boot block was wiped is still a floppy.
    return fileSize == floppyBytesDD || fileSize == 2 * floppyBytesDD;
}

// The steps (adf_walk.hpp) over this image's partition, as it stands.
struct AdfImage::Walker {
    static adf::Blocks Blocks(const AdfImage &image)
    {
        adf::Partition p{*image.source_, image.imageBytes_, image.first_,          image.count_,
                         image.size_,    image.root_,       image.international(), image.fastFileSystem()};
        return adf::Blocks(p, image.options_, image.warnings_, image.warned_);
    }
};

AdfImage::AdfImage(std::vector<uint8_t> bytes, AdfReadOptions options)
    : AdfImage(std::make_unique<MemorySource>(std::move(bytes)), options)
{}

AdfImage::AdfImage(std::unique_ptr<const Source> source, AdfReadOptions options)
    : source_(std::move(source)), imageBytes_(source_->size()), options_(options)
{
    auto bytes = [&](uint64_t offset, uint64_t count) { return adf::ImageBytes(*source_, imageBytes_, offset, count); };
    auto at = [&](uint64_t offset, std::string_view id) {
        std::optional<Block> b = bytes(offset, id.size());
        return b && std::equal(id.begin(), id.end(), reinterpret_cast<const char *>(b->data()));
    };
    uint8_t dosFlags = 0xFF;
    // A rigid disk block in the first 16 blocks describes partitions; else the file system starts at 0.
    uint64_t rdb = 0;
    while (rdb < 16 && !at(rdb * blockSize, "RDSK")) ++rdb;
    if (rdb < 16) {
        RigidDiskPartition p = ReadPartition(*source_, imageBytes_, rdb, options_.partition);
        size_ = p.size;
        first_ = p.first;
        count_ = p.count;
        dosFlags = p.dosFlags;
    } else {
        if (imageBytes_ < floppyBytesDD)
            throw AdfError("truncated image: " + std::to_string(imageBytes_) + " bytes, where a floppy holds " +
                           std::to_string(floppyBytesDD));
        count_ = uint32_t(std::min<uint64_t>(imageBytes_ / blockSize, 0xFFFFFFFFu));
    }
    if (std::optional<Block> boot = bytes(first_, 4); boot && std::equal(boot->begin(), boot->begin() + 3, "DOS"))
        dosFlags = (*boot)[3];
    if (dosFlags > 7) throw AdfError("not an AmigaDOS disk: its boot block does not start with \"DOS\"");
    flags_ = dosFlags;
    if (count_ < 3) throw AdfError("damaged disk: a file system of " + std::to_string(count_) + " blocks");

    // The root is in the middle; the boot block's pointer is often wrong, so it comes after.
    adf::Blocks w = Walker::Blocks(*this);
    std::vector<uint32_t> candidates{count_ / 2, (count_ + 1) / 2};
    if (std::optional<Block> boot = bytes(first_, 12)) candidates.push_back(Get32(*boot, 8));
    candidates.insert(candidates.end(), {floppyBlocksDD / 2, floppyBlocksHD / 2});
    for (uint32_t n : candidates) {
        std::optional<uint64_t> offset = w.offset(n);
        if (n == 0 || n >= count_ || !offset) continue;
        Block b(size_);
        source_->read(*offset, b);
        if (int32_t(Get32(b, 0)) == typeHeader && w.secondary(b) == secRoot && Get32(b, 12) == HashTableSize(size_)) {
            root_ = n;
            w.checksum(b, n, [] { return std::string("root"); });
            return;
        }
    }
    std::optional<uint64_t> end = MulAdd(count_, size_, first_);
    if (!end || *end > imageBytes_)
        throw AdfError("truncated image: " + std::to_string(imageBytes_) + " bytes, too short for its root block");
    throw AdfError("damaged disk: no root block where AmigaDOS keeps it (block " + std::to_string(count_ / 2) + ")");
}

AdfImage AdfImage::Load(const fs::path &image, AdfReadOptions options)
{
    // Non-blocking, so a FIFO in the image's place is refused, not waited on.
    int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw AdfError("cannot read disk image \"" + image.string() + "\"");
    struct stat info {};
    off_t size = ::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode) ? ::lseek(fd, 0, SEEK_END) : info.st_size;
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        ::close(fd);
        throw AdfError("disk image \"" + image.string() + "\" is not a regular file");
    }
    std::optional<DmsDisk> packed;
    try {
        packed = LoadDms(image);
    } catch (const DmsError &) {
        ::close(fd);
        throw;
    }
    if (packed) {
        ::close(fd);
        return AdfImage(std::move(packed->image), options);
    }
    return AdfImage(std::make_unique<FileSource>(fd, uint64_t(std::max<off_t>(size, 0)), image.string()), options);
}

std::string AdfImage::label() const
{
    adf::Blocks w = Walker::Blocks(*this);
    return w.name(w.header(root_, [] { return std::string("root"); }));
}
std::string AdfImage::dosType() const { return "DOS\\" + std::to_string(flags_); }
bool AdfImage::fastFileSystem() const { return flags_ & flagFast; }
// Directory caches only exist with international names.
bool AdfImage::international() const { return flags_ & (flagInternational | flagDirCache); }
bool AdfImage::directoryCache() const { return flags_ & flagDirCache; }
uint32_t AdfImage::blockCount() const { return count_; }
bool AdfImage::bitmapValid() const
{
    adf::Blocks w = Walker::Blocks(*this);
    return Get32(w.header(root_, [] { return std::string("root"); }), BitmapFlagOffset(size_)) == 0xFFFFFFFF;
}

void AdfImage::walk(const AdfVisitor &visit) const
{
    adf::Blocks w = Walker::Blocks(*this);
    adf::TreeWalk tree(w);
    AdfEntry entry;
    while (std::optional<uint32_t> n = tree.next()) {
        adf::What what = [&] { return "an entry of " + adf::Shown(tree.path()); };
        Block e = w.block(*n, what);
        entry.damage.clear();
        if (!w.isHeader(e, *n)) {
            // Nothing of it can be trusted, its name included: named by its folder and block.
            entry = AdfEntry{};
            entry.path.assign(tree.path()).append("/");
            entry.block = *n;
            entry.damage = "damaged disk: block " + std::to_string(*n) + " (" + what() + ") is not a header block";
            if (!visit(entry)) return;
            continue;
        }
        w.checksum(e, *n, what);
        entry.name = w.name(e);
        entry.path.assign(tree.path()).append(tree.path().empty() ? "" : "/").append(entry.name);
        tree.admit(*n, entry.path);
        try {
            adf::FillEntry(w, e, *n, entry);
        } catch (const AdfError &error) {
            entry.kind = AdfEntry::Kind::File, entry.size = 0, entry.damage = error.what();
        }
        if (!visit(entry)) return;
        if (entry.kind == AdfEntry::Kind::Directory) tree.enter(*n, entry.path);
    }
}

std::vector<AdfEntry> AdfImage::list() const
{
    std::vector<AdfEntry> out;
    walk([&](const AdfEntry &e) {
        out.push_back(e);
        return true;
    });
    return out;
}

bool AdfImage::exists(std::string_view path) const { return adf::Resolve(Walker::Blocks(*this), path) != 0; }

std::vector<uint8_t> AdfImage::read(std::string_view path, uint64_t maxBytes) const
{
    adf::Blocks w = Walker::Blocks(*this);
    uint32_t n = adf::Resolve(w, path);
    std::string shown(path);
    if (n == 0) throw AdfError("no file \"" + shown + "\" on the disk");
    n = adf::FileBehind(w, n, shown);
    uint64_t size = adf::FileSize(w, n, shown);
    if (size > maxBytes)
        throw AdfError("\"" + shown + "\" holds " + std::to_string(size) + " bytes, more than the " +
                       std::to_string(maxBytes) + " a file may have here");
    std::vector<uint8_t> out;
    out.reserve(size_t(std::min<uint64_t>(size, uint64_t(1) << 20)));  // the size is only claimed
    adf::Content(w, n, shown, [&](std::span<const uint8_t> piece) {
        out.insert(out.end(), piece.begin(), piece.end());
        return true;
    });
    return out;
}

void AdfImage::copy(uint32_t header, const std::string &path, const AdfSink &sink) const
{
    adf::Blocks w = Walker::Blocks(*this);
    adf::Content(w, adf::FileBehind(w, header, path), path, [&](std::span<const uint8_t> piece) {
        sink(piece);
        return true;
    });
}

AdfSalvage AdfImage::salvage(uint32_t header, const std::string &path, const AdfSink &sink) const
{
    adf::Blocks w = Walker::Blocks(*this);
    return adf::Salvage(w, adf::FileBehind(w, header, path), path, sink);
}

std::vector<uint8_t> AdfImage::head(uint32_t header, const std::string &path, size_t count) const
{
    adf::Blocks w = Walker::Blocks(*this);
    std::vector<uint8_t> out;
    if (count == 0) return out;
    adf::Content(w, adf::FileBehind(w, header, path), path, [&](std::span<const uint8_t> piece) {
        out.insert(out.end(), piece.begin(), piece.begin() + std::min(piece.size(), count - out.size()));
        return out.size() < count;
    });
    return out;
}

}  // namespace qfhost
