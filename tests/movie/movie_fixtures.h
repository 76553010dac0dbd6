// Shared helpers for the movie loading suites: open byte strings through the scripted host.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "movie/movie_model.h"
#include "plugin/memory.h"
#include "testing/open_bytes.h"
#include "testing/scripted_host.h"

namespace qftest {

inline qfauthor::Bytes Picture(int width, int height, int colours = 4, uint8_t fill = 1)
{
    qfauthor::IndexedImage image{width, height, qfauthor::Bytes(static_cast<size_t>(width * height), fill)};
    std::vector<qfauthor::Color> palette;
    for (int i = 0; i < colours; ++i)
        palette.push_back({static_cast<uint8_t>(i * 16), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i)});
    qfauthor::IlbmOptions options;
    options.planeCount = 2;
    options.padOddChunks = false;
    return qfauthor::WriteIlbm(image, palette, options);
}

inline qfauthor::Bytes Faces(int count, int width = 4, int height = 3, int16_t offsetX = 0, int16_t offsetY = 0)
{
    std::vector<qfauthor::FaceEntry> faces;
    for (int i = 0; i < count; ++i) {
        qfauthor::FaceEntry face;
        face.image = {width, height, qfauthor::Bytes(static_cast<size_t>(width * height), static_cast<uint8_t>(i + 1))};
        face.offsetX = offsetX;
        face.offsetY = offsetY;
        faces.push_back(face);
    }
    std::vector<qfauthor::Color> palette(32);
    return qfauthor::WriteFaceSet(faces, palette);
}

inline qfauthor::Bytes Sound(size_t length)
{
    std::vector<int8_t> samples(length);
    for (size_t i = 0; i < length; ++i) samples[i] = static_cast<int8_t>(i * 7);
    return qfauthor::Write8svx(samples);
}

// Opens movie once to count its allocations, then once per allocation with that one failing.
// prepare readies each fresh host; check judges each attempt (n counts from 1).
template <typename Prepare, typename Check>
void ForEachFailedAllocation(const qfauthor::Bytes &movie, Prepare prepare, Check check)
{
    long total;
    {
        ScriptedHost host;
        prepare(host);
        qfFailAt = 0;
        qfAllocationCount = 0;
        Opened ok;
        OpenBytes(host, movie, ok);
        ASSERT_NE(ok.movie, nullptr);
        total = qfAllocationCount;
    }
    for (long n = 1; n <= total; ++n) {
        ScriptedHost host;
        prepare(host);
        qfAllocationCount = 0;
        qfFailAt = n;
        Opened o;
        OpenBytes(host, movie, o);
        qfFailAt = 0;
        check(n, o, host);
    }
}

inline const SceneRecord &Scene(const Opened &o, int i) { return o.movie->scenes[i]; }

}  // namespace qftest
