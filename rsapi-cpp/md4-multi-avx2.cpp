// Sixteen MD4 computations side by side with AVX2. The signature and the delta hash many
// blocks of the same size, so their digests can be computed together at several times the
// speed of one after another.
#include "rsapi-cpp/md4-multi.h"

#include <immintrin.h>

#define MD4X_TARGET __attribute__((target("avx2")))
#define MD4X_ENTRY rs_md4_x16_avx2

namespace
{

using V = __m256i;

MD4X_TARGET inline V add(V x, V y)
{
    return _mm256_add_epi32(x, y);
}

template <int S> MD4X_TARGET inline V rotl(V x)
{
    return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}

MD4X_TARGET inline V f_fn(V x, V y, V z)
{
    return _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)));
}
MD4X_TARGET inline V g_fn(V x, V y, V z)
{
    return _mm256_or_si256(_mm256_and_si256(x, y), _mm256_and_si256(z, _mm256_or_si256(x, y)));
}
MD4X_TARGET inline V h_fn(V x, V y, V z)
{
    return _mm256_xor_si256(x, _mm256_xor_si256(y, z));
}

} // namespace

#include "rsapi-cpp/md4-multi-body.inc"
