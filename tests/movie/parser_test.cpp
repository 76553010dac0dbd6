// The command stream: signatures, every command's effect and the failures of the stream.
#include <cstring>

#include "tests/movie/movie_fixtures.h"

using namespace qftest;
using qfauthor::Asset;
using qfauthor::Bytes;
using qfauthor::MovieWriter;

namespace {

Bytes Minimal(const char *signature, bool withEnd = true)
{
    Bytes bytes(signature, signature + 12);
    bytes.resize(33, 0);
    bytes.insert(bytes.end(), {'w', 0, 0});
    if (withEnd) bytes.push_back('z');
    return bytes;
}

TEST(Signature, BothSignaturesOpenTheSameEmptyMovie)
{
    for (const char *signature : {"xSceneEditor", "xQuillframer"}) {
        ScriptedHost host;
        Opened o;
        OpenBytes(host, Minimal(signature), o);
        ASSERT_NE(o.movie, nullptr) << signature;
        EXPECT_EQ(o.movie->sceneCount, 0);
        EXPECT_EQ(o.descriptor.duration, 0u);
        EXPECT_EQ(o.descriptor.width, 352);
        EXPECT_EQ(o.descriptor.height, 240);
        EXPECT_TRUE(host.allClosedOnce());
    }
}

TEST(Signature, WrongCaseShortFileAndMissingFileFail)
{
    for (const Bytes &bytes : {Minimal("xSceneEditoR"), Bytes{'x', 'S', 'c'}, Bytes{}}) {
        ScriptedHost host;
        Opened o;
        OpenBytes(host, bytes, o);
        EXPECT_EQ(o.movie, nullptr);
        EXPECT_TRUE(host.allClosedOnce());
    }
    ScriptedHost host;
    host.install();
    StreamDescriptor d{};
    EXPECT_EQ(OpenVideo("absent", &d), nullptr);
}

TEST(Stream, EndOfFileEndsTheStreamAndBytesAfterZAreIgnored)
{
    ScriptedHost host;
    Opened noEnd;
    OpenBytes(host, Minimal("xQuillframer", false), noEnd);
    ASSERT_NE(noEnd.movie, nullptr);

    Bytes trailing = Minimal("xQuillframer");
    trailing.insert(trailing.end(), {'A', '0', 0x7B, 0xFF});
    Opened o;
    OpenBytes(host, trailing, o);
    ASSERT_NE(o.movie, nullptr);
}

TEST(Stream, NoOpLettersPassAndOtherBytesFail)
{
    MovieWriter w;
    w.scenes(1);
    for (char c = 'n'; c <= 'u'; ++c) w.nothing(c);
    w.nothing('m').nothing('v').nothing('x').end();
    ScriptedHost host;
    Opened o;
    OpenBytes(host, w.bytes(), o);
    ASSERT_NE(o.movie, nullptr);

    for (uint8_t bad : {uint8_t('A'), uint8_t('0'), uint8_t(0x7B), uint8_t(0x60)}) {
        Bytes bytes = MovieWriter().scenes(1).bytes();
        bytes.push_back(bad);
        Opened failed;
        OpenBytes(host, bytes, failed);
        EXPECT_EQ(failed.movie, nullptr) << int(bad);
    }
}

TEST(Stream, HostCallsOfAnOpen)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host, Minimal("xQuillframer"), o);
    ASSERT_NE(o.movie, nullptr);
    std::vector<std::string> expected = {
        "open movie 0", "read 1 12",  "seek 1 0 2",  "seek 1 0 1",
        "eof 1",        "readbyte 1", "seek 1 32 0",                // "x" skips the rest of the signature
        "eof 1",        "readbyte 1", "readbyte 1",  "readbyte 1",  // "w" and its number
        "eof 1",        "readbyte 1",                               // "z"
        "eof 1",        "close 1"};
    EXPECT_EQ(host.log, expected);

    // CloseVideo after a successful open makes no host call.
    host.log.clear();
    CloseVideo(o.movie);
    o.movie = nullptr;
    EXPECT_TRUE(host.log.empty());
}

TEST(Descriptor, WordsWrittenOnSuccessOnly)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host, Minimal("xQuillframer"), o);
    ASSERT_NE(o.movie, nullptr);
    const StreamDescriptor &d = o.descriptor;
    EXPECT_EQ(d.sampleRate, 22050u);
    EXPECT_EQ(d.word16, 2u);
    EXPECT_EQ(d.word20, 0u);
    EXPECT_EQ(d.word24, 0u);
    EXPECT_EQ(d.word28, 1u);
    EXPECT_EQ(d.flags, 0xABABABABu | 1u);
    EXPECT_EQ(d.word40, 0u);
    EXPECT_EQ(d.word44, 0u);
    EXPECT_EQ(d.word36, 0xABABABABu);
    EXPECT_EQ(d.word48, 0xABABABABu);
    EXPECT_EQ(d.word52, 0xABABABABu);

    Opened failed;
    OpenBytes(host, Minimal("xQuillframeR"), failed);
    StreamDescriptor untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    untouched.openOption = 0;
    EXPECT_EQ(std::memcmp(&failed.descriptor, &untouched, sizeof untouched), 0);
}

TEST(Scenes, DurationChoiceAndTableRules)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  .scenes(6)
                  // clang-format off
                  .scene(1).duration(0)
                  .scene(2).duration(3)
                  .scene(3).duration(5)
                  .scene(4).duration(6)
                  .scene(5).duration(1000)
                  .scene(6)  // "c" equal to the scene count is accepted
                  .scene(0).duration(9)  // entry 0 collects commands but is no scene
                  // clang-format on
                  .end()
                  .bytes(),
              o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(Scene(o, 1).frames, 6);
    EXPECT_EQ(Scene(o, 2).frames, 6);
    EXPECT_EQ(Scene(o, 3).frames, 6);
    EXPECT_EQ(Scene(o, 4).frames, 6);
    EXPECT_EQ(Scene(o, 5).frames, 1000);
    EXPECT_EQ(Scene(o, 6).frames, 1000);  // inherited
    EXPECT_EQ(Scene(o, 0).frames, 9);
    EXPECT_EQ(o.movie->duration, 20u * (6 * 4 + 2000));

    Opened beyond;
    OpenBytes(host, MovieWriter().scenes(2).scene(3).end().bytes(), beyond);
    EXPECT_EQ(beyond.movie, nullptr);

    Opened beforeTable;
    OpenBytes(host, MovieWriter().duration(6).scenes(1).end().bytes(), beforeTable);
    EXPECT_EQ(beforeTable.movie, nullptr);

    Opened noTable;
    OpenBytes(host, MovieWriter().scene(0).end().bytes(), noTable);
    EXPECT_EQ(noTable.movie, nullptr);
}

TEST(Scenes, SecondTableReplacesTheFirstAndItsContents)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  .scenes(3)
                  // clang-format off
                  .scene(2).palette({}).scroll(1, 0, 0, true).duration(8)
                  .scenes(2)
                  .scene(1).duration(7)
                  // clang-format on
                  .end()
                  .bytes(),
              o);
    ASSERT_NE(o.movie, nullptr);  // leaks of the first table show under the leak checker
    EXPECT_EQ(o.movie->sceneCount, 2);
    EXPECT_EQ(Scene(o, 2).palette, nullptr);
    EXPECT_EQ(o.movie->duration, 280u);
}

TEST(Palette, AmigaColourWordsAndBorrowing)
{
    std::array<uint16_t, 32> colours{};
    colours[0] = 0x0FFF;
    colours[1] = 0x0F00;
    colours[2] = 0x00F0;
    colours[3] = 0x000F;
    colours[4] = 0xF123;  // bits above the 12-bit word are dropped
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  .embedded()
                  .load(Asset::Background, Picture(8, 2, 6))
                  .scenes(4)
                  // clang-format off
                  .scene(1).palette(colours).background(0)      // "f" after "l" keeps the "l" palette
                  .scene(2).background(0).palette(colours)      // "l" replaces the borrowed one
                  .scene(3).background(0xFFFF).background(0)    // borrows the empty colours of no background
                  .scene(4).background(0)
                  // clang-format on
                  .end()
                  .bytes(),
              o);
    ASSERT_NE(o.movie, nullptr);
    const SceneRecord &s1 = Scene(o, 1);
    ASSERT_EQ(s1.paletteOwned, 1);
    ASSERT_EQ(s1.paletteCount, 32);
    const uint8_t expected[] = {240, 240, 240, 240, 0, 0, 0, 240, 0, 0, 0, 240, 16, 32, 48};
    EXPECT_EQ(std::memcmp(s1.palette, expected, sizeof expected), 0);
    EXPECT_EQ(Scene(o, 2).paletteOwned, 1);
    EXPECT_EQ(Scene(o, 3).palette, o.movie->noBackground->colors);
    EXPECT_EQ(Scene(o, 3).paletteCount, 0);
    EXPECT_EQ(Scene(o, 3).background, o.movie->backgrounds);
    EXPECT_EQ(Scene(o, 4).palette, o.movie->backgrounds->colors);
    EXPECT_EQ(Scene(o, 4).paletteCount, 6);
    EXPECT_EQ(Scene(o, 4).paletteOwned, 0);

    Opened badIndex;
    OpenBytes(host, MovieWriter().scenes(1).scene(1).background(0).end().bytes(), badIndex);
    EXPECT_EQ(badIndex.movie, nullptr);
}

TEST(Sound, RatesMasksAndVolumes)
{
    struct Case {
        uint16_t period;
        uint16_t rate;
    };
    for (const Case &c : {Case{428, 8287}, Case{124, 28603}, Case{55, 64488}, Case{65535, 54}, Case{0, 0},
                          Case{1, 65535}, Case{54, 65535}}) {
        ScriptedHost host;
        Opened o;
        OpenBytes(host,
                  MovieWriter()
                      // clang-format off
                      .embedded().load(Asset::Sound, Sound(10))
                      .scenes(1).scene(1).sound(0, 300, c.period, 0x000F)
                      .end().bytes(),
                  // clang-format on
                  o);
        ASSERT_NE(o.movie, nullptr);
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(Scene(o, 1).rates[k], c.rate) << c.period;
            EXPECT_EQ(Scene(o, 1).volumes[k], 300 & 0xFF);
            EXPECT_EQ(Scene(o, 1).sounds[k], o.movie->soundSamples);
        }
    }
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::Sound, Sound(10)).load(Asset::Sound, Sound(4))
                  .scenes(3)
                  .scene(1).sound(1, 64, 428, 0x0010)        // no channel bit set
                  .scene(2).sound(1, 64, 428, 0x0005).sound(0, 0, 428, 0x000F)  // volume 0 stores nothing
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(Scene(o, 1).sounds[k], nullptr);
    SoundSample *second = o.movie->soundSamples->next;
    EXPECT_EQ(Scene(o, 2).sounds[0], second);
    EXPECT_EQ(Scene(o, 2).sounds[1], nullptr);
    EXPECT_EQ(Scene(o, 2).sounds[2], second);
    EXPECT_EQ(Scene(o, 2).volumes[0], 64);

    Opened badIndex;  // fails whatever the volume
    OpenBytes(host, MovieWriter().scenes(1).sound(0, 0, 428, 1).end().bytes(), badIndex);
    EXPECT_EQ(badIndex.movie, nullptr);
}

TEST(Cycles, CommandsAndGroups)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .scenes(1).scene(1)
                  .cycles({qfauthor::CycleRange{1, 5, 0, 0}, {2, 6, 1, 1}, {3, 300, 2, 2}, {4, 8, 0, 7}})
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    const ColorCycle *c = Scene(o, 1).cycles;
    EXPECT_EQ(c[0].command, 2);
    EXPECT_EQ(c[1].command, 1);
    EXPECT_EQ(c[2].command, 2);
    EXPECT_EQ(c[3].command, 7);
    EXPECT_EQ(c[2].low, 3);
    EXPECT_EQ(c[2].high, 300);
    EXPECT_EQ(c[1].direction, 1);
    EXPECT_EQ(c[2].direction, 2);
}

TEST(Sprites, AnimationOverConsecutiveScenes)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::FaceSet, Faces(3, 4, 3, -2, 5))
                  .scenes(5)
                  .scene(2).faceSet(0, 100, 50)
                  // clang-format on
                  .sprite(1, 1, 1, 3)
                  .scene(5)            // a later "c" does not move the target
                  .sprite(0, 0, 0, 3)  // face 0 acts as face 1
                  .sprite(3, -10, 20, 15)
                  // clang-format off
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    FaceImage *first = o.movie->faceSets->images;
    FaceImage *third = first->next->next;
    const SpritePlacement *p2 = Scene(o, 2).layers[3];
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(p2->x, 100 - 2 + 1);
    EXPECT_EQ(p2->y, 50 + 5 + 1);
    EXPECT_EQ(p2->width, 4);
    EXPECT_EQ(p2->height, 3);
    EXPECT_EQ(p2->pixels, first->pixels);
    ASSERT_NE(Scene(o, 3).layers[3], nullptr);
    EXPECT_EQ(Scene(o, 3).layers[3]->pixels, first->pixels);
    const SpritePlacement *p4 = Scene(o, 4).layers[15];
    ASSERT_NE(p4, nullptr);
    EXPECT_EQ(p4->pixels, third->pixels);
    EXPECT_EQ(p4->x, 100 - 2 - 10);
    EXPECT_EQ(Scene(o, 5).layers[3], nullptr);
}

TEST(Sprites, LaterPlacementInTheSameLayerComesFirst)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::FaceSet, Faces(2))
                  .scenes(1).scene(1)
                  .faceSet(0, 0, 0).sprite(1, 0, 0, 0)
                  .faceSet(0, 0, 0).sprite(2, 7, 0, 0)
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    const SpritePlacement *head = Scene(o, 1).layers[0];
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->x, 7);
    ASSERT_NE(head->next, nullptr);
    EXPECT_EQ(head->next->x, 0);
}

// Pictures, sounds and face sets loaded after earlier commands already looked some up.
TEST(Lookups, EntriesLoadedBetweenCommandsAreFound)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::Background, Picture(8, 2)).load(Asset::Sound, Sound(4))
                  .scenes(3).scene(1).background(0).sound(0, 64, 428, 1)
                  .load(Asset::Background, Picture(16, 2)).load(Asset::Sound, Sound(6)).load(Asset::Background, Picture(24, 2))
                  .scene(2).background(2).sound(1, 64, 428, 1)
                  .scene(3).background(1).sound(0, 64, 428, 1)
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    const int widths[] = {8, 24, 16};
    const uint32_t lengths[] = {4, 6, 4};
    for (int i = 1; i <= 3; ++i) {
        ASSERT_NE(Scene(o, i).background, nullptr) << i;
        EXPECT_EQ(Scene(o, i).background->width, widths[i - 1]) << i;
        ASSERT_NE(Scene(o, i).sounds[0], nullptr) << i;
        EXPECT_EQ(Scene(o, i).sounds[0]->length, lengths[i - 1]) << i;
    }
}

TEST(Sprites, FacesOfSeveralSetsLoadedBetweenPlacements)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::FaceSet, Faces(3))
                  .scenes(1).scene(1)
                  .faceSet(0, 0, 0).sprite(3, 0, 0, 0)
                  .load(Asset::FaceSet, Faces(2))  // after the first set was placed from
                  .faceSet(1, 0, 0).sprite(2, 0, 0, 1)
                  .faceSet(0, 0, 0).sprite(1, 0, 0, 2)
                  .faceSet(1, 0, 0).sprite(1, 0, 0, 3)
                  .faceSet(0, 0, 0).sprite(2, 0, 0, 4)
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    const FaceSet *first = o.movie->faceSets, *second = first->next;
    const uint8_t *want[] = {first->images->next->next->pixels, second->images->next->pixels, first->images->pixels,
                             second->images->pixels, first->images->next->pixels};
    for (int layer = 0; layer < 5; ++layer) {
        ASSERT_NE(Scene(o, 1).layers[layer], nullptr) << layer;
        EXPECT_EQ(Scene(o, 1).layers[layer]->pixels, want[layer]) << layer;
    }
}

TEST(Sprites, FailuresOfPlacement)
{
    auto base = [] { return MovieWriter().embedded().load(Asset::FaceSet, Faces(2)).scenes(2); };
    std::vector<Bytes> failing = {
        base().scene(1).sprite(1, 0, 0, 0).end().bytes(),                                      // no current face set
        base().scene(1).faceSet(0, 0, 0).sprite(1, 0, 0, 16).end().bytes(),                    // layer above 15
        base().scene(1).faceSet(0, 0, 0).sprite(3, 0, 0, 0).end().bytes(),                     // face beyond the set
        base().scene(2).faceSet(0, 0, 0).sprite(1, 0, 0, 0).sprite(1, 0, 0, 0).end().bytes(),  // target beyond
        // clang-format off
        base().faceSet(1, 0, 0).end().bytes(),                                           // no such set
        MovieWriter().embedded().load(Asset::FaceSet, Faces(0)).scenes(1).faceSet(0, 0, 0).sprite(0, 0, 0, 0).end().bytes(),
        // clang-format on
    };
    for (size_t i = 0; i < failing.size(); ++i) {
        ScriptedHost host;
        Opened o;
        OpenBytes(host, failing[i], o);
        EXPECT_EQ(o.movie, nullptr) << "case " << i;
        EXPECT_TRUE(host.allClosedOnce());
    }
}

TEST(Embedded, NextCommandFollowsWhatTheLoaderRead)
{
    // An odd-length sound body takes its pad byte; the picture reader takes none after BODY,
    // but does take the pads of odd chunks (ANNO, a 3-colour CMAP) before it.
    qfauthor::IlbmOptions padded;
    padded.planeCount = 2;
    padded.compression = qfauthor::Compression::None;  // an even BODY: 2 rows of 2 planes of 2 bytes
    padded.chunksBeforeBody = {{"ANNO", {'o', 'd', 'd'}}};
    qfauthor::IndexedImage image{16, 2, Bytes(32, 2)};
    Bytes oddChunks = qfauthor::WriteIlbm(image, std::vector<qfauthor::Color>(3, {9, 9, 9}), padded);
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  .embedded()
                  .load(Asset::Sound, Sound(7))
                  .load(Asset::Background, oddChunks)
                  .load(Asset::Background, Picture(17, 3))
                  .load(Asset::FaceSet, Faces(2, 17, 5))
                  // clang-format off
                  .scenes(1).scene(1).duration(10)
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(o.movie->soundSamples->length, 8u);
    const BackgroundImage *first = o.movie->backgrounds;
    EXPECT_EQ(std::tuple(first->colorCount, first->pixels[0], first->pixels[31]), std::tuple(3u, 2, 2));
    EXPECT_EQ(first->next->width, 17);
    EXPECT_EQ(o.movie->faceSets->imageCount, 2);
    EXPECT_EQ(o.movie->duration, 200u);
    EXPECT_EQ(o.descriptor.width, 16);
    EXPECT_EQ(o.descriptor.height, 2);
}

TEST(TextFields, FieldWithoutNulEndsAtItsEnd)
{
    // A 256-character directory with no NUL: the volume name is too long to map, so the
    // resolver refuses without asking.
    Bytes bytes = MovieWriter().scenes(1).bytes();
    bytes.push_back('a');
    bytes.insert(bytes.end(), 256, 'V');
    bytes.insert(bytes.end(), 32, 'N');
    bytes.push_back('z');
    ScriptedHost host;
    Opened o;
    OpenBytes(host, bytes, o);
    EXPECT_EQ(o.movie, nullptr);
    EXPECT_EQ(host.count("requester"), 0);
}

TEST(TextFields, FieldsCutOffByTheEndOfTheFileReadAsNul)
{
    Bytes bytes = MovieWriter().scenes(1).bytes();
    bytes.push_back('a');
    const char dir[] = "Work:Pics";
    bytes.insert(bytes.end(), dir, dir + sizeof dir - 1);
    bytes.resize(bytes.size() + 256 - (sizeof dir - 1), 0);
    bytes.insert(bytes.end(), {'S', 'k'});  // the file ends inside the name field
    ScriptedHost host;
    host.requesterAnswers.push_back(std::string("D"));
    host.files["D/Pics/Sk"] = Picture(4, 4);
    Opened o;
    OpenBytes(host, bytes, o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(o.movie->backgroundCount, 1);
    EXPECT_EQ(host.count("open D/Pics/Sk"), 1);
}

// Every allocation of a realistic open, failed in turn: null, nothing leaked, file closed once.
TEST(AllocationFailure, EveryAllocationOfAnEmbeddedMovie)
{
    Bytes movie = MovieWriter()
                      .embedded()
                      .load(Asset::Background, Picture(16, 8))
                      .load(Asset::FaceSet, Faces(2))
                      .load(Asset::Sound, Sound(9))
                      .scenes(3)
                      // clang-format off
                      .scene(1).background(0).duration(6).palette({}).scroll(2, 0, 0, true)
                      // clang-format on
                      .cycles({qfauthor::CycleRange{1, 4, 0, 1}, {}, {}, {}})
                      .sound(0, 64, 428, 3)
                      // clang-format off
                      .faceSet(0, 1, 1).sprite(1, 0, 0, 2).sprite(2, 0, 0, 2)
                      .scene(3).duration(8)
                      // clang-format on
                      .end()
                      .bytes();
    ForEachFailedAllocation(
        movie, [](ScriptedHost &) {},
        [](long n, const Opened &o, const ScriptedHost &host) {
            EXPECT_EQ(o.movie, nullptr) << "allocation " << n;
            EXPECT_TRUE(host.allClosedOnce()) << "allocation " << n;
            EXPECT_EQ(host.count("close"), n == 1 ? 0 : 1) << "allocation " << n;  // the first is the handle
        });
}

}  // namespace
