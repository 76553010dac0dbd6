// Every kept `make` script of fuzz/regressions/make_script/ is run as the make fuzzer runs it:
// the reader may refuse one only with a one-line std::runtime_error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "authoring/script/make_script.hpp"
#include "qfutil/output.hpp"
#include "testing/make_script_fixture.h"

namespace fs = std::filesystem;

TEST(FuzzRegressions, EveryKeptMakeScriptIsMadeOrRefusedInOneLine)
{
    const char *source = std::getenv("QF_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    qftest::MakeScriptFixture fixture("qf-make-replay");
    int replayed = 0;
    for (const auto &entry : fs::directory_iterator(fs::path(source) / "fuzz" / "regressions" / "make_script")) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const fs::path script = fixture.dir / "script.json";
        fs::copy_file(entry.path(), script, fs::copy_options::overwrite_existing);
        try {
            qfutil::Outputs outputs(qfutil::Overwrite::Always);
            qfauthor::MakeMovie(script, fixture.dir / "out" / "movie.qfm", outputs);
        } catch (const std::runtime_error &e) {
            const std::string what = e.what();
            EXPECT_FALSE(what.empty());
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        } catch (const std::exception &e) {
            ADD_FAILURE() << "not a std::runtime_error: " << e.what();
        }
        fs::remove_all(fixture.dir / "out");
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
    RecordProperty("replayed", replayed);
}
