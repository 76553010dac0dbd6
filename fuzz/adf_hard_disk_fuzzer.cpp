// libFuzzer target: the ADF reader on whole hard-disk images, up to terabytes, held sparsely: the
// input chooses a rigid disk block's geometry (or a bare file system), the image's size, and then
// places blocks: raw bytes, sealed header blocks, chains of directories thousands deep and files
// with their data blocks. Unplaced blocks read as zeros. Every image is opened, walked, listed
// and every file read whole, by its header block and by its head.
// Input: flags (bit 0 a rigid disk block, bits 1-3 the dos type, bit 3 strict checksums, bits 4-7
// the rigid disk block's place, bit 7 a deeper limit), the image's size (6 bytes), with a rigid
// disk block its PART block, block size in longs, heads, sectors, first and last cylinder (4 bytes
// each), the root's name, then records until the input ends. A record may add a further partition
// block (anywhere among the first 64 blocks, linked from any block, of any dos type and geometry),
// so lists that loop, overlap and run long are met; every partition listed is then opened by its
// drive name and by its label. Seeds: fuzz/adf_hard_disk_seeds/.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qfhost/adf.hpp"

namespace {

namespace dos = qfhost::amigados;

// The input, read front to back; past its end every number is 0.
struct Input {
    const uint8_t *data;
    size_t left;
    uint64_t take(int bytes)
    {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v = v << 8 | (left ? *data : 0);
            if (left) ++data, --left;
        }
        return v;
    }
    uint32_t u32() { return uint32_t(take(4)); }
    std::string name()
    {
        size_t n = std::min<size_t>(take(1) % 32, left);
        std::string s(reinterpret_cast<const char *>(data), n);
        data += n, left -= n;
        return s;
    }
};

// An image of any size that stores only the 512-byte pages written.
class SparseImage : public qfhost::AdfImage::Source {
public:
    explicit SparseImage(uint64_t size) : size_(size) {}
    uint64_t size() const override { return size_; }
    void read(uint64_t at, std::span<uint8_t> out) const override
    {
        std::memset(out.data(), 0, out.size());
        for (auto it = pages_.lower_bound(at / 512); it != pages_.end() && it->first * 512 < at + out.size(); ++it) {
            uint64_t page = it->first * 512;
            uint64_t from = std::max(page, at), to = std::min(page + 512, at + out.size());
            std::memcpy(out.data() + (from - at), it->second.data() + (from - page), to - from);
        }
    }
    void write(uint64_t at, std::span<const uint8_t> bytes)
    {
        for (size_t i = 0; i < bytes.size();) {
            uint64_t page = (at + i) / 512, in = (at + i) % 512;
            if (page > (UINT64_MAX - 512) / 512) return;  // past any image
            size_t n = std::min<size_t>(512 - in, bytes.size() - i);
            auto &p = pages_[page];
            if (p.empty()) p.resize(512);
            std::memcpy(p.data() + in, bytes.data() + i, n);
            i += n;
        }
    }
    size_t pages() const { return pages_.size(); }

private:
    uint64_t size_;
    std::map<uint64_t, std::vector<uint8_t>> pages_;
};

struct Builder {
    SparseImage &image;
    uint64_t base;  // byte offset of the file system (wraps as a careless reader's would)
    uint32_t size;  // its block size
    uint32_t root;
    std::vector<uint32_t> rootTable;

    uint64_t at(uint32_t n) const { return base + uint64_t(n) * size; }
    std::vector<uint8_t> header(uint32_t n, int32_t secondary, uint32_t parent, const std::string &name) const
    {
        std::vector<uint8_t> b(size);
        dos::Put32(b, 0, uint32_t(dos::typeHeader)), dos::Put32(b, 4, n);
        b[dos::NameOffset(size)] = uint8_t(name.size());
        std::memcpy(&b[dos::NameOffset(size) + 1], name.data(), name.size());
        dos::Put32(b, dos::ParentOffset(size), parent),
            dos::Put32(b, dos::SecondaryTypeOffset(size), uint32_t(secondary));
        return b;
    }
    void place(uint32_t n, std::vector<uint8_t> &b)
    {
        dos::Put32(b, dos::checksumOffset, dos::BlockChecksum(b));
        image.write(at(n), b);
    }
    void slot(std::vector<uint8_t> &directory, const std::string &name, uint32_t n) const
    {
        dos::Put32(directory, dos::hashTableOffset + 4 * dos::NameHash(name, false, size), n);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, size};
    uint8_t flags = uint8_t(in.take(1));
    uint64_t imageSize = in.take(6);  // up to 256 TB
    SparseImage image(imageSize);
    std::vector<uint8_t> boot(512);
    uint64_t base = 0;
    uint32_t blockSize = 512, count = uint32_t(std::min<uint64_t>(imageSize / 512, UINT32_MAX));
    if (flags & 1) {  // a rigid disk block and one partition, every field from the input
        uint32_t rdb = flags >> 4, partBlock = in.u32() % 64 + 1, longs = in.u32(), heads = in.u32(),
                 sectors = in.u32(), low = in.u32(), high = in.u32();
        std::vector<uint8_t> r(512), p(512);
        std::memcpy(r.data(), "RDSK", 4), std::memcpy(p.data(), "PART", 4);
        dos::Put32(r, 16, 512), dos::Put32(r, 28, partBlock);
        dos::Put32(p, 16, 0xFFFFFFFF);
        const uint32_t environment[] = {16,
                                        longs,
                                        0,
                                        heads,
                                        1,
                                        sectors,
                                        2,
                                        0,
                                        0,
                                        low,
                                        high,
                                        30,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0x444F5300u | uint32_t(flags >> 1 & 7)};
        for (size_t i = 0; i < std::size(environment); ++i) dos::Put32(p, 128 + 4 * i, environment[i]);
        image.write(uint64_t(rdb) * 512, r);
        image.write(uint64_t(partBlock) * 512, p);
        blockSize = longs * 4;
        if (blockSize < 256 || blockSize > 65536 || (blockSize & (blockSize - 1))) blockSize = 512;
        base = uint64_t(low) * heads * sectors * blockSize;  // may wrap: the reader must not
        count = uint32_t((uint64_t(high) - low + 1) * heads * sectors);
    }
    std::memcpy(boot.data(), "DOS", 3), boot[3] = flags >> 1 & 7;
    Builder b{image, base, blockSize, count / 2, std::vector<uint32_t>(blockSize / 4)};
    image.write(base, boot);

    std::vector<uint8_t> root = b.header(b.root, dos::secRoot, 0, in.name());
    dos::Put32(root, 4, 0), dos::Put32(root, 12, dos::HashTableSize(blockSize));
    while (in.left && image.pages() < 12000) {
        switch (in.take(1) % 5) {
        case 0: {  // raw bytes anywhere in the image
            uint64_t at = in.take(6);
            size_t n = std::min<size_t>(in.take(2) % 1025, in.left);
            image.write(at, {in.data, n});
            in.data += n, in.left -= n;
            break;
        }
        case 1: {  // a sealed header block of any type, hashed into the root
            uint32_t n = in.u32(), parent = in.u32(), chain = in.u32(), value = in.u32();
            int32_t secondary = int32_t(in.u32());
            std::string name = in.name();
            std::vector<uint8_t> h = b.header(n, secondary, parent, name);
            dos::Put32(h, dos::HashChainOffset(blockSize), chain);
            dos::Put32(h, dos::ByteSizeOffset(blockSize), value), dos::Put32(h, dos::RealEntryOffset(blockSize), value);
            dos::Put32(h, dos::hashTableOffset + 4 * (in.take(1) % dos::HashTableSize(blockSize)), in.u32());
            b.place(n, h);
            b.slot(root, name, n);
            break;
        }
        case 2: {  // a chain of directories from the root, each the only entry of the one before
            uint32_t n = in.u32(), depth = uint32_t(in.take(2)) % 1100;
            std::string name = in.name();
            if (name.empty()) name = "d";
            b.slot(root, name, n);
            for (uint32_t i = 0, parent = b.root; i < depth && image.pages() < 12000; ++i, parent = n++) {
                std::vector<uint8_t> d = b.header(n, dos::secDirectory, parent, name);
                if (i + 1 < depth) b.slot(d, name, n + 1);
                b.place(n, d);
            }
            break;
        }
        case 4: {  // a further partition block, linked from another block's next pointer
            uint32_t at = in.u32() % 64 + 1, from = in.u32() % 64 + 1, next = in.u32();
            uint32_t geometry[5] = {in.u32(), in.u32(), in.u32(), in.u32(), in.u32()};
            const uint32_t types[] = {0x444F5300u | uint32_t(in.take(1) & 7), 0x50465301, 0x53465300, in.u32()};
            uint32_t type = types[in.take(1) % 4];
            std::vector<uint8_t> p(512);
            std::memcpy(p.data(), "PART", 4);
            dos::Put32(p, 16, next);
            std::string drive = in.name();
            p[36] = uint8_t(drive.size());
            std::memcpy(&p[37], drive.data(), drive.size());
            const uint32_t environment[] = {16,          geometry[0], 0,  geometry[1], 1, geometry[2], 2, 0,   0,
                                            geometry[3], geometry[4], 30, 0,           0, 0,           0, type};
            for (size_t i = 0; i < std::size(environment); ++i) dos::Put32(p, 128 + 4 * i, environment[i]);
            image.write(uint64_t(at) * 512, p);
            uint8_t link[4];
            dos::Put32(link, 0, at);
            image.write(uint64_t(from) * 512 + 16, link);
            break;
        }
        default: {  // a file with its data blocks after its header (OFS or FFS as the boot block says)
            uint32_t n = in.u32(), bytes = uint32_t(in.take(3)), blocks = uint32_t(in.take(1));
            std::string name = in.name();
            std::vector<uint8_t> h = b.header(n, dos::secFile, b.root, name);
            dos::Put32(h, dos::ByteSizeOffset(blockSize), bytes), dos::Put32(h, 8, blocks);
            uint32_t table = dos::HashTableSize(blockSize);
            for (uint32_t i = 0; i < std::min(blocks, table); ++i) {
                dos::Put32(h, dos::hashTableOffset + 4 * (table - 1 - i), n + 1 + i);
                std::vector<uint8_t> d(blockSize, uint8_t(i));
                if (!(flags >> 1 & 1)) {
                    dos::Put32(d, 0, dos::typeData), dos::Put32(d, 4, n), dos::Put32(d, 8, i + 1);
                    dos::Put32(d, 12, blockSize - dos::ofsDataOffset);
                    dos::Put32(d, dos::checksumOffset, dos::BlockChecksum(d));
                }
                image.write(b.at(n + 1 + i), d);
            }
            b.place(n, h);
            b.slot(root, name, n);
        }
        }
    }
    b.place(b.root, root);

    try {
        qfhost::AdfReadOptions options;
        options.strictChecksums = flags & 8;
        options.depth = flags & 0x80 ? 2000 : 1000;
        qfhost::AdfImage disk(std::make_unique<SparseImage>(std::move(image)), options);
        (void)disk.label();
        disk.walk([&](const qfhost::AdfEntry &e) {
            if (e.kind == qfhost::AdfEntry::Kind::File || e.kind == qfhost::AdfEntry::Kind::HardLink) {
                try {
                    size_t copied = 0;
                    disk.copy(e.block, e.path, [&](std::span<const uint8_t> piece) { copied += piece.size(); });
                    std::vector<uint8_t> head = disk.head(e.block, e.path, 600);
                    if (head.size() != std::min<size_t>(600, copied)) __builtin_trap();
                    (void)disk.read(e.path);  // may find another entry of the same name
                } catch (const qfhost::AdfError &) {}
            }
            return true;
        });
        if (!(flags & 0x80)) (void)disk.list();
        // Every partition by its drive name and by its label: one opened is one the list can read.
        const std::vector<qfhost::AdfPartition> &parts = disk.partitions();
        if (parts.size() > 128) __builtin_trap();
        for (const qfhost::AdfPartition &p : parts) {
            for (const std::string &name : {p.drive, p.label}) {
                if (name.empty()) continue;
                try {
                    std::optional<qfhost::AdfImage> other = disk.partition(name);
                    if (!other) __builtin_trap();  // listed, so named
                    (void)other->label();
                    other->walk([](const qfhost::AdfEntry &) { return true; });
                } catch (const qfhost::AdfError &) {}
            }
        }
    } catch (const qfhost::AdfError &) {}
    return 0;
}
