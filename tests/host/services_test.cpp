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

std::vector<uint8_t> Counting(int n)
{
    std::vector<uint8_t> v;
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(i + 1));
    return v;
}

TEST(HostFiles, ByteReadsSeeksAndTheEnd)
{
    ScratchDir dir;
    Host host;
    Calls c{host.base()};
    HostFile f = c.open(dir.write("ten", Counting(10)).string());
    ASSERT_NE(f, nullptr);

    EXPECT_EQ(c.readByte(f), 1);
    EXPECT_EQ(c.seek(f, 3, HOST_SEEK_RELATIVE), 4);
    EXPECT_EQ(c.readByte(f), 5);
    EXPECT_EQ(c.seek(f, 8, HOST_SEEK_START), 8);
    EXPECT_FALSE(c.atEnd(f));
    EXPECT_EQ(c.readByte(f), 9);
    EXPECT_EQ(c.readByte(f), 10);
    EXPECT_TRUE(c.atEnd(f));
    EXPECT_EQ(c.readByte(f), 0) << "a byte read at the end gives 0";
    EXPECT_EQ(c.readByte(f), 0);

    // The rewind the plug-in makes after the signature: end, then offset 0 from the start.
    EXPECT_EQ(c.seek(f, 0, HOST_SEEK_END), 10);
    EXPECT_EQ(c.seek(f, 0, HOST_SEEK_START), 0);
    EXPECT_EQ(c.readByte(f), 1);
    EXPECT_EQ(c.seek(f, -2, HOST_SEEK_END), 8);
    EXPECT_EQ(c.readByte(f), 9);

    // Past the end is a position like any other; a seek before the start is refused.
    EXPECT_EQ(c.seek(f, int64_t(1) << 40, HOST_SEEK_RELATIVE), 9 + (int64_t(1) << 40));
    EXPECT_TRUE(c.atEnd(f));
    EXPECT_EQ(c.readByte(f), 0);
    uint8_t buffer[4] = {7, 7, 7, 7};
    EXPECT_EQ(c.read(f, buffer, 4), 0);
    EXPECT_EQ(c.seek(f, INT64_MAX, HOST_SEEK_RELATIVE), -1) << "overflow";
    EXPECT_EQ(c.seek(f, -1, HOST_SEEK_START), -1);
    EXPECT_EQ(c.seek(f, 0, 3), -1) << "unknown mode";
    EXPECT_EQ(c.seek(f, -3, HOST_SEEK_END), 7) << "a refused seek left the position alone";
    EXPECT_EQ(c.seek(f, 1, HOST_SEEK_RELATIVE), 8);
    c.close(f);
    EXPECT_EQ(Host::openFileCount(), 0);
}

TEST(HostFiles, BlockReadsReturnTheCountDelivered)
{
    ScratchDir dir;
    Host host;
    Calls c{host.base()};
    HostFile f = c.open(dir.write("ten", Counting(10)).string());
    ASSERT_NE(f, nullptr);
    uint8_t buffer[16] = {};
    EXPECT_EQ(c.read(f, buffer, 4), 4);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[3], 4);
    EXPECT_EQ(c.readByte(f), 5) << "byte and block reads share one position";
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(c.read(f, buffer, 16), 5) << "short read at the end";
    EXPECT_EQ(buffer[4], 10);
    EXPECT_EQ(buffer[5], 0xEE) << "nothing written past what was delivered";
    EXPECT_TRUE(c.atEnd(f));
    EXPECT_EQ(c.read(f, buffer, 0), 0);
    c.close(f);
}

TEST(HostFiles, HandlesAreClosedOnceAndStaleHandlesAreHarmless)
{
    ScratchDir dir;
    Host host;
    Calls c{host.base()};
    HostFile f = c.open(dir.write("ten", Counting(10)).string());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Host::openFileCount(), 1);
    c.close(f);
    c.close(f);  // a second close is ignored
    EXPECT_EQ(Host::openFileCount(), 0);
    EXPECT_EQ(c.readByte(f), 0);
    EXPECT_TRUE(c.atEnd(f));
    EXPECT_EQ(c.seek(f, 0, HOST_SEEK_START), -1);
    c.close(nullptr);
}

TEST(HostFiles, OpensOnlyRegularFilesForReading)
{
    ScratchDir dir;
    Host host;
    Calls c{host.base()};
    dir.write("sub/file", {1});
    EXPECT_EQ(c.open((dir.path() / "sub").string()), nullptr) << "a directory";
    EXPECT_EQ(c.open((dir.path() / "missing").string()), nullptr);
    EXPECT_EQ(c.open((dir.path() / "sub/file").string(), 1), nullptr) << "only mode 0";
    EXPECT_EQ(host.failure().kind, FailureKind::ReferencedFile);

    const uint32_t tags[] = {HOST_OPEN_TAG_OPTION, 7, 0};
    HostFile f = c.openTagged((dir.path() / "sub/file").string(), tags);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(host.lastOpenOption(), 7u);
    EXPECT_EQ(c.readByte(f), 1);
    c.close(f);
    const uint32_t none[] = {0};
    f = c.openTagged((dir.path() / "sub/file").string(), none);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(host.lastOpenOption(), 0u);
    c.close(f);
}

TEST(HostPaths, LookupForgivesCaseComponentByComponent)
{
    ScratchDir dir;
    Host host;
    Calls c{host.base()};
    dir.write("ANIMS/faces/Hero", {42});
    dir.write("ANIMS/faces/hero.txt", {43});

    auto found = qfhost::FindPathIgnoringCase(dir.path() / "Anims/Faces/hero");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, dir.path() / "ANIMS/faces/Hero");
    EXPECT_FALSE(qfhost::FindPathIgnoringCase(dir.path() / "Anims/Faces/Villain"));
    EXPECT_FALSE(qfhost::FindPathIgnoringCase(dir.path() / "Anims/Faces/Hero/x"));

    HostFile f = c.open((dir.path() / "Anims/Faces/hero").string());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(c.readByte(f), 42);
    c.close(f);

    // Two names that differ only in case: the one spelled as asked wins, else the smaller name.
    dir.write("Mixed/Pic", {1});
    dir.write("Mixed/PIC", {2});
    EXPECT_EQ(*qfhost::FindPathIgnoringCase(dir.path() / "mixed/Pic"), dir.path() / "Mixed/Pic");
    EXPECT_EQ(*qfhost::FindPathIgnoringCase(dir.path() / "mixed/pic"), dir.path() / "Mixed/PIC");
}

TEST(HostPaths, JoinsAmigaComponentsWithSlashes)
{
    Host host;
    Calls c{host.base()};
    char buffer[1024] = "/data/work";
    EXPECT_EQ(c.join(buffer, "Anims/Faces", sizeof buffer), 1);
    EXPECT_EQ(c.join(buffer, "Hero", sizeof buffer), 1);
    EXPECT_STREQ(buffer, "/data/work/Anims/Faces/Hero");

    char trailing[64] = "/data/work/";
    EXPECT_EQ(c.join(trailing, "Sounds/", sizeof trailing), 1) << "an Amiga directory path may end in /";
    EXPECT_EQ(c.join(trailing, "Boom", sizeof trailing), 1);
    EXPECT_STREQ(trailing, "/data/work/Sounds/Boom");

    char empty[64] = "";
    EXPECT_EQ(c.join(empty, "pic", sizeof empty), 1);
    EXPECT_STREQ(empty, "pic");
    EXPECT_EQ(c.join(empty, "", sizeof empty), 1);
    EXPECT_STREQ(empty, "pic");
}

TEST(HostPaths, RefusesComponentsThatClimbOut)
{
    ScratchDir dir;
    dir.write("inside/x", {1});
    dir.write("secret", {2});
    for (const char *bad : {"..", "../secret", "a/../../secret", "/secret", "/etc/passwd", "//secret", "a//b",
                            "Work:secret", "..", "a/.."}) {
        SCOPED_TRACE(bad);
        Host host;
        Calls c{host.base()};
        std::string start = (dir.path() / "inside").string();
        char buffer[1024];
        std::snprintf(buffer, sizeof buffer, "%s", start.c_str());
        EXPECT_EQ(c.join(buffer, bad, sizeof buffer), 0);
        EXPECT_EQ(std::string(buffer), start) << "buffer unchanged";
        EXPECT_EQ(host.failure().kind, FailureKind::EscapingPath);
        // The path stays bad: a later join is refused too, and the open fails.
        EXPECT_EQ(c.join(buffer, "x", sizeof buffer), 0);
        EXPECT_EQ(c.open(buffer), nullptr);
        EXPECT_EQ(host.failure().kind, FailureKind::EscapingPath) << "the refusal stays the cause";
        EXPECT_NE(host.failure().what.find(bad), std::string::npos) << host.failure().what;
        // The mark lasts for that one open only.
        EXPECT_EQ(c.join(buffer, "x", sizeof buffer), 1);
        HostFile f = c.open(buffer);
        EXPECT_NE(f, nullptr);
        c.close(f);
    }
}

TEST(HostPaths, JoinsAreBoundedByTheSizeGiven)
{
    Host host;
    Calls c{host.base()};
    // "abc" + "/" + "defg" + NUL = 9 bytes: fits in 9, not in 8. Bytes past the size stay intact.
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    std::memcpy(buffer, "abc", 4);
    EXPECT_EQ(c.join(buffer, "defg", 8), 0);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#');
    EXPECT_EQ(host.failure().kind, FailureKind::EscapingPath);

    Host fresh;
    Calls d{fresh.base()};
    EXPECT_EQ(d.join(buffer, "defg", 9), 1);
    EXPECT_STREQ(buffer, "abc/defg");
    EXPECT_EQ(buffer[9], '#');

    // A buffer without its NUL inside the size is not touched.
    Host third;
    Calls e{third.base()};
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(e.join(full, "x", sizeof full), 0);
    EXPECT_EQ(std::memcmp(full, "abcd", 4), 0);
}

TEST(HostNames, CompareIgnoresCase)
{
    Host host;
    Calls c{host.base()};
    EXPECT_EQ(c.compare("Work", "WORK"), 0);
    EXPECT_EQ(c.compare("work", "Work"), 0);
    EXPECT_NE(c.compare("Work", "Works"), 0);
    EXPECT_NE(c.compare("Work", "Wrok"), 0);
    EXPECT_NE(c.compare("Work", nullptr), 0);
    EXPECT_EQ(c.compare("", ""), 0);
}

TEST(HostRequester, ParsesTheVolumeFromTheMessage)
{
    EXPECT_EQ(qfhost::ParseRequesterVolume(RequesterMessage("Work")), "Work");
    EXPECT_EQ(qfhost::ParseRequesterVolume(RequesterMessage("My Disk")), "My Disk");
    EXPECT_EQ(qfhost::ParseRequesterVolume(RequesterMessage("")), "");
    EXPECT_EQ(qfhost::ParseRequesterVolume(RequesterMessage("A\"B")), "A\"B");
    EXPECT_FALSE(qfhost::ParseRequesterVolume("Please select a directory"));
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

    char small[8];
    EXPECT_EQ(c.requester(RequesterMessage("Work"), small, sizeof small), 0) << "directory does not fit";
}

TEST(HostRequester, TerminalAsksAfterTheMapAndEmptyCancels)
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
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], "Games");
    reply = "";
    EXPECT_EQ(c.requester(RequesterMessage("Games"), buffer, sizeof buffer), 0);
    EXPECT_EQ(host.failure().kind, FailureKind::VolumeCancelled);
}

TEST(HostRequester, CancelPolicyNeverAnswers)
{
    HostSettings settings;
    settings.policy = RequesterPolicy::Cancel;
    settings.volumes["Work"] = "/data/work";
    Host host(settings);
    Calls c{host.base()};
    char buffer[1024] = "keep";
    EXPECT_EQ(c.requester(RequesterMessage("Work"), buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "keep");
}

TEST(HostFailures, NameTheFileAndTheVolume)
{
    ScratchDir dir;
    HostSettings settings;
    settings.volumes["Work"] = dir.path();
    Host host(settings);
    Calls c{host.base()};
    fs::path movie = dir.path() / "missing.qf";

    // The first open of an open is the movie itself.
    host.beginOpen(movie);
    EXPECT_EQ(c.open(movie.string()), nullptr);
    EXPECT_EQ(host.failure().kind, FailureKind::MovieFile);
    EXPECT_EQ(host.failure().path, movie.string());

    // A referenced file below a volume's directory names the volume.
    fs::path real = dir.write("movie.qf", TinyMovie());
    host.beginOpen(real);
    HostFile f = c.open(real.string());
    ASSERT_NE(f, nullptr);
    char buffer[1024];
    ASSERT_EQ(c.requester(RequesterMessage("work"), buffer, sizeof buffer), 1);
    ASSERT_EQ(c.join(buffer, "Pics", sizeof buffer), 1);
    ASSERT_EQ(c.join(buffer, "Sky", sizeof buffer), 1);
    EXPECT_EQ(c.open(buffer), nullptr);
    c.close(f);
    const auto &failure = host.failure();
    EXPECT_EQ(failure.kind, FailureKind::ReferencedFile);
    EXPECT_EQ(failure.volume, "work");
    EXPECT_EQ(failure.path, (dir.path() / "Pics/Sky").string());
    EXPECT_NE(failure.what.find("\"work:\""), std::string::npos) << failure.what;
    EXPECT_EQ(failure.what.find('\n'), std::string::npos);
    EXPECT_EQ(host.explainFailedOpen(real).kind, FailureKind::ReferencedFile) << "what was recorded wins";
}

TEST(HostFailures, ExplainLooksAtTheSignature)
{
    ScratchDir dir;
    Host host;
    struct Case {
        std::vector<uint8_t> bytes;
        FailureKind kind;
    };
    std::vector<Case> cases = {
        {TinyMovie("xQuillframeR"), FailureKind::BadSignature},
        {{'x', 'Q', 'u'}, FailureKind::BadSignature},
        {{}, FailureKind::BadSignature},
        {TinyMovie("xSceneEditor"), FailureKind::Malformed},
        {TinyMovie("xQuillframer"), FailureKind::Malformed},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        fs::path p = dir.write("m" + std::to_string(i), cases[i].bytes);
        host.beginOpen(p);
        EXPECT_EQ(host.explainFailedOpen(p).kind, cases[i].kind);
        EXPECT_EQ(host.failure().kind, cases[i].kind);
        EXPECT_NE(host.failure().what.find(p.string()), std::string::npos);
    }
}

}  // namespace
