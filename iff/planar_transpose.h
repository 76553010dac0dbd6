// Planar to chunky, a byte column at a time: the byte at column c of each plane holds one bit of
// pixels 8c..8c+7, so the eight plane bytes form an 8 x 8 bit matrix that, turned over, gives
// the eight pixel bytes (plane p in bit p, most significant plane bit = leftmost pixel).
#ifndef QUILLFRAMER_PLANAR_TRANSPOSE_H
#define QUILLFRAMER_PLANAR_TRANSPOSE_H

#include <stddef.h>
#include <stdint.h>

// Writes width pixels of one picture row from planes[0..keptPlanes-1] (1..8 planes). Each plane
// may be read for readable bytes (at least (width + 7) / 8; more lets the last block be read in
// place). The destination arrives zero-filled, so storing the gathered bits gives the same bytes
// as OR-ing them in; nothing past width is written.
typedef void (*PlaneRowMerge)(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width,
                              size_t readable);

// The fastest form this processor runs. Each form gives the same bytes.
PlaneRowMerge ChoosePlaneRowMerge(void);

void MergePlaneRowPortable(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width,
                           size_t readable);
#if defined(__SSE2__)
void MergePlaneRowSse2(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width,
                       size_t readable);
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define QF_PLANAR_AVX2 1
// Only call it where the processor has AVX2 (ChoosePlaneRowMerge checks).
void MergePlaneRowAvx2(const uint8_t *const *planes, int32_t keptPlanes, uint8_t *destination, size_t width,
                       size_t readable);
int32_t ProcessorHasAvx2(void);
#endif

#endif
