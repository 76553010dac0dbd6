// libFuzzer target: arbitrary bytes as a movie file, opened by the plug-in's code and explained by
// the host the way the command does. The message must agree with the recorded cause, and with the
// input itself where the cause can be checked from the bytes. The survey that goes on past
// missing files must open whatever the plug-in opens, and its scenes must tile the movie's length.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "recording/open_explanation.h"
#include "quillframer/host_api.h"
#include "qfhost/host.hpp"
#include "qfhost/survey.hpp"
#include "testing/movies.h"

namespace {

[[noreturn]] void Fail(const std::string &what, const std::string &message)
{
    std::fprintf(stderr, "%s\nmessage: %s\n", what.c_str(), message.c_str());
    std::abort();
}

void WriteFile(const std::filesystem::path &path, const uint8_t *data, size_t size)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out) Fail("cannot write " + path.string(), "");
}

// The volume of the seed movies in a temporary directory (on tmpfs when there is one), answered
// for every volume name the seeds use, so referenced files load.
struct Fixture {
    std::filesystem::path dir, movie;
    qfhost::Host *host = nullptr;
    Fixture()
    {
        std::filesystem::path base =
            std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        dir = base / ("qf-explain-fuzz-" + std::to_string(getpid()));
        for (const auto &[name, bytes] : qftest::VolumeFiles())
            WriteFile(dir / std::filesystem::path(name).relative_path(), bytes.data(), bytes.size());
        movie = dir / "movie.qfm";
        qfhost::HostSettings settings;
        for (const char *volume : {"Work", "work", "WORK"})
            settings.volumes[volume] = dir / std::filesystem::path(qftest::VolumeDirectory).relative_path();
        host = new qfhost::Host(settings);  // lives as long as the process
    }
    ~Fixture() { std::filesystem::remove_all(dir); }
};

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The failing command as recorded must be the byte at its offset in the file.
void CheckCommandAt(const OpenDiagnostics &d, const uint8_t *data, size_t size, const std::string &message)
{
    if (d.offset < 0 || static_cast<uint64_t>(d.offset) >= size) Fail("command offset outside the file", message);
    if (data[d.offset] != d.command) Fail("recorded command is not the byte at its offset", message);
    if (!Has(message, "offset " + std::to_string(d.offset))) Fail("message does not give the offset", message);
}

qfhost::FailureKind ExpectedKind(int32_t failure)
{
    switch (failure) {
    case OpenFailureSignature: return qfhost::FailureKind::BadSignature;
    case OpenFailureMemory: return qfhost::FailureKind::OutOfMemory;
    case OpenFailurePath: return qfhost::FailureKind::RefusedPath;
    case OpenFailureCancelled: return qfhost::FailureKind::VolumeCancelled;
    case OpenFailureReferencedFile: return qfhost::FailureKind::ReferencedFile;
    default: return qfhost::FailureKind::Malformed;
    }
}

void CheckFailure(const OpenDiagnostics &d, const qfhost::Host &host, const uint8_t *data, size_t size,
                  const std::string &message)
{
    if (message.empty()) Fail("a failed open with no message", message);
    if (message.find('\n') != std::string::npos) Fail("message is not one line", message);
    qfhost::FailureKind kind = host.failure().kind;
    qfhost::FailureKind expected = ExpectedKind(d.failure);
    bool escaping = d.failure == OpenFailureReferencedFile && kind == qfhost::FailureKind::EscapingPath;
    if (kind != expected && !escaping)
        Fail("failure class " + std::to_string(d.failure) + " worded as another", message);
    switch (d.failure) {
    case OpenFailureNone: Fail("the open failed but no cause was recorded", message);
    case OpenFailureMovieFile: Fail("the movie file exists but could not be opened", message);
    case OpenFailureSignature:
        if (size >= 12 && (!std::memcmp(data, "xSceneEditor", 12) || !std::memcmp(data, "xQuillframer", 12)))
            Fail("a good signature refused", message);
        if (!Has(message, "bad signature")) Fail("signature failure not named", message);
        break;
    case OpenFailureUnknownCommand:
        CheckCommandAt(d, data, size, message);
        if (d.command >= 'a' && d.command <= 'z') Fail("a known command called unknown", message);
        if (!Has(message, "unknown command byte")) Fail("unknown command not named", message);
        break;
    case OpenFailureTruncated:
        CheckCommandAt(d, data, size, message);
        if (static_cast<uint64_t>(d.offset) + 1 + d.payloadSize <= size && d.payloadSize != 0)
            Fail("a payload that fits called cut off", message);
        if (!Has(message, "cut off")) Fail("truncation not named", message);
        break;
    case OpenFailureMemory:
        if (d.size == 0 || !Has(message, std::to_string(d.size) + " bytes"))
            Fail("out of memory without a size", message);
        if (!Has(message, "out of memory")) Fail("out of memory not named", message);
        break;
    case OpenFailureIndex:
        if (!Has(message, std::to_string(d.index))) Fail("index failure without the index", message);
        break;
    case OpenFailureNoScenes:
        if (!Has(message, "no scene table")) Fail("missing scene table not named", message);
        break;
    default: break;
    }
}

void CheckSurvey(qfhost::Host &host, const std::filesystem::path &movie, bool pluginOpened)
{
    qfhost::Survey survey(host, movie, 0, true);
    if (qfhost::Host::openFileCount() != 0) Fail("a survey left a host file open", "");
    if (pluginOpened && !survey.opened()) Fail("a movie that opens could not be surveyed", "");
    if (!survey.opened()) return;
    uint32_t end = 0;  // the plug-in sums in 32 bits too
    for (const qfhost::SceneEntry &scene : survey.scenes()) {
        if (scene.startMs != end) Fail("a scene does not start where the one before it ends", "");
        end += scene.durationMs;
    }
    if (end != survey.durationMs()) Fail("the scenes do not add up to the movie's length", "");
    for (const qfhost::AssetEntry &asset : survey.assets())
        if (pluginOpened && asset.missing()) Fail("a file of a movie that opens called missing", asset.amigaPath);
}

}  // namespace

// Allocations above 64 MB fail as on a host short of memory (see open_movie_fuzzer.cpp).
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture fixture;
    qfhost::Host &host = *fixture.host;
    WriteFile(fixture.movie, data, size);

    // The plug-in's own open, then the cause as its recording build sees it, then the same open as
    // the command explains it: all three must agree on whether the movie opens.
    host.makeCurrent();
    host.beginOpen(fixture.movie);
    PluginInfo info{};
    InitPlugin(&info, host.base());
    StreamDescriptor descriptor{};
    MovieHandle *movie = OpenVideo(fixture.movie.c_str(), &descriptor);
    const bool pluginOpened = movie != nullptr;
    CloseVideo(movie);
    host.beginOpen(fixture.movie);
    static OpenDiagnostics record;
    const bool opened = QfExplainOpen(host.base(), fixture.movie.c_str(), 0, &record) != 0;
    if (qfhost::Host::openFileCount() != 0) Fail("a host file was left open", "");
    host.beginOpen(fixture.movie);
    qfhost::OpenExplanation explanation = qfhost::ExplainOpen(host, fixture.movie);
    if (qfhost::Host::openFileCount() != 0) Fail("a host file was left open", explanation.error);

    if (opened != pluginOpened) Fail("the recording build and the plug-in disagree on the open", explanation.error);
    if (opened) {
        if (!explanation.error.empty()) Fail("an open that succeeded was explained as failing", explanation.error);
        if (record.failure != OpenFailureNone) Fail("an open that succeeded recorded a failure", "");
        CheckSurvey(host, fixture.movie, true);
        return 0;
    }
    if (explanation.error.empty()) Fail("the same open succeeded when explained", "");
    CheckFailure(record, host, data, size, explanation.error);
    for (const std::string &w : explanation.warnings)
        if (w.empty() || w.find('\n') != std::string::npos) Fail("a warning is empty or not one line", w);
    CheckSurvey(host, fixture.movie, false);  // last: it starts a new open on the host
    return 0;
}
