// Shared pieces of the IFF suites: a movie and a scripted host per case, byte builders, and the
// truncation and allocation-failure sweeps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "authoring/iff_writer.h"
#include "iff/iff_loaders.h"
#include "movie/movie_model.h"
#include "plugin/memory.h"
#include "testing/scripted_host.h"

namespace iffTest {

using qfauthor::Bytes;

// One loader case: a fresh scripted host and an empty movie, freed with CloseVideo.
struct LoaderCase {
    qftest::ScriptedHost host;
    MovieHandle *movie = nullptr;
    int fileNumber = 0;

    LoaderCase()
    {
        host.install();
        host.logByteReads = false;
        movie = static_cast<MovieHandle *>(AllocZeroed(sizeof(MovieHandle)));
    }
    ~LoaderCase()
    {
        qfFailAt = 0;
        qfFailAll = 0;
        CloseVideo(movie);
    }
    HostFile open(const Bytes &data)
    {
        std::string name = "file" + std::to_string(++fileNumber);
        host.files[name] = data;
        return host.openDirect(name);
    }
    int64_t position(HostFile f) const { return host.position(f); }
};

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes U32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes Id(const std::string &id) { return Bytes(id.begin(), id.end()); }
// A chunk exactly as given: no pad.
inline Bytes Chunk(const std::string &id, const Bytes &data)
{
    return Concat({Id(id), U32(static_cast<uint32_t>(data.size())), data});
}

// A group header with an explicit length field.
inline Bytes GroupHeader(uint32_t length, const std::string &type = "ILBM")
{
    return Concat({Id("FORM"), U32(length), Id(type)});
}

// A group whose length counts exactly the chunks given.
inline Bytes Group(const std::string &type, const Bytes &chunks)
{
    return Concat({GroupHeader(static_cast<uint32_t>(chunks.size() + 4), type), chunks});
}

// Random chunky picture with indices below 2^planes; some rows get long runs so both ByteRun1
// forms occur.
inline qfauthor::IndexedImage RandomImage(int width, int height, int planes, std::mt19937 &rng)
{
    qfauthor::IndexedImage image{width, height, Bytes(static_cast<size_t>(width) * height)};
    std::uniform_int_distribution<int> index(0, (1 << planes) - 1);
    for (int y = 0; y < height; ++y) {
        bool flat = rng() % 3 == 0;
        uint8_t value = static_cast<uint8_t>(index(rng));
        for (int x = 0; x < width; ++x) {
            if (!flat || rng() % 16 == 0) value = static_cast<uint8_t>(index(rng));
            image.pixels[static_cast<size_t>(y) * width + x] = value;
        }
    }
    return image;
}

inline std::vector<qfauthor::Color> RandomPalette(size_t count, std::mt19937 &rng)
{
    std::vector<qfauthor::Color> palette(count);
    for (auto &c : palette) c = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    return palette;
}

// Loads every prefix of file (cut at each byte offset); check(case, keep) inspects each before it
// is freed. No prefix may crash, fail the load or make the walk spin.
template <typename Load, typename Check>
void ForEachTruncation(const Bytes &file, Load load, Check check)
{
    for (size_t keep = 0; keep < file.size(); ++keep) {
        SCOPED_TRACE("first " + std::to_string(keep) + " bytes");
        LoaderCase c;
        EXPECT_EQ(load(c.movie, c.open(Bytes(file.begin(), file.begin() + keep))), 1);
        check(c, keep);
    }
}

// Runs load over every allocation in turn failing; check(result, failedAllocation) inspects the
// case before it is freed. Returns the number of allocations a clean load makes.
template <typename Load, typename Check>
long ForEachAllocationFailure(Load load, Check check)
{
    long total;
    {
        LoaderCase clean;
        qfAllocationCount = 0;
        load(clean);
        total = qfAllocationCount;
    }
    for (long fail = 1; fail <= total; ++fail) {
        LoaderCase c;
        qfAllocationCount = 0;
        qfFailAt = fail;
        int32_t result = load(c);
        qfFailAt = 0;
        SCOPED_TRACE("allocation " + std::to_string(fail) + " of " + std::to_string(total));
        check(c, result, fail);
    }
    return total;
}

}  // namespace iffTest
