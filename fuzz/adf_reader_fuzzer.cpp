// libFuzzer target: the host's AmigaDOS image reader opens, lists and reads every file of an image.
// A whole floppy is too large to mutate blindly, so the first byte chooses the image:
//   0: an undamaged image written by qfauthor, then each 514-byte record (block number, block) replaces a block;
//   1: the bytes as the start of a floppy, the rest zeros;
//   2: the bytes as the whole image (rigid disk blocks, odd sizes, truncation).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "authoring/adf_writer.h"
#include "qfhost/adf.hpp"

namespace {

const std::vector<uint8_t> &Base()
{
    static const std::vector<uint8_t> image = [] {
        qfauthor::AdfOptions o;
        o.international = true;
        qfauthor::AdfWriter w(o);
        w.directory("Empty").file("Anims/Faces/Hero", std::vector<uint8_t>(700, 1));
        w.file("Anims/Big", std::vector<uint8_t>(40000, 2)).file("Caf\xe9", {3});
        for (int i = 0; i < 12; ++i) w.file("D" + std::to_string(i % 3) + "/f" + std::to_string(i), {uint8_t(i)});
        return w.image();
    }();
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    std::vector<uint8_t> image;
    const uint8_t *rest = data + 1;
    size_t left = size - 1;
    switch (data[0] % 3) {
    case 0:
        image = Base();
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
    default: image.assign(rest, rest + left);
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
                }
            if (disk.warnings().empty()) break;
        } catch (const qfhost::AdfError &) {
            break;
        }
    }
    return 0;
}
