// The one time formatter and parser of the host and the command.
#include <gtest/gtest.h>

#include "qfhost/time.hpp"

namespace {

using qfhost::FormatTime;
using qfhost::ParseTime;

TEST(HostTime, FormatsMinutesSecondsAndMillisecondsWithHoursWhenNeeded)
{
    EXPECT_EQ(FormatTime(0), "00:00.000");
    EXPECT_EQ(FormatTime(83456), "01:23.456");  // 60000 + 23000 + 456
    EXPECT_EQ(FormatTime(3599999), "59:59.999");
    EXPECT_EQ(FormatTime(3723456), "1:02:03.456");  // 3600000 + 120000 + 3000 + 456
    EXPECT_EQ(FormatTime(4294967295u), "1193:02:47.295");
    EXPECT_EQ(qfhost::MillisecondsOf(0.11999999999999998), 120u);  // a packet time, to the nearest ms
    EXPECT_EQ(qfhost::MillisecondsOf(-1.0), 0u);
}

// Lengths are shown as export's summary always showed them, and keep a millisecond they have.
TEST(HostTime, FormatsLengthsInSecondsToTheMillisecondTheyHave)
{
    EXPECT_EQ(qfhost::FormatSeconds(10440), "10.44 s");
    EXPECT_EQ(qfhost::FormatSeconds(0), "0.00 s");
    EXPECT_EQ(qfhost::FormatSeconds(600), "0.60 s");
    EXPECT_EQ(qfhost::FormatSeconds(1234), "1.234 s");
    EXPECT_EQ(qfhost::FormatSeconds(3723005), "3723.005 s");
    EXPECT_EQ(qfhost::PlayedMs(261), 10440u);
    EXPECT_EQ(qfhost::PastTheEnd("--at", 10420, 10400),
              "--at 00:10.420 is past the end of the movie: it plays 10.44 s, and times up to 00:10.399 reach its "
              "last picture");
    EXPECT_EQ(qfhost::PastTheEnd("--start", 5, 0),
              "--start 00:00.005 is past the end of the movie: it has no pictures");
}

TEST(HostTime, ParsesSecondsMinutesAndHoursToTheMillisecond)
{
    const struct {
        const char *text;
        std::optional<uint64_t> ms;
    } cases[] = {
        // clang-format off
        {"0", 0}, {"12", 12000}, {"12.5", 12500}, {".25", 250}, {"2.0019", 2001},  // digits past the ms dropped
        {"1.005", 1005},                                                              // exact, no binary rounding
        {"1:02", 62000}, {"01:02.5", 62500}, {"1:00:00", 3600000}, {"1:02:03.456", 3723456},
        {"", std::nullopt}, {"-1", std::nullopt}, {"1:60", std::nullopt}, {"1:2:60", std::nullopt},
        {"1:2:3:4", std::nullopt}, {"1.5:00", std::nullopt}, {"12.", std::nullopt}, {"1..2", std::nullopt},
        {"1:", std::nullopt}, {":5", std::nullopt}, {"1e3", std::nullopt}, {" 1", std::nullopt},
        // clang-format on
        {"99999999999999999999", std::nullopt},
    };
    for (const auto &c : cases) EXPECT_EQ(ParseTime(c.text), c.ms) << '"' << c.text << '"';
    // What the formatter writes, the parser reads back.
    for (uint64_t ms : {0ull, 999ull, 83456ull, 3723456ull}) EXPECT_EQ(ParseTime(FormatTime(ms)), ms);
}

}  // namespace
