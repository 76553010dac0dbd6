// libFuzzer target: the host's AmigaDOS image reader opens, lists, reads and salvages every file of
// an image. A whole floppy is too large to mutate blindly, so the first byte chooses the image:
//   0: an undamaged OFS image written by qfauthor, then each 514-byte record (block number, block) replaces a block;
//   1: the bytes as the start of a floppy, the rest zeros;
//   2: the bytes as the whole image (rigid disk blocks, odd sizes, truncation);
//   3: as 0 on an FFS image.
// Salvage must give exactly the size the header claims, name zero ranges inside it, and give a
// file that copies whole the same bytes with nothing unreadable.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "authoring/adf_writer.h"
#include "qfhost/adf.hpp"

namespace {

std::vector<uint8_t> Written(bool fast)
{
    qfauthor::AdfOptions o;
    o.international = true;
    o.fastFileSystem = fast;
    qfauthor::AdfWriter w(o);
    w.directory("Empty").file("Anims/Faces/Hero", std::vector<uint8_t>(700, 1));
    // Big enough for an extension block on either file system.
    w.file("Anims/Big", std::vector<uint8_t>(40000, 2)).file("Caf\xe9", {3});
    for (int i = 0; i < 12; ++i) w.file("D" + std::to_string(i % 3) + "/f" + std::to_string(i), {uint8_t(i)});
    return w.image();
}

const std::vector<uint8_t> &Base(bool fast)
{
    static const std::vector<uint8_t> ofs = Written(false), ffs = Written(true);
    return fast ? ffs : ofs;
}

// A walked file copied and salvaged: the two must agree wherever the copy succeeds.
void Salvage(const qfhost::AdfImage &disk, const qfhost::AdfEntry &e)
{
    std::vector<uint8_t> copied, salvaged;
    bool whole = true;
    try {
        disk.copy(e.block, e.path,
                  [&](std::span<const uint8_t> p) { copied.insert(copied.end(), p.begin(), p.end()); });
    } catch (const qfhost::AdfError &) {
        whole = false;
    }
    qfhost::AdfSalvage s;
    try {
        s = disk.salvage(e.block, e.path,
                         [&](std::span<const uint8_t> p) { salvaged.insert(salvaged.end(), p.begin(), p.end()); });
    } catch (const qfhost::AdfError &) {
        return;
    }
    if (e.kind == qfhost::AdfEntry::Kind::File && salvaged.size() != e.size) __builtin_trap();
    if (s.unreadable > s.blocks) __builtin_trap();
    uint64_t end = 0;
    for (auto [from, to] : s.zeros) {
        if (from < end || to <= from || to > salvaged.size()) __builtin_trap();
        if (std::any_of(salvaged.begin() + long(from), salvaged.begin() + long(to), [](uint8_t b) { return b; }))
            __builtin_trap();
        end = to;
    }
    if (whole && (s.unreadable || !s.zeros.empty() || salvaged != copied)) __builtin_trap();
    if (!whole && !s.unreadable && s.listDamage.empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    std::vector<uint8_t> image;
    const uint8_t *rest = data + 1;
    size_t left = size - 1;
    switch (data[0] % 4) {
    case 0:
    case 3:
        image = Base(data[0] % 4 == 3);
        for (; left >= 2; rest += 514, left = left > 514 ? left - 514 : 0) {
            size_t block = ((rest[0] << 8) | rest[1]) % (image.size() / 512);
            size_t n = std::min<size_t>(512, left - 2);
            std::copy_n(rest + 2, n, image.begin() + block * 512);
        }
        break;
    case 1:
        image.assign(901120, 0);
        std::copy_n(rest, std::min(left, image.size()), image.begin());
        break;
    case 2: image.assign(rest, rest + left);
    }
    // Strict checksums only change what a block with a bad checksum does: try them when one warned.
    for (bool strict : {false, true}) {
        try {
            qfhost::AdfReadOptions options;
            options.strictChecksums = strict;
            qfhost::AdfImage disk(strict ? std::move(image) : image, options);
            (void)disk.label();
            for (const qfhost::AdfEntry &e : disk.list())
                if (e.kind != qfhost::AdfEntry::Kind::Directory) {
                    try {
                        disk.read(e.path);
                    } catch (const qfhost::AdfError &) {}
                    Salvage(disk, e);
                }
            if (disk.warnings().empty()) break;
        } catch (const qfhost::AdfError &) {
            break;
        }
    }
    return 0;
}
