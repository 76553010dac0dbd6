#include "iff_test_support.h"

#include <array>

#include "iff/planar_transpose.h"

namespace {

using namespace iffTest;

struct Decoded {
    int32_t result;
    Bytes pixels;
    int64_t position;
    int reads;
};

// Decodes body (the file holds body then trailer) into a zero-filled width x height buffer with
// guard bytes on both sides, which must stay untouched.
Decoded Decode(const Bytes &body, int32_t width, int32_t height, int32_t planes, int32_t masking, int32_t compression,
               uint32_t length = UINT32_MAX, const Bytes &trailer = {0xEE, 0xEE})
{
    LoaderCase c;
    HostFile f = c.open(Concat({body, trailer}));
    size_t size = width > 0 && height > 0 ? static_cast<size_t>(width) * height : 0;
    Bytes buffer(size + 32, 0);
    int32_t result = DecodePlanarBody(f, length == UINT32_MAX ? static_cast<uint32_t>(body.size()) : length,
                                      buffer.data() + 16, width, height, planes, masking, compression);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(buffer[i], 0) << "written before the destination";
        EXPECT_EQ(buffer[size + 16 + i], 0) << "written past the destination";
    }
    return {result, Bytes(buffer.begin() + 16, buffer.begin() + 16 + size), c.position(f), c.host.count("read ")};
}

// The simple table-driven decoder, kept as the reference for the fast one: each plane row
// unpacked on its own, each plane byte spread to eight pixels through a 256-entry table, OR-ed in.
bool ReferenceUnpack(const Bytes &body, size_t &at, Bytes &row, bool packed)
{
    for (size_t made = 0; made < row.size();) {
        if (at >= body.size()) return false;
        int n = packed ? static_cast<int8_t>(body[at++]) : 0;
        if (n == -128) continue;
        size_t count = n >= 0 ? n + 1 : 1 - n;
        for (size_t i = 0; i < count; ++i, made++) {
            if (at >= body.size()) return false;
            uint8_t value = body[n >= 0 ? at++ : at];
            if (made < row.size()) row[made] = value;  // cut at row end
        }
        at += n < 0;
    }
    return true;
}

Bytes Reference(const Bytes &body, int width, int height, int planes, int masking, int compression)
{
    static const auto spread = [] {
        std::array<std::array<uint8_t, 8>, 256> table{};
        for (int v = 0; v < 256; ++v)
            for (int x = 0; x < 8; ++x) table[v][x] = (v >> (7 - x)) & 1;
        return table;
    }();
    Bytes out(width > 0 && height > 0 ? static_cast<size_t>(width) * height : 0), row;
    size_t at = 0;
    bool more = width > 0 && planes > 0;
    for (int y = 0; more && y < height; ++y)
        for (int p = 0; more && p < planes + (masking == 1); ++p) {
            row.assign((width + 15) / 16 * 2, 0);
            more = ReferenceUnpack(body, at, row, compression != 0);
            for (int x = 0; p < std::min(planes, 8) && x < width; ++x)
                out[static_cast<size_t>(y) * width + x] |= spread[row[x / 8]][x % 8] << p;
        }
    return out;
}

Bytes RandomBytes(size_t n, std::mt19937 &rng)
{
    Bytes out(n);
    for (auto &b : out) b = static_cast<uint8_t>(rng());
    return out;
}

TEST(PlanarDecoder, Plain320x200FivePlanesMaskRowsIgnored)
{
    std::mt19937 rng(1);
    Bytes unmasked = RandomBytes(200 * 5 * 40, rng), masked;
    for (int y = 0; y < 200; ++y) {
        masked.insert(masked.end(), unmasked.begin() + y * 200, unmasked.begin() + (y + 1) * 200);
        Bytes mask = RandomBytes(40, rng);
        masked.insert(masked.end(), mask.begin(), mask.end());
    }
    Bytes expected = Reference(unmasked, 320, 200, 5, 0, 0);

    Decoded plain = Decode(unmasked, 320, 200, 5, 0, 0);
    EXPECT_EQ(plain.result, 1);
    EXPECT_EQ(plain.pixels, expected);
    EXPECT_EQ(plain.position, 40000);
    EXPECT_EQ(plain.reads, 1);
    Decoded withMask = Decode(masked, 320, 200, 5, 1, 0);
    EXPECT_EQ(withMask.pixels, expected);
    EXPECT_EQ(withMask.position, 48000);
    // Only masking 1 has mask rows: with 2 the same bytes are read as rows of planes.
    EXPECT_EQ(Decode(unmasked, 320, 200, 5, 2, 0).pixels, expected);
}

TEST(PlanarDecoder, RowBytesRoundToWords)
{
    // Width 100: 14 bytes a row; pixels 96-99 from the high nibble of byte 12, byte 13 ignored.
    Bytes body(28, 0);
    body[12] = body[13] = 0xFF;
    Decoded d = Decode(body, 100, 2, 1, 0, 0);
    for (int x = 0; x < 200; ++x) EXPECT_EQ(d.pixels[x], x >= 96 && x < 100 ? 1 : 0) << x;
    EXPECT_EQ(d.position, 28);

    // Width 17: 4 bytes a row; pixel 16 is the top bit of byte 2. Five planes, three rows = 60 bytes.
    Bytes face;
    for (int y = 0; y < 3; ++y)
        for (int p = 0; p < 5; ++p) face.insert(face.end(), {0, 0, static_cast<uint8_t>(p == y ? 0x80 : 0x7F), 0xFF});
    Decoded f = Decode(face, 17, 3, 5, 0, 0);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 17; ++x) EXPECT_EQ(f.pixels[y * 17 + x], x == 16 ? 1 << y : 0);
    EXPECT_EQ(f.position, 60);

    // Width 8: 2 bytes a row.
    Decoded eight = Decode({0xA5, 0xFF, 0x0F, 0xFF}, 8, 1, 2, 0, 0);
    EXPECT_EQ(eight.pixels, (Bytes{1, 0, 1, 0, 2, 3, 2, 3}));
    EXPECT_EQ(eight.position, 4);
}

TEST(PlanarDecoder, ByteRun1RunsLiteralsAndNoOp)
{
    // One run fills a 40-byte row from 2 bytes; the next row starts right after them.
    Decoded run = Decode({0xD9, 0xAA, 0xD9, 0x0F}, 320, 2, 1, 0, 1);
    for (int x = 0; x < 320; ++x) EXPECT_EQ(run.pixels[x], x % 2 == 0 ? 1 : 0) << x;
    for (int x = 0; x < 320; ++x) EXPECT_EQ(run.pixels[320 + x], x % 8 >= 4 ? 1 : 0) << x;
    EXPECT_EQ(run.position, 4);

    // -128 consumes only itself.
    Decoded noop = Decode({0x80, 0x00, 0xF0, 0x80, 0x00, 0x0F}, 16, 1, 1, 0, 1);
    EXPECT_EQ(noop.pixels, (Bytes{1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1}));
    EXPECT_EQ(noop.position, 6);

    // A literal of 4 starting two bytes before the end of a 4-byte row: the last two are
    // dropped, and the next row starts after all four.
    Decoded cut = Decode({0x01, 0x80, 0x40, 0x03, 0x20, 0x10, 0xFF, 0xFF, 0xFD, 0x01}, 32, 2, 1, 0, 1);
    Bytes expected(64, 0);
    expected[0] = expected[9] = expected[18] = expected[27] = 1;
    for (int x = 32; x < 64; ++x) expected[x] = (x % 8 == 7) ? 1 : 0;
    EXPECT_EQ(cut.pixels, expected);

    // A run that overshoots the row is cut the same way: 128 bytes into a 2-byte row.
    Decoded overshoot = Decode({0x81, 0xFF, 0x00, 0x80}, 16, 2, 1, 0, 1);
    for (int x = 0; x < 32; ++x) EXPECT_EQ(overshoot.pixels[x], x <= 16 ? 1 : 0) << x;

    // Compression 2 is ByteRun1 too; the mask row after the plane row is walked without effect.
    const Bytes masked = {0xFF, 0x0F, 0xFF, 0xF0, 0xFF, 0x3C};
    for (int32_t compression : {1, 2})
        EXPECT_EQ(Decode(masked, 16, 1, 1, 1, compression).pixels,
                  (Bytes{0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1}));
}

TEST(PlanarDecoder, PlaneCountZeroAndDegenerateSizesStillReadTheBody)
{
    for (auto [w, h, p] : {std::tuple{16, 2, 0}, {0, 2, 5}, {16, 0, 5}, {-16, 2, 5}, {16, -2, 5}, {16, 2, -5}}) {
        Decoded d = Decode(Bytes(10, 0xFF), w, h, p, 0, 0);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.position, 10);
        EXPECT_EQ(d.reads, 1);
        EXPECT_EQ(d.pixels, Bytes(d.pixels.size(), 0));
    }
    Decoded empty = Decode({}, 16, 2, 5, 0, 1);
    EXPECT_EQ(empty.result, 1);
    EXPECT_EQ(empty.position, 0);
}

TEST(PlanarDecoder, OnlyPlanesZeroToSevenCount)
{
    std::mt19937 rng(24);
    Bytes body, low;
    for (int y = 0; y < 3; ++y)
        for (int p = 0; p < 24; ++p) {
            Bytes r = p < 8 ? RandomBytes(2, rng) : Bytes{0xFF, 0xFF};
            body.insert(body.end(), r.begin(), r.end());
            if (p < 8) low.insert(low.end(), r.begin(), r.end());
        }
    Bytes expected = Reference(low, 16, 3, 8, 0, 0);
    EXPECT_EQ(Decode(body, 16, 3, 24, 0, 0).pixels, expected);

    Bytes packed;
    for (size_t row = 0; row < body.size(); row += 2) qfauthor::PackByteRun1({body.data() + row, 2}, packed);
    Decoded d = Decode(packed, 16, 3, 24, 0, 1);
    EXPECT_EQ(d.pixels, expected);
    EXPECT_EQ(d.position, static_cast<int64_t>(packed.size()));
}

TEST(PlanarDecoder, DataEndingEarlyLeavesZeroRows)
{
    std::mt19937 rng(3);
    auto image = RandomImage(40, 6, 4, rng);
    for (auto compression : {qfauthor::Compression::None, qfauthor::Compression::ByteRun1}) {
        Bytes body = qfauthor::EncodePlanarBody(image, 4, compression, nullptr);
        for (size_t keep = 0; keep <= body.size(); ++keep) {
            // Declared length cut short...
            Bytes part(body.begin(), body.begin() + keep);
            Decoded d = Decode(part, 40, 6, 4, 0, static_cast<int32_t>(compression));
            for (size_t i = 0; i < d.pixels.size(); ++i) ASSERT_EQ(d.pixels[i] & ~image.pixels[i], 0) << keep;
            // ...or the host delivering less than the declared length.
            Decoded shortRead =
                Decode(part, 40, 6, 4, 0, static_cast<int32_t>(compression), static_cast<uint32_t>(body.size()), {});
            EXPECT_EQ(shortRead.pixels, d.pixels);
        }
    }
    // A literal claiming 128 bytes with 2 left, and a run missing its data byte.
    EXPECT_EQ(Decode({0x7F, 0xFF, 0xFF}, 320, 1, 1, 0, 1).pixels[15], 1);
    EXPECT_EQ(Decode({0xF0}, 320, 1, 1, 0, 1).result, 1);
}

// Random pictures through the encoder and back, over widths around byte and word edges.
TEST(PlanarDecoder, RoundTripsThroughTheEncoder)
{
    std::mt19937 rng(7);
    int cases = 0;
    for (int width : {1, 5, 7, 8, 9, 15, 16, 17, 31, 33, 63, 100, 257, 320})
        for (int height : {1, 2, 7})
            for (int planes = 1; planes <= 8; ++planes)
                for (auto compression : {qfauthor::Compression::None, qfauthor::Compression::ByteRun1})
                    for (bool mask : {false, true}) {
                        auto image = RandomImage(width, height, planes, rng);
                        Bytes maskBits = RandomBytes(image.pixels.size(), rng);
                        Bytes body = qfauthor::EncodePlanarBody(image, planes, compression, mask ? &maskBits : nullptr);
                        Decoded d =
                            Decode(body, width, height, planes, mask ? 1 : 0, static_cast<int32_t>(compression));
                        ASSERT_EQ(d.pixels, image.pixels) << width << "x" << height << " planes " << planes
                                                          << " packed " << int(compression) << " mask " << mask;
                        ASSERT_EQ(d.position, static_cast<int64_t>(body.size()));
                        ++cases;
                    }
    EXPECT_EQ(cases, 14 * 3 * 8 * 4);
}

// Random pictures and random (mostly broken) packed streams of every small size and plane count,
// whole and cut short, against the reference.
TEST(PlanarDecoder, MatchesTheReferenceOnRandomBodies)
{
    std::mt19937 rng(11);
    for (int width = 1; width <= 200; width += width < 70 ? 1 : 43)
        for (int planes = 1; planes <= 10; ++planes) {
            int height = 1 + static_cast<int>(rng() % 5), masking = static_cast<int>(rng() % 3);
            int compression = static_cast<int>(rng() % 2);
            auto image = RandomImage(width, height, std::min(planes, 8), rng);
            Bytes body =
                planes <= 8 && masking != 1 && rng() % 2
                    ? qfauthor::EncodePlanarBody(image, planes, qfauthor::Compression(compression), nullptr)
                    : RandomBytes(rng() % (static_cast<size_t>(height) * (planes + 1) * ((width + 15) / 16 * 2) + 8),
                                  rng);
            body.resize(body.size() - rng() % 3 * (rng() % (body.size() + 1)) / 2);
            Decoded d = Decode(body, width, height, planes, masking, compression);
            ASSERT_EQ(d.pixels, Reference(body, width, height, planes, masking, compression))
                << width << "x" << height << " planes " << planes << " masking " << masking << " packed "
                << compression;
            ASSERT_EQ(d.position, static_cast<int64_t>(body.size()));
        }
}

// Each form of the row merge (portable, SSE2, AVX2 where the processor has it) on its own, with
// planes exactly as long as the row needs or readable further, and guard bytes after the row.
TEST(PlanarDecoder, EveryRowMergeFormAgrees)
{
    std::vector<std::pair<const char *, PlaneRowMerge>> forms = {{"portable", MergePlaneRowPortable}};
#if defined(__SSE2__)
    forms.push_back({"sse2", MergePlaneRowSse2});
#endif
#if defined(QF_PLANAR_AVX2)
    if (ProcessorHasAvx2()) forms.push_back({"avx2", MergePlaneRowAvx2});
#endif
    std::mt19937 rng(5);
    for (size_t width = 1; width <= 600; width += width < 300 ? 1 : 37)
        for (int kept = 1; kept <= 8; ++kept)
            for (size_t extra : {0, 32}) {
                std::vector<Bytes> planes;
                const uint8_t *rows[8];
                Bytes body;
                for (int p = 0; p < kept; ++p) {
                    planes.push_back(RandomBytes((width + 7) / 8 + extra, rng));
                    rows[p] = planes.back().data();
                    body.insert(body.end(), planes.back().begin(), planes.back().begin() + (width + 7) / 8);
                    body.resize((p + 1) * ((width + 15) / 16 * 2));
                }
                Bytes expected = Reference(body, static_cast<int>(width), 1, kept, 0, 0);
                for (auto [name, merge] : forms) {
                    Bytes out(width + 40, 0);
                    merge(rows, kept, out.data(), width, (width + 7) / 8 + extra);
                    ASSERT_EQ(Bytes(out.begin(), out.begin() + width), expected)
                        << name << " width " << width << " planes " << kept;
                    ASSERT_EQ(Bytes(out.begin() + width, out.end()), Bytes(40, 0)) << name << " wrote past the row";
                }
            }
}

// A picture declaring 4096 rows with BODY data for three: the rows the data reaches are decoded
// and nothing below them is touched (rows merged from no data would overwrite the pattern there),
// whether the BODY length ends the data or the host delivers less than a long declared length.
TEST(PlanarDecoder, WorkFollowsTheDataNotTheDeclaredHeight)
{
    const int size = 4096;
    std::mt19937 rng(9);
    auto rows = RandomImage(size, 3, 5, rng);
    Bytes pattern(static_cast<size_t>(size) * size, 0xA5), expected = pattern;
    std::fill_n(pattern.begin(), 3 * size, 0);
    std::copy(rows.pixels.begin(), rows.pixels.end(), expected.begin());
    for (auto compression : {qfauthor::Compression::None, qfauthor::Compression::ByteRun1})
        for (bool shortRead : {false, true}) {
            Bytes data = qfauthor::EncodePlanarBody(rows, 5, compression, nullptr);
            LoaderCase c;
            HostFile f = c.open(data);
            Bytes picture = pattern;
            uint32_t declared = shortRead ? static_cast<uint32_t>(size) * size : static_cast<uint32_t>(data.size());
            ASSERT_EQ(
                DecodePlanarBody(f, declared, picture.data(), size, size, 5, 0, static_cast<int32_t>(compression)), 1);
            EXPECT_TRUE(picture == expected) << "packed " << int(compression) << " short read " << shortRead;
        }
}

}  // namespace
