#include "bench/bench_movies.h"

#include <array>
#include <cmath>

#include "authoring/movie_writer.h"

namespace qfbench {

using namespace qfauthor;

IndexedImage Backdrop()
{
    IndexedImage image{Width, Height, Bytes(Width * Height)};
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            int band = y / 16;                                   // flat sky bands: long runs
            int hills = y > 140 + static_cast<int>(20 * std::sin(x / 23.0)) ? 16 : 0;
            int texture = hills && ((x * 7 + y * 13) % 11 < 3) ? 1 : 0;  // busy ground: literals
            image.pixels[y * Width + x] = static_cast<uint8_t>((band % 8) + hills + texture + (x / 40 % 2) * 8) % 32;
        }
    return image;
}

std::vector<Color> BackdropPalette()
{
    std::vector<Color> colors;
    for (int i = 0; i < 32; ++i)
        colors.push_back({static_cast<uint8_t>(i * 8), static_cast<uint8_t>(128 + i * 4), static_cast<uint8_t>(255 - i * 8)});
    return colors;
}

static Bytes FaceSetFile()
{
    std::vector<FaceEntry> faces;
    for (int f = 0; f < 8; ++f) {
        FaceEntry face;
        face.image = {32, 32, Bytes(32 * 32)};
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) {
                int dx = x - 16, dy = y - 16;
                face.image.pixels[y * 32 + x] = dx * dx + dy * dy < 200 ? static_cast<uint8_t>(1 + (x + y + f) % 31) : 0;
            }
        faces.push_back(face);
    }
    return WriteFaceSet(faces, BackdropPalette());
}

static Bytes SoundFile(int pitch)
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
        .load(Asset::FaceSet, FaceSetFile());
    for (int s = 0; s < 4; ++s) movie.load(Asset::Sound, SoundFile(3 + s));
    std::array<uint16_t, 32> palette{};
    for (int i = 0; i < 32; ++i) palette[i] = AmigaColor(static_cast<uint8_t>(i * 8), 128, static_cast<uint8_t>(255 - i * 8));
    movie.scenes(20).scene(1).background(0).palette(palette).duration(6).scroll(3, 12, 1, true)
        .cycles({CycleRange{1, 7, 0, 1}, CycleRange{16, 23, 1, 1}, CycleRange{24, 31, 0, 1}, CycleRange{}});
    for (int k = 0; k < 4; ++k) movie.sound(static_cast<uint16_t>(k), 48, 161, static_cast<uint16_t>(1 << k));
    // Eight sprites per scene in four layers, an animation running through all 20 scenes.
    for (int n = 0; n < 8; ++n) {
        movie.faceSet(0, static_cast<int16_t>(20 + n * 36), static_cast<int16_t>(40 + (n % 4) * 50));
        for (int s = 0; s < 20; ++s) movie.sprite(static_cast<uint16_t>(1 + (s + n) % 8), static_cast<int16_t>(s * 2), 0, static_cast<uint16_t>(n % 4));
    }
    movie.end();
    return movie.bytes();
}

}  // namespace qfbench
