// Channel starts, truncated-position mixing, clamp and shift, stereo layout.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/playback/movie_builder.h"

using qfplay::MovieBuilder;

namespace {

constexpr int Frames = 882;

// Mixes one packet; returns the 882 sample values after checking the record, the buffer's end and
// that both stereo samples agree.
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
        int16_t frame[2];  // left, right
        std::memcpy(frame, buffer.data() + 4 * f, 4);
        EXPECT_EQ(frame[0], frame[1]) << "frame " << f;
        values.push_back(frame[0]);
    }
    return values;
}

// The expected packet: v[from + f / repeat] x 256 for count frames, then silence.
std::vector<int> Expected(const std::vector<int8_t> &v, size_t from, int count, int repeat = 1)
{
    std::vector<int> out(Frames, 0);
    for (int f = 0; f < count; ++f) out[(size_t)f] = v[from + (size_t)(f / repeat)] * 256;
    return out;
}

std::vector<int8_t> Ramp(size_t n)
{
    std::vector<int8_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back((int8_t)((int)(i % 251) - 125));
    return v;
}

TEST(Mixer, Rate22050PlaysOneValuePerFrameAndRepeatsWithinTheScene)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    std::vector<int8_t> v = Ramp(1000), w = Ramp(882);
    b.startSound(1, 2, b.sound(v), 22050, 64);
    b.startSound(1, 0, b.sound(w), 22050, 0);  // volume 0: silent, but ends on time
    EXPECT_EQ(Mix(b.m, 0.0), Expected(v, 0, Frames));
    EXPECT_EQ(b.m->channels[2].startScene, 1);
    EXPECT_EQ(b.m->channels[0].data, nullptr);  // 882 values end with the last frame of the call
    EXPECT_EQ(b.m->channels[0].position, 882.0);
    EXPECT_EQ(b.m->channels[0].startScene, 0);
    EXPECT_EQ(Mix(b.m, 0.04), Expected(v, 882, 118));  // ends mid-call; the rest is silent
    EXPECT_EQ(b.m->channels[2].startScene, 0);
    EXPECT_EQ(Mix(b.m, 0.08), Expected(v, 0, Frames));  // and starts again on the next
}

TEST(Mixer, HalfRateOutputsEachValueTwice)
{
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    std::vector<int8_t> v = Ramp(300);
    b.startSound(1, 1, b.sound(v), 11025, 64);
    EXPECT_EQ(Mix(b.m, 0.0), Expected(v, 0, 600, 2));
    EXPECT_EQ(b.m->channels[1].position, 300.0);  // a stopped channel keeps its fields
    EXPECT_EQ(b.m->channels[1].step, 0.5);
}

TEST(Mixer, RateZeroHoldsTheFirstValueUntilRestarted)
{
    MovieBuilder b(3, 1, 1);
    b.frames({10, 10, 10});
    b.startSound(1, 3, b.sound({-7, 50, 60}), 0, 64);
    b.startSound(3, 3, b.sound({3}), 22050, 64);
    for (double t : {0.0, 0.04, 0.2, 0.36}) {  // scene 2 has no sounds: the channel plays on
        EXPECT_EQ(Mix(b.m, t), std::vector<int>(Frames, -7 * 256)) << t;
        EXPECT_EQ(b.m->channels[3].startScene, 1);
    }
    EXPECT_EQ(Mix(b.m, 0.4), Expected({3}, 0, 1));  // scene 3 cuts it off
}

TEST(Mixer, LoudVolumesAreClamped)
{
    MovieBuilder b(2, 1, 1);
    b.frames({10, 10});
    b.startSound(1, 0, b.sound({127, -128, 1, -1, 32, -33, 0}), 22050, 255);  // x 261120
    b.startSound(2, 0, b.sound({1, -1, 81, -82}), 22050, 100);                // x 102400
    std::vector<int> got = Mix(b.m, 0.0);
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 7),
              (std::vector<int>{32767, -32768, 1020, -1020, 32640, -32768, 0}));
    got = Mix(b.m, 0.2);  // 81 x 400 = 32400; -82 x 102400 clamps
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 5), (std::vector<int>{400, -400, 32400, -32768, 0}));
}

TEST(Mixer, SmallSumsShiftTowardsMinusInfinity)
{
    // Channel volumes set directly, below the 1024 steps a scene gives, to reach every small sum.
    MovieBuilder b(1, 1, 1);
    b.frames({100});
    static const int8_t a[] = {-1, 1, -128, 127, -128, 127, -1, 0};
    static const int8_t c[] = {0, 0, 0, 0, -1, 1, 0, 1};
    b.m->channels[0] = AudioChannel{a, 8, 22050, 0.0, 1.0, 1, 1};
    b.m->channels[1] = AudioChannel{a, 8, 22050, 0.0, 1.0, 1, 1};
    b.m->channels[2] = AudioChannel{c, 8, 22050, 0.0, 1.0, 1, 1};
    // Sums -2, 2, -256, 254, -257, 255, -2, 1.
    std::vector<int> got = Mix(b.m, 0.0);
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 9), (std::vector<int>{-1, 0, -1, 0, -2, 0, -1, 0, 0}));
    b.m->channels[0] = AudioChannel{a, 8, 22050, 5.0, 1.0, 2, 1};  // 127 x 2 + 1 x 2 = 256
    b.m->channels[1] = AudioChannel{c, 8, 22050, 7.0, 1.0, 2, 1};
    EXPECT_EQ(Mix(b.m, 0.04)[0], 1);
}

TEST(Mixer, ChannelStartsFollowTheStartingScene)
{
    MovieBuilder b(4, 1, 1);
    b.frames({4, 4, 4, 4});  // 80 ms each
    std::vector<int8_t> v = Ramp(5000);
    SoundSample *s = b.sound(v);
    b.startSound(1, 0, s, 22050, 64);
    b.startSound(2, 1, b.sound({9}), 22050, 64);  // an empty slot 0 does not stop channel 0
    b.startSound(3, 0, s, 22050, 64);             // the same sample again: a new start
    EXPECT_EQ(Mix(b.m, 0.0)[0], v[0] * 256);
    EXPECT_EQ(Mix(b.m, 0.04)[0], v[882] * 256);  // same scene: goes on
    std::vector<int> got = Mix(b.m, 0.1);        // scene 2 adds channel 1 for one frame
    EXPECT_EQ(got[0], v[1764] * 256 + 9 * 256);
    EXPECT_EQ(got[1], v[1765] * 256);
    EXPECT_EQ(Mix(b.m, 0.17)[0], v[0] * 256);  // scene 3 starts channel 0 again
    EXPECT_EQ(b.m->channels[0].startScene, 3);
    EXPECT_EQ(Mix(b.m, 0.25)[0], v[882] * 256);  // scene 4 has no sounds
}

TEST(Mixer, PastTheEndUsesTheLastScene)
{
    MovieBuilder b(2, 1, 1);
    b.frames({6, 6});
    b.startSound(1, 1, b.sound({5}), 0, 64);  // rate 0: still playing later
    b.startSound(2, 0, b.sound({11, 12}), 22050, 64);
    Mix(b.m, 0.0);
    std::vector<int> got = Mix(b.m, 100.0);
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 3), (std::vector<int>{16 * 256, 17 * 256, 5 * 256}));
    EXPECT_EQ(Mix(b.m, 1e12)[0], 16 * 256);  // saturated time: the last scene restarts its ended sound
}

TEST(Mixer, SilenceIsAllZeroBytes)
{
    // Scene 1 starts samples without bytes (no data; data but length 0): silent, but started, so it
    // does not start them again. Scene 2 of 0 ticks is never chosen, so its sound never starts.
    // Without scenes, entry 0 holds nothing.
    MovieBuilder b(3, 1, 1);
    b.frames({6, 0, 6});
    b.startSound(1, 1, b.sound({1, 2, 3}, false), 22050, 64);
    SoundSample *empty = b.sound({100});
    empty->length = 0;
    b.startSound(1, 2, empty, 22050, 64);
    b.startSound(2, 0, b.sound({100, 100}), 22050, 64);
    MovieBuilder none(0, 1, 1);
    std::vector<uint8_t> buffer(3528);
    AudioFrameRecord record{};
    record.buffer = buffer.data();
    for (MovieHandle *m : {b.m, none.m})
        for (int i = 0; i < 8; ++i) {
            std::memset(buffer.data(), 0xAA, buffer.size());
            TimingPacket packet{0.04 * i};
            DecodeAudioFrame(m, &packet, &record);
            ASSERT_EQ(buffer, std::vector<uint8_t>(3528, 0)) << i;
            EXPECT_EQ(m->channels[0].startScene, 0);
            for (int k = 1; k <= 2; ++k) {
                EXPECT_EQ(m->channels[k].data, nullptr);
                EXPECT_EQ(m->channels[k].startScene, m == b.m ? 1 : 0) << k;
            }
        }
}

}  // namespace
