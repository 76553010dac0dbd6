#include <stdexcept>

#include "iff_test_support.h"

namespace {

using namespace iffTest;
using qfauthor::PackByteRun1;

TEST(ByteRun1Packer, RunsOfThreeOrMoreLiteralsUpTo128)
{
    EXPECT_EQ(PackByteRun1(Bytes{}), Bytes{});
    EXPECT_EQ(PackByteRun1(Bytes{7, 7, 7}), (Bytes{0xFE, 7}));
    EXPECT_EQ(PackByteRun1(Bytes{7, 7}), (Bytes{0x01, 7, 7}));  // a pair stays literal
    EXPECT_EQ(PackByteRun1(Bytes{1, 2, 2, 2, 3, 3}), (Bytes{0x00, 1, 0xFE, 2, 0x01, 3, 3}));
    EXPECT_EQ(PackByteRun1(Bytes(200, 9)), (Bytes{0x81, 9, 0xB9, 9}));  // 128 + 72

    Bytes distinct(300);
    for (size_t i = 0; i < distinct.size(); ++i) distinct[i] = static_cast<uint8_t>(i * 7 + i / 256);
    Bytes packed = PackByteRun1(distinct);
    ASSERT_EQ(packed.size(), 303u);  // literals of 128, 128 and 44
    EXPECT_EQ(packed[0], 127);
    EXPECT_EQ(packed[129], 127);
    EXPECT_EQ(packed[258], 43);
}

TEST(IffWriters, ChunkLayouts)
{
    qfauthor::IndexedImage image{17, 2, Bytes(34, 1)};
    std::vector<qfauthor::Color> palette = {{0, 0, 0}, {255, 128, 1}};
    qfauthor::IlbmOptions options;
    options.planeCount = 1;
    options.compression = qfauthor::Compression::None;
    options.chunksBeforeBody = {{"ANNO", {'a', 'b', 'c'}}};
    Bytes file = qfauthor::WriteIlbm(image, palette, options);
    EXPECT_EQ(file, Concat({Id("FORM"), U32(static_cast<uint32_t>(file.size() - 8)), Id("ILBM"),
                            Chunk("BMHD", {0, 17, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 10, 11, 0, 17, 0, 2}),
                            Chunk("CMAP", {0, 0, 0, 255, 128, 1}), Chunk("ANNO", {'a', 'b', 'c'}), Bytes{0},
                            Chunk("BODY", {0xFF, 0xFF, 0x80, 0x00, 0xFF, 0xFF, 0x80, 0x00})}));
    options.padOddChunks = false;
    EXPECT_EQ(qfauthor::WriteIlbm(image, palette, options).size(), file.size() - 1);
    options.planeCount = 9;
    EXPECT_THROW(qfauthor::WriteIlbm(image, palette, options), std::invalid_argument);
    options.planeCount = 1;
    image.pixels[3] = 2;  // does not fit one plane
    EXPECT_THROW(qfauthor::WriteIlbm(image, palette, options), std::invalid_argument);

    // Face set: 12-bit palette, FACE with signed offsets, a 5-plane ByteRun1 BODY (a literal a plane).
    qfauthor::FaceEntry face;
    face.image = {2, 1, {31, 0}};
    face.faceWord2 = 0x1234;
    face.offsetX = -16;
    face.offsetY = 3;
    std::vector<qfauthor::Color> faceColours = {{0xF7, 0x00, 0x0F}, {0x00, 0xF1, 0x8E}};
    Bytes body;
    for (int plane = 0; plane < 5; ++plane) body.insert(body.end(), {0x01, 0x80, 0x00});
    EXPECT_EQ(qfauthor::WriteFaceSet(std::span(&face, 1), faceColours),
              Concat({Id("FORM"), U32(1), Id("FACS"), Group("PALT", Chunk("CMAP", {0x0F, 0x00, 0x00, 0xF8})),
                      Group("FIMG", Concat({Chunk("FACE", {0, 2, 0, 1, 0x12, 0x34, 0, 0, 0xFF, 0xF0, 0, 3}),
                                            Chunk("BODY", body)}))}));

    // 8SVX: an odd BODY is padded.
    qfauthor::SvxOptions svx;
    svx.samplesPerSecond = 11025;
    EXPECT_EQ(qfauthor::Write8svx(std::vector<int8_t>{1, -1, 127, -128, 0, 5, -5}, svx),
              Concat({Id("FORM"), U32(4 + 28 + 16), Id("8SVX"),
                      Chunk("VHDR", Concat({U32(7), U32(0), U32(0), {0x2B, 0x11, 1, 0}, U32(0x10000)})),
                      Chunk("BODY", {1, 0xFF, 127, 0x80, 0, 5, 0xFB}), Bytes{0}}));
}

}  // namespace
