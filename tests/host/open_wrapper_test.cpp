// The plug-in's open wrapper chooses the plain or the tagged open by host version and option.
#include <gtest/gtest.h>

#include "plugin/host_calls.h"
#include "testing/scripted_host.h"

namespace {

TEST(OpenWrapper, ChoosesThePlainOrTheTaggedOpen)
{
    const struct {
        int32_t version;
        uint32_t option;
        const char *expected;
    } cases[] = {
        {6, 3, "tagged movie 0 1,3,0"}, {6, 0xFFFFFFFFu, "tagged movie 0 1,4294967295,0"},
        {7, 1, "tagged movie 0 1,1,0"}, {6, 0, "open movie 0"},
        {5, 3, "open movie 0"},         {0, 3, "open movie 0"},
        {-1, 3, "open movie 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + "/" + std::to_string(c.option));
        qftest::ScriptedHost host(c.version);
        host.files["movie"] = {1, 2, 3};
        host.install();
        HostFile f = HostOpen("movie", c.option);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(host.log.size(), 1u);
        EXPECT_EQ(host.log[0], c.expected);
        EXPECT_EQ(ReadU8(f), 1u);
        HostCloseFile(f);
        EXPECT_TRUE(host.allClosedOnce());
        EXPECT_EQ(HostOpen("absent", c.option), nullptr) << "a failed open is a null handle";
    }
}

}  // namespace
