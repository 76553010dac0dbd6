// libFuzzer target: arbitrary bytes as a `make` script beside a fixed set of small asset files. The
// reader may refuse a script only with a std::runtime_error of one line; anything else (another
// exception, a crash, a hang, a leak) is a finding.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "authoring/script/make_script.hpp"
#include "media/png.hpp"
#include "qfhost/output.hpp"

namespace {

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

void WriteBytes(const std::filesystem::path &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("cannot write " + path.string());
}

qfmedia::IndexedPicture Picture(int width, int height, int colours)
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
std::vector<uint8_t> Wav(int rate, int frames)
{
    std::vector<uint8_t> b;
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i))); };
    auto u16 = [&](uint16_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); };
    auto tag = [&](const char *t) { b.insert(b.end(), t, t + 4); };
    tag("RIFF"); u32(36 + frames * 2); tag("WAVE");
    tag("fmt "); u32(16); u16(1); u16(1); u32(rate); u32(rate * 2); u16(2); u16(16);
    tag("data"); u32(frames * 2);
    for (int i = 0; i < frames; ++i) u16(static_cast<uint16_t>((i % 40 - 20) * 1000));
    return b;
}

// The asset files of the example script (field.png, ball1.png, ball2.png, boing.wav), small, plus
// a 256-colour picture, in a temporary directory; scripts and movies go beside them.
struct Fixture {
    std::filesystem::path dir;
    Fixture()
    {
        std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        dir = base / ("qf-make-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        qfmedia::WriteIndexedPng(dir / "field.png", Picture(32, 24, 16));
        qfmedia::WriteIndexedPng(dir / "ball1.png", Picture(8, 8, 6));
        qfmedia::WriteIndexedPng(dir / "ball2.png", Picture(10, 6, 32));
        qfmedia::WriteIndexedPng(dir / "wide.png", Picture(40, 4, 256));
        WriteBytes(dir / "boing.wav", Wav(11025, 400));
        WriteBytes(dir / "noise.png", {1, 2, 3});
    }
    ~Fixture() { std::filesystem::remove_all(dir); }
};

// Scripts that name files outside the fixture (absolute paths, "..") are skipped: the reader
// opens what a script names and writes referenced assets where it says.
bool StaysInside(const nlohmann::json &j)
{
    if (j.is_string()) {
        const std::string &s = j.get_ref<const std::string &>();
        return s.empty() || (s[0] != '/' && s.find("..") == std::string::npos);
    }
    if (j.is_structured())
        for (const auto &item : j.items())
            if (!StaysInside(item.value())) return false;
    return true;
}

}  // namespace

extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture fixture;
    nlohmann::json doc = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!doc.is_discarded() && !StaysInside(doc)) return 0;

    const std::filesystem::path script = fixture.dir / "script.json";
    WriteBytes(script, std::vector<uint8_t>(data, data + size));
    try {
        qfhost::Outputs outputs(qfhost::Overwrite::Always);
        qfauthor::MakeMovie(script, fixture.dir / "out" / "movie.qfm", outputs);
    } catch (const std::runtime_error &e) {
        std::string what = e.what();
        if (what.empty() || what.find('\n') != std::string::npos) Fail("message is empty or not one line: " + what);
    } catch (const std::exception &e) {
        Fail(std::string("not a std::runtime_error: ") + e.what());
    }
    // The movie and the referenced assets (a volume directory of the script's choosing) are below out/.
    std::filesystem::remove_all(fixture.dir / "out");
    return 0;
}
