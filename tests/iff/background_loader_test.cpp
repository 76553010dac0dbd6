#include "iff_test_support.h"

namespace {

using namespace iffTest;

Bytes Bmhd(uint16_t width, uint16_t height, uint8_t planes, uint8_t masking = 0, uint8_t compression = 0)
{
    Bytes data;
    qfauthor::PutU16(data, width);
    qfauthor::PutU16(data, height);
    data.insert(data.end(), {0x01, 0x02, 0x03, 0x04, planes, masking, compression, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
                             0x0E, 0x0F, 0x10, 0x11});
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
    BackgroundImage *b = c.movie->backgrounds;
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->width, 33);
    EXPECT_EQ(b->height, 5);
    EXPECT_EQ(b->x, 0x0102);
    EXPECT_EQ(b->planeCount, 5);
    EXPECT_EQ(b->masking, 0);
    EXPECT_EQ(b->compression, 1);
    EXPECT_EQ(b->transparentColor, 0x0A0B);
    EXPECT_EQ(b->xAspect, 10);
    EXPECT_EQ(b->pageWidth, 33);
    EXPECT_EQ(b->pageHeight, 5);
    EXPECT_EQ(b->colorCount, 32u);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(b->colors[i * 3], palette[i].red);
        EXPECT_EQ(b->colors[i * 3 + 2], palette[i].blue);
    }
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

TEST(BackgroundLoader, GroupLengthsAndAppendOrder)
{
    LoaderCase c;
    // L = 4: an all-zero record without pixels, still counted.
    HostFile empty = c.open(Concat({GroupHeader(4), Bmhd(8, 1, 1)}));
    EXPECT_EQ(LoadBackgroundImage(c.movie, empty), 1);
    EXPECT_EQ(c.position(empty), 12);

    // The length's top bit is ignored.
    Bytes chunks = Concat({Bmhd(8, 1, 1), Chunk("BODY", {0xF0, 0x00})});
    HostFile high = c.open(Concat({GroupHeader(0x80000000u | (chunks.size() + 4)), chunks}));
    EXPECT_EQ(LoadBackgroundImage(c.movie, high), 1);

    // A length that ends the walk after BMHD: the BODY is not read.
    HostFile shortGroup = c.open(Concat({GroupHeader(4 + 28), chunks}));
    EXPECT_EQ(LoadBackgroundImage(c.movie, shortGroup), 1);
    EXPECT_EQ(c.position(shortGroup), 12 + 28);

    ASSERT_EQ(c.movie->backgroundCount, 3);
    BackgroundImage *first = c.movie->backgrounds;
    EXPECT_EQ(first->width, 0);
    EXPECT_EQ(first->pixels, nullptr);
    BackgroundImage *second = first->next;
    ASSERT_NE(second->pixels, nullptr);
    EXPECT_EQ(Bytes(second->pixels, second->pixels + 8), (Bytes{1, 1, 1, 1, 0, 0, 0, 0}));
    BackgroundImage *third = second->next;
    EXPECT_EQ(third->width, 8);
    EXPECT_EQ(third->pixels, nullptr);
    EXPECT_EQ(third->next, nullptr);
}

TEST(BackgroundLoader, ColourMaps)
{
    LoaderCase c;
    HostFile six = c.open(Group("ILBM", Chunk("CMAP", {1, 2, 3, 4, 5, 6})));
    EXPECT_EQ(LoadBackgroundImage(c.movie, six), 1);
    EXPECT_EQ(c.movie->backgrounds->colorCount, 2u);
    EXPECT_EQ(c.movie->backgrounds->colors[5], 6);
    EXPECT_EQ(c.movie->backgrounds->colors[6], 0);

    // 300 entries: all consumed, 256 kept, and the BODY after them is found.
    Bytes big(900);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i / 3);
    HostFile many = c.open(Group("ILBM", Concat({Bmhd(8, 1, 1), Chunk("CMAP", big), Chunk("BODY", {0xFF, 0})})));
    EXPECT_EQ(LoadBackgroundImage(c.movie, many), 1);
    BackgroundImage *b = c.movie->backgrounds->next;
    EXPECT_EQ(b->colorCount, 256u);
    EXPECT_EQ(b->colors[255 * 3], 255);
    ASSERT_NE(b->pixels, nullptr);
    EXPECT_EQ(b->pixels[7], 1);
}

TEST(BackgroundLoader, ChunkOrderAndOddLengths)
{
    LoaderCase c;
    // BODY before BMHD: nothing decoded, but the BODY is read and leaves an empty pixel block.
    HostFile early = c.open(Group("ILBM", Concat({Chunk("BODY", {1, 2, 3}), Bmhd(8, 1, 1)})));
    EXPECT_EQ(LoadBackgroundImage(c.movie, early), 1);
    BackgroundImage *b = c.movie->backgrounds;
    EXPECT_NE(b->pixels, nullptr);
    EXPECT_EQ(b->width, 0);
    EXPECT_EQ(b->bodyLength, 3u);
    EXPECT_EQ(c.position(early), 12 + 8 + 3);

    // An odd unknown chunk is followed directly by the next header, no pad.
    HostFile odd = c.open(Group("ILBM", Concat({Chunk("NAME", {'x'}), Bmhd(8, 1, 1), Chunk("BODY", {0x0F, 0})})));
    EXPECT_EQ(LoadBackgroundImage(c.movie, odd), 1);
    b = b->next;
    ASSERT_NE(b->pixels, nullptr);
    EXPECT_EQ(b->pixels[7], 1);

    // No BODY at all: no pixels, position where the walk ended.
    Bytes noBody = Group("ILBM", Concat({Bmhd(8, 1, 1), Chunk("CMAP", {1, 2, 3})}));
    HostFile none = c.open(Concat({noBody, Bytes{9, 9, 9}}));
    EXPECT_EQ(LoadBackgroundImage(c.movie, none), 1);
    EXPECT_EQ(b->next->pixels, nullptr);
    EXPECT_EQ(c.position(none), static_cast<int64_t>(noBody.size()));
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
    for (size_t keep = 0; keep < file.size(); ++keep) {
        SCOPED_TRACE(keep);
        LoaderCase c;
        HostFile f = c.open(Bytes(file.begin(), file.begin() + keep));
        EXPECT_EQ(LoadBackgroundImage(c.movie, f), 1);
        EXPECT_EQ(c.movie->backgroundCount, 1);
        EXPECT_LE(c.host.log.size(), 16u);
        BackgroundImage *b = c.movie->backgrounds;
        EXPECT_EQ(b->pixels != nullptr, keep >= bodyHeader - 4);  // once the id reads as BODY
        if (b->pixels && b->width == 20) {
            for (size_t i = 0; i < image.pixels.size(); ++i) ASSERT_EQ(b->pixels[i] & ~image.pixels[i], 0);
        }
    }
}

TEST(BackgroundLoader, EveryAllocationFailing)
{
    std::mt19937 rng(9);
    auto image = RandomImage(24, 3, 4, rng);
    qfauthor::IlbmOptions options;
    options.planeCount = 4;
    Bytes file = qfauthor::WriteIlbm(image, RandomPalette(16, rng), options);
    long total = ForEachAllocationFailure(
        [&](LoaderCase &c) { return LoadBackgroundImage(c.movie, c.open(file)); },
        [&](LoaderCase &c, int32_t result, long fail) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(c.movie->backgroundCount, fail == 1 ? 0 : 1);
            EXPECT_EQ(c.movie->backgrounds != nullptr, fail != 1);
            if (fail == 1) {
                EXPECT_EQ(c.host.log.size(), 0u);
                return;
            }
            EXPECT_EQ(c.movie->backgrounds->width, 24);
            EXPECT_EQ(c.movie->backgrounds->colorCount, 16u);
            EXPECT_EQ(c.movie->backgrounds->pixels, nullptr);  // no picture was decoded
            EXPECT_EQ(c.host.count("read "), 0);
        });
    EXPECT_EQ(total, 4);  // record, pixels, BODY buffer, plane rows
}

}  // namespace
