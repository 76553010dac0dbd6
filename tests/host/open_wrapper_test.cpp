// The plug-in's open wrapper chooses the plain or the tagged open by host version and option.
#include <gtest/gtest.h>

#include "plugin/host_calls.h"
#include "tests/support/scripted_host.h"

namespace {

struct Case {
    int32_t version;
    uint32_t option;
    const char *expected;
};

TEST(OpenWrapper, ChoosesThePlainOrTheTaggedOpen)
{
    const Case cases[] = {
        {6, 3, "tagged movie 0 1,3,0"},
        {6, 0xFFFFFFFFu, "tagged movie 0 1,4294967295,0"},
        {7, 1, "tagged movie 0 1,1,0"},
        {6, 0, "open movie 0"},
        {5, 3, "open movie 0"},
        {0, 3, "open movie 0"},
        {-1, 3, "open movie 0"},
    };
    for (const Case &c : cases) {
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
    }
}

TEST(OpenWrapper, AFailedOpenIsANullHandle)
{
    qftest::ScriptedHost host(6);
    host.install();
    EXPECT_EQ(HostOpen("absent", 5), nullptr);
    EXPECT_EQ(HostOpen("absent", 0), nullptr);
    EXPECT_EQ(host.count("tagged absent"), 1);
    EXPECT_EQ(host.count("open absent"), 1);
}

}  // namespace
