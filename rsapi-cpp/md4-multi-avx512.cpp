// Sixteen MD4 computations side by side with the AVX-512 instructions on 256-bit registers:
// a rotation is one instruction instead of three, and each round function one ternary-logic
// instruction instead of three or four, which shortens every step's wait.
#include "rsapi-cpp/md4-multi.h"

#include <immintrin.h>

#define MD4X_TARGET __attribute__((target("avx2,avx512f,avx512vl")))
#define MD4X_ENTRY rs_md4_x16_avx512

namespace
{

using V = __m256i;

MD4X_TARGET inline V add(V x, V y)
{
    return _mm256_add_epi32(x, y);
}

template <int S> MD4X_TARGET inline V rotl(V x)
{
    return _mm256_rol_epi32(x, S);
}

// Truth tables over (x, y, z) = (0xF0, 0xCC, 0xAA): (x & y) | (~x & z), the majority
// of the three, and x ^ y ^ z.
MD4X_TARGET inline V f_fn(V x, V y, V z)
{
    return _mm256_ternarylogic_epi32(x, y, z, 0xCA);
}
MD4X_TARGET inline V g_fn(V x, V y, V z)
{
    return _mm256_ternarylogic_epi32(x, y, z, 0xE8);
}
MD4X_TARGET inline V h_fn(V x, V y, V z)
{
    return _mm256_ternarylogic_epi32(x, y, z, 0x96);
}

} // namespace

#include "rsapi-cpp/md4-multi-body.inc"
