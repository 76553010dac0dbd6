#include "iff_test_support.h"

namespace {

using namespace iffTest;

Bytes Vhdr() { return Chunk("VHDR", Concat({U32(0x01020304), U32(5), U32(32), {0x56, 0x22, 3, 0}, U32(0x8000)})); }

Bytes Samples(const SoundSample *s) { return Bytes(s->data, s->data + s->length); }

TEST(SoundLoader, OddBodyTakesItsPadByte)
{
    Bytes chunks = Concat({Vhdr(), Chunk("NAME", {'b', 'e', 'e', 'p', '!'}), Bytes{0},
                           Chunk("BODY", {1, 2, 3, 4, 5, 6, 0xF9}), Bytes{0x77}});
    LoaderCase c;
    HostFile f = c.open(Concat({Group("8SVX", chunks), Bytes{0x99}}));
    ASSERT_EQ(LoadSoundSample(c.movie, f), 1);
    ASSERT_EQ(c.movie->soundCount, 1);
    const SoundSample *s = c.movie->soundSamples;
    EXPECT_EQ(std::tuple(s->oneShotSamples, s->repeatSamples, s->samplesPerCycle, s->headerVolume),
              std::tuple(0x01020304u, 5u, 32u, 0x8000u));
    EXPECT_EQ(std::tuple(s->samplesPerSecond, s->octaveCount), std::tuple(0x5622, 3));
    EXPECT_EQ(Samples(s), (Bytes{1, 2, 3, 4, 5, 6, 0xF9, 0x77}));  // the 7-byte BODY becomes 8
    EXPECT_EQ(c.host.count("seek 1 6 0"), 1);                      // the 5-byte name skipped as 6
    EXPECT_EQ(c.position(f), 12 + static_cast<int64_t>(chunks.size()));

    // The writer's file; its declared compression is recorded, not applied.
    std::vector<int8_t> samples(301);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int8_t>(i * 37);
    qfauthor::SvxOptions options;
    options.compression = 1;
    Bytes file = qfauthor::Write8svx(samples, options);
    HostFile written = c.open(file);
    ASSERT_EQ(LoadSoundSample(c.movie, written), 1);
    s = s->next;
    ASSERT_EQ(s->length, 302u);
    EXPECT_EQ(std::vector<int8_t>(s->data, s->data + 301), samples);
    EXPECT_EQ(s->data[301], 0);
    EXPECT_EQ(s->compression, 1);
    EXPECT_EQ(c.position(written), static_cast<int64_t>(file.size()));
}

TEST(SoundLoader, EmptyGroupsShortFilesAndHugeLengths)
{
    LoaderCase c;
    // L = 4; L = 3 made 4; no BODY; 0xFFFFFFFF made even wraps to 0: none has data.
    const std::pair<Bytes, int64_t> empty[] = {{Concat({GroupHeader(4, "8SVX"), Vhdr()}), 12},
                                               {Concat({GroupHeader(3, "8SVX"), Vhdr()}), 12},
                                               {Group("8SVX", Vhdr()), 12 + 28},
                                               {Concat({GroupHeader(0xFFFFFFFF, "8SVX"), Vhdr()}), 12}};
    for (const auto &[file, position] : empty) {
        HostFile f = c.open(file);
        EXPECT_EQ(LoadSoundSample(c.movie, f), 1);
        EXPECT_EQ(c.position(f), position);
    }
    int n = 0;
    for (const SoundSample *s = c.movie->soundSamples; s; s = s->next, ++n) {
        EXPECT_EQ(s->data, nullptr);
        EXPECT_EQ(s->length, 0u);
        EXPECT_EQ(s->samplesPerCycle, n == 2 ? 32u : 0u);
    }
    EXPECT_EQ(n, 4);

    // BODY declares 6, the file holds 2: the rest is silence.
    EXPECT_EQ(LoadSoundSample(c.movie, c.open(Concat({Group("8SVX", Concat({Id("BODY"), U32(6)})), Bytes{5, 6}}))), 1);
    const SoundSample *cut = c.movie->soundSamples->next->next->next->next;
    EXPECT_EQ(Samples(cut), (Bytes{5, 6, 0, 0, 0, 0}));
    // A huge unknown chunk: skipped forward by its unsigned, evened length; the walk ends.
    HostFile huge = c.open(Concat({GroupHeader(0x7FFFFFF0, "8SVX"), Id("JUNK"), U32(0xFFFFFFFF), Vhdr()}));
    EXPECT_EQ(LoadSoundSample(c.movie, huge), 1);
    EXPECT_EQ(c.host.count("seek 6 2147483648 0"), 1);
    EXPECT_EQ(cut->next->oneShotSamples, 0u);
}

TEST(SoundLoader, TruncatedAtEveryOffset)
{
    std::vector<int8_t> samples = {10, 20, 30, 40, 50};
    qfauthor::SvxOptions options;
    options.chunksBeforeBody = {{"ANNO", {'h', 'i', '!'}}};
    ForEachTruncation(qfauthor::Write8svx(samples, options), LoadSoundSample, [&](LoaderCase &c, size_t) {
        EXPECT_LE(c.host.log.size(), 8u);
        const SoundSample *s = c.movie->soundSamples;
        for (size_t i = 0; s->data && i < s->length && i < samples.size(); ++i)
            EXPECT_TRUE(s->data[i] == samples[i] || s->data[i] == 0);
    });
}

TEST(SoundLoader, EveryAllocationFailing)
{
    Bytes file = qfauthor::Write8svx(std::vector<int8_t>{1, 2, 3});
    long total =
        ForEachAllocationFailure([&](LoaderCase &c) { return LoadSoundSample(c.movie, c.open(file)); },
                                 [&](LoaderCase &c, int32_t result, long fail) {
                                     EXPECT_EQ(result, 0);
                                     EXPECT_EQ(c.movie->soundCount, fail == 1 ? 0 : 1);
                                     if (fail == 2) {
                                         EXPECT_EQ(c.movie->soundSamples->data, nullptr);
                                         EXPECT_EQ(c.movie->soundSamples->length, 4u);  // set before the allocation
                                         EXPECT_EQ(c.host.count("read "), 0);
                                     }
                                 });
    EXPECT_EQ(total, 2);
}

}  // namespace
