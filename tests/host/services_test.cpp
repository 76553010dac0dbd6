// The stand-in host's services over real files, called through the tables as the plug-in does.
#include <cstring>
#include <gtest/gtest.h>

#include "host_test_support.hpp"
#include "qfhost/host.hpp"

using namespace hosttest;
using qfhost::FailureKind;
using qfhost::Host;
using qfhost::HostSettings;
using qfhost::RequesterPolicy;

namespace {

TEST(HostFiles, ReadsSeeksTheEndStaleHandlesAndWhatOpens)
{
    TempDir dir;
    Host host;
    Calls c{host.base()};
    HostFile f = c.open(dir.write("ten", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}).string());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(c.readByte(f), 1);
    EXPECT_EQ(c.seek(f, 3, HOST_SEEK_RELATIVE), 4);
    EXPECT_EQ(c.readByte(f), 5);
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(c.read(f, buffer, 4), 4);
    EXPECT_EQ(buffer[0], 6);
    EXPECT_EQ(c.readByte(f), 10) << "byte and block reads share one position";
    EXPECT_TRUE(c.atEnd(f));
    EXPECT_EQ(c.readByte(f), 0) << "a byte read at the end gives 0";
    EXPECT_EQ(c.seek(f, -2, HOST_SEEK_END), 8);
    EXPECT_FALSE(c.atEnd(f));
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(c.read(f, buffer, 16), 2) << "short read at the end";
    EXPECT_EQ(buffer[1], 10);
    EXPECT_EQ(buffer[2], 0xEE) << "nothing written past what was delivered";

    // The rewind the plug-in makes after the signature: end, then offset 0 from the start.
    EXPECT_EQ(c.seek(f, 0, HOST_SEEK_END), 10);
    EXPECT_EQ(c.seek(f, 0, HOST_SEEK_START), 0);
    EXPECT_EQ(c.readByte(f), 1);

    // Past the end is a position like any other; a seek before the start is refused.
    EXPECT_EQ(c.seek(f, int64_t(1) << 40, HOST_SEEK_RELATIVE), 1 + (int64_t(1) << 40));
    EXPECT_TRUE(c.atEnd(f));
    EXPECT_EQ(c.read(f, buffer, 4), 0);
    EXPECT_EQ(c.seek(f, INT64_MAX, HOST_SEEK_RELATIVE), -1) << "overflow";
    EXPECT_EQ(c.seek(f, -1, HOST_SEEK_START), -1);
    EXPECT_EQ(c.seek(f, 0, 3), -1) << "unknown mode";
    EXPECT_EQ(c.seek(f, -3, HOST_SEEK_END), 7) << "a refused seek left the position alone";
    EXPECT_EQ(c.seek(f, 1, HOST_SEEK_RELATIVE), 8);

    c.close(f);
    c.close(f);  // a second close is ignored; the stale handle is harmless
    EXPECT_EQ(Host::openFileCount(), 0);
    EXPECT_EQ(c.readByte(f), 0);
    EXPECT_TRUE(c.atEnd(f));
    EXPECT_EQ(c.seek(f, 0, HOST_SEEK_START), -1);

    // Only regular files, only for reading; the tagged open takes the option from its tags.
    std::string file = dir.write("sub/file", {1}).string();
    EXPECT_EQ(c.open((dir / "sub").string()), nullptr) << "a directory";
    EXPECT_EQ(c.open((dir / "missing").string()), nullptr);
    EXPECT_EQ(c.open(file, 1), nullptr) << "only mode 0";
    EXPECT_EQ(host.failure().kind, FailureKind::ReferencedFile);

    const uint32_t tags[] = {HOST_OPEN_TAG_OPTION, 7, 0}, none[] = {0};
    f = c.openTagged(file, tags);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(host.lastOpenOption(), 7u);
    EXPECT_EQ(c.readByte(f), 1);
    c.close(f);
    c.close(c.openTagged(file, none));
    EXPECT_EQ(host.lastOpenOption(), 0u);
}

TEST(HostPaths, LookupForgivesCaseComponentByComponent)
{
    TempDir dir;
    Host host;
    Calls c{host.base()};
    dir.write("ANIMS/faces/Hero", {42});
    dir.write("ANIMS/faces/hero.txt", {43});
    EXPECT_EQ(qfhost::FindPathIgnoringCase(dir / "Anims/Faces/hero"), dir / "ANIMS/faces/Hero");
    EXPECT_FALSE(qfhost::FindPathIgnoringCase(dir / "Anims/Faces/Villain"));
    EXPECT_FALSE(qfhost::FindPathIgnoringCase(dir / "Anims/Faces/Hero/x"));
    HostFile f = c.open((dir / "Anims/Faces/hero").string());
    EXPECT_EQ(c.readByte(f), 42);
    c.close(f);

    // Two names that differ only in case: the one spelled as asked wins, else the smaller name.
    dir.write("Mixed/Pic", {1});
    dir.write("Mixed/PIC", {2});
    EXPECT_EQ(qfhost::FindPathIgnoringCase(dir / "mixed/Pic"), dir / "Mixed/Pic");
    EXPECT_EQ(qfhost::FindPathIgnoringCase(dir / "mixed/pic"), dir / "Mixed/PIC");
}

TEST(HostPaths, JoinsAmigaComponentsWithinTheSizeGiven)
{
    Host host;
    Calls c{host.base()};
    char buffer[64] = "/data/work/";
    EXPECT_EQ(c.join(buffer, "Sounds/", sizeof buffer), 1) << "an Amiga directory path may end in /";
    EXPECT_EQ(c.join(buffer, "Boom", sizeof buffer), 1);
    EXPECT_EQ(c.join(buffer, "", sizeof buffer), 1);
    EXPECT_STREQ(buffer, "/data/work/Sounds/Boom");
    char empty[64] = "";
    EXPECT_EQ(c.join(empty, "pic", sizeof empty), 1);
    EXPECT_STREQ(empty, "pic");

    // "abc" + "/" + "defg" + NUL = 9 bytes: fits in 9, not in 8. Bytes past the size stay intact.
    char bounded[16];
    std::memset(bounded, '#', sizeof bounded);
    std::memcpy(bounded, "abc", 4);
    EXPECT_EQ(c.join(bounded, "defg", 8), 0);
    EXPECT_STREQ(bounded, "abc");
    EXPECT_EQ(bounded[4], '#');
    EXPECT_EQ(host.failure().kind, FailureKind::EscapingPath);
    Host fresh;
    EXPECT_EQ(Calls{fresh.base()}.join(bounded, "defg", 9), 1);
    EXPECT_STREQ(bounded, "abc/defg");
    EXPECT_EQ(bounded[9], '#');
    // A buffer without its NUL inside the size is not touched.
    Host third;
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(Calls{third.base()}.join(full, "x", sizeof full), 0);
    EXPECT_EQ(std::memcmp(full, "abcd", 4), 0);
}

TEST(HostPaths, RefusesComponentsThatClimbOut)
{
    TempDir dir;
    dir.write("inside/x", {1});
    dir.write("secret", {2});
    for (const char *bad :
         {"..", "../secret", "a/../../secret", "/secret", "/etc/passwd", "//secret", "a//b", "Work:secret", "a/.."}) {
        SCOPED_TRACE(bad);
        Host host;
        Calls c{host.base()};
        std::string start = (dir / "inside").string();
        char buffer[1024];
        std::snprintf(buffer, sizeof buffer, "%s", start.c_str());
        EXPECT_EQ(c.join(buffer, bad, sizeof buffer), 0);
        EXPECT_EQ(std::string(buffer), start) << "buffer unchanged";
        // The path stays bad: a later join is refused too, the open fails, and the refusal stays the cause.
        EXPECT_EQ(c.join(buffer, "x", sizeof buffer), 0);
        EXPECT_EQ(c.open(buffer), nullptr);
        EXPECT_EQ(host.failure().kind, FailureKind::EscapingPath);
        EXPECT_NE(host.failure().what.find(bad), std::string::npos) << host.failure().what;
        // The mark lasts for that one open only.
        EXPECT_EQ(c.join(buffer, "x", sizeof buffer), 1);
        HostFile f = c.open(buffer);
        EXPECT_NE(f, nullptr);
        c.close(f);
    }
}

TEST(HostNames, CompareIgnoresCaseAndTheRequesterMessageNamesAVolume)
{
    Host host;
    Calls c{host.base()};
    EXPECT_EQ(c.compare("Work", "WORK"), 0);
    EXPECT_EQ(c.compare("", ""), 0);
    for (const char *other : {"Works", "Wrok", static_cast<const char *>(nullptr)})
        EXPECT_NE(c.compare("Work", other), 0);

    EXPECT_EQ(qfhost::ParseRequesterVolume(RequesterMessage("My \"Disk")), "My \"Disk");
    EXPECT_FALSE(qfhost::ParseRequesterVolume("Please select replacement path for Amiga volume \"Work\"!"));
}

TEST(HostRequester, FixedMapAnswersKnownVolumesIgnoringCase)
{
    HostSettings settings;
    settings.volumes["work"] = "/data/work";
    Host host(settings);
    Calls c{host.base()};
    char buffer[1024] = "old";
    EXPECT_EQ(c.requester(RequesterMessage("WORK"), buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "/data/work");
    EXPECT_EQ(c.requester(RequesterMessage("Games"), buffer, sizeof buffer), 0);
    EXPECT_EQ(host.failure().kind, FailureKind::VolumeCancelled);
    EXPECT_EQ(host.failure().volume, "Games");
    EXPECT_NE(host.failure().what.find("--volume Games=DIR"), std::string::npos) << host.failure().what;
    EXPECT_EQ(c.requester("Which directory?", buffer, sizeof buffer), 0) << "no volume in the message";
    EXPECT_EQ(c.requester(RequesterMessage("Work"), buffer, 10), 0) << "directory does not fit";
}

TEST(HostRequester, TerminalAsksAfterTheMapCancelNeverAnswers)
{
    std::vector<std::string> asked;
    std::string reply = "/from/prompt";
    HostSettings settings;
    settings.policy = RequesterPolicy::Terminal;
    settings.volumes["Work"] = "/data/work";
    settings.prompt = [&](const std::string &volume) -> std::optional<std::string> {
        asked.push_back(volume);
        return reply;
    };
    Host host(settings);
    Calls c{host.base()};
    char buffer[1024] = "";
    EXPECT_EQ(c.requester(RequesterMessage("Work"), buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "/data/work");
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(c.requester(RequesterMessage("Games"), buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "/from/prompt");
    EXPECT_EQ(asked, std::vector<std::string>{"Games"});
    reply = "";
    EXPECT_EQ(c.requester(RequesterMessage("Games"), buffer, sizeof buffer), 0) << "an empty answer cancels";
    EXPECT_EQ(host.failure().kind, FailureKind::VolumeCancelled);

    settings.policy = RequesterPolicy::Cancel;  // even a mapped volume is refused
    Host cancel(settings);
    char keep[1024] = "keep";
    EXPECT_EQ(Calls{cancel.base()}.requester(RequesterMessage("Work"), keep, sizeof keep), 0);
    EXPECT_STREQ(keep, "keep");
}

// Every caller that tells a movie from another file asks this one test.
TEST(HostFailures, MovieSignatureIsEitherTwelveByteMark)
{
    const std::pair<std::vector<uint8_t>, bool> cases[] = {
        {TinyMovie("xQuillframer"), true},  {TinyMovie("xSceneEditor"), true}, {TinyMovie("xQuillframeR"), false},
        {TinyMovie("ySceneEditor"), false}, {{'x', 'Q', 'u'}, false},          {{}, false}};
    for (const auto &[bytes, movie] : cases)
        EXPECT_EQ(QfIsMovieSignature(bytes.data(), bytes.size()) != 0, movie)
            << std::string(bytes.begin(), bytes.end());
    const std::vector<uint8_t> whole = TinyMovie();
    EXPECT_FALSE(QfIsMovieSignature(whole.data(), QF_SIGNATURE_LENGTH - 1)) << "a head one byte short";
    EXPECT_TRUE(QfIsMovieSignature(whole.data(), QF_SIGNATURE_LENGTH));
}

}  // namespace
