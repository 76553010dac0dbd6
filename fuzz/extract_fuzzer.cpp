// libFuzzer target: `extract` of a disk image or archive into a fresh folder, as the command does it.
// The first byte chooses the image:
//   0: written by qfauthor from entries the input names (records: name length, name, size, bytes),
//      then each later 514-byte record (block number, block) replaces a block;
//   1: the bytes as the whole file (a damaged disk, a rigid-disk image, an LHA archive).
// Whatever happens, nothing may appear outside the output folder, and the output holds only
// folders and regular files.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "authoring/adf_writer.h"
#include "qfutil/output.hpp"
#include "qfhost/volume_files.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Built(const uint8_t *data, size_t size)
{
    qfauthor::AdfOptions options;
    options.international = size > 0 && data[0] & 1;
    qfauthor::AdfWriter writer(options);
    size_t at = 1;
    for (int entries = 0; entries < 16 && at + 2 <= size; ++entries) {
        size_t length = std::min<size_t>(data[at++], size - at);
        std::string path(reinterpret_cast<const char *>(data + at), length);
        at += length;
        if (at >= size) break;
        size_t bytes = std::min<size_t>(data[at++] * 37, size - at);
        std::vector<uint8_t> body(data + at, data + at + bytes);
        at += bytes;
        try {
            if (path.ends_with("/")) writer.directory(path);
            else writer.file(path, std::move(body));
        } catch (const std::invalid_argument &) {
            // a name the writer refuses: left out
        }
    }
    std::vector<uint8_t> image;
    try {
        image = writer.image();
    } catch (const std::runtime_error &) {
        return {};
    }
    for (; at + 2 <= size; at += 514) {
        size_t block = ((data[at] << 8) | data[at + 1]) % (image.size() / 512);
        std::copy_n(data + at + 2, std::min<size_t>(512, size - at - 2), image.begin() + block * 512);
    }
    return image;
}

// Everything below root that is not below root/out, and anything in out that is neither a folder
// nor a regular file: either means the extraction reached where it must not.
bool Escaped(const fs::path &root)
{
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path relative = fs::relative(it->path(), root);
        if (relative == "image" || relative == "out") continue;
        if (*relative.begin() != "out") return true;
        if (!it->is_directory() && !it->is_regular_file()) return true;
        if (it->is_symlink()) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    std::vector<uint8_t> image =
        data[0] % 2 == 0 ? Built(data + 1, size - 1) : std::vector<uint8_t>(data + 1, data + size);
    static const fs::path box = [] {
        std::string pattern = (fs::temp_directory_path() / "extract-fuzz-XXXXXX").string();
        return fs::path(::mkdtemp(pattern.data()));
    }();
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(box)) fs::remove_all(e.path(), ec);
    std::ofstream(box / "image", std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
    try {
        std::unique_ptr<qfhost::Volume> volume = qfhost::Volume::Open(box / "image");
        qfutil::Outputs outputs(qfutil::Overwrite::Always);
        outputs.addInput(box / "image");
        qfhost::ExtractVolume(*volume, "", box / "out", outputs, [](const std::string &) {});
    } catch (const std::runtime_error &) {
        // refused images and damaged entries are expected
    }
    if (Escaped(box)) std::abort();
    for (const auto &e : fs::directory_iterator(box)) fs::remove_all(e.path(), ec);
    return 0;
}
