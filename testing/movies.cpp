#include "testing/movies.h"

#include <array>
#include <cmath>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"

namespace qftest {

namespace {

using namespace qfauthor;

std::vector<Color> Palette(int count)
{
    std::vector<Color> colors;
    for (int i = 0; i < count; ++i)
        colors.push_back(
            {static_cast<uint8_t>(i * 8), static_cast<uint8_t>(255 - i * 8), static_cast<uint8_t>(i * 40)});
    return colors;
}

std::array<uint16_t, 32> AmigaPalette(int shift)
{
    std::array<uint16_t, 32> words{};
    for (int i = 0; i < 32; ++i) words[i] = static_cast<uint16_t>(((i + shift) * 0x123) & 0x0FFF);
    return words;
}

// Stripes and a diagonal, so every plane has runs and literals.
IndexedImage Picture(int width, int height, int colors)
{
    IndexedImage image{width, height, Bytes(static_cast<size_t>(width * height))};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.pixels[y * width + x] = static_cast<uint8_t>((x / 4 + (x == y ? 7 : 0) + y / 8) % colors);
    return image;
}

Bytes Ilbm(int width, int height, Compression compression, bool mask, int planes = 5)
{
    IlbmOptions options;
    options.planeCount = planes;
    options.compression = compression;
    options.withMask = mask;
    options.padOddChunks = false;
    options.chunksBeforeBody.push_back({"CAMG", {0, 0, 0x80, 0x04}});
    return WriteIlbm(Picture(width, height, 1 << planes), Palette(1 << planes), options);
}

Bytes Faces(int count)
{
    std::vector<FaceEntry> faces;
    for (int i = 0; i < count; ++i) {
        FaceEntry face;
        face.image = Picture(9 + 3 * i, 7 + i, 32);
        for (auto &p : face.image.pixels)
            if (p % 5 == 0) p = 0;  // holes show what lies beneath
        face.offsetX = static_cast<int16_t>(-2 * i);
        face.offsetY = static_cast<int16_t>(i);
        faces.push_back(face);
    }
    return WriteFaceSet(faces, Palette(32));
}

Bytes Sound(size_t length, bool oddBody = false)
{
    std::vector<int8_t> samples(length + (oddBody ? 1 : 0));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int8_t>((i * 13) % 256 - 128);
    SvxOptions options;
    options.chunksBeforeBody.push_back({"NAME", {'b', 'o', 'o'}});
    return Write8svx(samples, options);
}

std::array<CycleRange, 4> Cycles()
{
    return {CycleRange{2, 5, 0, 1}, CycleRange{8, 12, 1, 1}, CycleRange{40, 60, 0, 1}, CycleRange{0, 0, 0, 7}};
}

}  // namespace

std::vector<NamedBytes> VolumeFiles()
{
    return {
        {"/vol/Pics/Back", Ilbm(48, 40, Compression::ByteRun1, false)},
        {"/vol/Anims/Faces/Hero", Faces(3)},
        {"/vol/Boom", Sound(300)},
    };
}

std::vector<NamedBytes> SeedMovies()
{
    std::vector<NamedBytes> seeds;
    seeds.push_back({"empty.qfm", MovieWriter(true).scenes(0).end().bytes()});
    seeds.push_back({"noop_commands.qfm", MovieWriter()
                                              // clang-format off
                                              .scenes(2).nothing('m').nothing('n').nothing('u').nothing('v')
                                              .scene(1).duration(3).scene(2).duration(8).nothing('x')
                                              // clang-format on
                                              .bytes()});  // no "z": the end of the file ends it
    seeds.push_back({"picture_packed.qfm", MovieWriter()
                                               // clang-format off
                                               .embedded().load(Asset::Background, Ilbm(64, 32, Compression::ByteRun1, false))
                                               .scenes(1).scene(1).background(0).duration(10).end()
                                               .bytes()});
    seeds.push_back({"picture_plain_mask.qfm",
                     MovieWriter()
                         .embedded().load(Asset::Background, Ilbm(33, 20, Compression::None, true, 3))
                         .scenes(3).scene(1).background(0).palette(AmigaPalette(0)).cycles(Cycles()).duration(6)
                         .scene(2).palette(AmigaPalette(5)).scene(3).background(0xFFFF).duration(7).end()
                         .bytes()});
    // clang-format on
    seeds.push_back({"scroll.qfm", MovieWriter()
                                       .embedded()
                                       .load(Asset::Background, Ilbm(40, 24, Compression::ByteRun1, false))
                                       .load(Asset::Background, Ilbm(24, 40, Compression::ByteRun1, false, 4))
                                       // clang-format off
                                       .scenes(8).scene(1).background(0).duration(6).scroll(3, 9, 2, true)
                                       .scene(4).background(1).scroll(-2, -6, -1, false)
                                       .scene(7).scroll(0, 0, 0, true).end()
                                       // clang-format on
                                       .bytes()});
    seeds.push_back({"sprites.qfm", MovieWriter()
                                        .embedded()
                                        .load(Asset::Background, Ilbm(48, 32, Compression::ByteRun1, false))
                                        .load(Asset::FaceSet, Faces(4))
                                        // clang-format off
                                        .scenes(5).scene(1).background(0).duration(6)
                                        .faceSet(0, 10, 5).sprite(1, 0, 0, 0).sprite(2, -12, 3, 15).sprite(4, 40, 28, 3)
                                        .scene(2).faceSet(0, -4, -4).sprite(0, 0, 0, 7).sprite(3, 2, 2, 7)
                                        // clang-format on
                                        .end()
                                        .bytes()});
    seeds.push_back({"sound.qfm", MovieWriter()
                                      .embedded()
                                      .load(Asset::Sound, Sound(500))
                                      .load(Asset::Sound, Sound(64, true))
                                      // clang-format off
                                      .scenes(4).scene(1).duration(6).sound(0, 64, 428, 0x3)
                                      .scene(2).sound(1, 40, 124, 0xC).scene(3).sound(0, 80, 30, 0x1)
                                      .scene(4).sound(1, 0, 0, 0xF).end()
                                      // clang-format on
                                      .bytes()});
    seeds.push_back({"referenced.qfm", MovieWriter()
                                           .reference(Asset::Background, "Work:Pics", "Back")
                                           .reference(Asset::FaceSet, "work:Anims/Faces", "Hero")
                                           .reference(Asset::Sound, "WORK:", "Boom")
                                           // clang-format off
                                           .scenes(3).scene(1).background(0).duration(8).sound(0, 64, 300, 0xF)
                                           .faceSet(0, 4, 4).sprite(1, 0, 0, 1).sprite(2, 0, 0, 1).sprite(3, 0, 0, 1)
                                           // clang-format on
                                           .end()
                                           .bytes()});
    // A full-size scene with everything at once.
    MovieWriter big;
    big.embedded()
        .load(Asset::Background, Ilbm(320, 256, Compression::ByteRun1, false))
        .load(Asset::FaceSet, Faces(3))
        .load(Asset::Sound, Sound(2000))
        // clang-format off
        .scenes(6).scene(1).background(0).palette(AmigaPalette(1)).cycles(Cycles()).duration(6)
        .scroll(4, 16, 1, true).sound(0, 64, 200, 0xF).faceSet(0, 100, 100)
        .sprite(1, 0, 0, 0).sprite(2, 5, 0, 0).sprite(3, 10, 0, 0).sprite(1, 15, 0, 0)
        .scene(5).duration(9).end();
    // clang-format on
    seeds.push_back({"full_scene.qfm", big.bytes()});
    return seeds;
}

std::vector<NamedBytes> SeedIffFiles()
{
    auto selected = [](uint8_t selector, Bytes file) {
        file.insert(file.begin(), selector);
        return file;
    };
    // Planar body header: width, height (u16), planes, masking, compression, extra length.
    auto planar = [&](int width, int height, int planes, bool mask, Compression compression) {
        IndexedImage image = Picture(width, height, 1 << planes);
        Bytes mask_(mask ? image.pixels.size() : 0, 1);
        Bytes body = EncodePlanarBody(image, planes, compression, mask ? &mask_ : nullptr);
        Bytes out{3,
                  static_cast<uint8_t>(width >> 8),
                  static_cast<uint8_t>(width),
                  static_cast<uint8_t>(height >> 8),
                  static_cast<uint8_t>(height),
                  static_cast<uint8_t>(planes),
                  static_cast<uint8_t>(mask),
                  static_cast<uint8_t>(compression),
                  0};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    return {
        {"picture.iff", selected(0, Ilbm(40, 10, Compression::ByteRun1, false))},
        {"picture_mask.iff", selected(0, Ilbm(17, 9, Compression::None, true, 2))},
        {"faces.iff", selected(1, Faces(2))},
        {"sound.iff", selected(2, Sound(31, true))},
        {"planar_packed.bin", planar(100, 6, 5, false, Compression::ByteRun1)},
        {"planar_plain_mask.bin", planar(20, 4, 3, true, Compression::None)},
    };
}

// ---- The benchmarks' movie ----

IndexedImage Backdrop()
{
    IndexedImage image{BackdropWidth, BackdropHeight, Bytes(BackdropWidth * BackdropHeight)};
    for (int y = 0; y < BackdropHeight; ++y)
        for (int x = 0; x < BackdropWidth; ++x) {
            int band = y / 16;  // flat sky bands: long runs
            int hills = y > 140 + static_cast<int>(20 * std::sin(x / 23.0)) ? 16 : 0;
            int texture = hills && ((x * 7 + y * 13) % 11 < 3) ? 1 : 0;  // busy ground: literals
            image.pixels[y * BackdropWidth + x] =
                static_cast<uint8_t>((band % 8) + hills + texture + (x / 40 % 2) * 8) % 32;
        }
    return image;
}

std::vector<Color> BackdropPalette()
{
    std::vector<Color> colors;
    for (int i = 0; i < 32; ++i)
        colors.push_back(
            {static_cast<uint8_t>(i * 8), static_cast<uint8_t>(128 + i * 4), static_cast<uint8_t>(255 - i * 8)});
    return colors;
}

static Bytes BenchFaceSet()
{
    std::vector<FaceEntry> faces;
    for (int f = 0; f < 8; ++f) {
        FaceEntry face;
        face.image = {32, 32, Bytes(32 * 32)};
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) {
                int dx = x - 16, dy = y - 16;
                face.image.pixels[y * 32 + x] =
                    dx * dx + dy * dy < 200 ? static_cast<uint8_t>(1 + (x + y + f) % 31) : 0;
            }
        faces.push_back(face);
    }
    return WriteFaceSet(faces, BackdropPalette());
}

static Bytes BenchSound(int pitch)
{
    std::vector<int8_t> samples(16000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int8_t>(100 * std::sin(i * pitch / 200.0));
    return Write8svx(samples);
}

Bytes SceneMovie()
{
    IlbmOptions options;
    options.padOddChunks = false;
    MovieWriter movie;
    movie.embedded()
        .load(Asset::Background, WriteIlbm(Backdrop(), BackdropPalette(), options))
        .load(Asset::FaceSet, BenchFaceSet());
    for (int s = 0; s < 4; ++s) movie.load(Asset::Sound, BenchSound(3 + s));
    std::array<uint16_t, 32> palette{};
    // clang-format off
    for (int i = 0; i < 32; ++i) palette[i] = AmigaColor(static_cast<uint8_t>(i * 8), 128, static_cast<uint8_t>(255 - i * 8));
    movie.scenes(20).scene(1).background(0).palette(palette).duration(6).scroll(3, 12, 1, true)
        // clang-format on
        .cycles({CycleRange{1, 7, 0, 1}, CycleRange{16, 23, 1, 1}, CycleRange{24, 31, 0, 1}, CycleRange{}});
    for (int k = 0; k < 4; ++k) movie.sound(static_cast<uint16_t>(k), 48, 161, static_cast<uint16_t>(1 << k));
    // Eight sprites per scene in four layers, an animation running through all 20 scenes.
    for (int n = 0; n < 8; ++n) {
        movie.faceSet(0, static_cast<int16_t>(20 + n * 36), static_cast<int16_t>(40 + (n % 4) * 50));
        for (int s = 0; s < 20; ++s)
            movie.sprite(static_cast<uint16_t>(1 + (s + n) % 8), static_cast<int16_t>(s * 2), 0,
                         static_cast<uint16_t>(n % 4));
    }
    movie.end();
    return movie.bytes();
}

Bytes StillMovie(const std::string &folder, const std::string &name, int ticks)
{
    return qfauthor::MovieWriter()
        .scenes(1)
        .reference(qfauthor::Asset::Background, folder, name)
        .scene(1)
        .background(0)
        .duration(ticks)
        .end()
        .bytes();
}

}  // namespace qftest
