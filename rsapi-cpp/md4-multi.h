// Vectorised MD4 over sixteen pieces of equal length at once (two groups of eight 32-bit
// lanes).
#ifndef AEROLITH_RSAPI_MD4_MULTI_H
#define AEROLITH_RSAPI_MD4_MULTI_H

#include <cstddef>
#include <cstdint>

// Need AVX2, and AVX2 with AVX-512F and AVX-512VL; callers check the processor first.
void rs_md4_x16_avx2(const uint8_t *const lanes[16], size_t len, uint8_t out[16][16]);
void rs_md4_x16_avx512(const uint8_t *const lanes[16], size_t len, uint8_t out[16][16]);

#endif
