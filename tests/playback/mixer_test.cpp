// Channel starts, truncated-position mixing, clamp and shift, stereo layout.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/playback/movie_builder.h"

using qfplay::MovieBuilder;

namespace {

constexpr int Frames = 882;

// Mixes one packet; returns the 882 sample values after checking both stereo samples agree.
std::vector<int> Mix(MovieHandle *m, double time)
{
    std::vector<uint8_t> buffer(3528 + 8, 0xAA);
    AudioFrameRecord record{};
    record.buffer = buffer.data();
    record.word1 = 0x12345678u;
    TimingPacket packet{time};
    EXPECT_EQ(DecodeAudioFrame(m, &packet, &record), 0);
    EXPECT_EQ(record.byteCount, 3528u);
    EXPECT_EQ(record.word3, 1u);
    EXPECT_EQ(record.word1, 0x12345678u);
    for (size_t i = 3528; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xAA);
    std::vector<int> values;
    for (int f = 0; f < Frames; ++f) {
        int16_t left, right;
        std::memcpy(&left, buffer.data() + 4 * f, 2);
        std::memcpy(&right, buffer.data() + 4 * f + 2, 2);
        EXPECT_EQ(left, right) << "frame " << f;
        values.push_back(left);
    }
    return values;
}

std::vector<int8_t> Ramp(size_t n)
{
    std::vector<int8_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back((int8_t)((int)(i % 251) - 125));
    return v;
}

TEST(Mixer, Rate22050PlaysOneSamplePerFrameAndRepeatsWithinTheScene)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    std::vector<int8_t> v = Ramp(882);
    b.startSound(1, 0, b.sound(v), 22050, 64);
    for (int call = 0; call < 3; ++call) {
        std::vector<int> got = Mix(b.m, 0.04 * call);
        for (int f = 0; f < Frames; ++f) ASSERT_EQ(got[(size_t)f], v[(size_t)f] * 256) << call << " " << f;
        // 882 values at step 1.0 end with the last frame of the call.
        EXPECT_EQ(b.m->channels[0].data, nullptr);
        EXPECT_EQ(b.m->channels[0].startScene, 0);
    }
}

TEST(Mixer, LongSampleEndsMidCallAndRestartsOnTheNext)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    std::vector<int8_t> v = Ramp(1000);
    b.startSound(1, 2, b.sound(v), 22050, 64);
    std::vector<int> got = Mix(b.m, 0.0);
    for (int f = 0; f < Frames; ++f) ASSERT_EQ(got[(size_t)f], v[(size_t)f] * 256);
    EXPECT_EQ(b.m->channels[2].startScene, 1);
    got = Mix(b.m, 0.04);
    for (int f = 0; f < 118; ++f) ASSERT_EQ(got[(size_t)f], v[(size_t)(882 + f)] * 256) << f;
    for (int f = 118; f < Frames; ++f) ASSERT_EQ(got[(size_t)f], 0) << f;
    got = Mix(b.m, 0.08);
    for (int f = 0; f < Frames; ++f) ASSERT_EQ(got[(size_t)f], v[(size_t)f] * 256);
}

TEST(Mixer, HalfRateOutputsEachValueTwice)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    std::vector<int8_t> v = Ramp(300);
    b.startSound(1, 1, b.sound(v), 11025, 64);
    std::vector<int> got = Mix(b.m, 0.0);
    for (int f = 0; f < 600; ++f) ASSERT_EQ(got[(size_t)f], v[(size_t)(f / 2)] * 256) << f;
    for (int f = 600; f < Frames; ++f) ASSERT_EQ(got[(size_t)f], 0) << f;
    EXPECT_EQ(b.m->channels[1].position, 300.0);  // a stopped channel keeps its fields
    EXPECT_EQ(b.m->channels[1].step, 0.5);
}

TEST(Mixer, OddRateReadsTheTruncatedPosition)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    std::vector<int8_t> v = Ramp(700);
    const uint16_t rate = 8287;  // the rate of period 428
    b.startSound(1, 0, b.sound(v), rate, 64);
    const double step = rate / 22050.0;
    double position = 0.0;
    bool playing = true;
    for (int call = 0; call < 3; ++call) {
        std::vector<int> got = Mix(b.m, 0.04 * call);
        for (int f = 0; f < Frames; ++f) {
            int want = 0;
            if (playing) {
                want = v[(size_t)(uint32_t)position] * 256;
                position += step;
                if ((uint32_t)position >= v.size()) playing = false;
            }
            ASSERT_EQ(got[(size_t)f], want) << call << " " << f;
        }
    }
    EXPECT_FALSE(playing);  // 700 values at ~0.3758 per frame end in the third call
}

TEST(Mixer, RateZeroHoldsTheFirstValueUntilRestarted)
{
    MovieBuilder b(3, 1, 1);
    b.frames({10, 10, 10});
    b.startSound(1, 3, b.sound({-7, 50, 60}), 0, 64);
    b.startSound(3, 3, b.sound({3}), 22050, 64);
    for (double t : {0.0, 0.04, 0.2, 0.36}) {  // scene 2 has no sounds: the channel plays on
        for (int v : Mix(b.m, t)) ASSERT_EQ(v, -7 * 256) << t;
        EXPECT_EQ(b.m->channels[3].startScene, 1);
    }
    std::vector<int> got = Mix(b.m, 0.4);  // scene 3 cuts it off
    EXPECT_EQ(got[0], 3 * 256);
    for (int f = 1; f < Frames; ++f) ASSERT_EQ(got[(size_t)f], 0);
}

TEST(Mixer, VolumeZeroIsSilentButEndsOnTime)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    b.startSound(1, 0, b.sound(Ramp(441)), 22050, 0);
    for (int v : Mix(b.m, 0.0)) ASSERT_EQ(v, 0);
    EXPECT_EQ(b.m->channels[0].data, nullptr);
    EXPECT_EQ(b.m->channels[0].startScene, 0);
    EXPECT_EQ(b.m->channels[0].position, 441.0);
}

TEST(Mixer, LoudVolumesAreClamped)
{
    MovieBuilder b(2, 1, 1);
    b.frames({10, 10});
    b.startSound(1, 0, b.sound({127, -128, 1, -1, 32, -33, 0}), 22050, 255);  // x 261120
    b.startSound(2, 0, b.sound({1, -1, 81, -82}), 22050, 100);                // x 102400
    std::vector<int> got = Mix(b.m, 0.0);
    const int want[7] = {32767, -32768, 1020, -1020, 32640, -32768, 0};
    for (int f = 0; f < 7; ++f) EXPECT_EQ(got[(size_t)f], want[f]) << f;
    got = Mix(b.m, 0.2);
    const int want2[4] = {400, -400, 32400, -32768};  // 81 x 400 = 32400; -82 x 102400 clamps
    for (int f = 0; f < 4; ++f) EXPECT_EQ(got[(size_t)f], want2[f]) << f;
}

TEST(Mixer, SmallSumsShiftTowardsMinusInfinity)
{
    // Channel volumes set directly, below the 1024 steps a scene gives, to reach every small sum.
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    static const int8_t a[] = {-1, 1, -128, 127, -128, 127, -1, 0};
    static const int8_t c[] = {0, 0, 0, 0, -1, 1, 0, 1};
    b.m->channels[0] = AudioChannel{a, 8, 22050, 0.0, 1.0, 1, 1};   // sums: a x 1
    b.m->channels[1] = AudioChannel{a, 8, 22050, 0.0, 1.0, 1, 1};   // + a x 1
    b.m->channels[2] = AudioChannel{c, 8, 22050, 0.0, 1.0, 1, 1};   // + c x 1
    // -2, 2, -256, 254, -257, 255, -2, 1
    std::vector<int> got = Mix(b.m, 0.0);
    const int want[8] = {-1, 0, -1, 0, -2, 0, -1, 0};
    for (int f = 0; f < 8; ++f) EXPECT_EQ(got[(size_t)f], want[f]) << f;
    b.m->channels[0] = AudioChannel{a, 8, 22050, 5.0, 1.0, 2, 1};  // 127 x 2 = 254, + 2 = 256
    b.m->channels[1] = AudioChannel{c, 8, 22050, 7.0, 1.0, 2, 1};
    got = Mix(b.m, 0.04);
    EXPECT_EQ(got[0], 1);
}

TEST(Mixer, FourChannelsAreSummed)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    b.startSound(1, 0, b.sound(std::vector<int8_t>(882, 10)), 22050, 64);   // 10 x 65536
    b.startSound(1, 1, b.sound(std::vector<int8_t>(441, -20)), 22050, 32);  // -20 x 32768
    b.startSound(1, 2, b.sound(std::vector<int8_t>(882, 40)), 22050, 16);   // 40 x 16384
    b.startSound(1, 3, b.sound(std::vector<int8_t>(100, 100)), 22050, 8);   // 100 x 8192
    std::vector<int> got = Mix(b.m, 0.0);
    // All four: 655360 - 655360 + 655360 + 819200 = 1474560 -> 5760.
    for (int f = 0; f < 100; ++f) ASSERT_EQ(got[(size_t)f], 5760) << f;
    // Channel 3 ended: 655360 -> 2560.
    for (int f = 100; f < 441; ++f) ASSERT_EQ(got[(size_t)f], 2560) << f;
    // Channel 1 ended too: 1310720 -> 5120.
    for (int f = 441; f < Frames; ++f) ASSERT_EQ(got[(size_t)f], 5120) << f;
}

TEST(Mixer, ChannelStartsFollowTheStartingScene)
{
    MovieBuilder b(4, 1, 1);
    b.frames({4, 4, 4, 4});  // 80 ms each
    SoundSample *s = b.sound(Ramp(5000));
    std::vector<int8_t> v = Ramp(5000);
    b.startSound(1, 0, s, 22050, 64);
    b.startSound(2, 1, b.sound({9}), 22050, 64);  // an empty slot 0 does not stop channel 0
    b.startSound(3, 0, s, 22050, 64);             // the same sample again: a new start
    std::vector<int> got = Mix(b.m, 0.0);
    EXPECT_EQ(got[0], v[0] * 256);
    got = Mix(b.m, 0.04);  // same scene: goes on
    EXPECT_EQ(got[0], v[882] * 256);
    got = Mix(b.m, 0.1);  // scene 2 adds channel 1 for one frame
    EXPECT_EQ(got[0], v[1764] * 256 + 9 * 256);
    EXPECT_EQ(got[1], v[1765] * 256);
    got = Mix(b.m, 0.17);  // scene 3 starts channel 0 again
    EXPECT_EQ(got[0], v[0] * 256);
    EXPECT_EQ(b.m->channels[0].startScene, 3);
    got = Mix(b.m, 0.25);  // scene 4 has no sounds
    EXPECT_EQ(got[0], v[882] * 256);
}

TEST(Mixer, PastTheEndUsesTheLastScene)
{
    MovieBuilder b(2, 1, 1);
    b.frames({6, 6});
    b.startSound(1, 1, b.sound({5}), 0, 64);  // rate 0: still playing later
    b.startSound(2, 0, b.sound({11, 12}), 22050, 64);
    Mix(b.m, 0.0);
    std::vector<int> got = Mix(b.m, 100.0);
    EXPECT_EQ(got[0], (11 + 5) * 256);
    EXPECT_EQ(got[1], (12 + 5) * 256);
    EXPECT_EQ(got[2], 5 * 256);
    got = Mix(b.m, 1e12);  // saturated time: still the last scene, which restarts its ended sound
    EXPECT_EQ(got[0], (11 + 5) * 256);
}

TEST(Mixer, ZeroTickScenesNeverStart)
{
    MovieBuilder b(3, 1, 1);
    b.frames({6, 0, 6});
    b.startSound(2, 0, b.sound({100, 100}), 22050, 64);
    for (int i = 0; i < 8; ++i) {
        for (int v : Mix(b.m, 0.04 * i)) ASSERT_EQ(v, 0) << i;
        EXPECT_EQ(b.m->channels[0].startScene, 0);
    }
}

TEST(Mixer, SilenceIsAllZeroBytes)
{
    MovieBuilder b(2, 1, 1);
    b.frames({6, 6});
    std::vector<uint8_t> buffer(3528, 0xAA);
    AudioFrameRecord record{};
    record.buffer = buffer.data();
    TimingPacket packet{0.1};
    DecodeAudioFrame(b.m, &packet, &record);
    for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << i;
    MovieBuilder none(0, 1, 1);  // no scenes: entry 0, which holds nothing
    std::memset(buffer.data(), 0xAA, buffer.size());
    DecodeAudioFrame(none.m, &packet, &record);
    for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << i;
}

TEST(Mixer, SamplesWithoutBytesStartSilently)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    b.startSound(1, 0, b.sound({1, 2, 3}, false), 22050, 64);  // no data, length 3
    SoundSample *empty = b.sound({100});                        // data, but length 0
    empty->length = 0;
    b.startSound(1, 1, empty, 22050, 64);
    for (int call = 0; call < 2; ++call) {
        for (int v : Mix(b.m, 0.04 * call)) ASSERT_EQ(v, 0);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(b.m->channels[k].data, nullptr) << k;
            EXPECT_EQ(b.m->channels[k].startScene, 1) << k;
        }
    }
}

}  // namespace
