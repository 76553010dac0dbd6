// AmigaDOS disk images (ADF floppies, hard-disk images with or without a rigid disk block), read-only.
// The block layout facts live here once, for the reader and for the image writer in qfauthor.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qfhost {

namespace amigados {

constexpr uint32_t blockSize = 512;
constexpr uint32_t floppyBlocksDD = 1760;  // 880 KB
constexpr uint32_t floppyBlocksHD = 3520;  // 1760 KB

// Primary block types.
constexpr int32_t typeHeader = 2;
constexpr int32_t typeData = 8;   // OFS data block
constexpr int32_t typeList = 16;  // file extension block
constexpr int32_t typeDirCache = 33;

// Secondary types, in a header block's last long.
constexpr int32_t secRoot = 1;
constexpr int32_t secDirectory = 2;
constexpr int32_t secSoftLink = 3;
constexpr int32_t secDirectoryLink = 4;
constexpr int32_t secFile = -3;
constexpr int32_t secFileLink = -4;

// Byte offsets inside a header block, counted from the block's end where the layout is.
constexpr uint32_t hashTableOffset = 24;
inline uint32_t HashTableSize(uint32_t size) { return size / 4 - 56; }
inline uint32_t ProtectionOffset(uint32_t size) { return size - 192; }
inline uint32_t ByteSizeOffset(uint32_t size) { return size - 188; }
inline uint32_t CommentOffset(uint32_t size) { return size - 184; }
inline uint32_t DateOffset(uint32_t size) { return size - 92; }  // days, minutes, ticks
inline uint32_t NameOffset(uint32_t size) { return size - 80; }
inline uint32_t RealEntryOffset(uint32_t size) { return size - 44; }
inline uint32_t NextLinkOffset(uint32_t size) { return size - 40; }
inline uint32_t HashChainOffset(uint32_t size) { return size - 16; }
inline uint32_t ParentOffset(uint32_t size) { return size - 12; }
inline uint32_t ExtensionOffset(uint32_t size) { return size - 8; }
inline uint32_t SecondaryTypeOffset(uint32_t size) { return size - 4; }
// Root block only.
inline uint32_t BitmapFlagOffset(uint32_t size) { return size - 200; }
inline uint32_t BitmapPagesOffset(uint32_t size) { return size - 196; }  // 25 pointers
constexpr uint32_t checksumOffset = 20;
constexpr uint32_t ofsDataOffset = 24;  // OFS data blocks carry a 24-byte header
constexpr uint32_t maxNameLength = 30;
constexpr uint32_t maxCommentLength = 79;

// Dos type flags, the last byte of "DOS\n".
constexpr uint8_t flagFast = 1;
constexpr uint8_t flagInternational = 2;
constexpr uint8_t flagDirCache = 4;

inline uint32_t Get32(std::span<const uint8_t> b, size_t at)
{
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
inline void Put32(std::span<uint8_t> b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v >> 24), b[at + 1] = uint8_t(v >> 16), b[at + 2] = uint8_t(v >> 8), b[at + 3] = uint8_t(v);
}

// AmigaDOS upper case: ASCII letters, and in international mode the Latin-1 letters à..þ (not ÷).
uint8_t UpperCase(uint8_t c, bool international);
bool SameName(std::string_view a, std::string_view b, bool international);
// The hash-table slot of a name in a directory block of the given size.
uint32_t NameHash(std::string_view name, bool international, uint32_t size = blockSize);
// The value for the checksum long at checksumOffset that makes all longs of the block sum to 0.
uint32_t BlockChecksum(std::span<const uint8_t> block, uint32_t at = checksumOffset);
// The boot block checksum (1024 bytes, long 1, a sum with the carries wrapped in, inverted).
uint32_t BootChecksum(std::span<const uint8_t> boot);
// Seconds since 1970 from an AmigaDOS date (days since 1978-01-01, minutes, ticks of 1/50 s).
std::time_t UnixTime(uint32_t days, uint32_t minutes, uint32_t ticks);

}  // namespace amigados

// A damaged or foreign image: the message is one line naming what is wrong.
class AdfError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct AdfEntry {
    enum class Kind {
        File,
        Directory,
        HardLink,
        SoftLink
    };
    std::string path;  // from the root, '/'-separated, names as stored (Latin-1)
    std::string name;  // the last one alone: it may hold a '/' that the path cannot show
    Kind kind = Kind::File;
    uint64_t size = 0;  // files, and hard links to files
    std::time_t modified = 0;
    uint32_t protection = 0;
    std::string comment;
    std::string linkTarget;  // a soft link's text; a hard link's object, as a path from the root
    uint32_t block = 0;      // its header block: the key to read a walked file by
    std::string damage;      // why the entry cannot be read (a damaged block): the walk goes on past it
};

struct AdfReadOptions {
    // A block whose checksum does not match is refused instead of read with a warning.
    bool strictChecksums = false;
    // A hard-disk image with several partitions: which one, by its place in the list (from 0);
    // unset (and no name), the first one this reader reads.
    std::optional<unsigned> partition = std::nullopt;
    // Or by its drive name or its file system's label, case ignored; a drive name wins over a label.
    std::string partitionName = {};
    // Directories inside directories: deeper is refused (no Amiga path gets near it).
    unsigned depth = 1000;
};

// One partition of a rigid-disk image, as its partition block and its file system give it.
struct AdfPartition {
    unsigned index = 0;      // in the partition list, from 0
    std::string drive;       // the drive name, e.g. "DH0"
    std::string dosType;     // "DOS\3", "PFS\1", "SFS\0": the file system's four-character type
    std::string fileSystem;  // "FFS, international names", "PFS3", "SFS", "unknown"
    std::string label;       // the file system's volume name, where it can be read
    uint64_t bytes = 0;
    std::string problem;  // why it cannot be read (a foreign file system, damage): refused when used
};

// What salvaging a damaged file met: its data blocks, how many of them could not be read, and the
// byte ranges [from, to) written as zeros in their place.
struct AdfSalvage {
    uint64_t blocks = 0;
    uint64_t unreadable = 0;
    std::vector<std::pair<uint64_t, uint64_t>> zeros;
    // Why the header's block list ends early (a bad extension block), even where the OFS data
    // blocks' own chain led past it and nothing was lost.
    std::string listDamage;
};

// Called for each entry of a walk; false ends the walk. The entry is only valid during the call.
using AdfVisitor = std::function<bool(const AdfEntry &)>;
using AdfSink = std::function<void(std::span<const uint8_t>)>;

// One AmigaDOS file system from an image in memory or in a file, read a block at a time when
// needed. Every block number and every offset is checked against the partition and the image and
// every chain against loops, so a hostile image ends in an AdfError, never in a hang, a read
// outside the image or memory beyond the longest path.
class AdfImage {
public:
    // Where the blocks come from.
    class Source {
    public:
        virtual ~Source() = default;
        virtual uint64_t size() const = 0;
        // Fills out from byte at; at + out.size() <= size().
        virtual void read(uint64_t at, std::span<uint8_t> out) const = 0;
    };

    explicit AdfImage(std::vector<uint8_t> bytes, AdfReadOptions options = {});
    explicit AdfImage(std::unique_ptr<const Source> source, AdfReadOptions options = {});
    // Opens the file and reads only the blocks asked for, when asked.
    // A DMS archive is decoded into memory first; its refusals are DmsErrors naming the file.
    static AdfImage Load(const std::filesystem::path &image, AdfReadOptions options = {});

    std::string label() const;       // the volume name in the root block
    std::string dosType() const;     // e.g. "DOS\3"
    std::string drive() const;       // the partition's drive name on a rigid-disk image, else ""
    std::string fileSystem() const;  // e.g. "FFS, international names"
    // Every partition of a rigid-disk image in list order, labels read (none for a floppy or a bare
    // file system). A list that loops, a missing partition block or a list longer than 128 ends it
    // with a warning; a partition lying outside the image or over one before it carries its problem.
    const std::vector<AdfPartition> &partitions() const;
    // Another partition of the same image by drive name or label (case ignored, a drive name
    // first); nullopt when none is so named. Throws AdfError when the one named cannot be read.
    std::optional<AdfImage> partition(const std::string &name) const;
    bool fastFileSystem() const;
    bool international() const;
    bool directoryCache() const;
    uint32_t blockCount() const;  // of the file system's partition
    // Whether the root's bitmap flag says the bitmap is valid (AmigaDOS validated the disk).
    bool bitmapValid() const;

    // Every file, directory and link, parents before children, each directory in hash-table order,
    // one at a time; deeper than the options' depth is an AdfError naming the path so far. An entry
    // whose block is no header block or of no known type comes with its damage, and the walk goes on
    // (its hash chain ends there).
    void walk(const AdfVisitor &visit) const;
    // The whole walk at once.
    std::vector<AdfEntry> list() const;
    // The bytes of a file named by a '/'-separated path; names compare as AmigaDOS compares them.
    // Hard links are followed; a soft link, a directory or a file larger than maxBytes is an AdfError.
    std::vector<uint8_t> read(std::string_view path, uint64_t maxBytes = UINT64_MAX) const;
    // A walked file by its header block (path only names it in messages), hard links followed:
    // all of it, a data block at a time, or its first count bytes from its first data blocks.
    void copy(uint32_t header, const std::string &path, const AdfSink &sink) const;
    std::vector<uint8_t> head(uint32_t header, const std::string &path, size_t count) const;
    // All of a walked file's size, each data block that cannot be read as zeros: never more bytes
    // than its header claims, and a claim beyond the partition's blocks is an AdfError, as is an
    // unreadable header block.
    AdfSalvage salvage(uint32_t header, const std::string &path, const AdfSink &sink) const;
    bool exists(std::string_view path) const;
    // What was forgiven so far (checksums that do not match), one line each.
    const std::vector<std::string> &warnings() const { return warnings_; }

private:
    struct Walker;
    struct Layout;
    AdfImage(std::shared_ptr<const Source> source, AdfReadOptions options, std::shared_ptr<const Layout> layout);
    std::shared_ptr<const Source> source_;
    std::shared_ptr<const Layout> layout_;  // the rigid disk's partitions, shared by every partition opened
    uint64_t imageBytes_ = 0;
    AdfReadOptions options_;
    uint64_t first_ = 0;  // byte offset of the partition
    uint32_t count_ = 0;  // its blocks
    uint32_t size_ = amigados::blockSize;
    uint32_t root_ = 0;
    uint8_t flags_ = 0;
    std::string drive_;
    mutable std::vector<std::string> warnings_;
    mutable std::vector<uint32_t> warned_;  // blocks already in warnings_
};

// True when the bytes start like an AmigaDOS image: a "DOS" boot block or a rigid disk block, or a
// DMS archive (a packed floppy, which Load decodes).
bool LooksLikeAdf(std::span<const uint8_t> head, uint64_t fileSize);

}  // namespace qfhost
