// Writes the seed corpora: make_seeds DIR writes DIR/movie/*, DIR/iff/* and DIR/dms/*.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "authoring/dms_writer.h"
#include "testing/movies.h"

static void WriteAll(const std::filesystem::path &dir, const std::vector<qftest::NamedBytes> &files)
{
    std::filesystem::create_directories(dir);
    for (const auto &[name, bytes] : files) {
        std::ofstream out(dir / name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + (dir / name).string());
    }
}

// Three cylinders of a floppy in each mode, behind dms_fuzzer's first byte (1: make checksums right).
static std::vector<qftest::NamedBytes> SeedDmsArchives()
{
    std::vector<uint8_t> floppy(qfhost::dms::trackBytesDD * qfhost::dms::cylinders);
    for (size_t i = 0; i < 3 * qfhost::dms::trackBytesDD; ++i) floppy[i] = uint8_t(i % 300 < 100 ? i / 7 : 0x90);
    std::vector<qftest::NamedBytes> seeds;
    for (unsigned m = 0; m < qfhost::dms::modeCount; ++m) {
        qfauthor::DmsOptions o;
        o.mode = qfhost::dms::Mode(m);
        o.highTrack = 2;
        o.resetAfter = {1};
        if (m == 1) o.banner = "banner\n", o.fileId = "file id\n";
        if (m == 6) o.heavyTablesOnce = true;
        std::vector<uint8_t> bytes{1};
        std::vector<uint8_t> archive = qfauthor::WriteDms(floppy, o);
        bytes.insert(bytes.end(), archive.begin(), archive.end());
        seeds.emplace_back(std::string(qfhost::dms::ModeName(o.mode)) + ".dms", std::move(bytes));
    }
    return seeds;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    std::filesystem::path dir = argv[1];
    auto movies = qftest::SeedMovies();
    auto iff = qftest::SeedIffFiles();
    WriteAll(dir / "movie", movies);
    WriteAll(dir / "iff", iff);
    WriteAll(dir / "dms", SeedDmsArchives());
    std::printf("%zu movie seeds, %zu IFF seeds in %s\n", movies.size(), iff.size(), dir.c_str());
    return 0;
}
