// The asset files of the example `make` script (field.png, ball1.png, ball2.png, boing.wav), small,
// plus a 256-colour picture and a file that is no PNG, in a temporary directory that scripts and
// movies share. For the make fuzzer and the replay of its kept inputs.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "media/png.hpp"

namespace qftest {

inline void WriteFileBytes(const std::filesystem::path &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline qfmedia::IndexedPicture FixturePicture(int width, int height, int colours)
{
    qfmedia::IndexedPicture p;
    p.width = width;
    p.height = height;
    p.bitDepth = 8;
    for (int i = 0; i < width * height; ++i) p.indices.push_back(static_cast<uint8_t>((i * 7 + i / width) % colours));
    for (int c = 0; c < colours; ++c) p.palette.push_back({uint8_t(c * 8), uint8_t(255 - c * 8), uint8_t(c * 3)});
    return p;
}

// 16-bit mono PCM.
inline std::vector<uint8_t> FixtureWav(int rate, int frames)
{
    std::vector<uint8_t> b;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    };
    auto u16 = [&](uint16_t v) {
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(v >> 8));
    };
    auto tag = [&](const char *t) { b.insert(b.end(), t, t + 4); };
    tag("RIFF");
    u32(36 + frames * 2);
    tag("WAVE");
    tag("fmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    tag("data");
    u32(frames * 2);
    for (int i = 0; i < frames; ++i) u16(static_cast<uint16_t>((i % 40 - 20) * 1000));
    return b;
}

struct MakeScriptFixture {
    std::filesystem::path dir;
    explicit MakeScriptFixture(const std::string &name)
    {
        std::filesystem::path base =
            std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        dir = base / (name + "-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        qfmedia::WriteIndexedPng(dir / "field.png", FixturePicture(32, 24, 16));
        qfmedia::WriteIndexedPng(dir / "ball1.png", FixturePicture(8, 8, 6));
        qfmedia::WriteIndexedPng(dir / "ball2.png", FixturePicture(10, 6, 32));
        qfmedia::WriteIndexedPng(dir / "wide.png", FixturePicture(40, 4, 256));
        WriteFileBytes(dir / "boing.wav", FixtureWav(11025, 400));
        WriteFileBytes(dir / "noise.png", {1, 2, 3});
    }
    ~MakeScriptFixture() { std::filesystem::remove_all(dir); }
};

}  // namespace qftest
