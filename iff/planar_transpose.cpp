// Three forms of one bit network: 64-bit words (any processor), SSE2 (x86-64, and WebAssembly
// SIMD through Emscripten's SSE2 headers), AVX2 (chosen at run time).
#include "iff/planar_transpose.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(QF_PLANAR_AVX2)
#include <immintrin.h>
#endif

// The network: register k starts as plane 7 - k, one byte per column. Three rounds of exchanges
// swap register-index bits with bit-position bits; afterwards register k holds pixel 8c + k of
// every column c, plane p in bit p. The caller then interleaves the registers byte by byte.

namespace {

// Lower registers of the pairs of the second and third rounds.
const int PairsTwo[4] = {0, 1, 4, 5};
const int PairsOne[4] = {0, 2, 4, 6};

// Exchanges the bits of low at mask with the bits of high shift places above them.
inline void Exchange64(uint64_t &low, uint64_t &high, int shift, uint64_t mask)
{
    uint64_t t = ((high >> shift) ^ low) & mask;
    low ^= t;
    high ^= t << shift;
}

template <int Kept>
void TransposePortable(const uint8_t *const *planes, size_t column, uint8_t *out)
{
    uint64_t r[8];
    for (int k = 0; k < 8; ++k) {
        r[k] = 0;
        if (7 - k < Kept) memcpy(&r[k], planes[7 - k] + column, 8);
    }
    // Shifts stay inside a byte once masked, so the byte order of the words does not matter.
    for (int k = 0; k < 4; ++k) Exchange64(r[k], r[k + 4], 4, 0x0F0F0F0F0F0F0F0Full);
    for (int k : PairsTwo) Exchange64(r[k], r[k + 2], 2, 0x3333333333333333ull);
    for (int k : PairsOne) Exchange64(r[k], r[k + 1], 1, 0x5555555555555555ull);
    uint8_t bytes[8][8];
    for (int k = 0; k < 8; ++k) memcpy(bytes[k], &r[k], 8);
    for (int c = 0; c < 8; ++c)
        for (int k = 0; k < 8; ++k) out[c * 8 + k] = bytes[k][c];
}

// Whole blocks straight from the planes, the last columns into a side buffer. That last block
// reads its planes in place when readable bytes follow each plane's start, and otherwise through
// zero-padded copies, so nothing is read past readable or written past width.
typedef void (*BlockTranspose)(const uint8_t *const *, size_t, uint8_t *);

// Half is an optional Block / 2 form, for eight whole columns left over (width 320 is 40 columns).
template <int Kept, size_t Block, BlockTranspose Transpose, BlockTranspose Half = nullptr>
void MergeRowFrom(const uint8_t *const *planes, uint8_t *destination, size_t width, size_t readable, size_t column)
{
    size_t fullColumns = width / 8;
    for (; column + Block <= fullColumns; column += Block) Transpose(planes, column, destination + column * 8);
    if (Half != nullptr && column + Block / 2 <= fullColumns) {
        Half(planes, column, destination + column * 8);
        column += Block / 2;
    }
    size_t columns = (width + 7) / 8;
    if (column >= columns) return;
    uint8_t pixels[8 * Block];
    if (column + Block <= readable) {
        Transpose(planes, column, pixels);
    } else {
        uint8_t copy[Kept][Block];
        const uint8_t *copied[Kept];
        for (int p = 0; p < Kept; ++p) {
            memset(copy[p], 0, Block);
            memcpy(copy[p], planes[p] + column, columns - column);
            copied[p] = copy[p];
        }
        Transpose(copied, 0, pixels);
    }
    memcpy(destination + column * 8, pixels, width - column * 8);
}

#if defined(__SSE2__)
template <int Shift>
inline void ExchangeSse2(__m128i &low, __m128i &high, __m128i mask)
{
    __m128i t = _mm_and_si128(_mm_xor_si128(_mm_srli_epi16(high, Shift), low), mask);
    low = _mm_xor_si128(low, t);
    high = _mm_xor_si128(high, _mm_slli_epi16(t, Shift));
}

inline void BitNetworkSse2(__m128i *r)
{
    const __m128i m4 = _mm_set1_epi8(0x0F), m2 = _mm_set1_epi8(0x33), m1 = _mm_set1_epi8(0x55);
    for (int k = 0; k < 4; ++k) ExchangeSse2<4>(r[k], r[k + 4], m4);
    for (int k : PairsTwo) ExchangeSse2<2>(r[k], r[k + 2], m2);
    for (int k : PairsOne) ExchangeSse2<1>(r[k], r[k + 1], m1);
}

// 16 columns (Half: 8, from the low halves only).
template <int Kept, bool Half>
void TransposeSse2(const uint8_t *const *planes, size_t column, uint8_t *out)
{
    __m128i r[8];
    for (int k = 0; k < 8; ++k) {
        r[k] = _mm_setzero_si128();
        if (7 - k >= Kept) continue;
        const __m128i *from = (const __m128i *)(planes[7 - k] + column);
        r[k] = Half ? _mm_loadl_epi64(from) : _mm_loadu_si128(from);
    }
    BitNetworkSse2(r);
    // Bytes of registers 0..7 side by side: each 16-byte result is two columns' pixels.
    __m128i a[8], b[8];
    for (int k = 0; k < 4; ++k) {
        a[2 * k] = _mm_unpacklo_epi8(r[2 * k], r[2 * k + 1]);
        a[2 * k + 1] = _mm_unpackhi_epi8(r[2 * k], r[2 * k + 1]);
    }
    for (int k = 0; k < 2; ++k)
        for (int h = 0; h < (Half ? 1 : 2); ++h) {
            b[4 * k + 2 * h] = _mm_unpacklo_epi16(a[4 * k + h], a[4 * k + 2 + h]);
            b[4 * k + 2 * h + 1] = _mm_unpackhi_epi16(a[4 * k + h], a[4 * k + 2 + h]);
        }
    for (int q = 0; q < (Half ? 2 : 4); ++q) {
        _mm_storeu_si128((__m128i *)(out + 32 * q), _mm_unpacklo_epi32(b[q], b[4 + q]));
        _mm_storeu_si128((__m128i *)(out + 32 * q + 16), _mm_unpackhi_epi32(b[q], b[4 + q]));
    }
}
#endif

#if defined(QF_PLANAR_AVX2)
template <int Shift>
__attribute__((target("avx2"))) inline void ExchangeAvx2(__m256i &low, __m256i &high, __m256i mask)
{
    __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi16(high, Shift), low), mask);
    low = _mm256_xor_si256(low, t);
    high = _mm256_xor_si256(high, _mm256_slli_epi16(t, Shift));
}

// 32 columns: the same steps in each 128-bit lane (columns 0-15 and 16-31), lanes rejoined last.
template <int Kept>
__attribute__((target("avx2"))) void TransposeAvx2(const uint8_t *const *planes, size_t column, uint8_t *out)
{
    __m256i r[8];
    for (int k = 0; k < 8; ++k)
        r[k] = 7 - k < Kept ? _mm256_loadu_si256((const __m256i *)(planes[7 - k] + column)) : _mm256_setzero_si256();
    const __m256i m4 = _mm256_set1_epi8(0x0F), m2 = _mm256_set1_epi8(0x33), m1 = _mm256_set1_epi8(0x55);
    for (int k = 0; k < 4; ++k) ExchangeAvx2<4>(r[k], r[k + 4], m4);
    for (int k : PairsTwo) ExchangeAvx2<2>(r[k], r[k + 2], m2);
    for (int k : PairsOne) ExchangeAvx2<1>(r[k], r[k + 1], m1);
    __m256i a[8], b[8], c[8];
    for (int k = 0; k < 4; ++k) {
        a[2 * k] = _mm256_unpacklo_epi8(r[2 * k], r[2 * k + 1]);
        a[2 * k + 1] = _mm256_unpackhi_epi8(r[2 * k], r[2 * k + 1]);
    }
    for (int k = 0; k < 2; ++k)
        for (int h = 0; h < 2; ++h) {
            b[4 * k + 2 * h] = _mm256_unpacklo_epi16(a[4 * k + h], a[4 * k + 2 + h]);
            b[4 * k + 2 * h + 1] = _mm256_unpackhi_epi16(a[4 * k + h], a[4 * k + 2 + h]);
        }
    for (int q = 0; q < 4; ++q) {
        c[2 * q] = _mm256_unpacklo_epi32(b[q], b[4 + q]);
        c[2 * q + 1] = _mm256_unpackhi_epi32(b[q], b[4 + q]);
    }
    for (int q = 0; q < 4; ++q) {
        _mm256_storeu_si256((__m256i *)(out + 32 * q), _mm256_permute2x128_si256(c[2 * q], c[2 * q + 1], 0x20));
        _mm256_storeu_si256((__m256i *)(out + 128 + 32 * q), _mm256_permute2x128_si256(c[2 * q], c[2 * q + 1], 0x31));
    }
}

template <int Kept>
__attribute__((target("avx2"))) void MergeRowAvx2(const uint8_t *const *planes, uint8_t *destination, size_t width,
                                                  size_t readable)
{
    size_t column = 0;
    for (; column + 32 <= width / 8; column += 32) TransposeAvx2<Kept>(planes, column, destination + column * 8);
    MergeRowFrom<Kept, 16, TransposeSse2<Kept, false>, TransposeSse2<Kept, true>>(planes, destination, width, readable,
                                                                                  column);
}
#endif

template <int Kept>
void MergeRowPortable(const uint8_t *const *planes, uint8_t *destination, size_t width, size_t readable)
{
    MergeRowFrom<Kept, 8, TransposePortable<Kept>>(planes, destination, width, readable, 0);
}

#if defined(__SSE2__)
template <int Kept>
void MergeRowSse2(const uint8_t *const *planes, uint8_t *destination, size_t width, size_t readable)
{
    MergeRowFrom<Kept, 16, TransposeSse2<Kept, false>, TransposeSse2<Kept, true>>(planes, destination, width, readable,
                                                                                  0);
}
#endif

// One instance per plane count, so absent planes cost nothing.
template <template <int> class Row>
void ByPlaneCount(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width, size_t readable)
{
    switch (keptPlanes) {
    case 1: Row<1>::Run(planes, destination, width, readable); break;
    case 2: Row<2>::Run(planes, destination, width, readable); break;
    case 3: Row<3>::Run(planes, destination, width, readable); break;
    case 4: Row<4>::Run(planes, destination, width, readable); break;
    case 5: Row<5>::Run(planes, destination, width, readable); break;
    case 6: Row<6>::Run(planes, destination, width, readable); break;
    case 7: Row<7>::Run(planes, destination, width, readable); break;
    case 8: Row<8>::Run(planes, destination, width, readable); break;
    default: break;
    }
}

template <int Kept>
struct PortableRow {
    static void Run(const uint8_t *const *p, uint8_t *d, size_t w, size_t r) { MergeRowPortable<Kept>(p, d, w, r); }
};
#if defined(__SSE2__)
template <int Kept>
struct Sse2Row {
    static void Run(const uint8_t *const *p, uint8_t *d, size_t w, size_t r) { MergeRowSse2<Kept>(p, d, w, r); }
};
#endif
#if defined(QF_PLANAR_AVX2)
template <int Kept>
struct Avx2Row {
    static void Run(const uint8_t *const *p, uint8_t *d, size_t w, size_t r) { MergeRowAvx2<Kept>(p, d, w, r); }
};
#endif

}  // namespace

void MergePlaneRowPortable(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width,
                           size_t readable)
{
    ByPlaneCount<PortableRow>(planes, keptPlanes, destination, width, readable);
}

#if defined(__SSE2__)
void MergePlaneRowSse2(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width,
                       size_t readable)
{
    ByPlaneCount<Sse2Row>(planes, keptPlanes, destination, width, readable);
}
#endif

#if defined(QF_PLANAR_AVX2)
void MergePlaneRowAvx2(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width,
                       size_t readable)
{
    ByPlaneCount<Avx2Row>(planes, keptPlanes, destination, width, readable);
}

int32_t ProcessorHasAvx2(void) { return __builtin_cpu_supports("avx2"); }
#endif

PlaneRowMerge ChoosePlaneRowMerge(void)
{
#if defined(QF_PLANAR_AVX2)
    if (ProcessorHasAvx2()) return MergePlaneRowAvx2;
#endif
#if defined(__SSE2__)
    return MergePlaneRowSse2;
#else
    return MergePlaneRowPortable;
#endif
}
