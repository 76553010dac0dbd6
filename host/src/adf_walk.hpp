// Inside the ADF reader: one partition's blocks read with the checks every step needs, and the
// steps built on them: a directory's hash chains, links and paths, a file's data, and the limits
// of a walk. Every number an image holds may be hostile, so block numbers are checked against the
// partition and the image, sums against overflow, and every chain against loops.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "qfhost/adf.hpp"

namespace qfhost::adf {

using Block = std::vector<uint8_t>;
// What a block is, for a message: built only when one is needed, as paths may be long.
using What = std::function<std::string()>;

std::string Bcpl(std::span<const uint8_t> block, uint32_t at, uint32_t max);
// A directory as messages name it.
std::string Shown(const std::string &directory);
// a * b + c, or nothing when it passes 2^64.
inline std::optional<uint64_t> MulAdd(uint64_t a, uint64_t b, uint64_t c = 0)
{
    uint64_t product, sum;
    if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) return std::nullopt;
    return sum;
}
// The bytes [at, at + count) when an image of imageBytes holds them all, else nothing.
std::optional<Block> ImageBytes(const AdfImage::Source &source, uint64_t imageBytes, uint64_t at, uint64_t count);

// Where one file system lies in its image.
struct Partition {
    const AdfImage::Source &source;
    uint64_t imageBytes = 0;
    uint64_t first = 0;  // byte offset of the partition
    uint32_t count = 0;  // its blocks
    uint32_t size = amigados::blockSize;
    uint32_t root = 0;  // 0 while it is looked for
    bool international = false;
    bool fast = false;
};

// The blocks of one partition, each checked before it is used. Checksums that do not match are
// refused or, once per block, kept as warnings in the image's lists.
class Blocks {
public:
    Blocks(const Partition &partition, const AdfReadOptions &options, std::vector<std::string> &warnings,
           std::vector<uint32_t> &warned)
        : p_(partition), options_(options), warnings_(warnings), warned_(warned)
    {}

    const Partition &partition() const { return p_; }
    const AdfReadOptions &options() const { return options_; }
    uint32_t size() const { return p_.size; }

    // Where block n starts, when the image holds all of it.
    std::optional<uint64_t> offset(uint32_t n) const;
    // Block n; outside the file system or past the image's end is an AdfError.
    Block block(uint32_t n, const What &what) const;
    void checksum(std::span<const uint8_t> b, uint32_t n, const What &what) const;
    // A header block (root, directory, file or link), checked.
    Block header(uint32_t n, const What &what) const;
    // Whether block n's bytes b are a header block's (its type, and its own number as its key).
    bool isHeader(std::span<const uint8_t> b, uint32_t n) const;

    int32_t secondary(std::span<const uint8_t> b) const;
    std::string name(std::span<const uint8_t> b) const;
    bool isDirectory(std::span<const uint8_t> b) const;

private:
    Partition p_;
    const AdfReadOptions &options_;
    std::vector<std::string> &warnings_;
    std::vector<uint32_t> &warned_;
};

// Directories, links and paths (adf_walk.cpp).

// The entries of a directory block in hash-table order, each chain followed.
std::vector<uint32_t> Entries(const Blocks &blocks, uint32_t directory, const std::string &path);
// The header block of the entry with this name in a directory, or 0.
uint32_t Lookup(const Blocks &blocks, uint32_t directory, std::string_view wanted, const std::string &path);
// A hard link's object: a link may not point at another link.
uint32_t Linked(const Blocks &blocks, std::span<const uint8_t> link, const std::string &path);
// Path of a header block from the root, by its parent pointers; no deeper than a walk goes.
std::string PathOf(const Blocks &blocks, uint32_t n);
// The header block at a '/'-separated path, hard links followed; 0 when a name is missing.
uint32_t Resolve(const Blocks &blocks, std::string_view path);
// The file behind a walked or resolved header block: a hard link's object, never a directory or soft link.
uint32_t FileBehind(const Blocks &blocks, uint32_t n, const std::string &path);

// An entry from its header block e (block n), all but its name and path, which the walk sets.
void FillEntry(const Blocks &blocks, std::span<const uint8_t> e, uint32_t n, AdfEntry &entry);

// A walk's place and limits: one frame per directory on the current path, its entries and how
// far they are taken. The path is one string, cut back on the way up, so memory follows the
// longest path alone; deeper than the options' depth, a directory inside itself or a block
// listed twice is an AdfError.
class TreeWalk {
public:
    explicit TreeWalk(const Blocks &blocks);
    // The next entry's header block, or nothing at the end.
    std::optional<uint32_t> next();
    // The directory the entry next() gave lies in.
    const std::string &path() const { return path_; }
    // Refuses an entry at entryPath that is a directory on the path or a block already listed.
    void admit(uint32_t n, const std::string &entryPath);
    // Goes into directory n at entryPath; next() then gives its entries.
    void enter(uint32_t n, const std::string &entryPath);

private:
    struct Frame {
        uint32_t directory;
        std::vector<uint32_t> entries;
        size_t next = 0;
        size_t parentLength = 0;
    };
    const Blocks &blocks_;
    std::string path_;
    std::unordered_set<uint32_t> open_, done_;
    std::vector<Frame> stack_;
};

// A file's data (adf_data.cpp).

uint64_t FileSize(const Blocks &blocks, uint32_t file, const std::string &path);
// A file's bytes a data block at a time, to sink until it returns false.
void Content(const Blocks &blocks, uint32_t file, const std::string &path,
             const std::function<bool(std::span<const uint8_t>)> &sink);
// All of a file's size to sink, each data block that cannot be read or trusted as zeros of its length.
AdfSalvage Salvage(const Blocks &blocks, uint32_t file, const std::string &path,
                   const std::function<void(std::span<const uint8_t>)> &sink);

}  // namespace qfhost::adf
