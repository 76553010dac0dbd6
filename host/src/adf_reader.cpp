// A read-only AmigaDOS file system over an image in memory or in a file, a block at a time: OFS
// and FFS, international mode and directory caches (the caches are not needed to read:
// directories are walked by their hash tables), floppies, bare hard-disk file systems and
// rigid-disk-block images.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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

// Blocks are asked for one at a time, the same ones again and again (root, directory, neighbours of
// a file's data); reading aligned pages and keeping a few spares most of the system calls.
class FileSource : public AdfImage::Source {
public:
    FileSource(int fd, uint64_t size, std::string name) : fd_(fd), size_(size), name_(std::move(name)) {}
    ~FileSource() override { ::close(fd_); }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    uint64_t size() const override { return size_; }
    void read(uint64_t at, std::span<uint8_t> out) const override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t done = 0; done < out.size();) {
            const uint64_t first = (at + done) / pageBytes * pageBytes;
            const Page &page = fetch(first);
            const size_t from = size_t(at + done - first);
            const size_t take = std::min(out.size() - done, page.bytes - from);
            std::memcpy(out.data() + done, page.data + from, take);
            done += take;
        }
    }

private:
    static constexpr size_t pageBytes = 4096;
    static constexpr size_t pageCount = 8;
    struct Page {
        uint64_t first = UINT64_MAX;
        size_t bytes = 0;
        uint64_t used = 0;
        uint8_t data[pageBytes];
    };

    const Page &fetch(uint64_t first) const
    {
        Page *victim = &pages_[0];
        for (Page &p : pages_) {
            if (p.first == first) {
                p.used = ++clock_;
                return p;
            }
            if (p.used < victim->used) victim = &p;
        }
        // Callers never ask past size_, so a page that comes back short means the file shrank.
        const size_t want = size_t(std::min<uint64_t>(pageBytes, size_ - first));
        victim->first = UINT64_MAX;
        for (size_t done = 0; done < want;) {
            ssize_t n = ::pread(fd_, victim->data + done, want - done, off_t(first + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw AdfError("cannot read disk image \"" + name_ + "\": " + std::strerror(errno));
            if (n == 0) throw AdfError("truncated image: \"" + name_ + "\" became shorter while it was read");
            done += size_t(n);
        }
        victim->first = first, victim->bytes = want, victim->used = ++clock_;
        return *victim;
    }

    int fd_;
    uint64_t size_;
    std::string name_;
    mutable std::mutex mutex_;
    mutable Page pages_[pageCount];
    mutable uint64_t clock_ = 0;
};

// A partition as its partition block gives it; problem says why it cannot be read.
struct RigidDiskPartition {
    std::string drive;
    uint32_t dosType = 0;
    uint32_t size = 0;
    uint64_t first = 0;
    uint32_t count = 0;
    std::string problem;
};

bool IsDosType(uint32_t type) { return type >> 8 == 0x444F53 && (type & 0xFF) <= 7; }

// "DOS\3", "PFS\1": printable characters as they are, the others as a backslash and their number.
std::string ShownDosType(uint32_t type)
{
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto c = uint8_t(type >> shift);
        if (c >= 0x20 && c < 0x7F && c != '\\') out += char(c);
        else out += "\\" + std::to_string(c);
    }
    return out;
}

// The file systems met on Amiga hard disks besides AmigaDOS's own, by their type.
std::string ForeignFileSystem(uint32_t type)
{
    switch (type) {
    case 0x50465301:  // PFS\1
    case 0x50465303:
    case 0x50445301:  // PDS\1: the same with direct SCSI access
    case 0x50445303: return "PFS3";
    case 0x50465302:
    case 0x50445302: return "PFS2";
    case 0x53465300:  // SFS\0
    case 0x53465302: return "SFS";
    default: return "";
    }
}

// "FFS, international names"
std::string FileSystemOf(uint8_t flags)
{
    std::string name = flags & flagFast ? "FFS" : "OFS";
    if (flags & flagDirCache) return name + ", directory cache";
    return flags & flagInternational ? name + ", international names" : name;
}

// No controller of the Amiga's day gave a disk anywhere near so many.
constexpr unsigned maxPartitions = 128;

// Every partition in the rigid disk block's list. A list that loops, a missing block or too long a
// list ends with a warning; a partition with an impossible geometry, lying outside the image,
// overlapping one before it or of a foreign file system is listed with its problem.
std::vector<RigidDiskPartition> ReadPartitions(const AdfImage::Source &source, uint64_t imageBytes, uint64_t rdb,
                                               std::vector<std::string> &warnings)
{
    std::optional<Block> r = adf::ImageBytes(source, imageBytes, rdb * blockSize, blockSize);
    if (!r) throw AdfError("truncated image: its rigid disk block is cut short");
    uint32_t rdbBlock = Get32(*r, 16);
    if (!IsPowerOfTwoBlock(rdbBlock))
        throw AdfError("damaged disk: the rigid disk block gives a block size of " + std::to_string(rdbBlock));
    std::vector<RigidDiskPartition> out;
    std::unordered_set<uint32_t> seen;
    for (uint32_t part = Get32(*r, 28); part != 0xFFFFFFFF && part != 0; part = Get32(*r, 16)) {
        const std::string after = out.empty() ? "" : "; the partitions after " + out.back().drive + " are skipped";
        if (out.size() == maxPartitions) {
            warnings.push_back("damaged disk: the partition list goes on past " + std::to_string(maxPartitions) +
                               " partitions" + after);
            break;
        }
        if (!seen.insert(part).second) {
            warnings.push_back("damaged disk: the partition list loops back to block " + std::to_string(part) + after);
            break;
        }
        std::optional<Block> p = adf::ImageBytes(source, imageBytes, uint64_t(part) * rdbBlock, 256);  // below 2^48
        if (!p || !std::equal(p->begin(), p->begin() + 4, "PART")) {
            warnings.push_back("damaged disk: partition block " + std::to_string(part) + " is missing" + after);
            break;
        }
        r = p;
        RigidDiskPartition found;
        found.drive = Bcpl(*p, 36, 31);
        const std::string named = "partition " + std::to_string(out.size()) + " (" + found.drive + ")";
        auto env = std::span<const uint8_t>(*p).subspan(128, 128);
        found.dosType = Get32(env, 64);
        uint64_t sizeBlock = uint64_t(Get32(env, 4)) * 4;
        uint32_t surfaces = Get32(env, 12), perTrack = Get32(env, 20);
        uint32_t low = Get32(env, 36), high = Get32(env, 40);
        if (!IsPowerOfTwoBlock(sizeBlock) || surfaces == 0 || perTrack == 0 || high < low) {
            found.problem = "damaged disk: " + named + " has an impossible geometry";
        } else {
            uint64_t perCylinder = uint64_t(surfaces) * perTrack;  // below 2^64
            std::optional<uint64_t> firstBlock = MulAdd(low, perCylinder);
            std::optional<uint64_t> first = firstBlock ? MulAdd(*firstBlock, sizeBlock) : std::nullopt;
            std::optional<uint64_t> count = MulAdd(uint64_t(high) - low + 1, perCylinder);
            if (!first || *first >= imageBytes || sizeBlock > imageBytes - *first)
                found.problem = named + " lies outside the image: it starts at cylinder " + std::to_string(low) +
                                ", past the image's " + std::to_string(imageBytes) + " bytes";
            else if (!count || *count > 0xFFFFFFFFu) found.problem = named + " is too large";
            else found.size = uint32_t(sizeBlock), found.first = *first, found.count = uint32_t(*count);
        }
        if (found.problem.empty()) {
            uint64_t end = found.first + uint64_t(found.count) * found.size;  // below 2^49 past the start
            for (const RigidDiskPartition &other : out) {
                uint64_t otherEnd = other.first + uint64_t(other.count) * other.size;
                if (other.problem.empty() && found.first < otherEnd && other.first < end) {
                    found.problem = "damaged disk: " + named + " overlaps partition " + other.drive;
                    break;
                }
            }
        }
        // A type no AmigaDOS file system has is read only where the boot block says "DOS" all the
        // same; the known foreign ones never are, whatever their first bytes.
        const std::string foreign = ForeignFileSystem(found.dosType);
        if (found.problem.empty() && !IsDosType(found.dosType)) {
            std::optional<Block> boot = adf::ImageBytes(source, imageBytes, found.first, 4);
            bool dosBoot = boot && std::equal(boot->begin(), boot->begin() + 3, "DOS") && (*boot)[3] <= 7;
            if (!foreign.empty() || !dosBoot)
                found.problem =
                    "partition " + found.drive + " holds " +
                    (foreign.empty() ? std::string("a file system of type") : "a " + foreign + " file system") +
                    " (\"" + ShownDosType(found.dosType) + "\"), which this reader does not read";
        }
        out.push_back(std::move(found));
    }
    return out;
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

// The partitions of a rigid-disk image, read once for every partition opened from it.
struct AdfImage::Layout {
    std::vector<RigidDiskPartition> parts;
    std::vector<std::string> warnings;
    mutable std::optional<std::vector<AdfPartition>> listed;  // with labels, once asked for
};

AdfImage::AdfImage(std::vector<uint8_t> bytes, AdfReadOptions options)
    : AdfImage(std::make_unique<MemorySource>(std::move(bytes)), options)
{}

AdfImage::AdfImage(std::unique_ptr<const Source> source, AdfReadOptions options)
    : AdfImage(std::shared_ptr<const Source>(std::move(source)), std::move(options), nullptr)
{}

AdfImage::AdfImage(std::shared_ptr<const Source> source, AdfReadOptions options, std::shared_ptr<const Layout> layout)
    : source_(std::move(source)), layout_(std::move(layout)), imageBytes_(source_->size()), options_(std::move(options))
{
    auto bytes = [&](uint64_t offset, uint64_t count) { return adf::ImageBytes(*source_, imageBytes_, offset, count); };
    auto at = [&](uint64_t offset, std::string_view id) {
        std::optional<Block> b = bytes(offset, id.size());
        return b && std::equal(id.begin(), id.end(), reinterpret_cast<const char *>(b->data()));
    };
    uint8_t dosFlags = 0xFF;
    // A rigid disk block in the first 16 blocks describes partitions; else the file system starts at 0.
    uint64_t rdb = 0;
    if (!layout_)
        while (rdb < 16 && !at(rdb * blockSize, "RDSK")) ++rdb;
    if (layout_ || rdb < 16) {
        if (!layout_) {
            auto read = std::make_shared<Layout>();
            read->parts = ReadPartitions(*source_, imageBytes_, rdb, read->warnings);
            layout_ = std::move(read);
        }
        warnings_ = layout_->warnings;
        const std::vector<RigidDiskPartition> &parts = layout_->parts;
        const RigidDiskPartition *p = nullptr;
        if (options_.partition) {
            if (*options_.partition >= parts.size())
                throw AdfError("the image has no partition " + std::to_string(*options_.partition));
            p = &parts[*options_.partition];
        } else if (!options_.partitionName.empty()) {
            for (const RigidDiskPartition &q : parts)
                if (!p && SameName(q.drive, options_.partitionName, true)) p = &q;
            for (size_t i = 0; i < parts.size() && !p; ++i) {
                if (!parts[i].problem.empty()) continue;
                try {
                    if (SameName(AdfImage(source_, {.partition = unsigned(i)}, layout_).label(), options_.partitionName,
                                 true))
                        p = &parts[i];
                } catch (const AdfError &) {
                    // unreadable: no label to match
                }
            }
            if (!p) throw AdfError("the image has no partition named \"" + options_.partitionName + "\"");
        } else {
            for (const RigidDiskPartition &q : parts)
                if (!p && q.problem.empty()) p = &q;
            if (!p && parts.empty()) throw AdfError("the image's rigid disk block lists no partition");
            if (!p) p = &parts.front();
        }
        if (!p->problem.empty()) throw AdfError(p->problem);
        size_ = p->size;
        first_ = p->first;
        count_ = p->count;
        dosFlags = IsDosType(p->dosType) ? uint8_t(p->dosType) : 0xFF;
        drive_ = p->drive;
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
std::string AdfImage::drive() const { return drive_; }
std::string AdfImage::fileSystem() const { return FileSystemOf(flags_); }

const std::vector<AdfPartition> &AdfImage::partitions() const
{
    static const std::vector<AdfPartition> none;
    if (!layout_) return none;
    if (layout_->listed) return *layout_->listed;
    std::vector<AdfPartition> out;
    for (size_t i = 0; i < layout_->parts.size(); ++i) {
        const RigidDiskPartition &q = layout_->parts[i];
        AdfPartition p;
        p.index = unsigned(i);
        p.drive = q.drive;
        p.dosType = ShownDosType(q.dosType);
        p.bytes = uint64_t(q.count) * q.size;
        p.problem = q.problem;
        p.fileSystem = IsDosType(q.dosType) ? FileSystemOf(uint8_t(q.dosType)) : ForeignFileSystem(q.dosType);
        if (p.fileSystem.empty()) p.fileSystem = "unknown";
        if (p.problem.empty()) {
            try {
                AdfImage image(source_, {.partition = unsigned(i)}, layout_);
                p.dosType = image.dosType();
                p.fileSystem = image.fileSystem();
                p.label = image.label();
            } catch (const AdfError &e) {
                p.problem = e.what();
            }
        }
        out.push_back(std::move(p));
    }
    layout_->listed = std::move(out);
    return *layout_->listed;
}

std::optional<AdfImage> AdfImage::partition(const std::string &name) const
{
    if (!layout_) return std::nullopt;
    bool named = false;
    for (const RigidDiskPartition &q : layout_->parts) named = named || SameName(q.drive, name, true);
    for (const AdfPartition &q : partitions()) named = named || (!q.label.empty() && SameName(q.label, name, true));
    if (!named) return std::nullopt;
    AdfReadOptions options = options_;
    options.partition.reset();
    options.partitionName = name;
    return AdfImage(source_, options, layout_);
}
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
