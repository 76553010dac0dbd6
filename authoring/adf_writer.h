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

}  // namespace qfauthor
