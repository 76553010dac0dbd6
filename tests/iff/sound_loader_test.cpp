#include "iff_test_support.h"

namespace {

using namespace iffTest;

Bytes Vhdr(uint8_t compression = 0)
{
    return Chunk("VHDR", Concat({U32(0x01020304), U32(5), U32(32), {0x56, 0x22, 3, compression}, U32(0x8000)}));
}

Bytes Samples(const SoundSample *s) { return Bytes(s->data, s->data + s->length); }

TEST(SoundLoader, OddBodyTakesItsPadByte)
{
    Bytes chunks = Concat({Vhdr(), Chunk("NAME", {'b', 'e', 'e', 'p', '!'}), Bytes{0},
                           Chunk("BODY", {1, 2, 3, 4, 5, 6, 0xF9}), Bytes{0x77}});
    LoaderCase c;
    HostFile f = c.open(Concat({Group("8SVX", chunks), Bytes{0x99}}));
    ASSERT_EQ(LoadSoundSample(c.movie, f), 1);
    ASSERT_EQ(c.movie->soundCount, 1);
    SoundSample *s = c.movie->soundSamples;
    EXPECT_EQ(s->oneShotSamples, 0x01020304u);
    EXPECT_EQ(s->repeatSamples, 5u);
    EXPECT_EQ(s->samplesPerCycle, 32u);
    EXPECT_EQ(s->samplesPerSecond, 0x5622);
    EXPECT_EQ(s->octaveCount, 3);
    EXPECT_EQ(s->headerVolume, 0x8000u);
    EXPECT_EQ(s->length, 8u);
    EXPECT_EQ(Samples(s), (Bytes{1, 2, 3, 4, 5, 6, 0xF9, 0x77}));
    EXPECT_EQ(c.host.count("seek 1 6 0"), 1);  // the 5-byte name skipped as 6
    EXPECT_EQ(c.position(f), 12 + static_cast<int64_t>(chunks.size()));
}

TEST(SoundLoader, WriterOutputAndCompressionIgnored)
{
    std::vector<int8_t> samples(301);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int8_t>(i * 37);
    qfauthor::SvxOptions options;
    options.compression = 1;  // declared, not applied
    Bytes file = qfauthor::Write8svx(samples, options);
    LoaderCase c;
    HostFile f = c.open(file);
    ASSERT_EQ(LoadSoundSample(c.movie, f), 1);
    SoundSample *s = c.movie->soundSamples;
    ASSERT_EQ(s->length, 302u);
    EXPECT_EQ(std::vector<int8_t>(s->data, s->data + 301), samples);
    EXPECT_EQ(s->data[301], 0);
    EXPECT_EQ(s->compression, 1);
    EXPECT_EQ(c.position(f), static_cast<int64_t>(file.size()));
}

TEST(SoundLoader, NoBodyOrEmptyGroup)
{
    LoaderCase c;
    HostFile four = c.open(Concat({GroupHeader(4, "8SVX"), Vhdr()}));
    EXPECT_EQ(LoadSoundSample(c.movie, four), 1);
    EXPECT_EQ(c.position(four), 12);
    // L = 3 is made 4.
    HostFile three = c.open(Concat({GroupHeader(3, "8SVX"), Vhdr()}));
    EXPECT_EQ(LoadSoundSample(c.movie, three), 1);
    EXPECT_EQ(c.position(three), 12);
    HostFile noBody = c.open(Group("8SVX", Vhdr()));
    EXPECT_EQ(LoadSoundSample(c.movie, noBody), 1);
    // 0xFFFFFFFF made even wraps to 0: no chunks.
    HostFile wraps = c.open(Concat({GroupHeader(0xFFFFFFFF, "8SVX"), Vhdr()}));
    EXPECT_EQ(LoadSoundSample(c.movie, wraps), 1);
    EXPECT_EQ(c.position(wraps), 12);

    ASSERT_EQ(c.movie->soundCount, 4);
    int n = 0;
    for (SoundSample *s = c.movie->soundSamples; s; s = s->next, ++n) {
        EXPECT_EQ(s->data, nullptr);
        EXPECT_EQ(s->length, 0u);
    }
    EXPECT_EQ(n, 4);
    EXPECT_EQ(c.movie->soundSamples->next->next->samplesPerCycle, 32u);
}

TEST(SoundLoader, ShortFilesAndHugeLengths)
{
    LoaderCase c;
    // BODY declares 6, the file holds 2: the rest is silence.
    HostFile cut = c.open(Concat({Group("8SVX", Concat({Id("BODY"), U32(6)})), Bytes{5, 6}}));
    EXPECT_EQ(LoadSoundSample(c.movie, cut), 1);
    EXPECT_EQ(Samples(c.movie->soundSamples), (Bytes{5, 6, 0, 0, 0, 0}));
    // A huge unknown chunk: skipped forward by its unsigned, evened length; the walk ends.
    HostFile huge = c.open(Concat({GroupHeader(0x7FFFFFF0, "8SVX"), Id("JUNK"), U32(0xFFFFFFFF), Vhdr()}));
    EXPECT_EQ(LoadSoundSample(c.movie, huge), 1);
    EXPECT_EQ(c.host.count("seek 2 2147483648 0"), 1);
    EXPECT_EQ(c.movie->soundSamples->next->oneShotSamples, 0u);
}

TEST(SoundLoader, TruncatedAtEveryOffset)
{
    std::vector<int8_t> samples = {10, 20, 30, 40, 50};
    qfauthor::SvxOptions options;
    options.chunksBeforeBody = {{"ANNO", {'h', 'i', '!'}}};
    Bytes file = qfauthor::Write8svx(samples, options);
    for (size_t keep = 0; keep < file.size(); ++keep) {
        SCOPED_TRACE(keep);
        LoaderCase c;
        HostFile f = c.open(Bytes(file.begin(), file.begin() + keep));
        EXPECT_EQ(LoadSoundSample(c.movie, f), 1);
        EXPECT_LE(c.host.log.size(), 8u);
        SoundSample *s = c.movie->soundSamples;
        if (!s->data) continue;
        for (size_t i = 0; i < s->length && i < samples.size(); ++i)
            EXPECT_TRUE(s->data[i] == samples[i] || s->data[i] == 0);
    }
}

TEST(SoundLoader, EveryAllocationFailing)
{
    Bytes file = qfauthor::Write8svx(std::vector<int8_t>{1, 2, 3});
    long total = ForEachAllocationFailure(
        [&](LoaderCase &c) { return LoadSoundSample(c.movie, c.open(file)); },
        [&](LoaderCase &c, int32_t result, long fail) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(c.movie->soundCount, fail == 1 ? 0 : 1);
            if (fail == 2) {
                SoundSample *s = c.movie->soundSamples;
                EXPECT_EQ(s->data, nullptr);
                EXPECT_EQ(s->length, 4u);  // set before the allocation
                EXPECT_EQ(c.host.count("read "), 0);
            }
        });
    EXPECT_EQ(total, 2);
}

}  // namespace
