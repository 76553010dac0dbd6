// The image is laid out in two passes: every block is allocated first (headers, extension blocks,
// data, directory caches), so each block can then be written whole with its pointers and checksum.
#include "authoring/adf_writer.h"

#include <functional>
#include <optional>
#include <stdexcept>

#include "qfhost/adf.hpp"
#include "qfutil/output.hpp"

namespace qfauthor {
using namespace qfhost::amigados;

struct AdfWriter::Node {
    std::string name;
    bool isDirectory = true;
    Bytes data;
    std::vector<std::unique_ptr<Node>> children;
    uint32_t block = 0;
    std::vector<uint32_t> dataBlocks, extensionBlocks, cacheBlocks;
};

namespace {

using Node = AdfWriter::Node;
constexpr uint32_t tableSize = blockSize / 4 - 56;

std::vector<std::string> Split(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part.size() > maxNameLength || part.find(':') != std::string::npos)
            throw std::invalid_argument("not an AmigaDOS path: \"" + path + "\"");
        parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// One directory cache record: header, size, protection, owner, date, type, name, comment.
Bytes CacheRecord(const Node &n, const AdfOptions &o)
{
    Bytes r(24, 0);
    Put32(r, 0, n.block);
    Put32(r, 4, n.isDirectory ? 0 : uint32_t(n.data.size()));
    auto put16 = [&](size_t at, uint32_t v) { r[at] = uint8_t(v >> 8), r[at + 1] = uint8_t(v); };
    put16(16, o.days), put16(18, o.minutes), put16(20, o.ticks);
    r[22] = uint8_t(n.isDirectory ? secDirectory : secFile);
    r[23] = uint8_t(n.name.size());
    r.insert(r.end(), n.name.begin(), n.name.end());
    r.push_back(0);  // no comment
    if (r.size() & 1) r.push_back(0);
    return r;
}

class Layout {
public:
    Layout(const AdfOptions &o)
        : o_(o), count_(o.highDensity ? floppyBlocksHD : floppyBlocksDD), image_(count_ * blockSize, 0)
    {
        root_ = count_ / 2;
        bitmap_ = root_ + 1;
        used_.assign(count_, false);
        used_[0] = used_[1] = used_[root_] = used_[bitmap_] = true;
        next_ = bitmap_ + 1;
    }

    Bytes write(Node &root)
    {
        root.block = root_;
        allocate(root);
        writeDirectory(root);
        writeBoot();
        writeBitmap();
        return std::move(image_);
    }

private:
    bool fast() const { return o_.fastFileSystem; }
    bool intl() const { return o_.international || o_.directoryCache; }
    std::span<uint8_t> block(uint32_t n)
    {
        return std::span<uint8_t>(image_).subspan(size_t(n) * blockSize, blockSize);
    }

    // After the root upwards, then from the start: the order the disk fills in.
    uint32_t take()
    {
        for (uint32_t tries = 0; tries < count_; ++tries) {
            uint32_t n = next_;
            next_ = next_ + 1 >= count_ ? 2 : next_ + 1;
            if (!used_[n]) {
                used_[n] = true;
                return n;
            }
        }
        throw std::runtime_error("the files do not fit on a " + std::string(o_.highDensity ? "1760" : "880") +
                                 " KB disk");
    }

    void allocate(Node &d)
    {
        if (o_.directoryCache) {
            size_t records = 0, blocks = 1;
            for (auto &c : d.children) {
                size_t length = CacheRecord(*c, o_).size();
                if (records + length > blockSize - 24) ++blocks, records = 0;
                records += length;
            }
            for (size_t i = 0; i < blocks; ++i) d.cacheBlocks.push_back(take());
        }
        for (auto &c : d.children) {
            c->block = take();
            if (c->isDirectory) {
                allocate(*c);
                continue;
            }
            uint32_t payload = fast() ? blockSize : blockSize - ofsDataOffset;
            size_t count = (c->data.size() + payload - 1) / payload;
            for (size_t i = tableSize; i < count; i += tableSize) c->extensionBlocks.push_back(take());
            for (size_t i = 0; i < count; ++i) c->dataBlocks.push_back(take());
        }
    }

    void seal(uint32_t n)
    {
        auto b = block(n);
        Put32(b, checksumOffset, BlockChecksum(b));
    }

    // What header blocks of files, directories and the root share: type, hash chain, name, date.
    void writeHeader(const Node &n, uint32_t parent, uint32_t chain, int32_t secondary)
    {
        auto b = block(n.block);
        Put32(b, 0, typeHeader);
        Put32(b, 4, n.block == root_ ? 0 : n.block);
        for (uint32_t at : {DateOffset(blockSize), root_ == n.block ? 0x1D8u : 0u, root_ == n.block ? 0x1E4u : 0u}) {
            if (at == 0) continue;
            Put32(b, at, o_.days), Put32(b, at + 4, o_.minutes), Put32(b, at + 8, o_.ticks);
        }
        b[NameOffset(blockSize)] = uint8_t(n.name.size());
        std::copy(n.name.begin(), n.name.end(), b.begin() + NameOffset(blockSize) + 1);
        Put32(b, HashChainOffset(blockSize), chain);
        Put32(b, ParentOffset(blockSize), parent);
        Put32(b, SecondaryTypeOffset(blockSize), uint32_t(secondary));
    }

    void writeDirectory(const Node &d)
    {
        // Each hash chain keeps the children in the order they were added.
        std::vector<uint32_t> heads(tableSize, 0), chainOf(d.children.size(), 0);
        std::vector<int> last(tableSize, -1);
        for (size_t i = 0; i < d.children.size(); ++i) {
            uint32_t slot = NameHash(d.children[i]->name, intl());
            if (last[slot] < 0) heads[slot] = d.children[i]->block;
            else chainOf[last[slot]] = d.children[i]->block;
            last[slot] = int(i);
        }
        for (size_t i = 0; i < d.children.size(); ++i) {
            const Node &c = *d.children[i];
            if (c.isDirectory) {
                writeHeader(c, d.block, chainOf[i], secDirectory);
                writeDirectory(c);
            } else {
                writeHeader(c, d.block, chainOf[i], secFile);
                writeFile(c);
            }
        }
        auto b = block(d.block);
        if (d.block == root_) {
            writeHeader(d, 0, 0, secRoot);
            Put32(b, 12, tableSize);
            Put32(b, BitmapFlagOffset(blockSize), 0xFFFFFFFF);
            Put32(b, BitmapPagesOffset(blockSize), bitmap_);
        }
        for (uint32_t s = 0; s < tableSize; ++s) Put32(b, hashTableOffset + 4 * s, heads[s]);
        if (!d.cacheBlocks.empty()) {
            Put32(b, ExtensionOffset(blockSize), d.cacheBlocks[0]);
            writeCache(d);
        }
        seal(d.block);
    }

    void writeCache(const Node &d)
    {
        size_t index = 0, used = 24, records = 0;
        auto close = [&]() {
            auto b = block(d.cacheBlocks[index]);
            Put32(b, 0, typeDirCache);
            Put32(b, 4, d.cacheBlocks[index]);
            Put32(b, 8, d.block);
            Put32(b, 12, uint32_t(records));
            Put32(b, 16, index + 1 < d.cacheBlocks.size() ? d.cacheBlocks[index + 1] : 0);
            seal(d.cacheBlocks[index]);
        };
        for (auto &c : d.children) {
            Bytes r = CacheRecord(*c, o_);
            if (used + r.size() > blockSize) {
                close();
                ++index, used = 24, records = 0;
            }
            std::copy(r.begin(), r.end(), block(d.cacheBlocks[index]).begin() + used);
            used += r.size(), ++records;
        }
        close();
    }

    void writeFile(const Node &f)
    {
        auto h = block(f.block);
        Put32(h, ProtectionOffset(blockSize), 0);
        Put32(h, ByteSizeOffset(blockSize), uint32_t(f.data.size()));
        if (!f.dataBlocks.empty()) Put32(h, 16, f.dataBlocks[0]);
        // The header and then each extension block list up to 72 data blocks, the first last.
        for (size_t table = 0; table <= f.extensionBlocks.size(); ++table) {
            uint32_t n = table == 0 ? f.block : f.extensionBlocks[table - 1];
            auto b = block(n);
            if (table > 0) {
                Put32(b, 0, typeList);
                Put32(b, 4, n);
                Put32(b, ParentOffset(blockSize), f.block);
                Put32(b, SecondaryTypeOffset(blockSize), uint32_t(secFile));
            }
            size_t from = table * tableSize, to = std::min(f.dataBlocks.size(), from + tableSize);
            Put32(b, 8, uint32_t(to - from));
            for (size_t i = from; i < to; ++i)
                Put32(b, hashTableOffset + 4 * (tableSize - 1 - (i - from)), f.dataBlocks[i]);
            if (table < f.extensionBlocks.size()) Put32(b, ExtensionOffset(blockSize), f.extensionBlocks[table]);
            if (table > 0) seal(n);
        }
        uint32_t payload = fast() ? blockSize : blockSize - ofsDataOffset;
        for (size_t i = 0; i < f.dataBlocks.size(); ++i) {
            auto b = block(f.dataBlocks[i]);
            size_t from = i * payload, length = std::min<size_t>(payload, f.data.size() - from);
            if (fast()) {
                std::copy_n(f.data.begin() + from, length, b.begin());
                continue;
            }
            Put32(b, 0, typeData);
            Put32(b, 4, f.block);
            Put32(b, 8, uint32_t(i + 1));
            Put32(b, 12, uint32_t(length));
            Put32(b, 16, i + 1 < f.dataBlocks.size() ? f.dataBlocks[i + 1] : 0);
            std::copy_n(f.data.begin() + from, length, b.begin() + ofsDataOffset);
            seal(f.dataBlocks[i]);
        }
        seal(f.block);
    }

    // A formatted disk that was never made bootable: "DOS", its flags, no boot code, checksum 0.
    void writeBoot()
    {
        auto b = block(0);
        b[0] = 'D', b[1] = 'O', b[2] = 'S';
        b[3] = uint8_t((fast() ? flagFast : 0) | (o_.international ? flagInternational : 0) |
                       (o_.directoryCache ? flagDirCache : 0));
        Put32(b, 8, floppyBlocksDD / 2);
    }

    // One bit per block from block 2 on, set while the block is free.
    void writeBitmap()
    {
        auto b = block(bitmap_);
        for (uint32_t n = 2; n < count_; ++n)
            if (!used_[n]) {
                uint32_t bit = n - 2, at = 4 + 4 * (bit / 32);
                Put32(b, at, Get32(b, at) | (1u << (bit % 32)));
            }
        Put32(b, 0, BlockChecksum(b, 0));
    }

    const AdfOptions &o_;
    uint32_t count_;
    Bytes image_;
    uint32_t root_ = 0, bitmap_ = 0, next_ = 0;
    std::vector<bool> used_;
};

}  // namespace

AdfWriter::AdfWriter(AdfOptions options) : options_(std::move(options)), root_(std::make_unique<Node>())
{
    if (options_.label.empty() || options_.label.size() > maxNameLength)
        throw std::invalid_argument("a volume label has 1 to 30 characters");
    root_->name = options_.label;
}

AdfWriter::~AdfWriter() = default;

AdfWriter::Node &AdfWriter::at(const std::string &path, bool makeDirectories)
{
    std::vector<std::string> parts = Split(path);
    Node *d = root_.get();
    bool intl = options_.international || options_.directoryCache;
    for (size_t i = 0; i < parts.size(); ++i) {
        Node *found = nullptr;
        for (auto &c : d->children)
            if (SameName(c->name, parts[i], intl)) found = c.get();
        bool last = i + 1 == parts.size();
        if (found && last) throw std::invalid_argument("\"" + path + "\" is already on the disk");
        if (found && !found->isDirectory) throw std::invalid_argument("\"" + path + "\" is beneath a file");
        if (!found) {
            if (!last && !makeDirectories) throw std::invalid_argument("no directory for \"" + path + "\"");
            d->children.push_back(std::make_unique<Node>());
            found = d->children.back().get();
            found->name = parts[i];
        }
        d = found;
    }
    return *d;
}

AdfWriter &AdfWriter::directory(const std::string &path)
{
    at(path, true);
    return *this;
}

AdfWriter &AdfWriter::file(const std::string &path, Bytes bytes)
{
    Node &n = at(path, true);
    n.isDirectory = false;
    n.data = std::move(bytes);
    return *this;
}

Bytes AdfWriter::image() const
{
    // Block numbers are assigned on a copy, so image() can be called again after more files.
    std::function<std::unique_ptr<Node>(const Node &)> copy = [&](const Node &n) {
        auto c = std::make_unique<Node>();
        c->name = n.name, c->isDirectory = n.isDirectory, c->data = n.data;
        for (auto &child : n.children) c->children.push_back(copy(*child));
        return c;
    };
    auto root = copy(*root_);
    return Layout(options_).write(*root);
}

void AdfWriter::save(const std::filesystem::path &path) const { qfutil::WriteFile(path, image()); }

namespace {

// The rigid disk block and partition blocks; each file system at its geometry's start, or at
// `fixedAt` (one partition whose geometry may be hostile).
Bytes RigidDisk(const std::vector<HardDiskPartition> &partitions, std::optional<uint64_t> fixedAt)
{
    size_t blocks = std::max<size_t>(44, partitions.size() + 1);
    Bytes image(blocks * blockSize, 0);
    const HardDiskGeometry first = partitions.empty() ? HardDiskGeometry{} : partitions.front().geometry;
    std::span<uint8_t> rdsk(image.data(), blockSize);
    std::copy_n("RDSK", 4, rdsk.begin());
    Put32(rdsk, 4, 64), Put32(rdsk, 12, 7);  // longs summed, host id
    // Block size, bad blocks, partitions, file systems, drive init; cylinders, sectors, heads.
    uint32_t highest = 0;
    for (const HardDiskPartition &p : partitions) highest = std::max(highest, p.geometry.highCylinder);
    const std::pair<uint32_t, uint32_t> fields[] = {
        {16, blockSize},     {24, ~0u},        {28, partitions.empty() ? ~0u : 1},
        {32, ~0u},           {36, ~0u},        {64, highest + 1},
        {68, first.sectors}, {72, first.heads}};
    for (auto [at, value] : fields) Put32(rdsk, at, value);
    Put32(rdsk, 8, BlockChecksum(rdsk.first(256), 8));
    for (size_t i = 0; i < partitions.size(); ++i) {
        const HardDiskPartition &p = partitions[i];
        const HardDiskGeometry &g = p.geometry;
        std::span<uint8_t> part(image.data() + (i + 1) * blockSize, blockSize);
        std::copy_n("PART", 4, part.begin());
        Put32(part, 4, 64), Put32(part, 12, 7);
        Put32(part, 16, i + 1 < partitions.size() ? uint32_t(i + 2) : 0xFFFFFFFF);  // the next partition
        part[36] = uint8_t(std::min<size_t>(p.drive.size(), 31));
        std::copy_n(p.drive.begin(), part[36], part.begin() + 37);
        uint32_t dosType = p.dosType ? p.dosType : 0x444F5300u | (p.fileSystem.size() > 3 ? p.fileSystem[3] : 0u);
        // The DosEnvVec: table size, block size, origin, heads, sectors per block, per track,
        // reserved, prealloc, interleave, cylinders, buffers, memory, max transfer, mask, boot, dos type.
        const uint32_t environment[] = {
            16, g.blockLongs, 0,          g.heads, 1,      g.sectors, 2, 0, 0, g.lowCylinder, g.highCylinder, 30,
            0,  0xFFFFFF,     0x7FFFFFFE, 0,       dosType};
        for (size_t k = 0; k < std::size(environment); ++k) Put32(part, 128 + 4 * k, environment[k]);
        Put32(part, 8, BlockChecksum(part.first(256), 8));
        uint64_t at = fixedAt.value_or(uint64_t(g.lowCylinder) * g.heads * g.sectors * g.blockLongs * 4);
        if (p.fileSystem.empty()) continue;
        if (image.size() < at + p.fileSystem.size()) image.resize(size_t(at + p.fileSystem.size()), 0);
        std::copy(p.fileSystem.begin(), p.fileSystem.end(), image.begin() + ptrdiff_t(at));
    }
    return image;
}

}  // namespace

Bytes HardDiskImage(const Bytes &fileSystem, const HardDiskGeometry &g)
{
    return RigidDisk({{"DH0", fileSystem, g}}, 44 * blockSize);
}

Bytes HardDiskImage(const std::vector<HardDiskPartition> &partitions)
{
    for (const HardDiskPartition &p : partitions)
        if (uint64_t(p.geometry.lowCylinder) * p.geometry.heads * p.geometry.sectors * p.geometry.blockLongs >
            (uint64_t(1) << 30))
            throw std::invalid_argument("partition " + p.drive + " starts beyond what an image here may hold");
    return RigidDisk(partitions, std::nullopt);
}

Bytes DeepDirectoryImage(uint32_t depth, const std::string &name)
{
    uint32_t blocks = std::max<uint32_t>(floppyBlocksDD, 2 * depth + 8), root = blocks / 2;
    Bytes image(size_t(blocks) * blockSize);
    std::copy_n("DOS", 3, image.begin());
    auto block = [&](uint32_t n) { return std::span<uint8_t>(image).subspan(size_t(n) * blockSize, blockSize); };
    auto header = [&](uint32_t n, uint32_t key, uint32_t parent, int32_t type, const std::string &label) {
        auto b = block(n);
        Put32(b, 0, typeHeader), Put32(b, 4, key), Put32(b, 12, key ? 0 : tableSize);
        b[NameOffset(blockSize)] = uint8_t(label.size());
        std::copy(label.begin(), label.end(), b.begin() + NameOffset(blockSize) + 1);
        Put32(b, ParentOffset(blockSize), parent), Put32(b, SecondaryTypeOffset(blockSize), uint32_t(type));
    };
    header(root, 0, 0, secRoot, "Deep");
    uint32_t parent = root;
    for (uint32_t i = 0, n = 2; i < depth; ++i, parent = n++) {
        if (n == root) ++n;
        header(n, n, parent, secDirectory, name);
        Put32(block(parent), hashTableOffset + 4 * NameHash(name, false), n);
    }
    for (uint32_t n = 2; n < blocks; ++n)
        if (Get32(block(n), 0) == uint32_t(typeHeader)) Put32(block(n), checksumOffset, BlockChecksum(block(n)));
    return image;
}

}  // namespace qfauthor
