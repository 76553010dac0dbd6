// The smallest playable movie, written with the movie writer: one scene of 6 ticks (120 ms) unless
// told otherwise, no picture and no sound. `before` adds commands ahead of the scene, `inScene` inside it, and the
// signature may be any 12 bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "quillframer/movie_format.h"

namespace qftest {

using Commands = std::function<void(qfauthor::MovieWriter &)>;

inline qfauthor::Bytes OneSceneMovie(const Commands &before = {}, const Commands &inScene = {},
                                     const std::string &signature = QF_SIGNATURE_QUILLFRAMER, uint16_t ticks = 6)
{
    qfauthor::MovieWriter movie;
    movie.scenes(1);
    if (before) before(movie);
    movie.scene(1);
    if (inScene) inScene(movie);
    qfauthor::Bytes bytes = movie.duration(ticks).end().bytes();
    std::memcpy(bytes.data(), signature.data(), std::min<size_t>(signature.size(), QF_SIGNATURE_LENGTH));
    return bytes;
}

// A 16 x 2 one-plane ILBM with 32 colours: row 0 is colour 1 (240, 16, 32), row 1 colour 0.
inline qfauthor::Bytes TwoRowPicture()
{
    qfauthor::IndexedImage image{16, 2, qfauthor::Bytes(16, 1)};
    image.pixels.resize(32, 0);
    std::vector<qfauthor::Color> palette(32);
    palette[1] = {240, 16, 32};
    qfauthor::IlbmOptions options;
    options.planeCount = 1;
    options.compression = qfauthor::Compression::None;
    return qfauthor::WriteIlbm(image, palette, options);
}

}  // namespace qftest
