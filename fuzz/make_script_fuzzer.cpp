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
#include "qfutil/output.hpp"
#include "testing/make_script_fixture.h"

namespace {

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

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
    static qftest::MakeScriptFixture fixture("qf-make-fuzz");
    nlohmann::json doc = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!doc.is_discarded() && !StaysInside(doc)) return 0;

    const std::filesystem::path script = fixture.dir / "script.json";
    qftest::WriteFileBytes(script, std::vector<uint8_t>(data, data + size));
    try {
        qfutil::Outputs outputs(qfutil::Overwrite::Always);
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
