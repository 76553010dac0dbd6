// libFuzzer target: one IFF loader, or the planar decoder, on raw bytes. The first byte picks
// the reader (0 picture, 1 face set, 2 sound, 3 planar body); the rest is the file.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "testing/scripted_host.h"
#include "iff/iff_loaders.h"
#include "plugin/memory.h"

namespace {

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Planar body: width, height (u16, kept to 0..1024), planes, masking, compression, extra BODY
// length beyond the bytes present (a short read), then the BODY.
void DecodeBody(qftest::ScriptedHost &host, const uint8_t *data, size_t size)
{
    if (size < 8) return;
    int32_t width = ((data[0] << 8) | data[1]) % 1025;
    int32_t height = ((data[2] << 8) | data[3]) % 1025;
    int32_t planes = data[4] % 33;
    uint32_t length = static_cast<uint32_t>(size - 8) + data[7];
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height);
    host.addFile("body", data + 8, size - 8);
    HostFile file = host.openDirect("body");
    if (!DecodePlanarBody(file, length, picture.data(), width, height, planes, data[5], data[6]))
        Fail("DecodePlanarBody failed without an allocation failure");
    for (uint8_t pixel : picture)
        if (planes < 8 && (pixel >> planes) != 0) Fail("pixel uses a plane the picture does not have");
    if (host.position(file) != static_cast<int64_t>(size - 8)) Fail("BODY not consumed whole");
    host.closeDirect(file);
}

}  // namespace

// A header may ask for gigabytes (a BODY length, 65535 x 65535 pixels), which ASan would zero
// byte by byte; here such a request fails as on a host short of memory, so the plug-in's
// allocation-failure path is what gets exercised.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static qftest::ScriptedHost host;
    if (size < 1) return 0;
    host.quiet();
    host.install();
    host.resetOpens();
    uint8_t selector = data[0] % 4;
    if (selector == 3) {
        DecodeBody(host, data + 1, size - 1);
        return 0;
    }
    host.addFile("file", data + 1, size - 1);
    HostFile file = host.openDirect("file");
    auto *movie = static_cast<MovieHandle *>(AllocZeroed(sizeof(MovieHandle)));
    if (selector == 0) LoadBackgroundImage(movie, file);
    if (selector == 1) LoadFaceSet(movie, file);
    if (selector == 2) LoadSoundSample(movie, file);
    int32_t count = selector == 0 ? movie->backgroundCount : selector == 1 ? movie->faceSetCount : movie->soundCount;
    if (count != 1) Fail("a loader must add exactly one record");
    host.closeDirect(file);
    CloseVideo(movie);  // frees the lists; the loader's file is ours
    return 0;
}
