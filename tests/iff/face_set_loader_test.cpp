#include "iff_test_support.h"

namespace {

using namespace iffTest;

Bytes FaceHeader(uint16_t width, uint16_t height, Bytes offsets = {0, 0, 0, 0})
{
    Bytes data = {uint8_t(width >> 8), uint8_t(width), uint8_t(height >> 8), uint8_t(height), 0xAB, 0xCD, 0x00, 0x07};
    data.insert(data.end(), offsets.begin(), offsets.end());
    return Chunk("FACE", data);
}

Bytes SetHeader(uint32_t count, const Bytes &paletteGroup)
{
    return Concat({Id("FORM"), U32(count), Id("FACS"), paletteGroup});
}

const Bytes NoPalette = Group("PALT", {});

std::vector<qfauthor::FaceEntry> RandomFaces(std::mt19937 &rng, std::initializer_list<std::pair<int, int>> sizes)
{
    std::vector<qfauthor::FaceEntry> faces;
    for (auto [w, h] : sizes) {
        qfauthor::FaceEntry face;
        face.image = RandomImage(w, h, 5, rng);
        face.offsetX = static_cast<int16_t>(rng() % 64) - 32;
        face.offsetY = static_cast<int16_t>(rng() % 64) - 32;
        face.faceWord3 = static_cast<uint16_t>(rng());
        faces.push_back(face);
    }
    return faces;
}

TEST(FaceSetLoader, FacesFromTheWriter)
{
    std::mt19937 rng(2);
    auto faces = RandomFaces(rng, {{17, 3}, {1, 1}, {40, 9}, {16, 16}});
    auto palette = RandomPalette(32, rng);
    Bytes file = qfauthor::WriteFaceSet(faces, palette);

    LoaderCase c;
    HostFile f = c.open(Concat({file, Bytes{0x55}}));
    ASSERT_EQ(LoadFaceSet(c.movie, f), 1);
    EXPECT_EQ(c.position(f), static_cast<int64_t>(file.size()));
    ASSERT_EQ(c.movie->faceSetCount, 1);
    const FaceSet *set = c.movie->faceSets;
    EXPECT_EQ(set->colorCount, 32);
    for (size_t i = 0; i < 32; ++i)
        EXPECT_EQ(
            Bytes(set->colors + i * 3, set->colors + i * 3 + 3),
            (Bytes{uint8_t(palette[i].red & 0xF0), uint8_t(palette[i].green & 0xF0), uint8_t(palette[i].blue & 0xF0)}));
    ASSERT_EQ(set->imageCount, 4);
    bool sawOddBody = false;
    const FaceImage *image = set->images;
    for (const auto &face : faces) {
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(std::tuple(image->width, image->height, image->faceWord3, image->offsetX, image->offsetY),
                  std::tuple(uint32_t(face.image.width), uint32_t(face.image.height), face.faceWord3, face.offsetX,
                             face.offsetY));
        ASSERT_NE(image->pixels, nullptr);
        EXPECT_EQ(Bytes(image->pixels, image->pixels + face.image.pixels.size()), face.image.pixels);
        sawOddBody |= image->bodyLength % 2 == 1;
        image = image->next;
    }
    EXPECT_EQ(image, nullptr);
    EXPECT_TRUE(sawOddBody) << "an odd BODY followed directly by the next group";
}

TEST(FaceSetLoader, PaletteBytesAndSignedOffsets)
{
    Bytes palette = Group("PALT", Concat({Chunk("NOTE", {1, 2, 3}), Chunk("CMAP", {0x0F, 0x00, 0x00, 0xF8})}));
    Bytes image = Group("FIMG", Concat({FaceHeader(8, 1, {0xFF, 0xF0, 0x80, 0x00}), Chunk("BODY", {0xFF, 0x80})}));
    // 300 entries: all consumed, 256 kept, and the image group after them is found.
    Bytes cmap(2 * 300);
    for (size_t i = 0; i < 300; ++i) cmap[2 * i] = static_cast<uint8_t>(i & 0x0F);
    LoaderCase c;
    ASSERT_EQ(LoadFaceSet(c.movie, c.open(Concat({SetHeader(1, palette), image}))), 1);
    ASSERT_EQ(LoadFaceSet(c.movie, c.open(Concat({SetHeader(1, Group("PALT", Chunk("CMAP", cmap))), image}))), 1);

    const FaceSet *set = c.movie->faceSets;
    EXPECT_EQ(set->colorCount, 2);
    EXPECT_EQ(Bytes(set->colors, set->colors + 9), (Bytes{0xF0, 0, 0, 0, 0xF0, 0x80, 0, 0, 0}));
    const FaceImage *face = set->images;
    EXPECT_EQ(std::tuple(face->faceWord2, face->faceWord3, face->offsetX, face->offsetY),
              std::tuple(0xABCDu, 7u, -16, -32768));
    // One plane row of 0x80 repeated, then the data runs out: only pixel 0 of plane 0.
    EXPECT_EQ(Bytes(face->pixels, face->pixels + 2), (Bytes{1, 0}));

    set = set->next;
    EXPECT_EQ(set->colorCount, 256);
    EXPECT_EQ(set->colors[255 * 3], 0xF0);
    EXPECT_EQ(set->images->width, 8u);
}

TEST(FaceSetLoader, CountsAndEmptyGroups)
{
    LoaderCase c;
    Bytes palette = Group("PALT", Chunk("CMAP", {0x0F, 0xFF}));
    // N = 0 and N < 0: the palette is still read, no images.
    for (uint32_t n : {0u, 0x80000000u}) {
        HostFile f = c.open(SetHeader(n, palette));
        EXPECT_EQ(LoadFaceSet(c.movie, f), 1);
        EXPECT_EQ(c.position(f), 24 + 10);
    }
    // An image group with L = 4 is an empty image that keeps its number.
    Bytes second = Group("FIMG", Concat({FaceHeader(8, 1), Chunk("BODY", {0x00, 0x80, 0x00, 0x00})}));
    EXPECT_EQ(LoadFaceSet(c.movie, c.open(Concat({SetHeader(2, NoPalette), GroupHeader(4, "FIMG"), second}))), 1);
    // N far beyond the data: stops at the end of the file, keeping what was read.
    EXPECT_EQ(LoadFaceSet(c.movie, c.open(Concat({SetHeader(0x7FFFFFFF, NoPalette), second}))), 1);

    ASSERT_EQ(c.movie->faceSetCount, 4);
    const FaceSet *set = c.movie->faceSets;
    EXPECT_EQ(std::tuple(set->colorCount, set->colors[1], set->imageCount, set->next->imageCount),
              std::tuple(1, 0xF0, 0, 0));
    set = set->next->next;
    ASSERT_EQ(set->imageCount, 2);
    EXPECT_EQ(std::tuple(set->images->width, set->images->pixels), std::tuple(0u, nullptr));
    EXPECT_EQ(std::tuple(set->images->next->width, set->images->next->pixels[0]), std::tuple(8u, 1));
    EXPECT_EQ(set->next->imageCount, 1);
    EXPECT_LE(c.host.count("eof 4"), 4);
}

TEST(FaceSetLoader, PadBytesAndChunkEnds)
{
    auto padded = [](const std::string &id, const Bytes &data) {
        Bytes chunk = Chunk(id, data);
        if (data.size() % 2) chunk.push_back(0);
        return chunk;
    };
    Bytes face = FaceHeader(8, 1, {0xFF, 0xFE, 0, 3});
    Bytes face14 = Chunk("FACE", Concat({Bytes(face.begin() + 8, face.end()), Bytes{0xEE, 0xEE}}));
    Bytes body = Chunk("BODY", {0xFF, 0xF0});  // first plane: pixels 0-3 set
    struct Case {
        const char *what;
        Bytes palette;
        Bytes image;
        int32_t colours;
    } cases[] = {
        {"odd chunks before CMAP and FACE, padded", Concat({padded("NOTE", {1, 2, 3}), Chunk("CMAP", {0x0F, 0x00})}),
         Concat({padded("NAME", {'h'}), face, body}), 1},
        {"the same without pads", Concat({Chunk("NOTE", {1, 2, 3}), Chunk("CMAP", {0x0F, 0x00})}),
         Concat({Chunk("NAME", {'h'}), face, body}), 1},
        {"odd CMAP, padded, then an odd chunk", Concat({padded("CMAP", {0x0F, 0x00, 0x0F}), padded("NOTE", {1})}),
         Concat({face14, body}), 1},
        {"CMAP of one byte, padded", padded("CMAP", {0x0F}), Concat({face, body}), 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Bytes file = Concat({SetHeader(2, Group("PALT", k.palette)), Group("FIMG", k.image), Group("FIMG", k.image)});
        LoaderCase c;
        HostFile f = c.open(Concat({file, Bytes{'z'}}));
        ASSERT_EQ(LoadFaceSet(c.movie, f), 1);
        const FaceSet *set = c.movie->faceSets;
        EXPECT_EQ(set->colorCount, k.colours);
        ASSERT_EQ(set->imageCount, 2);
        for (const FaceImage *image = set->images; image; image = image->next) {
            EXPECT_EQ(std::tuple(image->width, image->height, image->offsetX, image->offsetY),
                      std::tuple(8u, 1u, -2, 3));
            ASSERT_NE(image->pixels, nullptr);
            EXPECT_EQ(Bytes(image->pixels, image->pixels + 8), (Bytes{1, 1, 1, 1, 0, 0, 0, 0}));
        }
        EXPECT_EQ(c.position(f), static_cast<int64_t>(file.size()));
    }
}

TEST(FaceSetLoader, BodyBeforeFaceEndsTheImage)
{
    Bytes first = Group("FIMG", Concat({Chunk("BODY", {0x01, 0xFF, 0xFF}), FaceHeader(8, 1)}));
    Bytes second =
        Group("FIMG", Concat({Chunk("SKIP", {1, 2, 3, 4, 5}), FaceHeader(16, 1), Chunk("BODY", {0xFF, 0x0F})}));
    LoaderCase c;
    // The first group claims more than it holds up to its BODY; the next group starts right
    // after the BODY data anyway.
    HostFile f = c.open(Concat({SetHeader(2, NoPalette), Bytes(first.begin(), first.begin() + 8 + 4 + 11), second}));
    ASSERT_EQ(LoadFaceSet(c.movie, f), 1);
    const FaceImage *a = c.movie->faceSets->images;
    EXPECT_EQ(a->width, 0u);
    EXPECT_NE(a->pixels, nullptr);
    EXPECT_EQ(a->bodyLength, 3u);
    const FaceImage *b = a->next;
    EXPECT_EQ(b->width, 16u);
    for (int x = 0; x < 16; ++x) EXPECT_EQ(b->pixels[x], x % 8 >= 4 ? 1 : 0) << x;
}

TEST(FaceSetLoader, TruncatedAtEveryOffset)
{
    std::mt19937 rng(4);
    auto faces = RandomFaces(rng, {{9, 2}, {20, 3}});
    ForEachTruncation(qfauthor::WriteFaceSet(faces, RandomPalette(4, rng)), LoadFaceSet, [&](LoaderCase &c, size_t) {
        EXPECT_EQ(c.movie->faceSetCount, 1);
        EXPECT_LE(c.movie->faceSets->imageCount, 2);
        EXPECT_LE(c.host.log.size(), 20u);
        int index = 0;
        for (const FaceImage *image = c.movie->faceSets->images; image; image = image->next, ++index) {
            const auto &want = faces[index].image;
            if (image->pixels && image->width == uint32_t(want.width) && image->height == uint32_t(want.height)) {
                for (size_t i = 0; i < want.pixels.size(); ++i) ASSERT_EQ(image->pixels[i] & ~want.pixels[i], 0);
            }
        }
    });
}

TEST(FaceSetLoader, EveryAllocationFailing)
{
    std::mt19937 rng(6);
    Bytes file = qfauthor::WriteFaceSet(RandomFaces(rng, {{8, 2}, {12, 4}}), RandomPalette(8, rng));
    // set, then per face: image, pixels, BODY buffer, plane rows.
    long total =
        ForEachAllocationFailure([&](LoaderCase &c) { return LoadFaceSet(c.movie, c.open(file)); },
                                 [&](LoaderCase &c, int32_t result, long fail) {
                                     EXPECT_EQ(result, 0);
                                     if (fail == 1) {
                                         EXPECT_EQ(c.movie->faceSetCount, 0);
                                         EXPECT_EQ(c.movie->faceSets, nullptr);
                                         return;
                                     }
                                     ASSERT_EQ(c.movie->faceSetCount, 1);
                                     const FaceSet *set = c.movie->faceSets;
                                     EXPECT_EQ(set->colorCount, 8);
                                     int failedFace = static_cast<int>((fail - 2) / 4);  // 0 or 1
                                     int step = static_cast<int>((fail - 2) % 4);  // 0 image, 1 pixels, 2-3 decoder
                                     EXPECT_EQ(set->imageCount, failedFace + (step == 0 ? 0 : 1));
                                     int counted = 0;
                                     for (const FaceImage *image = set->images; image; image = image->next, ++counted)
                                         EXPECT_EQ(image->pixels != nullptr, counted < failedFace);
                                     EXPECT_EQ(counted, set->imageCount);
                                 });
    EXPECT_EQ(total, 9);
}

}  // namespace
