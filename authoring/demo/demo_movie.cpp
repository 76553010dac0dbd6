#include "authoring/demo/demo_movie.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "media/image.hpp"
#include "qfutil/output.hpp"

namespace qfauthor {

namespace {

using qfauthor::Bytes;
using qfauthor::Color;
using qfauthor::IndexedImage;

constexpr int Width = 320;
constexpr int Height = 200;
constexpr double Pi = 3.14159265358979323846;

// Palette layout shared by the picture and the sprites (they draw through the same 32 words).
enum : uint8_t {
    Sky = 1,   // 1..8, top to horizon
    Star = 9,  // 9..12, cycled: twinkling
    Sun = 13,
    Halo = 14,
    BalloonRed = 15,
    BalloonYellow = 16,
    FarHill = 17,   // 17..18
    NearHill = 19,  // 19..21
    Dark = 22,
    Letter = 23,
    Water = 24,  // 24..31, cycled: ripples
};

using Palette12 = std::array<uint16_t, 32>;  // 0x0RGB

uint16_t Rgb4(int r, int g, int b) { return static_cast<uint16_t>((r << 8) | (g << 4) | b); }

uint16_t Mix4(uint16_t a, uint16_t b, double t)
{
    auto c = [&](int shift) {
        double x = ((a >> shift) & 15) * (1 - t) + ((b >> shift) & 15) * t;
        return static_cast<int>(std::lround(x));
    };
    return Rgb4(c(8), c(4), c(0));
}

struct Mood {
    uint16_t skyTop, skyHorizon, sun, halo, far1, far2, near1, near2, near3, dark, letter, waterDeep, waterLight;
    std::array<uint16_t, 4> stars;
};

Palette12 MakePalette(const Mood &m)
{
    Palette12 p{};
    p[0] = 0x000;
    for (int i = 0; i < 8; ++i) p[Sky + i] = Mix4(m.skyTop, m.skyHorizon, i / 7.0);
    for (int i = 0; i < 4; ++i) p[Star + i] = m.stars[i];
    p[Sun] = m.sun;
    p[Halo] = m.halo;
    p[BalloonRed] = 0xD33;
    p[BalloonYellow] = 0xFC4;
    p[FarHill] = m.far1;
    p[FarHill + 1] = m.far2;
    p[NearHill] = m.near1;
    p[NearHill + 1] = m.near2;
    p[NearHill + 2] = m.near3;
    p[Dark] = m.dark;
    p[Letter] = m.letter;
    // A bright crest in the middle of the water range: cycling moves it along the ripples.
    for (int i = 0; i < 8; ++i) p[Water + i] = Mix4(m.waterDeep, m.waterLight, std::sin(i / 7.0 * Pi));
    return p;
}

const Mood Day{0x36D, 0xADF, 0xFFA, 0xCDF, 0x78B, 0x569, 0x4A3,
               0x382, 0x262, 0x121, 0xFFF, 0x25B, 0x9CF, {0x47D, 0x47D, 0x58D, 0x47D}};
const Mood Sunset{0x427, 0xF93, 0xFC6, 0xF95, 0x637, 0x425, 0x334,
                  0x223, 0x212, 0x101, 0xFEA, 0x314, 0xF96, {0x538, 0x649, 0x538, 0x427}};
const Mood Night{0x002, 0x236, 0xEEC, 0x458, 0x224, 0x113, 0x122,
                 0x112, 0x011, 0x000, 0xCDF, 0x013, 0x68B, {0xFFF, 0x88A, 0x336, 0x113}};

std::vector<Color> ToColors(const Palette12 &p)
{
    std::vector<Color> colors;
    for (uint16_t c : p)
        colors.push_back({static_cast<uint8_t>(((c >> 8) & 15) * 16), static_cast<uint8_t>(((c >> 4) & 15) * 16),
                          static_cast<uint8_t>((c & 15) * 16)});
    return colors;
}

// Smooth periodic height over the picture's width, so the scrolled landscape wraps seamlessly.
double Ridge(int x, std::initializer_list<std::array<double, 3>> waves)
{
    double h = 0;
    for (auto &w : waves) h += w[0] * std::sin(2 * Pi * w[1] * x / Width + w[2]);
    return h;
}

uint32_t Hash(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352d;
    x ^= x >> 15;
    x *= 0x846ca68b;
    x ^= x >> 16;
    return x;
}

IndexedImage MakeLandscape()
{
    IndexedImage img{Width, Height, Bytes(static_cast<size_t>(Width) * Height)};
    auto set = [&](int x, int y, uint8_t c) {
        if (x >= 0 && x < Width && y >= 0 && y < Height) img.pixels[static_cast<size_t>(y) * Width + x] = c;
    };
    constexpr int Horizon = 150;
    const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    for (int y = 0; y < Horizon; ++y)
        for (int x = 0; x < Width; ++x) {
            double band = y * 7.0 / Horizon;  // 0..7 with ordered dithering between bands
            int base = static_cast<int>(band);
            int c = base + ((band - base) * 16 > bayer[y & 3][x & 3] ? 1 : 0);
            set(x, y, static_cast<uint8_t>(Sky + std::min(c, 7)));
        }
    for (int i = 0; i < 140; ++i) {
        uint32_t h = Hash(static_cast<uint32_t>(i) * 2654435761u);
        int x = static_cast<int>(h % Width), y = static_cast<int>((h >> 12) % 80);
        set(x, y, static_cast<uint8_t>(Star + (h >> 24) % 4));
    }
    // Sun (moon at night): a disc with a dithered halo.
    const int sx = 230, sy = 52;
    for (int y = sy - 24; y <= sy + 24; ++y)
        for (int x = sx - 24; x <= sx + 24; ++x) {
            double d = std::hypot(x - sx, y - sy);
            if (d <= 14) set(x, y, Sun);
            else if (d <= 20 && ((x + y) % 2 == 0 || d <= 17)) set(x, y, Halo);
        }
    for (int x = 0; x < Width; ++x) {
        int far = static_cast<int>(108 + Ridge(x, {{{14, 2, 0.3}}, {{7, 5, 1.7}}, {{3, 11, 0.2}}}));
        int near = static_cast<int>(132 + Ridge(x, {{{9, 3, 2.1}}, {{4, 7, 0.9}}, {{2, 17, 0.4}}}));
        double slope = Ridge(x + 1, {{{14, 2, 0.3}}, {{7, 5, 1.7}}}) - Ridge(x, {{{14, 2, 0.3}}, {{7, 5, 1.7}}});
        for (int y = far; y < Horizon; ++y) set(x, y, static_cast<uint8_t>(FarHill + (slope > 0 ? 1 : 0)));
        for (int y = near; y < Horizon + 4; ++y) {
            int shade = std::min(2, (y - near) / 7);
            set(x, y, static_cast<uint8_t>(NearHill + shade));
        }
        // Little pines along the near ridge.
        if (Hash(static_cast<uint32_t>(x) * 7919u) % 9 == 0) {
            int top = near - 10 - static_cast<int>(Hash(static_cast<uint32_t>(x)) % 6);
            for (int y = top; y < near + 2; ++y) {
                int half = (y - top) / 3;
                for (int dx = -half; dx <= half; ++dx) set((x + dx + Width) % Width, y, Dark);
            }
        }
    }
    for (int y = Horizon + 4; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            double wave = (x * 0.1) + 1.6 * std::sin(x * 2 * Pi * 4 / Width + y * 0.9) + (y - Horizon) * 0.35;
            int c = static_cast<int>(std::floor(wave)) & 7;
            set(x, y, static_cast<uint8_t>(Water + c));
        }
    return img;
}

qfauthor::FaceEntry Face(const IndexedImage &img)
{
    qfauthor::FaceEntry entry;
    entry.image = img;
    return entry;
}

IndexedImage Blank(int w, int h) { return {w, h, Bytes(static_cast<size_t>(w) * h)}; }

void Plot(IndexedImage &img, int x, int y, uint8_t c)
{
    if (x >= 0 && x < img.width && y >= 0 && y < img.height) img.pixels[static_cast<size_t>(y) * img.width + x] = c;
}

// A gull in four wing positions.
std::vector<qfauthor::FaceEntry> MakeBirdFaces()
{
    std::vector<qfauthor::FaceEntry> faces;
    const int wingY[4] = {-4, -1, 3, -1};
    for (int f = 0; f < 4; ++f) {
        IndexedImage img = Blank(17, 11);
        for (int x = 6; x <= 10; ++x) Plot(img, x, 5, Dark);
        Plot(img, 11, 4, Dark);
        Plot(img, 12, 4, Letter);  // beak glint
        for (int side = -1; side <= 1; side += 2)
            for (int t = 1; t <= 7; ++t) {
                int x = 8 + side * t;
                int y = 5 + static_cast<int>(std::lround(wingY[f] * std::sin(t / 7.0 * Pi / 2)));
                Plot(img, x, y, Dark);
                if (t < 5) Plot(img, x, y + 1, Dark);
            }
        faces.push_back(Face(img));
    }
    return faces;
}

// A striped hot-air balloon, its burner flickering between two faces.
std::vector<qfauthor::FaceEntry> MakeBalloonFaces()
{
    std::vector<qfauthor::FaceEntry> faces;
    for (int f = 0; f < 2; ++f) {
        IndexedImage img = Blank(26, 38);
        const double cx = 12.5, cy = 12.5;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 26; ++x) {
                double dx = (x - cx) / 12.5, dy = (y - cy) / (y < cy ? 12.5 : 17.0);
                if (dx * dx + dy * dy <= 1.0) {
                    int stripe = static_cast<int>(std::floor((std::asin(std::clamp(dx, -1.0, 1.0)) + Pi / 2) / Pi * 6));
                    Plot(img, x, y, stripe % 2 ? BalloonYellow : BalloonRed);
                }
            }
        for (int y = 28; y < 33; ++y) {
            Plot(img, 8 + (y - 28) / 2, y, Dark);
            Plot(img, 17 - (y - 28) / 2, y, Dark);
        }
        for (int y = 33; y < 38; ++y)
            for (int x = 10; x <= 15; ++x) Plot(img, x, y, Dark);
        if (f == 1) {
            Plot(img, 12, 31, Sun);
            Plot(img, 13, 31, Sun);
            Plot(img, 12, 30, BalloonYellow);
        }
        faces.push_back(Face(img));
    }
    return faces;
}

// Letters A to Z from the built-in font, doubled, with a dark outline.
std::vector<qfauthor::FaceEntry> MakeLetterFaces()
{
    std::vector<qfauthor::FaceEntry> faces;
    for (char ch = 'A'; ch <= 'Z'; ++ch) {
        IndexedImage img = Blank(12, 16);
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (qfmedia::GlyphPixel(ch, col, row))
                    for (int dy = -1; dy <= 2; ++dy)
                        for (int dx = -1; dx <= 2; ++dx) {
                            int x = 1 + col * 2 + dx, y = 1 + row * 2 + dy;
                            if (x >= 0 && x < 12 && y >= 0 && y < 16 &&
                                img.pixels[static_cast<size_t>(y) * 12 + x] == 0)
                                Plot(img, x, y, Dark);
                        }
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (qfmedia::GlyphPixel(ch, col, row))
                    for (int d = 0; d < 4; ++d) Plot(img, 1 + col * 2 + d % 2, 1 + row * 2 + d / 2, Letter);
        faces.push_back(Face(img));
    }
    return faces;
}

// --- Sound ---

constexpr int WaveLength = 32;  // tonal samples repeat every 32 samples: pitch = rate / 32

std::vector<int8_t> ToneSample(int length, double attack, double decay, double (*wave)(double))
{
    std::vector<int8_t> s(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        double env = std::min(1.0, i / attack) * std::exp(-i / decay);
        double v = wave(static_cast<double>(i % WaveLength) / WaveLength) * env;
        s[i] = static_cast<int8_t>(std::lround(std::clamp(v, -1.0, 1.0) * 100));
    }
    return s;
}

double LeadWave(double p) { return 0.6 * (p < 0.3 ? 1.0 : -0.43) + 0.4 * std::sin(2 * Pi * p); }
double BassWave(double p)
{
    return 0.7 * std::sin(2 * Pi * p) + 0.25 * std::sin(4 * Pi * p) + 0.12 * std::sin(6 * Pi * p);
}
double BellWave(double p) { return 0.65 * std::sin(2 * Pi * p) + 0.35 * std::sin(8 * Pi * p); }

// Drums are played at one rate: period 161, about 22 kHz.
constexpr uint16_t DrumPeriod = 161;

std::vector<int8_t> Kick()
{
    std::vector<int8_t> s(3000);
    double phase = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        double t = i / 22030.0;
        phase += 2 * Pi * (45 + 110 * std::exp(-t * 30)) / 22030.0;
        s[i] = static_cast<int8_t>(std::lround(std::sin(phase) * std::exp(-t * 14) * 110));
    }
    return s;
}

std::vector<int8_t> Noise(size_t length, double decay, double tone, bool bright)
{
    std::vector<int8_t> s(length);
    double last = 0;
    for (size_t i = 0; i < length; ++i) {
        double t = i / 22030.0;
        double n = (Hash(static_cast<uint32_t>(i) + 17u) % 2001) / 1000.0 - 1.0;
        double v = bright ? n - last : n;  // a first difference makes the noise hiss
        last = n;
        v = v * 0.7 + tone * std::sin(2 * Pi * 185 * t);
        s[i] = static_cast<int8_t>(std::lround(std::clamp(v * std::exp(-t * decay), -1.0, 1.0) * 90));
    }
    return s;
}

uint16_t PeriodForNote(int midi)
{
    double freq = 440.0 * std::pow(2.0, (midi - 69) / 12.0);
    return qfauthor::PeriodForRate(freq * WaveLength);
}

Bytes Svx(const std::vector<int8_t> &samples, uint16_t rate)
{
    qfauthor::SvxOptions options;
    options.samplesPerSecond = rate;
    return qfauthor::Write8svx(samples, options);
}

}  // namespace

DemoMovie WriteDemoMovie(const std::filesystem::path &dir, qfutil::Outputs &outputs)
{
    DemoMovie demo;
    demo.volumeName = "DemoDisk";
    demo.volumeDirectory = dir / "DemoDisk";
    demo.movie = dir / "demo.qf";
    std::filesystem::create_directories(dir);

    const Palette12 dayPalette = MakePalette(Day);
    qfauthor::IlbmOptions ilbm;
    ilbm.planeCount = 5;
    ilbm.padOddChunks = false;
    Bytes landscape = qfauthor::WriteIlbm(MakeLandscape(), ToColors(dayPalette), ilbm);
    const auto letterPalette = ToColors(dayPalette);
    Bytes birds = qfauthor::WriteFaceSet(MakeBirdFaces(), letterPalette);
    Bytes balloon = qfauthor::WriteFaceSet(MakeBalloonFaces(), letterPalette);
    Bytes letters = qfauthor::WriteFaceSet(MakeLetterFaces(), letterPalette);

    enum Sound : uint16_t {
        Bell,
        Lead,
        BassSound,
        KickSound,
        SnareSound,
        HatSound
    };
    // The picture and the bell are found through the volume; everything else is embedded.
    const std::string pictures = demo.volumeName + ":Pictures", sounds = demo.volumeName + ":Sounds";
    qfauthor::WriteReferencedAsset(demo.volumeDirectory, pictures, "Landscape", landscape);
    qfauthor::WriteReferencedAsset(demo.volumeDirectory, sounds, "Bell",
                                   Svx(ToneSample(2600, 8, 700, BellWave), 14080));

    qfauthor::MovieWriter m;
    m.reference(qfauthor::Asset::Background, pictures, "Landscape");
    m.reference(qfauthor::Asset::Sound, sounds, "Bell");
    m.embedded();
    m.load(qfauthor::Asset::FaceSet, birds);
    m.load(qfauthor::Asset::FaceSet, balloon);
    m.load(qfauthor::Asset::FaceSet, letters);
    m.load(qfauthor::Asset::Sound, Svx(ToneSample(7000, 40, 2600, LeadWave), 14080));
    m.load(qfauthor::Asset::Sound, Svx(ToneSample(1500, 16, 700, BassWave), 3520));
    m.load(qfauthor::Asset::Sound, Svx(Kick(), 22030));
    m.load(qfauthor::Asset::Sound, Svx(Noise(2600, 28, 0.45, false), 22030));
    m.load(qfauthor::Asset::Sound, Svx(Noise(900, 90, 0, true), 22030));
    enum FaceSetIndex : uint16_t {
        BirdSet,
        BalloonSet,
        LetterSet
    };

    // 80 scenes of 6 ticks (16th notes at 125 bpm) in three moods, then a held last scene.
    constexpr int Steps = 80, PartLength = 28;
    const int sceneCount = Steps + 1;
    m.scenes(sceneCount);

    // Bars of the tune: chord roots (MIDI) for Am F C G Am.
    const int roots[5] = {45, 41, 48, 43, 45};
    const std::array<std::array<int, 4>, 5> chords{
        {{57, 60, 64, 69}, {53, 57, 60, 65}, {55, 60, 64, 67}, {55, 59, 62, 67}, {57, 60, 64, 69}}};
    // Melody: one entry per step, 0 = hold.
    const int melody[Steps] = {
        76, 0, 0,  0, 74, 0, 72, 0, 69, 0, 0,  0, 72, 0, 74, 0,  // Am
        72, 0, 0,  0, 69, 0, 72, 0, 74, 0, 0,  0, 72, 0, 69, 0,  // F
        76, 0, 79, 0, 76, 0, 74, 0, 72, 0, 0,  0, 74, 0, 76, 0,  // C
        74, 0, 0,  0, 79, 0, 0,  0, 76, 0, 74, 0, 71, 0, 0,  0,  // G
        69, 0, 72, 0, 76, 0, 81, 0, 0,  0, 0,  0, 0,  0, 0,  0,  // Am
    };
    const char *words[3] = {"QUILL FRAMER", "DUSK", "GOOD NIGHT"};

    for (int scene = 1; scene <= sceneCount; ++scene) {
        const int step = scene - 1;
        const int part = std::min(2, step / PartLength);
        m.scene(static_cast<uint16_t>(scene));
        if (scene == 1) {
            m.duration(6);
            m.background(0);  // borrows the picture's 32 colours
            m.scroll(1, 5, 1, true);
        }
        if (scene == sceneCount) m.duration(40);
        if (step % PartLength == 0 && step > 0) m.palette(MakePalette(part == 1 ? Sunset : Night));
        // Restart the two ranges now and then, so that cycling resumes soon after a seek.
        if (step % 8 == 0) {
            std::array<qfauthor::CycleRange, 4> ranges{};
            ranges[0] = {Water, Water + 7, 0, 1};
            ranges[1] = {Star, Star + 3, 1, 1};
            ranges[2].command = 3;
            ranges[3].command = 3;
            m.cycles(ranges);
        }
        if (step < Steps) {
            int bar = step / 16, beat = step % 16;
            if (beat % 2 == 0)
                m.sound(BassSound, 34, PeriodForNote(roots[bar] - 12 + (beat % 4 == 2 ? 12 : 0)), 1 << 0);
            if (melody[step]) m.sound(Lead, 28, PeriodForNote(melody[step]), 1 << 1);
            if (bar < 4 || beat < 8) m.sound(Bell, 15, PeriodForNote(chords[bar][beat % 4] + 12), 1 << 2);
            if (beat == 0 || beat == 8 || beat == 10) m.sound(KickSound, 38, DrumPeriod, 1 << 3);
            else if (beat == 4 || beat == 12) m.sound(SnareSound, 30, DrumPeriod, 1 << 3);
            else if (beat % 2 == 0) m.sound(HatSound, 24, DrumPeriod, 1 << 3);
        } else {
            m.sound(Lead, 28, PeriodForNote(69), 1 << 1);
            m.sound(BassSound, 34, PeriodForNote(33), 1 << 0);
            m.sound(Bell, 16, PeriodForNote(81), 1 << 2);
            m.sound(KickSound, 38, DrumPeriod, 1 << 3);
        }

        // Sprite runs start at the first scene of each part: one "d", then one "e" per scene.
        if (step % PartLength == 0) {
            const int length = std::min(PartLength, sceneCount - step);
            // The title, letter by letter, on a travelling sine wave (layer 0: on top).
            const std::string word = words[part];
            const int left = (Width - static_cast<int>(word.size()) * 14) / 2;
            for (size_t j = 0; j < word.size(); ++j) {
                if (word[j] == ' ') continue;
                m.faceSet(LetterSet, static_cast<int16_t>(left + j * 14), part == 2 ? 150 : 24);
                for (int k = 0; k < length; ++k) {
                    int drop = k < 6 ? (6 - k) * (6 - k) * 4 : 0;  // letters fall in, then wave
                    int y = static_cast<int>(std::lround(6 * std::sin(k * 0.7 - j * 0.55))) - drop;
                    m.sprite(static_cast<uint16_t>(word[j] - 'A' + 1), 0, static_cast<int16_t>(y), 0);
                }
            }
            // Two gulls crossing the picture (layer 2), flapping.
            for (int b = 0; b < 2; ++b) {
                m.faceSet(BirdSet, static_cast<int16_t>(-20 - b * 60), static_cast<int16_t>(70 + b * 18 + part * 6));
                for (int k = 0; k < length; ++k)
                    m.sprite(static_cast<uint16_t>(1 + (k + b * 2) % 4), static_cast<int16_t>(k * (13 - b)),
                             static_cast<int16_t>(std::lround(5 * std::sin(k * 0.4 + b))), 2);
            }
        }
        // The balloon rises through the whole movie behind the birds (layer 6): one long run.
        if (scene == 1) {
            m.faceSet(BalloonSet, 60, 150);
            for (int k = 0; k < sceneCount; ++k)
                m.sprite(static_cast<uint16_t>(1 + (k / 2) % 2),
                         static_cast<int16_t>(k * 1.6 + 10 * std::sin(k * 0.12)), static_cast<int16_t>(-k * 1.6), 6);
        }
    }
    m.end();
    outputs.write(demo.movie, [&](const std::filesystem::path &file) { m.save(file); });
    return demo;
}

}  // namespace qfauthor
