// Sixteen MD4 computations side by side with AVX2. The signature and the delta hash many
// blocks of the same size, so their digests can be computed together at several times the
// speed of one after another.
#include "rsapi-cpp/md4-multi.h"

#define MD4X_TARGET __attribute__((target("avx2")))
#define MD4X_ENTRY rs_md4_x16_avx2
#define MD4X_ROTL(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))
#define MD4X_F(x, y, z) _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)))
#define MD4X_G(x, y, z)                                                                        \
    _mm256_or_si256(_mm256_and_si256(x, y), _mm256_and_si256(z, _mm256_or_si256(x, y)))
#define MD4X_H(x, y, z) _mm256_xor_si256(x, _mm256_xor_si256(y, z))

#include "rsapi-cpp/md4-multi-body.inc"
