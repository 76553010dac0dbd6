// Opens movie bytes (written with qfauthor's MovieWriter) through the parser on a scripted host,
// so suites test the models the parser really makes.
#pragma once

#include <cstring>

#include "authoring/movie_writer.h"
#include "quillframer/host_api.h"
#include "testing/scripted_host.h"

namespace qftest {

struct Opened {
    MovieHandle *movie = nullptr;
    StreamDescriptor descriptor{};
    ~Opened() { CloseVideo(movie); }
};

// Opens bytes as "movie" through the host; the descriptor starts with a recognisable pattern.
inline void OpenBytes(ScriptedHost &host, const qfauthor::Bytes &bytes, Opened &out, uint32_t option = 0)
{
    host.files["movie"] = bytes;
    host.install();
    std::memset(&out.descriptor, 0xAB, sizeof out.descriptor);
    out.descriptor.openOption = option;
    out.movie = OpenVideo("movie", &out.descriptor);
}

}  // namespace qftest
