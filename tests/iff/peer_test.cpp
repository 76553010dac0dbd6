// Files written by tools nobody here wrote: netpbm's ppmtoilbm / ilbmtoppm and sox.
#include <sstream>

#include "iff_test_support.h"
#include "testing/run_command.h"

namespace {

using namespace iffTest;
using qftest::RunCommand;

bool HaveTool(const std::string &name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

// Runs a peer tool that must succeed; returns what it wrote to stdout.
Bytes Peer(const std::string &tool, const std::vector<std::string> &args, const qftest::TempDir &dir)
{
    qftest::Outcome r = RunCommand(tool, args, dir.path());
    EXPECT_EQ(r.status, 0) << tool << ": " << r.err;
    return Bytes(r.out.begin(), r.out.end());
}

// A picture using exactly `colours` distinct colours (r g b per pixel), with flat stretches so
// ByteRun1 has runs. ppmtoilbm writes a CMAP of the colours it finds, padding an odd one.
Bytes RandomPicture(int width, int height, size_t colours, std::mt19937 &rng)
{
    colours = std::min(colours, static_cast<size_t>(width) * height);
    auto palette = RandomPalette(colours, rng);
    for (size_t i = 0; i < colours; ++i) palette[i].red = static_cast<uint8_t>(i);  // all distinct
    Bytes pixels;
    size_t pick = 0;
    for (int i = 0; i < width * height; ++i) {
        if (static_cast<size_t>(i) < colours) pick = static_cast<size_t>(i);
        else if (rng() % 4 == 0) pick = rng() % colours;
        pixels.insert(pixels.end(), {palette[pick].red, palette[pick].green, palette[pick].blue});
    }
    return pixels;
}

TEST(PeerIlbm, PpmtoilbmPicturesDecodeToIlbmtoppmColours)
{
    if (!HaveTool("ppmtoilbm") || !HaveTool("ilbmtoppm")) GTEST_SKIP() << "netpbm not installed";
    std::mt19937 rng(2024);
    qftest::TempDir dir;
    // Full palettes at every depth, then odd colour counts (a padded CMAP) at several depths.
    std::vector<std::pair<int, size_t>> depths;
    for (int planes = 1; planes <= 8; ++planes) depths.push_back({planes, size_t(1) << planes});
    for (auto [planes, colours] : {std::pair{2, 3}, {3, 3}, {3, 7}, {5, 7}, {5, 19}, {8, 19}})
        depths.push_back({planes, colours});
    for (auto [planes, colours] : depths)
        for (bool compress : {false, true})
            for (auto [width, height] : {std::pair{13, 5}, {37, 9}, {64, 4}, {2, 3}, {321, 7}}) {
                bool mask = planes == 5 || planes == 3;
                SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " planes " +
                             std::to_string(planes) + " colours " + std::to_string(colours) +
                             (compress ? " packed" : " plain") + (mask ? " masked" : ""));
                [&] {  // one picture: a failed ASSERT ends this picture, not the sweep
                    Bytes original = RandomPicture(width, height, colours, rng);
                    std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
                    dir.write("in.ppm", Concat({Bytes(header.begin(), header.end()), original}));
                    std::vector<std::string> args = {"-fixplanes", std::to_string(planes),
                                                     compress ? "-compress" : "-nocompress"};
                    if (mask) {
                        std::string pbm = "P1\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
                        for (int i = 0; i < width * height; ++i) pbm += rng() % 2 ? "1 " : "0 ";
                        args.insert(args.end(),
                                    {"-maskfile", dir.write("mask.pbm", Bytes(pbm.begin(), pbm.end())).string()});
                    }
                    args.push_back((dir / "in.ppm").string());
                    Bytes ilbm = Peer("ppmtoilbm", args, dir);
                    Bytes ppm = Peer("ilbmtoppm", {dir.write("pic.ilbm", ilbm).string()}, dir);
                    // Binary PPM with maxval 255: the header is three fields and one whitespace byte.
                    std::istringstream in(std::string(ppm.begin(), ppm.end()));
                    std::string magic;
                    int w = 0, h = 0, maxval = 0;
                    in >> magic >> w >> h >> maxval;
                    ASSERT_EQ(std::tuple(magic, w, h, maxval), std::tuple("P6", width, height, 255));
                    Bytes back(ppm.begin() + static_cast<long>(in.tellg()) + 1, ppm.end());
                    ASSERT_EQ(back, original);

                    LoaderCase c;
                    HostFile f = c.open(ilbm);
                    ASSERT_EQ(LoadBackgroundImage(c.movie, f), 1);
                    const BackgroundImage *b = c.movie->backgrounds;
                    ASSERT_EQ(std::tuple(b->planeCount, b->compression, b->masking, b->width, b->height),
                              std::tuple(planes, compress ? 1 : 0, mask ? 1 : 0, width, height));
                    ASSERT_NE(b->pixels, nullptr);
                    for (int i = 0; i < width * height; ++i) {
                        uint8_t index = b->pixels[i];
                        ASSERT_LT(index, b->colorCount) << "pixel " << i;
                        ASSERT_EQ(Bytes(b->colors + index * 3, b->colors + index * 3 + 3),
                                  Bytes(back.begin() + i * 3, back.begin() + i * 3 + 3))
                            << "pixel " << i;
                    }
                    EXPECT_EQ(c.position(f),
                              static_cast<int64_t>(ilbm.size()) - static_cast<int64_t>(b->bodyLength % 2));
                }();
            }
}

TEST(PeerSvx, SoxSoundsLoadToSoxSamples)
{
    if (!HaveTool("sox")) GTEST_SKIP() << "sox not installed";
    std::mt19937 rng(8);
    qftest::TempDir dir;
    for (size_t count : {1, 2, 101, 4096, 22051}) {
        SCOPED_TRACE(count);
        Bytes raw(count);
        for (size_t i = 0; i < count; ++i) raw[i] = static_cast<uint8_t>(i % 3 ? rng() : i);
        std::string in = dir.write("in.raw", raw).string(), svx = (dir / "out.8svx").string();
        Peer("sox", {"-t", "raw", "-r", "11025", "-e", "signed-integer", "-b", "8", "-c", "1", in, svx}, dir);
        Bytes back = Peer("sox", {svx, "-t", "raw", "-e", "signed-integer", "-b", "8", "-"}, dir);
        ASSERT_EQ(back, raw);

        LoaderCase c;
        ASSERT_EQ(LoadSoundSample(c.movie, c.open(qftest::ReadBytes(svx))), 1);
        const SoundSample *s = c.movie->soundSamples;
        ASSERT_NE(s->data, nullptr);
        EXPECT_EQ(s->length, (count + 1) / 2 * 2);
        EXPECT_EQ(Bytes(s->data, s->data + count), back);
        EXPECT_EQ(s->samplesPerSecond, 11025);
    }
}

}  // namespace
