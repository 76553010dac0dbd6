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

#include "qfhost/adf.hpp"

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

using Block = std::vector<uint8_t>;
// What a block is, for a message: built only when one is needed, as paths may be long.
using What = std::function<std::string()>;

std::string Bcpl(std::span<const uint8_t> block, uint32_t at, uint32_t max)
{
    uint32_t length = std::min<uint32_t>(block[at], max);
    return std::string(reinterpret_cast<const char *>(&block[at + 1]), length);
}

// A directory as messages name it.
std::string Shown(const std::string &directory) { return directory.empty() ? "the root" : "\"" + directory + "\""; }

bool IsPowerOfTwoBlock(uint64_t size) { return size >= 256 && size <= 65536 && (size & (size - 1)) == 0; }

// a * b + c, or nothing when it passes 2^64: every number in an image may be hostile.
std::optional<uint64_t> MulAdd(uint64_t a, uint64_t b, uint64_t c = 0)
{
    uint64_t product, sum;
    if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) return std::nullopt;
    return sum;
}

class MemorySource : public AdfImage::Source {
public:
    explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t size() const override { return bytes_.size(); }
    void read(uint64_t at, std::span<uint8_t> out) const override { std::copy_n(bytes_.data() + at, out.size(), out.data()); }

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

}  // namespace

bool LooksLikeAdf(std::span<const uint8_t> head, uint64_t fileSize)
{
    if (head.size() >= 4 && head[0] == 'D' && head[1] == 'O' && head[2] == 'S' && head[3] <= 7) return true;
    for (size_t at = 0; at + 4 <= head.size() && at < 16 * blockSize; at += blockSize)
        if (std::string_view(reinterpret_cast<const char *>(&head[at]), 4) == "RDSK") return true;
    // A floppy of the right size whose boot block was wiped is still a floppy.
    return fileSize == floppyBytesDD || fileSize == 2 * floppyBytesDD;
}

// Block access for one image with the checks every step needs.
struct AdfImage::Walker {
    const AdfImage &image;

    // The bytes [at, at + count) when the image holds them all, else nothing.
    std::optional<Block> bytes(uint64_t at, uint64_t count) const
    {
        if (at > image.imageBytes_ || count > image.imageBytes_ - at) return std::nullopt;
        Block b(count);
        image.source_->read(at, b);
        return b;
    }

    // Where block n of the partition starts, when the image holds all of it.
    std::optional<uint64_t> offset(uint32_t n) const
    {
        std::optional<uint64_t> at = MulAdd(n, image.size_, image.first_);
        if (!at || *at > image.imageBytes_ || image.size_ > image.imageBytes_ - *at) return std::nullopt;
        return at;
    }

    Block block(uint32_t n, const What &what) const
    {
        if (n == 0 || n >= image.count_)
            throw AdfError("damaged disk: " + what() + " points to block " + std::to_string(n) + ", outside the " +
                           std::to_string(image.count_) + " blocks of the file system");
        std::optional<uint64_t> at = offset(n);
        if (!at) throw AdfError("truncated image: block " + std::to_string(n) + " (" + what() + ") lies past its end");
        Block b(image.size_);
        image.source_->read(*at, b);
        return b;
    }

    void checksum(std::span<const uint8_t> b, uint32_t n, const What &what) const
    {
        if (BlockChecksum(b) == Get32(b, checksumOffset)) return;
        std::string line = "block " + std::to_string(n) + " (" + what() + ") has a checksum that does not match";
        if (image.options_.strictChecksums) throw AdfError("damaged disk: " + line);
        if (std::find(image.warned_.begin(), image.warned_.end(), n) != image.warned_.end()) return;
        image.warned_.push_back(n);
        image.warnings_.push_back(line);
    }

    // A header block (root, directory, file or link), checked.
    Block header(uint32_t n, const What &what) const
    {
        Block b = block(n, what);
        int32_t type = int32_t(Get32(b, 0));
        uint32_t key = Get32(b, 4);  // the root's own key is 0
        if (type != typeHeader || (key != n && !(n == image.root_ && key == 0)))
            throw AdfError("damaged disk: block " + std::to_string(n) + " (" + what() + ") is not a header block");
        checksum(b, n, what);
        return b;
    }

    int32_t secondary(std::span<const uint8_t> b) const { return int32_t(Get32(b, SecondaryTypeOffset(image.size_))); }
    std::string name(std::span<const uint8_t> b) const { return Bcpl(b, NameOffset(image.size_), maxNameLength); }
    bool isDirectory(std::span<const uint8_t> b) const
    {
        int32_t s = secondary(b);
        return s == secRoot || s == secDirectory;
    }

    // The entries of a directory block in hash-table order, each chain followed; a chain that
    // comes back to an entry already seen is damage, not an endless directory.
    std::vector<uint32_t> entries(uint32_t directory, const std::string &path) const
    {
        Block d = header(directory, [&] { return "directory " + Shown(path); });
        std::vector<uint32_t> found;
        std::unordered_set<uint32_t> seen;
        for (uint32_t slot = 0; slot < HashTableSize(image.size_); ++slot) {
            for (uint32_t n = Get32(d, hashTableOffset + 4 * slot); n != 0;) {
                if (!seen.insert(n).second)
                    throw AdfError("damaged disk: a hash chain in " + Shown(path) + " loops at block " +
                                   std::to_string(n));
                Block e = header(n, [&] { return "an entry of " + Shown(path); });
                found.push_back(n);
                n = Get32(e, HashChainOffset(image.size_));
            }
        }
        return found;
    }

    // The header block of the entry with this name in a directory, or 0.
    uint32_t lookup(uint32_t directory, std::string_view wanted, const std::string &path) const
    {
        Block d = header(directory, [&] { return "directory " + Shown(path); });
        bool intl = image.international();
        std::unordered_set<uint32_t> seen;
        for (uint32_t n = Get32(d, hashTableOffset + 4 * NameHash(wanted, intl, image.size_)); n != 0;) {
            if (!seen.insert(n).second)
                throw AdfError("damaged disk: a hash chain in " + Shown(path) + " loops at block " +
                               std::to_string(n));
            Block e = header(n, [&] { return "an entry of " + Shown(path); });
            if (SameName(name(e), wanted, intl)) return n;
            n = Get32(e, HashChainOffset(image.size_));
        }
        return 0;
    }

    // A hard link's object: a link may not point at another link.
    uint32_t linked(std::span<const uint8_t> link, const std::string &path) const
    {
        uint32_t real = Get32(link, RealEntryOffset(image.size_));
        Block r = header(real, [&] { return "the object of link \"" + path + "\""; });
        int32_t s = secondary(r);
        if (s == secFileLink || s == secDirectoryLink || s == secSoftLink)
            throw AdfError("damaged disk: link \"" + path + "\" points to another link");
        return real;
    }

    // Path of a header block from the root, by its parent pointers; no deeper than a walk goes.
    std::string pathOf(uint32_t n) const
    {
        std::vector<std::string> names;
        std::unordered_set<uint32_t> seen;
        while (n != image.root_) {
            if (!seen.insert(n).second) throw AdfError("damaged disk: the parents of block " + std::to_string(n) + " loop");
            if (names.size() >= image.options_.depth)
                throw AdfError("block " + std::to_string(n) + " lies deeper than " +
                               std::to_string(image.options_.depth) + " directories");
            Block b = header(n, [] { return std::string("a linked object"); });
            names.push_back(name(b));
            n = Get32(b, ParentOffset(image.size_));
        }
        std::string path;
        for (auto it = names.rbegin(); it != names.rend(); ++it) path += (path.empty() ? "" : "/") + *it;
        return path;
    }

    // The header block at a '/'-separated path, hard links followed; 0 when a name is missing.
    uint32_t resolve(std::string_view path) const
    {
        uint32_t at = image.root_;
        std::string walked;
        while (!path.empty()) {
            size_t slash = path.find('/');
            std::string_view part = path.substr(0, slash);
            path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
            if (part.empty()) continue;
            if (!isDirectory(header(at, [&] { return "directory " + Shown(walked); }))) return 0;
            uint32_t next = lookup(at, part, walked);
            if (next == 0) return 0;
            walked += (walked.empty() ? "" : "/") + std::string(part);
            Block e = header(next, [&] { return "\"" + walked + "\""; });
            if (secondary(e) == secFileLink || secondary(e) == secDirectoryLink) next = linked(e, walked);
            at = next;
        }
        return at;
    }

    // The file behind a walked or resolved header block: a hard link's object, never a directory or soft link.
    uint32_t file(uint32_t n, const std::string &path) const
    {
        Block h = header(n, [&] { return "\"" + path + "\""; });
        if (secondary(h) == secFileLink || secondary(h) == secDirectoryLink) {
            n = linked(h, path);
            h = header(n, [&] { return "\"" + path + "\""; });
        }
        if (secondary(h) == secSoftLink) throw AdfError("\"" + path + "\" is a soft link, which is not followed");
        if (secondary(h) != secFile) throw AdfError("\"" + path + "\" is a directory");
        return n;
    }

    uint64_t size(uint32_t file, const std::string &path) const
    {
        return Get32(header(file, [&] { return "file \"" + path + "\""; }), ByteSizeOffset(image.size_));
    }

    // The data block numbers of a file in order, from its header's table and then its extension
    // blocks, each given to take until it returns false or the count is reached.
    void dataBlocks(uint32_t file, uint64_t count, const std::string &path,
                    const std::function<bool(uint32_t)> &take) const
    {
        std::unordered_set<uint32_t> extensions;
        uint32_t table = HashTableSize(image.size_);
        uint64_t given = 0;
        Block b = header(file, [&] { return "file \"" + path + "\""; });
        for (;;) {
            uint32_t high = std::min(Get32(b, 8), table);
            for (uint32_t i = 0; i < high && given < count; ++i, ++given)
                if (!take(Get32(b, hashTableOffset + 4 * (table - 1 - i)))) return;
            if (given >= count) return;
            uint32_t next = Get32(b, ExtensionOffset(image.size_));
            if (next == 0)
                throw AdfError("damaged disk: file \"" + path + "\" lists " + std::to_string(given) +
                               " data blocks of the " + std::to_string(count) + " its size needs");
            if (!extensions.insert(next).second)
                throw AdfError("damaged disk: the extension blocks of \"" + path + "\" loop at block " +
                               std::to_string(next));
            What what = [&] { return "an extension block of \"" + path + "\""; };
            b = block(next, what);
            if (int32_t(Get32(b, 0)) != typeList || Get32(b, 4) != next)
                throw AdfError("damaged disk: block " + std::to_string(next) + " (" + what() + ") is not an extension block");
            checksum(b, next, what);
        }
    }

    // A file's bytes a data block at a time, to sink until it returns false.
    void content(uint32_t file, const std::string &path, const std::function<bool(std::span<const uint8_t>)> &sink) const
    {
        uint64_t size = this->size(file, path);
        bool ofs = !image.fastFileSystem();
        uint32_t payload = ofs ? image.size_ - ofsDataOffset : image.size_;
        uint64_t count = (size + payload - 1) / payload;
        if (count > image.count_)
            throw AdfError("damaged disk: file \"" + path + "\" claims " + std::to_string(size) +
                           " bytes, more than the disk holds");
        uint64_t done = 0;
        uint32_t sequence = 1;
        What what = [&] { return "data of \"" + path + "\""; };
        dataBlocks(file, count, path, [&](uint32_t n) {
            Block d = block(n, what);
            size_t take = size_t(std::min<uint64_t>(payload, size - done));
            std::span<const uint8_t> piece(d);
            if (ofs) {
                if (int32_t(Get32(d, 0)) != typeData || Get32(d, 4) != file || Get32(d, 8) != sequence)
                    throw AdfError("damaged disk: block " + std::to_string(n) + " (" + what() +
                                   ") is not the data block expected");
                checksum(d, n, what);
                if (Get32(d, 12) < take)
                    throw AdfError("damaged disk: data block " + std::to_string(n) + " of \"" + path + "\" holds " +
                                   std::to_string(Get32(d, 12)) + " bytes, fewer than its file needs");
                piece = piece.subspan(ofsDataOffset);
            }
            done += take;
            ++sequence;
            return sink(piece.first(take));
        });
    }
};

AdfImage::AdfImage(std::vector<uint8_t> bytes, AdfReadOptions options)
    : AdfImage(std::make_unique<MemorySource>(std::move(bytes)), options)
{
}

AdfImage::AdfImage(std::unique_ptr<const Source> source, AdfReadOptions options)
    : source_(std::move(source)), imageBytes_(source_->size()), options_(options)
{
    Walker w{*this};
    auto at = [&](uint64_t offset, std::string_view id) {
        std::optional<Block> b = w.bytes(offset, id.size());
        return b && std::equal(id.begin(), id.end(), reinterpret_cast<const char *>(b->data()));
    };
    uint8_t dosFlags = 0xFF;
    // A rigid disk block in the first 16 blocks describes partitions; else the file system starts at 0.
    uint64_t rdb = 0;
    while (rdb < 16 && !at(rdb * blockSize, "RDSK")) ++rdb;
    if (rdb < 16) {
        std::optional<Block> r = w.bytes(rdb * blockSize, blockSize);
        if (!r) throw AdfError("truncated image: its rigid disk block is cut short");
        uint32_t rdbBlock = Get32(*r, 16);
        if (!IsPowerOfTwoBlock(rdbBlock)) throw AdfError("damaged disk: the rigid disk block gives a block size of " + std::to_string(rdbBlock));
        uint32_t part = Get32(*r, 28);
        std::unordered_set<uint32_t> seen;
        for (unsigned index = 0;; ++index) {
            uint64_t offset = uint64_t(part) * rdbBlock;  // below 2^48
            if (part == 0xFFFFFFFF || part == 0)
                throw AdfError("the image has no partition " + std::to_string(options_.partition));
            if (!seen.insert(part).second) throw AdfError("damaged disk: the partition list loops");
            std::optional<Block> p = w.bytes(offset, 256);
            if (!p || !std::equal(p->begin(), p->begin() + 4, "PART"))
                throw AdfError("damaged disk: partition block " + std::to_string(part) + " is missing");
            if (index == options_.partition) {
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
                if (!first || *first >= imageBytes_ || sizeBlock > imageBytes_ - *first)
                    throw AdfError(named + " lies outside the image: it starts at cylinder " + std::to_string(low) +
                                   ", past the image's " + std::to_string(imageBytes_) + " bytes");
                if (!count || *count > 0xFFFFFFFFu) throw AdfError(named + " is too large");
                size_ = uint32_t(sizeBlock);
                first_ = *first;
                count_ = uint32_t(*count);
                dosFlags = uint8_t(Get32(env, 64));
                break;
            }
            part = Get32(*p, 16);
        }
    } else {
        if (imageBytes_ < floppyBytesDD)
            throw AdfError("truncated image: " + std::to_string(imageBytes_) + " bytes, where a floppy holds " +
                           std::to_string(floppyBytesDD));
        count_ = uint32_t(std::min<uint64_t>(imageBytes_ / blockSize, 0xFFFFFFFFu));
    }
    if (std::optional<Block> boot = w.bytes(first_, 4); boot && std::equal(boot->begin(), boot->begin() + 3, "DOS"))
        dosFlags = (*boot)[3];
    if (dosFlags > 7) throw AdfError("not an AmigaDOS disk: its boot block does not start with \"DOS\"");
    flags_ = dosFlags;
    if (count_ < 3) throw AdfError("damaged disk: a file system of " + std::to_string(count_) + " blocks");

    // The root is in the middle; the boot block's pointer is often wrong, so it comes after.
    std::vector<uint32_t> candidates{count_ / 2, (count_ + 1) / 2};
    if (std::optional<Block> boot = w.bytes(first_, 12)) candidates.push_back(Get32(*boot, 8));
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
    return AdfImage(std::make_unique<FileSource>(fd, uint64_t(std::max<off_t>(size, 0)), image.string()), options);
}

std::string AdfImage::label() const
{
    Walker w{*this};
    return w.name(w.header(root_, [] { return std::string("root"); }));
}
std::string AdfImage::dosType() const { return "DOS\\" + std::to_string(flags_); }
bool AdfImage::fastFileSystem() const { return flags_ & flagFast; }
// Directory caches only exist with international names.
bool AdfImage::international() const { return flags_ & (flagInternational | flagDirCache); }
bool AdfImage::directoryCache() const { return flags_ & flagDirCache; }
uint32_t AdfImage::blockCount() const { return count_; }

void AdfImage::walk(const AdfVisitor &visit) const
{
    // One frame per directory on the current path: its entries and how far they are taken. The
    // path is one string, cut back on the way up, so memory follows the longest path alone.
    struct Frame {
        uint32_t directory;
        std::vector<uint32_t> entries;
        size_t next = 0;
        size_t parentLength = 0;
    };
    Walker w{*this};
    std::string path;
    std::unordered_set<uint32_t> open{root_}, done;
    std::vector<Frame> stack;
    stack.push_back({root_, w.entries(root_, path)});
    AdfEntry entry;
    while (!stack.empty()) {
        if (stack.back().next == stack.back().entries.size()) {
            open.erase(stack.back().directory);
            path.resize(stack.back().parentLength);
            stack.pop_back();
            continue;
        }
        if (stack.size() > options_.depth)
            throw AdfError("directories nest deeper than " + std::to_string(options_.depth) + " levels at \"" + path + "\"");
        uint32_t n = stack.back().entries[stack.back().next++];
        Block e = w.header(n, [&] { return "an entry of " + Shown(path); });
        entry.name = w.name(e);
        entry.path.assign(path).append(path.empty() ? "" : "/").append(entry.name);
        if (open.count(n)) throw AdfError("damaged disk: directory \"" + entry.path + "\" contains itself");
        if (!done.insert(n).second)
            throw AdfError("damaged disk: block " + std::to_string(n) + " (\"" + entry.path + "\") is listed twice");
        uint32_t at = DateOffset(size_);
        entry.modified = UnixTime(Get32(e, at), Get32(e, at + 4), Get32(e, at + 8));
        entry.protection = Get32(e, ProtectionOffset(size_));
        entry.comment = Bcpl(e, CommentOffset(size_), maxCommentLength);
        entry.kind = AdfEntry::Kind::File;
        entry.size = 0;
        entry.linkTarget.clear();
        entry.block = n;
        switch (w.secondary(e)) {
        case secDirectory: {
            entry.kind = AdfEntry::Kind::Directory;
            if (!visit(entry)) return;
            size_t parentLength = path.size();
            path = entry.path;
            open.insert(n);
            stack.push_back({n, w.entries(n, path), 0, parentLength});
            continue;
        }
        case secFile:
            entry.size = Get32(e, ByteSizeOffset(size_));
            break;
        case secFileLink:
        case secDirectoryLink: {
            entry.kind = AdfEntry::Kind::HardLink;
            uint32_t real = w.linked(e, entry.path);
            entry.linkTarget = w.pathOf(real);
            Block r = w.header(real, [&] { return "the object of link \"" + entry.path + "\""; });
            if (w.secondary(r) == secFile) entry.size = Get32(r, ByteSizeOffset(size_));
            break;
        }
        case secSoftLink: {
            entry.kind = AdfEntry::Kind::SoftLink;
            auto text = std::span<const uint8_t>(e).subspan(hashTableOffset, ProtectionOffset(size_) - hashTableOffset);
            entry.linkTarget.assign(text.begin(), std::find(text.begin(), text.end(), 0));
            break;
        }
        default:
            throw AdfError("damaged disk: entry \"" + entry.path + "\" has the unknown type " +
                           std::to_string(w.secondary(e)));
        }
        if (!visit(entry)) return;
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

bool AdfImage::exists(std::string_view path) const { return Walker{*this}.resolve(path) != 0; }

std::vector<uint8_t> AdfImage::read(std::string_view path, uint64_t maxBytes) const
{
    Walker w{*this};
    uint32_t n = w.resolve(path);
    std::string shown(path);
    if (n == 0) throw AdfError("no file \"" + shown + "\" on the disk");
    n = w.file(n, shown);
    uint64_t size = w.size(n, shown);
    if (size > maxBytes)
        throw AdfError("\"" + shown + "\" holds " + std::to_string(size) + " bytes, more than the " +
                       std::to_string(maxBytes) + " a file may have here");
    std::vector<uint8_t> out;
    out.reserve(size_t(std::min<uint64_t>(size, uint64_t(1) << 20)));  // the size is only claimed
    w.content(n, shown, [&](std::span<const uint8_t> piece) {
        out.insert(out.end(), piece.begin(), piece.end());
        return true;
    });
    return out;
}

void AdfImage::copy(uint32_t header, const std::string &path, const AdfSink &sink) const
{
    Walker w{*this};
    w.content(w.file(header, path), path, [&](std::span<const uint8_t> piece) {
        sink(piece);
        return true;
    });
}

std::vector<uint8_t> AdfImage::head(uint32_t header, const std::string &path, size_t count) const
{
    Walker w{*this};
    std::vector<uint8_t> out;
    if (count == 0) return out;
    w.content(w.file(header, path), path, [&](std::span<const uint8_t> piece) {
        out.insert(out.end(), piece.begin(), piece.begin() + std::min(piece.size(), count - out.size()));
        return out.size() < count;
    });
    return out;
}

}  // namespace qfhost
