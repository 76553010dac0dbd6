// Frame counts, packet pairs on the repeated-addition clock, scene lookup and seeking.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/playback/movie_builder.h"

using qfplay::MovieBuilder;
using qfplay::Palette32;
using qfplay::WordOf;

namespace {

struct Pair {
    double first;
    double second;
};

// Pulls packets until -1; checks that they come in pairs (stream 0 then 1, same time).
std::vector<Pair> PullPairs(MovieHandle *m)
{
    std::vector<Pair> pairs;
    for (int guard = 0; guard < 100000; ++guard) {
        PacketRecord a{};
        int32_t r = NextPacket(m, &a);
        if (r == -1) break;
        EXPECT_EQ(r, 0);
        EXPECT_EQ(a.streamIndex, 0);
        PacketRecord b{};
        EXPECT_EQ(NextPacket(m, &b), 0) << "the end split a pair";
        EXPECT_EQ(b.streamIndex, 1);
        EXPECT_EQ(a.payloadSize, 8);
        EXPECT_EQ(b.payloadSize, 8);
        EXPECT_EQ(a.payload->time, a.time);
        EXPECT_EQ(b.payload->time, b.time);
        pairs.push_back({a.time, b.time});
        FreePacket(a.payload);
        FreePacket(b.payload);
    }
    return pairs;
}

TEST(Timeline, FrameCountsTruncate)
{
    MovieBuilder b(0, 1, 1);
    const uint32_t lengths[] = {0, 120, 1000, 1160, 2280, 4294967295u};
    const uint32_t frames[] = {0, 3, 25, 28, 56, 107374182};  // 1160 ms is 28.999999999999996 frames
    for (int i = 0; i < 6; ++i) {
        b.m->duration = lengths[i];
        EXPECT_EQ(GetVideoFrames(b.m), frames[i]) << lengths[i] << " ms";
    }
}

TEST(Timeline, SecondsToMsTruncatesAndSaturates)
{
    EXPECT_EQ(SecondsToMs(0.39999999999999997), 399u);
    EXPECT_EQ(SecondsToMs(1.001), 1000u);  // 1000.9999999999999 after the product
    EXPECT_EQ(SecondsToMs(0.0009999), 0u);
    EXPECT_EQ(SecondsToMs(-0.5), 0u);
    EXPECT_EQ(SecondsToMs(-1e30), 0u);
    EXPECT_EQ(SecondsToMs(4294967.294), 4294967294u);
    EXPECT_EQ(SecondsToMs(4294967.295), 4294967295u);
    EXPECT_EQ(SecondsToMs(1e12), 4294967295u);
}

TEST(Timeline, PairsFollowTheRepeatedAdditionClock)
{
    struct Case {
        uint32_t ms;
        size_t pairs;
        double last;
        double clockAfter;
    };
    // Hand-derived from the clock 0.0, 0.04, 0.08, ... grown by + 0.04 each pair.
    const Case cases[] = {
        {120, 3, 0.08, 0.12},
        {1000, 25, 0.9600000000000003, 1.0000000000000002},
        {1160, 29, 1.1200000000000003, 1.1600000000000004},
        {10000, 251, 9.999999999999963, 10.039999999999962},
    };
    for (const Case &c : cases) {
        MovieBuilder b(1, 1, 1);
        b.m->scenes[1].frames = (int32_t)(c.ms / 20);
        b.m->duration = c.ms;
        std::vector<Pair> pairs = PullPairs(b.m);
        ASSERT_EQ(pairs.size(), c.pairs) << c.ms << " ms";
        EXPECT_EQ(pairs.front().first, 0.0);
        EXPECT_EQ(pairs.back().first, c.last) << c.ms << " ms";
        EXPECT_EQ(pairs.back().second, c.last);
        EXPECT_EQ(b.m->packetTime, c.clockAfter);
        EXPECT_EQ(b.m->packetToggle, 0u);
        // The end is sticky: the record is not written, nothing moves.
        PacketRecord untouched{};
        untouched.streamIndex = 77;
        EXPECT_EQ(NextPacket(b.m, &untouched), -1);
        EXPECT_EQ(untouched.streamIndex, 77);
        EXPECT_EQ(untouched.payload, nullptr);
        EXPECT_EQ(b.m->packetTime, c.clockAfter);
    }
    MovieBuilder zero(0, 1, 1);
    PacketRecord p{};
    EXPECT_EQ(NextPacket(zero.m, &p), -1);
}

TEST(Timeline, EleventhPairIs399Ms)
{
    MovieBuilder b(2, 1, 1);
    b.frames({20, 20});  // boundary at 400 ms
    std::vector<Pair> pairs = PullPairs(b.m);
    ASSERT_EQ(pairs.size(), 20u);
    EXPECT_EQ(pairs[10].first, 0.39999999999999997);
    EXPECT_EQ(SecondsToMs(pairs[10].first), 399u);
    EXPECT_EQ(FindScene(b.m, SecondsToMs(pairs[10].first)), 1);
    EXPECT_EQ(pairs[11].first, 0.43999999999999995);
    EXPECT_EQ(FindScene(b.m, SecondsToMs(pairs[11].first)), 2);
}

TEST(Timeline, FindSceneBoundaries)
{
    MovieBuilder b(3, 1, 1);
    b.frames({6, 10, 6});
    const uint32_t times[] = {0, 119, 120, 319, 320, 440, 4000000, 4294967295u};
    const int32_t scenes[] = {1, 1, 2, 2, 3, 3, 3, 3};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(FindScene(b.m, times[i]), scenes[i]) << times[i];

    // The last scene's frames are never read; a zero-tick scene is skipped unless last.
    b.scene(3).frames = -12345;
    b.scene(2).frames = 0;
    EXPECT_EQ(FindScene(b.m, 119), 1);
    EXPECT_EQ(FindScene(b.m, 120), 3);

    MovieBuilder one(1, 1, 1);
    one.scene(1).frames = 6;
    EXPECT_EQ(FindScene(one.m, 0), 1);
    EXPECT_EQ(FindScene(one.m, 5000), 1);
    MovieBuilder none(0, 1, 1);
    EXPECT_EQ(FindScene(none.m, 0), 0);
    EXPECT_EQ(FindScene(none.m, 99), 0);
}

TEST(Timeline, FindSceneEndTimeWrapsIn32Bits)
{
    MovieBuilder b(3, 1, 1);
    b.scene(1).frames = 214748365;  // 20 x that = 2^32 + 4, so the end wraps to 4
    b.scene(2).frames = 1;          // end 24
    EXPECT_EQ(FindScene(b.m, 3), 1);
    EXPECT_EQ(FindScene(b.m, 4), 2);
    EXPECT_EQ(FindScene(b.m, 23), 2);
    EXPECT_EQ(FindScene(b.m, 24), 3);
    EXPECT_EQ(FindScene(b.m, 100000), 3);
}

TEST(Timeline, PayloadFailureRepeatsTheSamePacket)
{
    MovieBuilder b(1, 1, 1);
    b.frames({50});
    PacketRecord p{};
    ASSERT_EQ(NextPacket(b.m, &p), 0);
    FreePacket(p.payload);
    ASSERT_EQ(NextPacket(b.m, &p), 0);
    FreePacket(p.payload);
    ASSERT_EQ(NextPacket(b.m, &p), 0);  // stream 0 at 0.04
    FreePacket(p.payload);
    PacketRecord q{};
    q.streamIndex = 55;
    qfAllocationCount = 0;
    qfFailAt = 1;
    int32_t r = NextPacket(b.m, &q);
    qfFailAt = 0;
    EXPECT_EQ(r, -2);
    EXPECT_EQ(q.streamIndex, 55);
    EXPECT_EQ(q.payload, nullptr);
    EXPECT_EQ(b.m->packetToggle, 1u);
    EXPECT_EQ(b.m->packetTime, 0.04);
    ASSERT_EQ(NextPacket(b.m, &q), 0);
    EXPECT_EQ(q.streamIndex, 1);
    EXPECT_EQ(q.time, 0.04);
    EXPECT_EQ(q.payload->time, 0.04);
    FreePacket(q.payload);
    EXPECT_EQ(b.m->packetTime, 0.04 + 0.04);
}

TEST(Seek, BetweenTheTwoPacketsOfAPair)
{
    MovieBuilder b(2, 1, 1);
    b.frames({50, 50});
    PacketRecord p{};
    ASSERT_EQ(NextPacket(b.m, &p), 0);
    EXPECT_EQ(p.streamIndex, 0);
    FreePacket(p.payload);
    EXPECT_EQ(SeekVideo(b.m, 1500), 0);
    EXPECT_EQ(b.m->packetToggle, 1u);  // the seek leaves the pair flag alone
    ASSERT_EQ(NextPacket(b.m, &p), 0);
    EXPECT_EQ(p.streamIndex, 1);
    EXPECT_EQ(p.time, 1.5);
    FreePacket(p.payload);
    ASSERT_EQ(NextPacket(b.m, &p), 0);
    EXPECT_EQ(p.streamIndex, 0);
    EXPECT_EQ(p.time, 1.5 + 0.04);
    FreePacket(p.payload);

    SeekVideo(b.m, 1001);
    EXPECT_EQ(b.m->packetTime, 1001 / 1000.0);
    ASSERT_EQ(NextPacket(b.m, &p), 0);
    EXPECT_EQ(SecondsToMs(p.payload->time), 1000u);
    FreePacket(p.payload);

    // At or past the end: the next packet is the end.
    SeekVideo(b.m, 2000);
    EXPECT_EQ(NextPacket(b.m, &p), -1);
    SeekVideo(b.m, 1999);
    EXPECT_EQ(NextPacket(b.m, &p), 0);
    FreePacket(p.payload);
}

// Scene 1 palette A, scene 2 none, scene 3 palette B; each 10 ticks.
struct PaletteWalk : ::testing::Test {
    MovieBuilder b{4, 2, 2};
    void SetUp() override
    {
        b.frames({10, 10, 10, 10});
        b.palette(1, Palette32(10));
        b.palette(3, Palette32(100));
        for (int i = 0; i < 256; ++i) b.m->paletteWords[i] = 0xABCD0000u + (uint32_t)i;
        b.m->activeCycles[0] = &b.scene(3).cycles[0];
        b.m->activeCycles[3] = &b.scene(1).cycles[3];
        for (int k = 0; k < 4; ++k) {
            b.m->channels[k].data = reinterpret_cast<const int8_t *>("x");
            b.m->channels[k].length = 9;
            b.m->channels[k].rate = 100;
            b.m->channels[k].position = 3.5;
            b.m->channels[k].step = 0.25;
            b.m->channels[k].volume = 7;
            b.m->channels[k].startScene = 2;
        }
    }
    void ExpectChannelsZero()
    {
        AudioChannel zero;
        std::memset(&zero, 0, sizeof zero);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(std::memcmp(&b.m->channels[k], &zero, sizeof zero), 0) << k;
    }
    void ExpectPalette(uint8_t base)
    {
        std::vector<qfplay::Rgb> colors = Palette32(base);
        for (int i = 0; i < 32; ++i) EXPECT_EQ(b.m->paletteWords[i], WordOf(colors[i])) << i;
        for (int i = 32; i < 256; ++i) EXPECT_EQ(b.m->paletteWords[i], 0xABCD0000u + (uint32_t)i) << i;
        for (int k = 0; k < 4; ++k) EXPECT_EQ(b.m->activeCycles[k], nullptr);
    }
};

TEST_F(PaletteWalk, RestoresTheNearestEarlierPalette)
{
    SeekVideo(b.m, 250);  // scene 2: walks back to scene 1's palette A
    ExpectPalette(10);
    ExpectChannelsZero();
}

TEST_F(PaletteWalk, SceneItselfFirst)
{
    SeekVideo(b.m, 650);  // scene 4 walks back to scene 3
    ExpectPalette(100);
    SeekVideo(b.m, 400);  // scene 3 exactly at its start
    ExpectPalette(100);
}

TEST_F(PaletteWalk, SixteenColourPalettesArePassedOver)
{
    b.palette(2, std::vector<qfplay::Rgb>(16, qfplay::Rgb{1, 2, 3}));
    b.palette(4, std::vector<qfplay::Rgb>(31, qfplay::Rgb{1, 2, 3}));
    SeekVideo(b.m, 399);
    ExpectPalette(10);
    SeekVideo(b.m, 700);
    ExpectPalette(100);
}

TEST_F(PaletteWalk, NoPaletteFoundLeavesPaletteAndCycles)
{
    MovieBuilder c(3, 1, 1);
    c.frames({10, 10, 10});
    c.palette(3, Palette32(50));
    c.palette(0, Palette32(70));  // entry 0 is no scene once scenes exist
    c.palette(2, std::vector<qfplay::Rgb>(16, qfplay::Rgb{1, 2, 3}));
    for (int i = 0; i < 256; ++i) c.m->paletteWords[i] = 0x55000000u + (uint32_t)i;
    c.m->activeCycles[1] = &c.scene(2).cycles[1];
    c.m->channels[2].data = reinterpret_cast<const int8_t *>("x");
    c.m->channels[2].startScene = 1;
    EXPECT_EQ(SeekVideo(c.m, 399), 0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(c.m->paletteWords[i], 0x55000000u + (uint32_t)i);
    EXPECT_EQ(c.m->activeCycles[1], &c.scene(2).cycles[1]);
    EXPECT_EQ(c.m->channels[2].data, nullptr);
    EXPECT_EQ(c.m->channels[2].startScene, 0);
    EXPECT_EQ(c.m->packetTime, 0.399);
}

TEST(Seek, WithoutScenesTestsEntryZeroOnce)
{
    MovieBuilder b(0, 1, 1);
    b.palette(0, Palette32(30));
    b.m->activeCycles[2] = &b.scene(0).cycles[2];
    SeekVideo(b.m, 0);
    EXPECT_EQ(b.m->paletteWords[31], WordOf(Palette32(30)[31]));
    EXPECT_EQ(b.m->activeCycles[2], nullptr);
}

TEST(Palette, WordsAreZeroRedGreenBlueInMemory)
{
    MovieBuilder b(1, 1, 1);
    std::vector<qfplay::Rgb> colors = Palette32(0);
    colors[5] = qfplay::Rgb{0x11, 0x22, 0x33};
    b.palette(1, colors);
    b.m->paletteWords[40] = 0xDEADBEEF;
    LoadScenePalette(b.m, &b.scene(1));
    const auto *bytes = reinterpret_cast<const uint8_t *>(&b.m->paletteWords[5]);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[1], 0x11);
    EXPECT_EQ(bytes[2], 0x22);
    EXPECT_EQ(bytes[3], 0x33);
    EXPECT_EQ(b.m->paletteWords[40], 0xDEADBEEFu);
}

}  // namespace
