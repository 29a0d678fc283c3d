// Vectorised MD4 over eight pieces of equal length at once (one per 32-bit lane).
#ifndef AEROLITH_RSAPI_MD4_MULTI_H
#define AEROLITH_RSAPI_MD4_MULTI_H

#include <cstddef>
#include <cstdint>

// Needs AVX2; callers check the processor first.
void rs_md4_x8_avx2(const uint8_t *const lanes[8], size_t len, uint8_t out[8][16]);

#endif
