// Writes the seed corpora: make_seeds DIR writes DIR/movie/* and DIR/iff/*.
#include <cstdio>
#include <filesystem>
#include <fstream>

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
    std::printf("%zu movie seeds, %zu IFF seeds in %s\n", movies.size(), iff.size(), dir.c_str());
    return 0;
}
