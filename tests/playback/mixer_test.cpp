// Channel starts, truncated-position mixing, clamp and shift, stereo layout.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/playback/written_movie.h"

using qfplay::Asset;
using qfplay::MovieWriter;
using qfplay::Played;

namespace {

constexpr int Frames = 882;
// Periods and the rates the plug-in takes from them: 160 plays 22168 per second, one value per
// frame for frames 0 to 186 (frame 187 is at 188.0007); 321 plays 11049, each value twice up to
// frame 458; 1 plays 65535, about three values per frame; 0 holds the first value.
constexpr uint16_t Near22050 = 160, Near11025 = 321, Fastest = 1, Still = 0;

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

// The expected packet at volume 64: for count frames, frame f plays v[(first + f) x rate / 22050]
// x 256, where first counts the frames played since the start; then silence.
std::vector<int> Expected(const std::vector<int8_t> &v, int first, int count, uint32_t rate)
{
    std::vector<int> out(Frames, 0);
    for (int f = 0; f < count; ++f) out[(size_t)f] = v[(size_t)((uint64_t)(first + f) * rate / 22050)] * 256;
    return out;
}

std::vector<int8_t> Ramp(size_t n)
{
    std::vector<int8_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back((int8_t)((int)(i % 251) - 125));
    return v;
}

// Embedded sounds (index 0 first) and a table of sceneCount scenes; the caller adds the scenes.
MovieWriter WithSounds(const std::vector<std::vector<int8_t>> &sounds, uint16_t sceneCount)
{
    MovieWriter writer;
    writer.embedded();
    for (const auto &s : sounds) writer.load(Asset::Sound, qfauthor::Write8svx(s));
    return writer.scenes(sceneCount);
}

TEST(Mixer, PositionCarriesAcrossCallsAndTheSoundRepeatsWithinTheScene)
{
    std::vector<int8_t> v = Ramp(1000), w = Ramp(886);
    // Volume 256 is stored as 0: silent, but it ends on time (886 values end with frame 881).
    Played p(WithSounds({v, w}, 1).scene(1).duration(100).sound(0, 64, Near22050, 1 << 2).sound(1, 256, Near22050, 1));
    std::vector<int> got = Mix(p.m, 0.0);
    EXPECT_EQ(got, Expected(v, 0, Frames, 22168));
    EXPECT_EQ(got[186], v[186] * 256);
    EXPECT_EQ(got[187], v[188] * 256);
    EXPECT_EQ(p.m->channels[2].startScene, 1);
    EXPECT_EQ(p.m->channels[0].data, nullptr);
    EXPECT_EQ((uint32_t)p.m->channels[0].position, 886u);
    EXPECT_EQ(p.m->channels[0].startScene, 0);
    got = Mix(p.m, 0.04);  // 882 x 22168 / 22050 = 886.7: ends at frame 112 (value 999); the rest is silent
    EXPECT_EQ(got, Expected(v, 882, 113, 22168));
    EXPECT_EQ(got[0], v[886] * 256);
    EXPECT_EQ(p.m->channels[2].startScene, 0);
    EXPECT_EQ(Mix(p.m, 0.08), Expected(v, 0, Frames, 22168));  // and starts again on the next
}

TEST(Mixer, HalfRateOutputsEachValueTwice)
{
    std::vector<int8_t> v = Ramp(200);
    Played p(WithSounds({v}, 1).scene(1).duration(100).sound(0, 64, Near11025, 1 << 1));
    std::vector<int> got = Mix(p.m, 0.0);
    EXPECT_EQ(got, Expected(v, 0, 400, 11049));
    for (int f = 0; f < 400; ++f) ASSERT_EQ(got[(size_t)f], v[(size_t)(f / 2)] * 256) << f;
    EXPECT_EQ(p.m->channels[1].rate, 11049u);  // a stopped channel keeps its fields
    EXPECT_EQ(p.m->channels[1].step, 11049 / 22050.0);
    EXPECT_EQ((uint32_t)p.m->channels[1].position, 200u);
}

TEST(Mixer, RateZeroHoldsTheFirstValueUntilRestarted)
{
    MovieWriter w = WithSounds({{-7, 50, 60, 70}, {3, 99}}, 3);
    w.scene(1).duration(10).sound(0, 64, Still, 1 << 3).scene(3).sound(1, 64, Fastest, 1 << 3);
    Played p(w);
    for (double t : {0.0, 0.04, 0.2, 0.36}) {  // scene 2 has no sounds: the channel plays on
        EXPECT_EQ(Mix(p.m, t), std::vector<int>(Frames, -7 * 256)) << t;
        EXPECT_EQ(p.m->channels[3].startScene, 1);
        EXPECT_EQ(p.m->channels[3].rate, 0u);
    }
    EXPECT_EQ(Mix(p.m, 0.4), Expected({3}, 0, 1, 0));  // scene 3 cuts it off; 65535 Hz skips 99
}

TEST(Mixer, LoudVolumesAreClamped)
{
    MovieWriter w = WithSounds({{127, -128, 1, -1, 32, -33, 0, 0}, {1, -1, 81, -82}}, 2);
    w.scene(1).duration(10).sound(0, 255, Near22050, 1).scene(2).sound(1, 100, Near22050, 1);
    Played p(w);
    std::vector<int> got = Mix(p.m, 0.0);  // x 255 x 1024 = 261120
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 7),
              (std::vector<int>{32767, -32768, 1020, -1020, 32640, -32768, 0}));
    got = Mix(p.m, 0.2);  // x 102400: 81 x 400 = 32400; -82 x 102400 clamps
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 5), (std::vector<int>{400, -400, 32400, -32768, 0}));
}

// 64 x 128 x 1024 is 2^23, the first sum past the largest: it plays 32767, not 32768 wrapped to
// -32768; -2^23 needs no clamp.
TEST(Mixer, TheClampStartsAtTheFirstSumPastTheRange)
{
    MovieWriter w = WithSounds({{64, -64, 63, 0}}, 1);
    w.scene(1).duration(10).sound(0, 128, Near22050, 1);
    Played p(w);
    std::vector<int> got = Mix(p.m, 0.0);
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 4), (std::vector<int>{32767, -32768, 32256, 0}));
}

// A movie's volumes are whole multiples of 1024, so every sum divides by 256 exactly and how the
// shift rounds other sums cannot show; what shows is that channels add before the clamp.
TEST(Mixer, ChannelsAddBeforeTheClampAndShift)
{
    MovieWriter w = WithSounds({{127, 127}, {-128, -128}, {1, -1}, {-1, 0}}, 1);
    w.scene(1).duration(100).sound(0, 255, Near22050, 1).sound(1, 255, Near22050, 2);
    Played p(w.sound(2, 1, Near22050, 4).sound(3, 3, Near22050, 8));
    // -261120 + 1024 - 3072 = -263168 and -261120 - 1024 + 0 = -262144.
    std::vector<int> got = Mix(p.m, 0.0);
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 3), (std::vector<int>{-1028, -1024, 0}));
}

TEST(Mixer, ChannelStartsFollowTheStartingScene)
{
    std::vector<int8_t> v = Ramp(5000);
    MovieWriter w = WithSounds({v, {9, 0}}, 4);  // 120 ms a scene
    w.scene(1).duration(6).sound(0, 64, Near22050, 1);
    w.scene(2).sound(1, 64, Near22050, 2);  // an empty slot 0 does not stop channel 0
    w.scene(3).sound(0, 64, Near22050, 1);  // the same sample again: a new start
    Played p(w);
    EXPECT_EQ(Mix(p.m, 0.0)[0], v[0] * 256);
    EXPECT_EQ(Mix(p.m, 0.04)[0], v[886] * 256);  // same scene: goes on (frame 882)
    EXPECT_EQ(Mix(p.m, 0.08)[0], v[1773] * 256);
    std::vector<int> got = Mix(p.m, 0.12);  // scene 2 adds channel 1 for two frames, the second 0
    EXPECT_EQ(got[0], v[2660] * 256 + 9 * 256);
    EXPECT_EQ(got[1], v[2661] * 256);
    EXPECT_EQ(p.m->channels[1].data, nullptr);
    EXPECT_EQ(Mix(p.m, 0.25)[0], v[0] * 256);  // scene 3 starts channel 0 again
    EXPECT_EQ(p.m->channels[0].startScene, 3);
    EXPECT_EQ(Mix(p.m, 0.37)[0], v[886] * 256);  // scene 4 has no sounds
}

TEST(Mixer, PastTheEndUsesTheLastScene)
{
    MovieWriter w = WithSounds({{5, 6}, {11, 12}}, 2);
    w.scene(1).duration(6).sound(0, 64, Still, 1 << 1).scene(2).sound(1, 64, Near22050, 1);
    Played p(w);  // rate 0: still playing later
    Mix(p.m, 0.0);
    std::vector<int> got = Mix(p.m, 100.0);
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 3), (std::vector<int>{16 * 256, 17 * 256, 5 * 256}));
    EXPECT_EQ(Mix(p.m, 1e12)[0], 16 * 256);  // saturated time: the last scene restarts its ended sound
}

TEST(Mixer, SilenceIsAllZeroBytes)
{
    // Scene 2 starts a sound without BODY and one with an empty BODY: silent, but started, so it
    // does not start them again. Scene 1 lasts no time (no "i" before it), so its sound never
    // starts. Without scenes, entry 0 holds nothing.
    qfauthor::IffChunk header{"VHDR", qfauthor::Bytes(20, 0)};
    MovieWriter w = WithSounds({{100, 100}, {}}, 3);
    w.load(Asset::Sound, qfauthor::WriteGroup("FORM", "8SVX", {&header, 1}, true));
    w.scene(1).sound(0, 64, Near22050, 1).scene(2).duration(6).sound(2, 64, Near22050, 2).sound(1, 64, Near22050, 4);
    Played b(w), none(MovieWriter().scenes(0));
    ASSERT_EQ(b.m->soundSamples->next->next->data, nullptr);
    ASSERT_EQ(b.m->soundSamples->next->length, 0u);
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
                EXPECT_EQ(m->channels[k].startScene, m == b.m ? 2 : 0) << k;
            }
        }
}

}  // namespace
