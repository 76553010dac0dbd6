// Frame counts, packet pairs on the repeated-addition clock, scene lookup and seeking.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "authoring/movie_writer.h"
#include "testing/open_bytes.h"
#include "tests/playback/movie_builder.h"

using qfplay::MovieBuilder;
using qfplay::Palette32;
using qfplay::WordOf;

namespace {

// A movie of one scene per entry of ticks, written and parsed.
qfauthor::Bytes ScenesOf(const std::vector<uint16_t> &ticks)
{
    qfauthor::MovieWriter writer;
    writer.scenes(static_cast<uint16_t>(ticks.size()));
    uint16_t k = 1;
    for (uint16_t t : ticks) writer.scene(k++).duration(t);
    return writer.end().bytes();
}

// Pulls one packet, checks the record against the expected stream and time, frees it.
void ExpectPacket(MovieHandle *m, int32_t stream, double time)
{
    PacketRecord p{};
    ASSERT_EQ(NextPacket(m, &p), 0);
    EXPECT_EQ(p.streamIndex, stream);
    EXPECT_EQ(p.time, time);
    EXPECT_EQ(p.payloadSize, 8);
    EXPECT_EQ(p.payload->time, time);
    FreePacket(p.payload);
}

// Pulls packets until -1, checking that they come in pairs; returns the time of each pair.
std::vector<double> PullPairs(MovieHandle *m)
{
    std::vector<double> pairs;
    PacketRecord p{};
    while (pairs.size() < 100000 && NextPacket(m, &p) == 0) {
        EXPECT_EQ(p.streamIndex, 0);
        pairs.push_back(p.time);
        FreePacket(p.payload);
        ExpectPacket(m, 1, pairs.back());  // the end never splits a pair
    }
    return pairs;
}

TEST(Timeline, FrameCountsAndMillisecondsTruncate)
{
    MovieBuilder b(0, 1, 1);
    const struct {
        uint32_t ms, frames;
    } counts[] = {{0, 0}, {120, 3}, {1000, 25}, {1160, 28}, {2280, 56}, {4294967295u, 107374182}};
    for (auto c : counts) {
        b.m->duration = c.ms;
        EXPECT_EQ(GetVideoFrames(b.m), c.frames) << c.ms << " ms";  // 1160 ms is 28.999999999999996 frames
    }
    const struct {
        double seconds;
        uint32_t ms;
    } times[] = {{0.39999999999999997, 399}, {1.001, 1000} /* 1000.9999999999999 */, {0.0009999, 0}, {-0.5, 0},
                 {-1e30, 0}, {4294967.294, 4294967294u}, {4294967.295, 4294967295u}, {1e12, 4294967295u}};
    for (auto t : times) EXPECT_EQ(SecondsToMs(t.seconds), t.ms) << t.seconds;
}

TEST(Timeline, PairsFollowTheRepeatedAdditionClock)
{
    // Hand-derived from the clock 0.0, 0.04, 0.08, ... grown by + 0.04 each pair.
    const struct {
        uint32_t ms;
        size_t pairs;
        double last, clockAfter;
    } cases[] = {
        {0, 0, 0.0, 0.0},
        {120, 3, 0.08, 0.12},
        {1000, 25, 0.9600000000000003, 1.0000000000000002},
        {1160, 29, 1.1200000000000003, 1.1600000000000004},
        {10000, 251, 9.999999999999963, 10.039999999999962},
    };
    for (auto c : cases) {
        qftest::ScriptedHost host;
        qftest::Opened b;
        qftest::OpenBytes(host, c.ms ? ScenesOf({(uint16_t)(c.ms / 20)}) : ScenesOf({}), b);
        ASSERT_NE(b.movie, nullptr);
        ASSERT_EQ(b.movie->duration, c.ms);
        std::vector<double> pairs = PullPairs(b.movie);
        ASSERT_EQ(pairs.size(), c.pairs) << c.ms << " ms";
        if (c.pairs) {
            EXPECT_EQ(pairs.back(), c.last) << c.ms << " ms";
        }
        if (c.ms == 1000) {  // the eleventh pair is 399 ms
            EXPECT_EQ(pairs[10], 0.39999999999999997);
            EXPECT_EQ(pairs[11], 0.43999999999999995);
        }
        EXPECT_EQ(b.movie->packetTime, c.clockAfter);
        EXPECT_EQ(b.movie->packetToggle, 0u);
        // The end is sticky: the record is not written, nothing moves.
        PacketRecord untouched{};
        untouched.streamIndex = 77;
        EXPECT_EQ(NextPacket(b.movie, &untouched), -1);
        EXPECT_EQ(untouched.streamIndex, 77);
        EXPECT_EQ(untouched.payload, nullptr);
        EXPECT_EQ(b.movie->packetTime, c.clockAfter);
    }
}

TEST(Timeline, FindSceneAndSceneStartAgree)
{
    const struct {
        std::vector<uint16_t> ticks;
        uint32_t ms;
        int32_t scene;
    } cases[] = {
        {{6, 10, 6}, 0, 1},   {{6, 10, 6}, 119, 1}, {{6, 10, 6}, 120, 2}, {{6, 10, 6}, 319, 2},
        {{6, 10, 6}, 320, 3}, {{6, 10, 6}, 4294967295u, 3}, {{20, 20}, 399, 1}, {{20, 20}, 439, 2},
        {{6}, 5000, 1},       {{}, 99, 0},
    };
    for (const auto &c : cases) {
        qftest::ScriptedHost host;
        qftest::Opened o;
        qftest::OpenBytes(host, ScenesOf(c.ticks), o);
        ASSERT_NE(o.movie, nullptr);
        const int32_t found = FindScene(o.movie, c.ms);
        EXPECT_EQ(found, c.scene) << c.ticks.size() << " scenes, " << c.ms << " ms";
        if (found > 0) EXPECT_LE(SceneStart(o.movie, found), c.ms) << "the scene found has started";
        if (found > 0 && found < o.movie->sceneCount) EXPECT_GT(SceneStart(o.movie, found + 1), c.ms);
    }
    // A scene without "i" before any that has one lasts no time; later ones inherit.
    qftest::ScriptedHost host;
    qftest::Opened o;
    qftest::OpenBytes(host, qfauthor::MovieWriter().scenes(3).scene(2).duration(10).end().bytes(), o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(std::vector<uint32_t>({SceneStart(o.movie, 1), SceneStart(o.movie, 2), SceneStart(o.movie, 3)}),
              std::vector<uint32_t>({0, 0, 200}));
    EXPECT_EQ(FindScene(o.movie, 0), 2);
    EXPECT_EQ(FindScene(o.movie, 200), 3);
}

// Sums that wrap need thousands of 65535-tick scenes; the model stands in for such a movie.
TEST(Timeline, FindSceneWrapsAsTheRunningEndDoes)
{
    const struct {
        std::vector<int32_t> ticks;
        uint32_t ms;
        int32_t scene;
    } cases[] = {
        {{214748365, 1, 0}, 3, 1},  {{214748365, 1, 0}, 4, 2},  // 20 x 214748365 wraps to an end of 4
        {{214748365, 1, 0}, 23, 2}, {{214748365, 1, 0}, 24, 3},
        {{107374182, 107374182, 1, 0}, 4294967285u, 4},  // the running end wraps too: 4294967280, then 4
    };
    for (const auto &c : cases) {
        MovieBuilder b((int32_t)c.ticks.size(), 1, 1);
        for (size_t k = 0; k < c.ticks.size(); ++k) b.scene((int32_t)k + 1).frames = c.ticks[k];
        EXPECT_EQ(FindScene(b.m, c.ms), c.scene) << c.ticks.size() << " scenes, " << c.ms << " ms";
    }
}

TEST(Timeline, PayloadFailureRepeatsTheSamePacketAndSeekLeavesThePairFlag)
{
    qftest::ScriptedHost host;
    qftest::Opened opened;
    qftest::OpenBytes(host, ScenesOf({50, 50}), opened);
    ASSERT_NE(opened.movie, nullptr);
    MovieHandle *m = opened.movie;
    ExpectPacket(m, 0, 0.0);
    ExpectPacket(m, 1, 0.0);
    ExpectPacket(m, 0, 0.04);
    PacketRecord q{};
    q.streamIndex = 55;
    qfAllocationCount = 0;
    qfFailAt = 1;
    int32_t r = NextPacket(m, &q);
    qfFailAt = 0;
    EXPECT_EQ(r, -2);
    EXPECT_EQ(q.streamIndex, 55);
    EXPECT_EQ(q.payload, nullptr);
    ExpectPacket(m, 1, 0.04);
    ExpectPacket(m, 0, 0.08);
    EXPECT_EQ(SeekVideo(m, 1500), 0);
    ExpectPacket(m, 1, 1.5);  // between the two packets of a pair
    ExpectPacket(m, 0, 1.5 + 0.04);
    SeekVideo(m, 1001);
    EXPECT_EQ(m->packetTime, 1.001);
    EXPECT_EQ(SecondsToMs(m->packetTime), 1000u);
    PacketRecord p{};
    SeekVideo(m, 2000);  // at the end: the next packet is the end
    EXPECT_EQ(NextPacket(m, &p), -1);
    SeekVideo(m, 1999);
    ExpectPacket(m, 1, 1.999);
}

// Scene 1 none, 2 palette A, 3 sixteen colours, 4 palette B, 5 thirty-one colours; entry 0 a
// 32-colour palette that is no scene. 200 ms each.
TEST(Seek, WalksBackToTheNearest32ColourPalette)
{
    const struct {
        uint32_t ms;
        int base;  // -1: no palette found
    } cases[] = {{100, -1}, {250, 10}, {400, 10}, {599, 10}, {600, 100}, {999, 100}, {5000, 100}};
    for (auto c : cases) {
        MovieBuilder b(5, 1, 1);
        b.frames({10, 10, 10, 10, 10});
        b.palette(0, Palette32(70));
        b.palette(2, Palette32(10));
        b.palette(3, std::vector<qfplay::Rgb>(16, qfplay::Rgb{1, 2, 3}));
        b.palette(4, Palette32(100));
        b.palette(5, std::vector<qfplay::Rgb>(31, qfplay::Rgb{1, 2, 3}));
        for (int i = 0; i < 256; ++i) b.m->paletteWords[i] = 0xABCD0000u + (uint32_t)i;
        b.m->activeCycles[0] = &b.scene(4).cycles[0];
        b.m->activeCycles[3] = &b.scene(1).cycles[3];
        static const int8_t one[1] = {1};
        for (AudioChannel &ch : b.m->channels) ch = AudioChannel{one, 9, 100, 3.5, 0.25, 7, 2};
        EXPECT_EQ(SeekVideo(b.m, c.ms), 0);
        EXPECT_EQ(b.m->packetTime, c.ms / 1000.0);
        std::vector<qfplay::Rgb> colors = Palette32((uint8_t)c.base);
        for (int i = 0; i < 256; ++i) {
            uint32_t want = c.base >= 0 && i < 32 ? WordOf(colors[(size_t)i]) : 0xABCD0000u + (uint32_t)i;
            ASSERT_EQ(b.m->paletteWords[i], want) << c.ms << " ms, word " << i;
        }
        EXPECT_EQ(b.m->activeCycles[0], c.base < 0 ? &b.scene(4).cycles[0] : nullptr) << c.ms;
        EXPECT_EQ(b.m->activeCycles[3], c.base < 0 ? &b.scene(1).cycles[3] : nullptr) << c.ms;
        AudioChannel zero;
        std::memset(&zero, 0, sizeof zero);
        for (const AudioChannel &ch : b.m->channels) EXPECT_EQ(std::memcmp(&ch, &zero, sizeof zero), 0) << c.ms;
    }
    // Without scenes entry 0 is tested once.
    MovieBuilder none(0, 1, 1);
    none.palette(0, Palette32(30));
    none.m->activeCycles[2] = &none.scene(0).cycles[2];
    SeekVideo(none.m, 0);
    EXPECT_EQ(none.m->paletteWords[31], WordOf(Palette32(30)[31]));
    EXPECT_EQ(none.m->activeCycles[2], nullptr);
}

}  // namespace
