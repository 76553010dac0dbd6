// Files written by tools nobody here wrote: netpbm's ppmtoilbm / ilbmtoppm and sox.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

#include "iff_test_support.h"

namespace {

using namespace iffTest;
namespace fs = std::filesystem;

bool HaveTool(const std::string &name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "qf-iff-peer-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

Bytes ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string &path, const Bytes &data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data.data()), data.size());
}

void RunTool(const std::string &command)
{
    int status = std::system((command + " 2>/dev/null").c_str());
    ASSERT_EQ(status, 0) << command;
}

struct Rgb {
    int width = 0, height = 0;
    Bytes pixels;  // r g b per pixel
};

Bytes WritePpm(const Rgb &image)
{
    std::string header = "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
    return Concat({Bytes(header.begin(), header.end()), image.pixels});
}

// Binary PPM with maxval 255, as ilbmtoppm writes it.
Rgb ReadPpm(const Bytes &data)
{
    std::string text(data.begin(), data.end());
    std::istringstream in(text);
    std::string magic;
    int maxval = 0;
    Rgb image;
    in >> magic >> image.width >> image.height >> maxval;
    in.get();
    EXPECT_EQ(magic, "P6");
    EXPECT_EQ(maxval, 255);
    size_t at = static_cast<size_t>(in.tellg());
    image.pixels.assign(data.begin() + at, data.end());
    return image;
}

// A picture using exactly `colours` distinct colours, with flat stretches so ByteRun1 has runs.
// The count is kept even: ppmtoilbm writes a CMAP of the colours it finds and pads an odd one,
// and our picture reader (like the files it was made for) expects no pad byte before BODY.
Rgb RandomPicture(int width, int height, size_t colours, std::mt19937 &rng)
{
    colours = std::min(colours, static_cast<size_t>(width) * height) & ~size_t(1);
    auto palette = RandomPalette(colours, rng);
    for (size_t i = 0; i < colours; ++i) palette[i].red = static_cast<uint8_t>(i);  // all distinct
    Rgb image{width, height, {}};
    size_t pick = 0;
    for (int i = 0; i < width * height; ++i) {
        if (static_cast<size_t>(i) < colours)
            pick = static_cast<size_t>(i);
        else if (rng() % 4 == 0)
            pick = rng() % colours;
        image.pixels.insert(image.pixels.end(), {palette[pick].red, palette[pick].green, palette[pick].blue});
    }
    return image;
}

struct PeerPicture {
    int width, height, planes;
    bool compress;
    bool mask;
};

TEST(PeerIlbm, PpmtoilbmPicturesDecodeToIlbmtoppmColours)
{
    if (!HaveTool("ppmtoilbm") || !HaveTool("ilbmtoppm")) GTEST_SKIP() << "netpbm not installed";
    std::mt19937 rng(2024);
    TempDir dir;
    std::vector<PeerPicture> cases;
    for (int planes = 1; planes <= 8; ++planes)
        for (bool compress : {false, true})
            for (auto [w, h] : {std::pair{13, 5}, {37, 9}, {64, 4}, {2, 3}, {321, 7}})
                cases.push_back({w, h, planes, compress, planes == 5 || planes == 3});
    for (const auto &pc : cases) {
        SCOPED_TRACE(std::to_string(pc.width) + "x" + std::to_string(pc.height) + " planes " + std::to_string(pc.planes) +
                     (pc.compress ? " packed" : " plain") + (pc.mask ? " masked" : ""));
        Rgb original = RandomPicture(pc.width, pc.height, size_t(1) << pc.planes, rng);
        WriteFile(dir / "in.ppm", WritePpm(original));
        std::string options = "-fixplanes " + std::to_string(pc.planes) + (pc.compress ? " -compress" : " -nocompress");
        if (pc.mask) {
            std::string pbm = "P1\n" + std::to_string(pc.width) + " " + std::to_string(pc.height) + "\n";
            for (int i = 0; i < pc.width * pc.height; ++i) pbm += rng() % 2 ? "1 " : "0 ";
            WriteFile(dir / "mask.pbm", Bytes(pbm.begin(), pbm.end()));
            options += " -maskfile " + dir / "mask.pbm";
        }
        ASSERT_NO_FATAL_FAILURE(RunTool("ppmtoilbm " + options + " " + dir / "in.ppm" + " > " + dir / "pic.ilbm"));
        ASSERT_NO_FATAL_FAILURE(RunTool("ilbmtoppm " + dir / "pic.ilbm" + " > " + dir / "back.ppm"));
        Bytes ilbm = ReadFile(dir / "pic.ilbm");
        Rgb back = ReadPpm(ReadFile(dir / "back.ppm"));
        ASSERT_EQ(back.pixels, original.pixels);

        LoaderCase c;
        HostFile f = c.open(ilbm);
        ASSERT_EQ(LoadBackgroundImage(c.movie, f), 1);
        BackgroundImage *b = c.movie->backgrounds;
        ASSERT_EQ(b->planeCount, pc.planes);
        EXPECT_EQ(b->compression, pc.compress ? 1 : 0);
        EXPECT_EQ(b->masking, pc.mask ? 1 : 0);
        ASSERT_EQ(b->width, pc.width);
        ASSERT_EQ(b->height, pc.height);
        ASSERT_NE(b->pixels, nullptr);
        for (int i = 0; i < pc.width * pc.height; ++i) {
            uint8_t index = b->pixels[i];
            ASSERT_LT(index, b->colorCount) << "pixel " << i;
            ASSERT_EQ(Bytes(b->colors + index * 3, b->colors + index * 3 + 3),
                      Bytes(back.pixels.begin() + i * 3, back.pixels.begin() + i * 3 + 3))
                << "pixel " << i;
        }
        EXPECT_EQ(c.position(f), static_cast<int64_t>(ilbm.size()) - static_cast<int64_t>(b->bodyLength % 2));
    }
}

TEST(PeerSvx, SoxSoundsLoadToSoxSamples)
{
    if (!HaveTool("sox")) GTEST_SKIP() << "sox not installed";
    std::mt19937 rng(8);
    TempDir dir;
    for (size_t count : {1, 2, 101, 4096, 22051}) {
        SCOPED_TRACE(count);
        Bytes raw(count);
        for (size_t i = 0; i < count; ++i) raw[i] = static_cast<uint8_t>(i % 3 ? rng() : i);
        WriteFile(dir / "in.raw", raw);
        ASSERT_NO_FATAL_FAILURE(RunTool("sox -t raw -r 11025 -e signed-integer -b 8 -c 1 " + dir / "in.raw" + " " +
                                    dir / "out.8svx"));
        ASSERT_NO_FATAL_FAILURE(RunTool("sox " + dir / "out.8svx" + " -t raw -e signed-integer -b 8 " + dir / "back.raw"));
        Bytes back = ReadFile(dir / "back.raw");
        ASSERT_EQ(back, raw);

        LoaderCase c;
        HostFile f = c.open(ReadFile(dir / "out.8svx"));
        ASSERT_EQ(LoadSoundSample(c.movie, f), 1);
        SoundSample *s = c.movie->soundSamples;
        ASSERT_NE(s->data, nullptr);
        EXPECT_EQ(s->length, (count + 1) / 2 * 2);
        EXPECT_EQ(Bytes(s->data, s->data + count), back);
        EXPECT_EQ(s->samplesPerSecond, 11025);
    }
}

}  // namespace
