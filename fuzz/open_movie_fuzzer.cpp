// libFuzzer target: arbitrary bytes opened as a movie and played through the entry points,
// with referenced assets resolving in a small in-memory volume.
#include <cstdio>
#include <cstdlib>

#include "testing/movie_player.h"
#include "testing/movies.h"
#include "testing/scripted_host.h"

namespace {

struct FuzzHost {
    qftest::ScriptedHost host;
    FuzzHost()
    {
        host.quiet();
        host.laterAnswer = qftest::VolumeDirectory;
        for (const auto &[name, bytes] : qftest::VolumeFiles()) host.addFile(name, bytes);
        host.install();
    }
};

}  // namespace

// A header may ask for gigabytes (a BODY length, 65535 x 65535 pixels), which ASan would zero
// byte by byte; here such a request fails as on a host short of memory, so the plug-in's
// allocation-failure path is what gets exercised.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FuzzHost fuzz;
    fuzz.host.addFile("movie", data, size);
    fuzz.host.install();
    qftest::PlayMovieWithFailures("movie", {data, size});
    if (fuzz.host.openFiles() != 0) {
        std::fprintf(stderr, "a host file was left open\n");
        std::abort();
    }
    fuzz.host.resetOpens();
    return 0;
}
