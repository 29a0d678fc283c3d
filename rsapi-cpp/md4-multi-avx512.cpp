// Sixteen MD4 computations side by side with the AVX-512 instructions on 256-bit registers:
// a rotation is one instruction instead of three, and each round function one ternary-logic
// instruction instead of three or four, which shortens every step's wait.
#include "rsapi-cpp/md4-multi.h"

#define MD4X_TARGET __attribute__((target("avx2,avx512f,avx512vl")))
#define MD4X_ENTRY rs_md4_x16_avx512
#define MD4X_ROTL(x, s) _mm256_rol_epi32(x, s)
// Truth tables over (x, y, z) = (0xF0, 0xCC, 0xAA): (x & y) | (~x & z), the majority of
// the three, and x ^ y ^ z.
#define MD4X_F(x, y, z) _mm256_ternarylogic_epi32(x, y, z, 0xCA)
#define MD4X_G(x, y, z) _mm256_ternarylogic_epi32(x, y, z, 0xE8)
#define MD4X_H(x, y, z) _mm256_ternarylogic_epi32(x, y, z, 0x96)

#include "rsapi-cpp/md4-multi-body.inc"
