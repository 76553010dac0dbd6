// Writes AmigaDOS floppy images (ADF): OFS or FFS, with or without international names and
// directory caches, 880 KB or 1760 KB, nested directories and files of any size that fits.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qfauthor {

using Bytes = std::vector<uint8_t>;

struct AdfOptions {
    bool fastFileSystem = false;
    bool international = false;
    bool directoryCache = false;  // implies international names
    bool highDensity = false;
    std::string label = "Empty";
    // Every date on the disk: days since 1978-01-01, minutes, ticks (1/50 s).
    uint32_t days = 17532, minutes = 720, ticks = 0;
};

class AdfWriter {
public:
    explicit AdfWriter(AdfOptions options = {});
    ~AdfWriter();

    // Paths are '/'-separated from the root, names Latin-1, at most 30 bytes each; missing parent
    // directories are made. Throws std::invalid_argument on a bad name or a path used twice.
    AdfWriter &directory(const std::string &path);
    AdfWriter &file(const std::string &path, Bytes bytes);

    // The whole image; throws std::runtime_error when the files do not fit on the disk.
    Bytes image() const;
    void save(const std::filesystem::path &path) const;

    struct Node;  // a directory or a file of the tree being built

private:
    Node &at(const std::string &path, bool makeDirectories);
    AdfOptions options_;
    std::unique_ptr<Node> root_;
};

// A hard-disk image around a file system the writer made: a rigid disk block, one partition "DH0"
// of this geometry (block size in longs, heads, sectors per track, first and last cylinder), and
// the file system's bytes after the first 44 blocks, where the default partition starts. Any
// numbers are written as given, so hostile geometry can be made too.
struct HardDiskGeometry {
    uint32_t blockLongs = 128, heads = 2, sectors = 11, lowCylinder = 2, highCylinder = 81;
};
Bytes HardDiskImage(const Bytes &fileSystem, const HardDiskGeometry &geometry = {});

// A hard-disk image of several partitions, listed in this order from block 1 on, each file
// system's bytes placed where its geometry starts (the image runs to the last of them).
struct HardDiskPartition {
    std::string drive = "DH0";
    Bytes fileSystem;
    HardDiskGeometry geometry;
    uint32_t dosType = 0;  // 0: "DOS" and the flags in the file system's boot block
};
Bytes HardDiskImage(const std::vector<HardDiskPartition> &partitions);

// A bare file system (no rigid disk block) labelled "Deep" whose root holds one chain of depth
// directories, each named name and the only entry of the one before: deeper than any floppy holds.
Bytes DeepDirectoryImage(uint32_t depth, const std::string &name);

}  // namespace qfauthor
