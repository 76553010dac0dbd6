#include "iff_test_support.h"

namespace {

using namespace iffTest;

Bytes Bmhd(uint16_t width, uint16_t height, uint8_t planes)
{
    Bytes data = {uint8_t(width >> 8), uint8_t(width), uint8_t(height >> 8), uint8_t(height), 1, 2, 3, 4, planes};
    data.insert(data.end(), {0, 0, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11});
    return Chunk("BMHD", data);
}

TEST(BackgroundLoader, TypicalPictureFieldsAndPosition)
{
    std::mt19937 rng(11);
    qfauthor::IndexedImage image;
    Bytes body;
    do {  // want an odd BODY, to see that no pad byte is consumed after it
        image = RandomImage(33, 5, 5, rng);
        body = qfauthor::EncodePlanarBody(image, 5, qfauthor::Compression::ByteRun1, nullptr);
    } while (body.size() % 2 == 0);
    auto palette = RandomPalette(32, rng);
    qfauthor::IlbmOptions options;
    options.chunksBeforeBody = {{"CAMG", {0, 0, 0x80, 0x04}}};
    options.padOddChunks = false;
    options.x = 0x0102;
    options.transparentColor = 0x0A0B;
    Bytes file = qfauthor::WriteIlbm(image, palette, options);

    LoaderCase c;
    HostFile f = c.open(Concat({file, Bytes{0xAB, 0xCD}}));
    ASSERT_EQ(LoadBackgroundImage(c.movie, f), 1);
    ASSERT_EQ(c.movie->backgroundCount, 1);
    const BackgroundImage *b = c.movie->backgrounds;
    EXPECT_EQ(std::tuple(b->width, b->height, b->x, b->planeCount, b->masking, b->compression),
              std::tuple(33, 5, 0x0102, 5, 0, 1));
    EXPECT_EQ(std::tuple(b->transparentColor, b->xAspect, b->yAspect, b->pageWidth, b->pageHeight),
              std::tuple(0x0A0B, 10, 11, 33, 5));
    EXPECT_EQ(b->colorCount, 32u);
    for (size_t i = 0; i < 32; ++i)
        EXPECT_EQ(Bytes(b->colors + i * 3, b->colors + i * 3 + 3),
                  (Bytes{palette[i].red, palette[i].green, palette[i].blue}));
    EXPECT_EQ(b->colors[32 * 3], 0);
    EXPECT_EQ(b->bodyLength, body.size());
    ASSERT_NE(b->pixels, nullptr);
    EXPECT_EQ(Bytes(b->pixels, b->pixels + 33 * 5), image.pixels);
    EXPECT_EQ(b->next, nullptr);
    // Directly after the odd BODY: no pad consumed; the unknown chunk skipped by a relative seek.
    EXPECT_EQ(c.position(f), static_cast<int64_t>(file.size()));
    EXPECT_EQ(c.host.count("seek 1 4 0"), 1);
    EXPECT_EQ(c.host.count("read 1 " + std::to_string(body.size())), 1);
}

TEST(BackgroundLoader, GroupLengthsChunkOrderAndAppendOrder)
{
    LoaderCase c;
    Bytes chunks = Concat({Bmhd(8, 1, 1), Chunk("BODY", {0xF0, 0x00})});
    struct Step {
        Bytes file;
        int64_t position;
        uint16_t width;
        const char *pixels;  // null: no BODY decoded
    } steps[] = {
        {Concat({GroupHeader(4), Bmhd(8, 1, 1)}), 12, 0, nullptr},  // L = 4: an empty record, still counted
        {Group("ILBM", chunks), 12 + 28 + 10, 8, "\1\1\1\1\0\0\0\0"},
        // The length's top bit is ignored; this length ends the walk after BMHD, before the BODY.
        {Concat({GroupHeader(0x80000000u | (4 + 28)), chunks}), 12 + 28, 8, nullptr},
        // BODY before BMHD: read, nothing decoded, but an empty pixel block.
        {Group("ILBM", Concat({Chunk("BODY", {1, 2, 3}), Bmhd(8, 1, 1)})), 12 + 8 + 3, 0, ""},
        // An odd unknown chunk is followed directly by the next header, no pad.
        {Group("ILBM", Concat({Chunk("NAME", {'x'}), Bmhd(8, 1, 1), Chunk("BODY", {0x0F, 0})})), 12 + 9 + 28 + 10, 8,
         "\0\0\0\0\1\1\1\1"},
        // No BODY at all: the walk ends with the group.
        {Concat({Group("ILBM", Concat({Bmhd(8, 1, 1), Chunk("CMAP", {1, 2, 3})})), Bytes{9, 9, 9}}), 12 + 28 + 11, 8,
         nullptr},
    };
    for (const Step &s : steps) {
        HostFile f = c.open(s.file);
        EXPECT_EQ(LoadBackgroundImage(c.movie, f), 1);
        EXPECT_EQ(c.position(f), s.position) << c.fileNumber;
    }
    ASSERT_EQ(c.movie->backgroundCount, 6);
    const BackgroundImage *b = c.movie->backgrounds;
    for (const Step &s : steps) {
        SCOPED_TRACE(&s - steps);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->width, s.width);
        ASSERT_EQ(b->pixels != nullptr, s.pixels != nullptr);
        if (b->pixels) { EXPECT_EQ(Bytes(b->pixels, b->pixels + b->width), Bytes(s.pixels, s.pixels + b->width)); }
        b = b->next;
    }
    EXPECT_EQ(b, nullptr);
}

// A chunk as standard writers lay it out: a zero pad byte after odd data.
Bytes Padded(const std::string &id, const Bytes &data)
{
    Bytes chunk = Chunk(id, data);
    if (data.size() % 2) chunk.push_back(0);
    return chunk;
}

TEST(BackgroundLoader, PadBytesAndChunkEnds)
{
    // 8 x 1, one plane: BODY F0 00 sets pixels 0-3 to 1.
    const Bytes body = Chunk("BODY", {0xF0, 0x00});
    const char *const lit = "\1\1\1\1\0\0\0\0";
    Bytes bmhd = Bmhd(8, 1, 1);
    Bytes bmhdData(bmhd.begin() + 8, bmhd.end());
    Bytes cmap97(97, 0x40);
    Bytes bmhd22 = bmhdData, bmhd19(bmhdData.begin(), bmhdData.end() - 1);
    bmhd22.insert(bmhd22.end(), {0xEE, 0xEE});
    struct Case {
        const char *what;
        Bytes chunks;
        uint32_t colours;
        Bytes after = {};  // bytes after the group: never read
    } cases[] = {
        {"odd ANNO before BMHD and NAME before CMAP, padded",
         Concat(
             {Padded("ANNO", {'a', 'b', 'c'}), bmhd, Padded("NAME", {'x'}), Chunk("CMAP", {1, 2, 3, 4, 5, 6}), body}),
         2},
        {"the same without pads",
         Concat({Chunk("ANNO", {'a', 'b', 'c'}), bmhd, Chunk("NAME", {'x'}), Chunk("CMAP", {1, 2, 3, 4, 5, 6}), body}),
         2},
        {"BMHD of 22 bytes", Concat({Chunk("BMHD", bmhd22), Chunk("CMAP", {1, 2, 3}), body}), 1},
        {"CMAP of 97 bytes, padded", Concat({bmhd, Padded("CMAP", cmap97), body}), 32},
        {"CMAP of 97 bytes without pad", Concat({bmhd, Chunk("CMAP", cmap97), body}), 32},
        {"CMAP of 7 bytes, padded, then an odd chunk",
         Concat({bmhd, Padded("CMAP", Bytes(7, 9)), Padded("TEXT", {'t'}), body}), 2},
        // Its reader takes the pad as the BMHD's twentieth byte and reads on from there.
        {"BMHD of 19 bytes, padded", Concat({Padded("BMHD", bmhd19), body}), 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        LoaderCase c;
        Bytes group = Group("ILBM", k.chunks);
        HostFile f = c.open(Concat({group, Bytes{'z', 0}}));
        ASSERT_EQ(LoadBackgroundImage(c.movie, f), 1);
        const BackgroundImage *b = c.movie->backgrounds;
        EXPECT_EQ(std::tuple(b->width, b->height, b->planeCount, b->colorCount), std::tuple(8, 1, 1, k.colours));
        ASSERT_NE(b->pixels, nullptr);
        EXPECT_EQ(Bytes(b->pixels, b->pixels + 8), Bytes(lit, lit + 8));
        EXPECT_EQ(c.position(f), static_cast<int64_t>(group.size()));
    }

    LoaderCase c;
    // An odd chunk that ends the group: the zero after it is the caller's, not a pad.
    HostFile last = c.open(Concat({Group("ILBM", Concat({bmhd, Chunk("NAME", {'x'})})), Bytes{0, 'z'}}));
    EXPECT_EQ(LoadBackgroundImage(c.movie, last), 1);
    EXPECT_EQ(c.position(last), 12 + 28 + 9);
    // The file ends after an odd chunk inside a group that claims more.
    Bytes cut = Concat({GroupHeader(100), bmhd, Chunk("NAME", {'x'})});
    HostFile ended = c.open(cut);
    EXPECT_EQ(LoadBackgroundImage(c.movie, ended), 1);
    EXPECT_EQ(c.position(ended), static_cast<int64_t>(cut.size()));
    EXPECT_EQ(c.movie->backgrounds->next->width, 8);
}

TEST(BackgroundLoader, ColourMaps)
{
    LoaderCase c;
    EXPECT_EQ(LoadBackgroundImage(c.movie, c.open(Group("ILBM", Chunk("CMAP", {1, 2, 3, 4, 5, 6})))), 1);
    EXPECT_EQ(c.movie->backgrounds->colorCount, 2u);
    EXPECT_EQ(c.movie->backgrounds->colors[5], 6);
    EXPECT_EQ(c.movie->backgrounds->colors[6], 0);

    // 300 entries: all consumed, 256 kept, and the BODY after them is found.
    Bytes big(900);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i / 3);
    HostFile many = c.open(Group("ILBM", Concat({Bmhd(8, 1, 1), Chunk("CMAP", big), Chunk("BODY", {0xFF, 0})})));
    EXPECT_EQ(LoadBackgroundImage(c.movie, many), 1);
    const BackgroundImage *b = c.movie->backgrounds->next;
    EXPECT_EQ(b->colorCount, 256u);
    EXPECT_EQ(b->colors[255 * 3], 255);
    ASSERT_NE(b->pixels, nullptr);
    EXPECT_EQ(b->pixels[7], 1);
}

TEST(BackgroundLoader, HugeLengthsAndEndOfFileEndTheWalk)
{
    LoaderCase c;
    // 0xFFFFFFF8 read as signed would be -8 and land on the same header for ever.
    HostFile huge = c.open(Concat({GroupHeader(0x7FFFFFFF), Id("JUNK"), U32(0xFFFFFFF8), Bmhd(8, 1, 1)}));
    EXPECT_EQ(LoadBackgroundImage(c.movie, huge), 1);
    EXPECT_EQ(c.host.count("seek 1 4294967288 0"), 1);
    EXPECT_LE(c.host.log.size(), 5u);

    // A group claiming far more than the file holds stops at the end of the file.
    HostFile claims = c.open(Concat({GroupHeader(100000), Bmhd(8, 1, 1)}));
    EXPECT_EQ(LoadBackgroundImage(c.movie, claims), 1);
    EXPECT_EQ(c.movie->backgrounds->next->width, 8);
    EXPECT_LE(c.host.count("eof 2"), 2);
}

TEST(BackgroundLoader, TruncatedAtEveryOffset)
{
    std::mt19937 rng(5);
    auto image = RandomImage(20, 4, 3, rng);
    qfauthor::IlbmOptions options;
    options.planeCount = 3;
    options.withMask = true;
    options.chunksBeforeBody = {{"GRAB", {0, 1, 0, 2}}};
    options.padOddChunks = false;  // the BODY is the file's last bytes
    Bytes file = qfauthor::WriteIlbm(image, RandomPalette(8, rng), options);
    size_t bodyHeader = file.size() - qfauthor::EncodePlanarBody(image, 3, options.compression, &image.pixels).size();
    ForEachTruncation(file, LoadBackgroundImage, [&](LoaderCase &c, size_t keep) {
        EXPECT_EQ(c.movie->backgroundCount, 1);
        EXPECT_LE(c.host.log.size(), 16u);
        const BackgroundImage *b = c.movie->backgrounds;
        EXPECT_EQ(b->pixels != nullptr, keep >= bodyHeader - 4);  // once the id reads as BODY
        if (b->pixels && b->width == 20) {
            for (size_t i = 0; i < image.pixels.size(); ++i) ASSERT_EQ(b->pixels[i] & ~image.pixels[i], 0);
        }
    });
}

TEST(BackgroundLoader, EveryAllocationFailing)
{
    std::mt19937 rng(9);
    qfauthor::IlbmOptions options;
    options.planeCount = 4;
    Bytes file = qfauthor::WriteIlbm(RandomImage(24, 3, 4, rng), RandomPalette(16, rng), options);
    long total = ForEachAllocationFailure([&](LoaderCase &c) { return LoadBackgroundImage(c.movie, c.open(file)); },
                                          [&](LoaderCase &c, int32_t result, long fail) {
                                              EXPECT_EQ(result, 0);
                                              EXPECT_EQ(c.movie->backgroundCount, fail == 1 ? 0 : 1);
                                              if (fail == 1) {
                                                  EXPECT_EQ(c.movie->backgrounds, nullptr);
                                                  EXPECT_EQ(c.host.log.size(), 0u);
                                                  return;
                                              }
                                              const BackgroundImage *b = c.movie->backgrounds;
                                              EXPECT_EQ(std::tuple(b->width, b->colorCount), std::tuple(24, 16u));
                                              EXPECT_EQ(b->pixels, nullptr);  // no picture was decoded
                                              EXPECT_EQ(c.host.count("read "), 0);
                                          });
    EXPECT_EQ(total, 4);  // record, pixels, BODY buffer, plane rows
}

}  // namespace
