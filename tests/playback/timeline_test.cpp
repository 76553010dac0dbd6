// Frame counts, packet pairs on the repeated-addition clock, scene lookup and seeking.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "authoring/movie_writer.h"
#include "plugin/memory.h"
#include "tests/playback/written_movie.h"

using qfplay::MarkWord;
using qfplay::MovieWriter;
using qfplay::Played;
using Ranges = std::array<qfauthor::CycleRange, 4>;

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

// Decodes a frame and mixes a packet at the given time, as a host playing there would.
void Play(MovieHandle *m, double time)
{
    std::vector<uint32_t> words((size_t)m->width * (size_t)m->height + 1);
    std::vector<uint8_t> samples(QF_AUDIO_BYTES_PER_PACKET);
    void *buffers[1] = {words.data()};
    int32_t pitches[1] = {0};
    VideoFrameRecord frame{buffers, pitches, 0, 0, 0.0, 0.0};
    AudioFrameRecord audio{};
    audio.buffer = samples.data();
    TimingPacket packet{time};
    DecodeVideoFrame(m, &packet, &frame);
    DecodeAudioFrame(m, &packet, &audio);
}

TEST(Timeline, FrameCountsAndMillisecondsTruncate)
{
    // Lengths are sums of 20 ms ticks: 2^32 - 16 is the longest that does not wrap.
    std::vector<uint16_t> longest(3276, 65535);
    longest.push_back(55704);
    const struct {
        std::vector<uint16_t> ticks;
        uint32_t ms, frames;
    } counts[] = {{{}, 0, 0},       {{6}, 120, 3},        {{50}, 1000, 25},
                  {{58}, 1160, 28}, {{57, 57}, 2280, 56}, {longest, 4294967280u, 107374182}};
    for (const auto &c : counts) {
        Played p(ScenesOf(c.ticks));
        ASSERT_EQ(p.m->duration, c.ms);
        EXPECT_EQ(GetVideoFrames(p.m), c.frames) << c.ms << " ms";  // 1160 ms is 28.999999999999996 frames
    }
    const struct {
        double seconds;
        uint32_t ms;
    } times[] = {{0.39999999999999997, 399},
                 {1.001, 1000} /* 1000.9999999999999 */,
                 {0.0009999, 0},
                 {-0.5, 0},
                 {-1e30, 0},
                 {4294967.294, 4294967294u},
                 {4294967.295, 4294967295u},
                 {1e12, 4294967295u}};
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
        if (c.pairs) { EXPECT_EQ(pairs.back(), c.last) << c.ms << " ms"; }
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
        {{6, 10, 6}, 0, 1},   {{6, 10, 6}, 119, 1}, {{6, 10, 6}, 120, 2},
        {{6, 10, 6}, 319, 2}, {{6, 10, 6}, 320, 3}, {{6, 10, 6}, 4294967295u, 3},
        {{20, 20}, 399, 1},   {{20, 20}, 439, 2},   {{6}, 5000, 1},
        {{}, 99, 0},
    };
    for (const auto &c : cases) {
        qftest::ScriptedHost host;
        qftest::Opened o;
        qftest::OpenBytes(host, ScenesOf(c.ticks), o);
        ASSERT_NE(o.movie, nullptr);
        const int32_t found = FindScene(o.movie, c.ms);
        EXPECT_EQ(found, c.scene) << c.ticks.size() << " scenes, " << c.ms << " ms";
        if (found > 0) { EXPECT_LE(SceneStart(o.movie, found), c.ms) << "the scene found has started"; }
        if (found > 0 && found < o.movie->sceneCount) { EXPECT_GT(SceneStart(o.movie, found + 1), c.ms); }
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

// Scenes 1 to 6553 of 65535 ticks (1310700 ms), then one of 6: the running end passes 2^32 at
// scene 3277 (196604) and climbs back to 4294049804 at scene 6553.
TEST(Timeline, FindSceneWrapsAsTheRunningEndDoes)
{
    std::vector<uint16_t> ticks(6553, 65535);
    ticks.push_back(6);
    Played p(ScenesOf(ticks));
    const struct {
        uint32_t ms;
        int32_t scene;
    } cases[] = {
        {196603, 1},         {4293853199u, 3276},  // before the wrap, as without it
        {4293853200u, 6553},                       // scene 3277 ends at 196604 now, as do the ones after it until 6553
        {4294049803u, 6553}, {4294049804u, 6554}, {4294967295u, 6554},
    };
    for (auto c : cases) EXPECT_EQ(FindScene(p.m, c.ms), c.scene) << c.ms << " ms";
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

// Scene 1 none, 2 palette 1, 3 sixteen colours, 4 palette 2, 5 thirty-one colours; entry 0 a
// 32-colour palette that is no scene. 200 ms each. Before the seek, scene 2 has been decoded (its
// palette turned one word up by cycles in slots 0 and 3) and mixed (a held sound on every channel).
TEST(Seek, WalksBackToTheNearest32ColourPalette)
{
    const struct {
        uint32_t ms;
        int base;  // -1: no palette found
    } cases[] = {{100, -1}, {250, 1}, {400, 1}, {599, 1}, {600, 2}, {999, 2}, {5000, 2}};
    const Ranges turn{{{0, 255, 0, 1}, {}, {}, {40, 41, 0, 1}}};
    MovieWriter w;
    w.embedded().load(qfauthor::Asset::Background, qfplay::Picture(1, 1, {0}, 16));
    w.load(qfauthor::Asset::Background, qfplay::Picture(1, 1, {0}, 31));
    w.load(qfauthor::Asset::Sound, qfauthor::Write8svx(std::vector<int8_t>{9, 9}));
    w.scenes(5).palette(qfplay::Marks(7)).scene(1).duration(10);
    w.scene(2).palette(qfplay::Marks(1)).cycles(turn).sound(0, 64, 0, 15);
    w.scene(3).background(0).scene(4).palette(qfplay::Marks(2)).scene(5).background(1);
    for (auto c : cases) {
        Played p(w);
        Play(p.m, 0.25);
        std::array<uint32_t, 256> before;
        std::memcpy(before.data(), p.m->paletteWords, sizeof before);
        ASSERT_EQ(before[32], MarkWord(1, 31));
        ASSERT_NE(p.m->channels[3].data, nullptr);
        EXPECT_EQ(SeekVideo(p.m, c.ms), 0);
        EXPECT_EQ(p.m->packetTime, c.ms / 1000.0);
        for (int i = 0; i < 256; ++i) {
            uint32_t want = c.base >= 0 && i < 32 ? MarkWord(c.base, i) : before[(size_t)i];
            ASSERT_EQ(p.m->paletteWords[i], want) << c.ms << " ms, word " << i;
        }
        EXPECT_EQ(p.m->activeCycles[0], c.base < 0 ? &p.m->scenes[2].cycles[0] : nullptr) << c.ms;
        EXPECT_EQ(p.m->activeCycles[3], c.base < 0 ? &p.m->scenes[2].cycles[3] : nullptr) << c.ms;
        AudioChannel zero;
        std::memset(&zero, 0, sizeof zero);
        for (const AudioChannel &ch : p.m->channels) EXPECT_EQ(std::memcmp(&ch, &zero, sizeof zero), 0) << c.ms;
    }
    // Without scenes entry 0 is tested once: decoding it turned its palette, the seek loads it again.
    Played none(MovieWriter().scenes(0).palette(qfplay::Marks(3)).cycles(Ranges{{{}, {}, {0, 31, 0, 1}}}));
    Play(none.m, 0.0);
    ASSERT_EQ(none.m->paletteWords[31], MarkWord(3, 30));
    ASSERT_EQ(none.m->activeCycles[2], &none.m->scenes[0].cycles[2]);
    SeekVideo(none.m, 0);
    EXPECT_EQ(none.m->paletteWords[31], MarkWord(3, 31));
    EXPECT_EQ(none.m->activeCycles[2], nullptr);
}

}  // namespace
