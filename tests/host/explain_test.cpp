// Why an open failed, as ExplainOpen words it from the recording build of the plug-in's code:
// each allocation of an open failed in turn, files that could not be loaded, and a requester
// that is never asked twice.
#include <gtest/gtest.h>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "host_test_support.hpp"
#include "qfhost/host.hpp"

// The recording build's own allocation-failure switches (renamed from qfFailAt and friends).
extern "C" {
extern long qfExplainFailAt;
extern long qfExplainAllocationCount;
}

using namespace hosttest;
using qfauthor::Asset;
using qfauthor::MovieWriter;
using qfhost::ExplainOpen;
using qfhost::FailureKind;
using qfhost::Host;
using qfhost::HostSettings;
using qfhost::RequesterPolicy;

namespace {

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A referenced 40 x 25 picture (1000 pixel bytes) and an embedded face set.
struct TwoAssetMovie {
    TempDir dir;
    std::filesystem::path movie;
    std::filesystem::path volume = dir.path() / "work";
    TwoAssetMovie()
    {
        qfauthor::IndexedImage picture{40, 25, std::vector<uint8_t>(1000, 1)};
        qfauthor::WriteReferencedAsset(volume, "Work:Pics", "Sky",
                                       qfauthor::WriteIlbm(picture, std::vector<qfauthor::Color>(4)));
        std::vector<qfauthor::FaceEntry> faces(1);
        faces[0].image = {3, 2, std::vector<uint8_t>(6, 2)};
        // clang-format off
        movie = dir.write("two.qf", MovieWriter()
                                        .reference(Asset::Background, "Work:Pics", "Sky")
                                        .embedded()
                                        .load(Asset::FaceSet, qfauthor::WriteFaceSet(faces, std::vector<qfauthor::Color>(2)))
                                        .scenes(1).scene(1).background(0).duration(6).faceSet(0, 0, 0).sprite(1, 0, 0, 0)
                                        .end().bytes());
        // clang-format on
    }
};

TEST(ExplainOpen, EveryFailedAllocationIsAnErrorOrAWarningNamingWhatAndHowBig)
{
    TwoAssetMovie m;
    HostSettings settings;
    settings.volumes["Work"] = m.volume;
    Host host(settings);
    qfExplainFailAt = 0;
    qfExplainAllocationCount = 0;
    qfhost::OpenExplanation clean = ExplainOpen(host, m.movie);
    EXPECT_EQ(clean.error, "");
    EXPECT_TRUE(clean.warnings.empty());
    long total = qfExplainAllocationCount;
    ASSERT_GT(total, 8);

    int errors = 0, warnings = 0;
    bool movieRecord = false, picturePixels = false, faceCommand = false;
    for (long k = 1; k <= total; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        qfExplainAllocationCount = 0;
        qfExplainFailAt = k;
        qfhost::OpenExplanation e = ExplainOpen(host, m.movie);
        qfExplainFailAt = 0;
        if (!e.warnings.empty()) {
            // Only the referenced picture may go missing; without its record, "f" 0 names nothing.
            ASSERT_EQ(e.warnings.size(), 1u);
            EXPECT_TRUE(Has(e.warnings[0], "picture \"")) << e.warnings[0];
            EXPECT_TRUE(Has(e.warnings[0], "was not loaded: out of memory (")) << e.warnings[0];
            picturePixels |=
                Has(e.warnings[0],
                    "work/Pics/Sky\" was not loaded: out of memory (1000 bytes for the pixels of a picture)");
            if (!e.error.empty()) {
                EXPECT_TRUE(Has(e.error, "names background 0, but no background is loaded")) << e.error;
            }
            ++warnings;
            continue;
        }
        ++errors;
        EXPECT_TRUE(e.warnings.empty());
        EXPECT_TRUE(Has(e.error, "out of memory opening \"" + m.movie.string() + "\": ")) << e.error;
        EXPECT_TRUE(Has(e.error, " bytes for ")) << e.error;
        EXPECT_EQ(host.failure().kind, FailureKind::OutOfMemory);
        EXPECT_EQ(host.failure().what, e.error);
        movieRecord |= k == 1 && Has(e.error, "bytes for the movie record could not be allocated");
        faceCommand |= Has(e.error, "of a face") && Has(e.error, "(the \"b\" command at offset ");
    }
    EXPECT_GE(warnings, 3) << "mapping, record, pixels, BODY buffers";
    EXPECT_GE(errors, 6);
    EXPECT_TRUE(movieRecord);
    EXPECT_TRUE(picturePixels);
    EXPECT_TRUE(faceCommand);
}

TEST(ExplainOpen, AsksNoOneTwiceAndNamesTheCancelledVolume)
{
    TempDir dir;
    std::filesystem::path movie =
        dir.write("ask.qf", MovieWriter().reference(Asset::Sound, "Music:Tunes", "Boom").scenes(1).end().bytes());
    int asked = 0;
    HostSettings settings;
    settings.policy = RequesterPolicy::Terminal;
    settings.prompt = [&asked](const std::string &) -> std::optional<std::string> {
        ++asked;
        return std::nullopt;
    };
    Host host(settings);
    qfhost::OpenExplanation e = ExplainOpen(host, movie);
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(Has(e.error, "no directory for Amiga volume \"Music:\"")) << e.error;
    EXPECT_TRUE(Has(e.error, "the \"j\" command at offset 33")) << e.error;
    EXPECT_EQ(host.failure().kind, FailureKind::VolumeCancelled);
    EXPECT_EQ(host.settings().policy, RequesterPolicy::Terminal) << "settings restored";
}

}  // namespace
