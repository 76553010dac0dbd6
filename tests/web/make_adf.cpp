// Writes a folder into an ADF floppy for the browser test: make_adf OUT.adf LABEL FOLDER (OUT.dms
// packs the floppy as a DMS archive); or a disk of one chain of directories DEPTH deep: make_adf
// OUT.adf --deep DEPTH.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "authoring/adf_writer.h"
#include "authoring/dms_writer.h"

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    if (argc != 4) return 2;
    if (std::string(argv[2]) == "--deep") {
        qfauthor::Bytes image = qfauthor::DeepDirectoryImage(uint32_t(std::stoul(argv[3])), "d");
        std::ofstream(argv[1], std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
        return 0;
    }
    qfauthor::AdfWriter disk({.label = argv[2]});
    for (const auto &entry : fs::recursive_directory_iterator(argv[3])) {
        std::string path = fs::relative(entry.path(), argv[3]).generic_string();
        if (entry.is_directory()) {
            disk.directory(path);
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        disk.file(path, qfauthor::Bytes(std::istreambuf_iterator<char>(in), {}));
    }
    if (fs::path(argv[1]).extension() != ".dms") {
        disk.save(argv[1]);
        return 0;
    }
    const qfauthor::Bytes packed = qfauthor::WriteDms(disk.image(), {.mode = qfhost::dms::Mode::Heavy2});
    std::ofstream(argv[1], std::ios::binary)
        .write(reinterpret_cast<const char *>(packed.data()), std::streamsize(packed.size()));
}
