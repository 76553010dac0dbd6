// A read-only AmigaDOS file system over an image in memory: OFS and FFS, international mode and
// directory caches (the caches are not needed to read: directories are walked by their hash
// tables), floppies, bare hard-disk file systems and rigid-disk-block images.
#include <algorithm>
#include <fstream>
#include <iterator>
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

std::string Bcpl(std::span<const uint8_t> block, uint32_t at, uint32_t max)
{
    uint32_t length = std::min<uint32_t>(block[at], max);
    return std::string(reinterpret_cast<const char *>(&block[at + 1]), length);
}

// A directory as messages name it.
std::string Shown(const std::string &directory) { return directory.empty() ? "the root" : "\"" + directory + "\""; }

bool IsPowerOfTwoBlock(uint32_t size) { return size >= 256 && size <= 65536 && (size & (size - 1)) == 0; }

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

    std::span<const uint8_t> block(uint32_t n, const std::string &what) const
    {
        if (n == 0 || n >= image.count_)
            throw AdfError("damaged disk: " + what + " points to block " + std::to_string(n) + ", outside the " +
                           std::to_string(image.count_) + " blocks of the file system");
        uint64_t at = image.first_ + uint64_t(n) * image.size_;
        if (at + image.size_ > image.bytes_.size())
            throw AdfError("truncated image: block " + std::to_string(n) + " (" + what + ") lies past its end");
        return {image.bytes_.data() + at, image.size_};
    }

    void checksum(std::span<const uint8_t> b, uint32_t n, const std::string &what) const
    {
        if (BlockChecksum(b) == Get32(b, checksumOffset)) return;
        std::string line = "block " + std::to_string(n) + " (" + what + ") has a checksum that does not match";
        if (image.options_.strictChecksums) throw AdfError("damaged disk: " + line);
        if (std::find(image.warned_.begin(), image.warned_.end(), n) != image.warned_.end()) return;
        image.warned_.push_back(n);
        image.warnings_.push_back(line);
    }

    // A header block (root, directory, file or link), checked.
    std::span<const uint8_t> header(uint32_t n, const std::string &what) const
    {
        auto b = block(n, what);
        int32_t type = int32_t(Get32(b, 0));
        uint32_t key = Get32(b, 4);  // the root's own key is 0
        if (type != typeHeader || (key != n && !(n == image.root_ && key == 0)))
            throw AdfError("damaged disk: block " + std::to_string(n) + " (" + what + ") is not a header block");
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
        auto d = header(directory, "directory " + Shown(path));
        std::vector<uint32_t> found;
        std::unordered_set<uint32_t> seen;
        for (uint32_t slot = 0; slot < HashTableSize(image.size_); ++slot) {
            for (uint32_t n = Get32(d, hashTableOffset + 4 * slot); n != 0;) {
                if (!seen.insert(n).second)
                    throw AdfError("damaged disk: a hash chain in " + Shown(path) + " loops at block " +
                                   std::to_string(n));
                auto e = header(n, "an entry of " + Shown(path));
                found.push_back(n);
                n = Get32(e, HashChainOffset(image.size_));
            }
        }
        return found;
    }

    // The header block of the entry with this name in a directory, or 0.
    uint32_t lookup(uint32_t directory, std::string_view wanted, const std::string &path) const
    {
        auto d = header(directory, "directory " + Shown(path));
        bool intl = image.international();
        std::unordered_set<uint32_t> seen;
        for (uint32_t n = Get32(d, hashTableOffset + 4 * NameHash(wanted, intl, image.size_)); n != 0;) {
            if (!seen.insert(n).second)
                throw AdfError("damaged disk: a hash chain in " + Shown(path) + " loops at block " +
                               std::to_string(n));
            auto e = header(n, "an entry of " + Shown(path));
            if (SameName(name(e), wanted, intl)) return n;
            n = Get32(e, HashChainOffset(image.size_));
        }
        return 0;
    }

    // A hard link's object: a link may not point at another link.
    uint32_t linked(std::span<const uint8_t> link, const std::string &path) const
    {
        uint32_t real = Get32(link, RealEntryOffset(image.size_));
        auto r = header(real, "the object of link \"" + path + "\"");
        int32_t s = secondary(r);
        if (s == secFileLink || s == secDirectoryLink || s == secSoftLink)
            throw AdfError("damaged disk: link \"" + path + "\" points to another link");
        return real;
    }

    // Path of a header block from the root, by its parent pointers.
    std::string pathOf(uint32_t n) const
    {
        std::string path;
        std::unordered_set<uint32_t> seen;
        while (n != image.root_) {
            if (!seen.insert(n).second) throw AdfError("damaged disk: the parents of block " + std::to_string(n) + " loop");
            auto b = header(n, "a linked object");
            path = path.empty() ? name(b) : name(b) + "/" + path;
            n = Get32(b, ParentOffset(image.size_));
        }
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
            if (!isDirectory(header(at, "directory " + Shown(walked)))) return 0;
            uint32_t next = lookup(at, part, walked);
            if (next == 0) return 0;
            walked += (walked.empty() ? "" : "/") + std::string(part);
            auto e = header(next, "\"" + walked + "\"");
            if (secondary(e) == secFileLink || secondary(e) == secDirectoryLink) next = linked(e, walked);
            at = next;
        }
        return at;
    }

    // The data block numbers of a file, from its header's table and then its extension blocks.
    std::vector<uint32_t> dataBlocks(uint32_t file, uint64_t count, const std::string &path) const
    {
        std::vector<uint32_t> blocks;
        std::unordered_set<uint32_t> extensions;
        uint32_t table = HashTableSize(image.size_);
        auto b = header(file, "file \"" + path + "\"");
        for (;;) {
            uint32_t high = std::min(Get32(b, 8), table);
            for (uint32_t i = 0; i < high && blocks.size() < count; ++i)
                blocks.push_back(Get32(b, hashTableOffset + 4 * (table - 1 - i)));
            if (blocks.size() >= count) return blocks;
            uint32_t next = Get32(b, ExtensionOffset(image.size_));
            if (next == 0)
                throw AdfError("damaged disk: file \"" + path + "\" lists " + std::to_string(blocks.size()) +
                               " data blocks of the " + std::to_string(count) + " its size needs");
            if (!extensions.insert(next).second)
                throw AdfError("damaged disk: the extension blocks of \"" + path + "\" loop at block " +
                               std::to_string(next));
            std::string what = "an extension block of \"" + path + "\"";
            b = block(next, what);
            if (int32_t(Get32(b, 0)) != typeList || Get32(b, 4) != next)
                throw AdfError("damaged disk: block " + std::to_string(next) + " (" + what + ") is not an extension block");
            checksum(b, next, what);
        }
    }

    std::vector<uint8_t> content(uint32_t file, const std::string &path) const
    {
        auto h = header(file, "file \"" + path + "\"");
        uint64_t size = Get32(h, ByteSizeOffset(image.size_));
        bool ofs = !image.fastFileSystem();
        uint32_t payload = ofs ? image.size_ - ofsDataOffset : image.size_;
        uint64_t count = (size + payload - 1) / payload;
        if (count > image.count_)
            throw AdfError("damaged disk: file \"" + path + "\" claims " + std::to_string(size) +
                           " bytes, more than the disk holds");
        std::vector<uint8_t> out;
        out.reserve(size);
        uint32_t sequence = 1;
        for (uint32_t n : dataBlocks(file, count, path)) {
            std::string what = "data of \"" + path + "\"";
            auto d = block(n, what);
            size_t take = std::min<uint64_t>(payload, size - out.size());
            if (ofs) {
                if (int32_t(Get32(d, 0)) != typeData || Get32(d, 4) != file || Get32(d, 8) != sequence)
                    throw AdfError("damaged disk: block " + std::to_string(n) + " (" + what +
                                   ") is not the data block expected");
                checksum(d, n, what);
                if (Get32(d, 12) < take)
                    throw AdfError("damaged disk: data block " + std::to_string(n) + " of \"" + path + "\" holds " +
                                   std::to_string(Get32(d, 12)) + " bytes, fewer than its file needs");
                out.insert(out.end(), d.begin() + ofsDataOffset, d.begin() + ofsDataOffset + take);
            } else {
                out.insert(out.end(), d.begin(), d.begin() + take);
            }
            ++sequence;
        }
        return out;
    }

    void list(uint32_t directory, const std::string &path, std::unordered_set<uint32_t> &open,
              std::unordered_set<uint32_t> &done, std::vector<AdfEntry> &out) const
    {
        open.insert(directory);
        for (uint32_t n : entries(directory, path)) {
            auto e = header(n, "an entry of " + Shown(path));
            AdfEntry entry;
            entry.name = name(e);
            entry.path = path.empty() ? entry.name : path + "/" + entry.name;
            if (open.count(n)) throw AdfError("damaged disk: directory \"" + entry.path + "\" contains itself");
            if (!done.insert(n).second)
                throw AdfError("damaged disk: block " + std::to_string(n) + " (\"" + entry.path +
                               "\") is listed twice");
            uint32_t at = DateOffset(image.size_);
            entry.modified = UnixTime(Get32(e, at), Get32(e, at + 4), Get32(e, at + 8));
            entry.protection = Get32(e, ProtectionOffset(image.size_));
            entry.comment = Bcpl(e, CommentOffset(image.size_), maxCommentLength);
            switch (secondary(e)) {
            case secDirectory:
                entry.kind = AdfEntry::Kind::Directory;
                out.push_back(entry);
                list(n, entry.path, open, done, out);
                continue;
            case secFile:
                entry.size = Get32(e, ByteSizeOffset(image.size_));
                break;
            case secFileLink:
            case secDirectoryLink: {
                entry.kind = AdfEntry::Kind::HardLink;
                uint32_t real = linked(e, entry.path);
                entry.linkTarget = pathOf(real);
                auto r = header(real, "the object of link \"" + entry.path + "\"");
                if (secondary(r) == secFile) entry.size = Get32(r, ByteSizeOffset(image.size_));
                break;
            }
            case secSoftLink: {
                entry.kind = AdfEntry::Kind::SoftLink;
                auto text = e.subspan(hashTableOffset, ProtectionOffset(image.size_) - hashTableOffset);
                entry.linkTarget.assign(text.begin(), std::find(text.begin(), text.end(), 0));
                break;
            }
            default:
                throw AdfError("damaged disk: entry \"" + entry.path + "\" has the unknown type " +
                               std::to_string(secondary(e)));
            }
            out.push_back(entry);
        }
        open.erase(directory);
    }
};

AdfImage::AdfImage(std::vector<uint8_t> bytes, AdfReadOptions options) : bytes_(std::move(bytes)), options_(options)
{
    auto at = [&](uint64_t offset, std::string_view id) {
        return offset + id.size() <= bytes_.size() &&
               std::equal(id.begin(), id.end(), reinterpret_cast<const char *>(bytes_.data() + offset));
    };
    uint8_t dosFlags = 0xFF;
    // A rigid disk block in the first 16 blocks describes partitions; else the file system starts at 0.
    uint64_t rdb = 0;
    while (rdb < 16 && !at(rdb * blockSize, "RDSK")) ++rdb;
    if (rdb < 16) {
        std::span<const uint8_t> all(bytes_);
        if ((rdb + 1) * blockSize > bytes_.size()) throw AdfError("truncated image: its rigid disk block is cut short");
        uint32_t rdbBlock = Get32(all, rdb * blockSize + 16);
        if (!IsPowerOfTwoBlock(rdbBlock)) throw AdfError("damaged disk: the rigid disk block gives a block size of " + std::to_string(rdbBlock));
        uint32_t part = Get32(all, rdb * blockSize + 28);
        std::unordered_set<uint32_t> seen;
        for (unsigned index = 0;; ++index) {
            uint64_t offset = uint64_t(part) * rdbBlock;
            if (part == 0xFFFFFFFF || part == 0)
                throw AdfError("the image has no partition " + std::to_string(options_.partition));
            if (!seen.insert(part).second) throw AdfError("damaged disk: the partition list loops");
            if (offset + 256 > bytes_.size() || !at(offset, "PART"))
                throw AdfError("damaged disk: partition block " + std::to_string(part) + " is missing");
            if (index == options_.partition) {
                auto env = all.subspan(offset + 128, 128);
                uint32_t sizeBlock = Get32(env, 4) * 4, surfaces = Get32(env, 12), perTrack = Get32(env, 20);
                uint32_t low = Get32(env, 36), high = Get32(env, 40);
                if (!IsPowerOfTwoBlock(sizeBlock) || surfaces == 0 || perTrack == 0 || high < low)
                    throw AdfError("damaged disk: partition " + std::to_string(index) + " has an impossible geometry");
                uint64_t perCylinder = uint64_t(surfaces) * perTrack;
                size_ = sizeBlock;
                first_ = low * perCylinder * sizeBlock;
                uint64_t count = (uint64_t(high) - low + 1) * perCylinder;
                if (count > 0xFFFFFFFFu) throw AdfError("partition " + std::to_string(index) + " is too large");
                count_ = uint32_t(count);
                dosFlags = uint8_t(Get32(env, 64));
                break;
            }
            part = Get32(all, offset + 16);
        }
    } else {
        if (bytes_.size() < floppyBytesDD)
            throw AdfError("truncated image: " + std::to_string(bytes_.size()) + " bytes, where a floppy holds " +
                           std::to_string(floppyBytesDD));
        count_ = uint32_t(std::min<uint64_t>(bytes_.size() / blockSize, 0xFFFFFFFFu));
    }
    if (first_ + 4 <= bytes_.size() && at(first_, "DOS")) dosFlags = bytes_[first_ + 3];
    if (dosFlags > 7) throw AdfError("not an AmigaDOS disk: its boot block does not start with \"DOS\"");
    flags_ = dosFlags;
    if (count_ < 3) throw AdfError("damaged disk: a file system of " + std::to_string(count_) + " blocks");

    // The root is in the middle; the boot block's pointer is often wrong, so it comes after.
    Walker w{*this};
    std::vector<uint32_t> candidates{count_ / 2, (count_ + 1) / 2};
    if (first_ + 12 <= bytes_.size()) candidates.push_back(Get32(std::span<const uint8_t>(bytes_), first_ + 8));
    candidates.insert(candidates.end(), {floppyBlocksDD / 2, floppyBlocksHD / 2});
    for (uint32_t n : candidates) {
        if (n == 0 || n >= count_ || first_ + (uint64_t(n) + 1) * size_ > bytes_.size()) continue;
        auto b = std::span<const uint8_t>(bytes_).subspan(first_ + uint64_t(n) * size_, size_);
        if (int32_t(Get32(b, 0)) == typeHeader && w.secondary(b) == secRoot && Get32(b, 12) == HashTableSize(size_)) {
            root_ = n;
            w.checksum(b, n, "root");
            return;
        }
    }
    if (first_ + uint64_t(count_) * size_ > bytes_.size())
        throw AdfError("truncated image: " + std::to_string(bytes_.size()) + " bytes, too short for its root block");
    throw AdfError("damaged disk: no root block where AmigaDOS keeps it (block " + std::to_string(count_ / 2) + ")");
}

AdfImage AdfImage::Load(const fs::path &image, AdfReadOptions options)
{
    std::ifstream in(image, std::ios::binary);
    if (!in) throw AdfError("cannot read disk image \"" + image.string() + "\"");
    return AdfImage(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), options);
}

std::string AdfImage::label() const { return Walker{*this}.name(Walker{*this}.header(root_, "root")); }
std::string AdfImage::dosType() const { return "DOS\\" + std::to_string(flags_); }
bool AdfImage::fastFileSystem() const { return flags_ & flagFast; }
// Directory caches only exist with international names.
bool AdfImage::international() const { return flags_ & (flagInternational | flagDirCache); }
bool AdfImage::directoryCache() const { return flags_ & flagDirCache; }
uint32_t AdfImage::blockCount() const { return count_; }

std::vector<AdfEntry> AdfImage::list() const
{
    std::vector<AdfEntry> out;
    std::unordered_set<uint32_t> open, done;
    Walker{*this}.list(root_, "", open, done, out);
    return out;
}

bool AdfImage::exists(std::string_view path) const { return Walker{*this}.resolve(path) != 0; }

std::vector<uint8_t> AdfImage::read(std::string_view path) const
{
    Walker w{*this};
    uint32_t n = w.resolve(path);
    std::string shown(path);
    if (n == 0) throw AdfError("no file \"" + shown + "\" on the disk");
    auto h = w.header(n, "\"" + shown + "\"");
    if (w.secondary(h) == secSoftLink) throw AdfError("\"" + shown + "\" is a soft link, which is not followed");
    if (w.secondary(h) != secFile) throw AdfError("\"" + shown + "\" is a directory");
    return w.content(n, shown);
}

}  // namespace qfhost
