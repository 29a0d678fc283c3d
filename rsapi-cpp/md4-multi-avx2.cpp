// Eight MD4 computations side by side in the 32-bit lanes of AVX2 registers. The
// signature and the delta hash many blocks of the same size, so their digests can
// be computed together at several times the speed of one after another.
#include "rsapi-cpp/md4-multi.h"

#include <cstring>
#include <immintrin.h>

namespace
{

using V = __m256i;

#define AVX2 __attribute__((target("avx2")))

AVX2 inline V add(V x, V y)
{
    return _mm256_add_epi32(x, y);
}

template <int S> AVX2 inline V rotl(V x)
{
    return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}

AVX2 inline V f_fn(V x, V y, V z)
{
    return _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)));
}
AVX2 inline V g_fn(V x, V y, V z)
{
    return _mm256_or_si256(_mm256_and_si256(x, y), _mm256_and_si256(z, _mm256_or_si256(x, y)));
}
AVX2 inline V h_fn(V x, V y, V z)
{
    return _mm256_xor_si256(x, _mm256_xor_si256(y, z));
}

// Word j of the 32 bytes at each lane pointer, gathered into w[j] by an 8x8 transpose.
AVX2 inline void load_transposed(const uint8_t *const p[8], size_t off, V w[8])
{
    V r[8];
    for (int k = 0; k < 8; ++k)
        r[k] = _mm256_loadu_si256(reinterpret_cast<const V *>(p[k] + off));
    V t[8], u[8];
    for (int k = 0; k < 8; k += 2) {
        t[k] = _mm256_unpacklo_epi32(r[k], r[k + 1]);
        t[k + 1] = _mm256_unpackhi_epi32(r[k], r[k + 1]);
    }
    for (int k = 0; k < 8; k += 4) {
        u[k] = _mm256_unpacklo_epi64(t[k], t[k + 2]);
        u[k + 1] = _mm256_unpackhi_epi64(t[k], t[k + 2]);
        u[k + 2] = _mm256_unpacklo_epi64(t[k + 1], t[k + 3]);
        u[k + 3] = _mm256_unpackhi_epi64(t[k + 1], t[k + 3]);
    }
    for (int k = 0; k < 4; ++k) {
        w[k] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x20);
        w[k + 4] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x31);
    }
}

#define R1(a, b, c, d, k, s) a = rotl<s>(add(add(a, f_fn(b, c, d)), x[k]))
#define R2(a, b, c, d, k, s) a = rotl<s>(add(add(a, g_fn(b, c, d)), add(x[k], k2)))
#define R3(a, b, c, d, k, s) a = rotl<s>(add(add(a, h_fn(b, c, d)), add(x[k], k3)))

AVX2 inline void compress(V st[4], const uint8_t *const p[8], size_t off)
{
    V x[16];
    load_transposed(p, off, x);
    load_transposed(p, off + 32, x + 8);
    const V k2 = _mm256_set1_epi32(0x5A827999);
    const V k3 = _mm256_set1_epi32(0x6ED9EBA1);
    V a = st[0], b = st[1], c = st[2], d = st[3];
    // clang-format off
    R1(a, b, c, d, 0, 3);  R1(d, a, b, c, 1, 7);  R1(c, d, a, b, 2, 11);  R1(b, c, d, a, 3, 19);
    R1(a, b, c, d, 4, 3);  R1(d, a, b, c, 5, 7);  R1(c, d, a, b, 6, 11);  R1(b, c, d, a, 7, 19);
    R1(a, b, c, d, 8, 3);  R1(d, a, b, c, 9, 7);  R1(c, d, a, b, 10, 11); R1(b, c, d, a, 11, 19);
    R1(a, b, c, d, 12, 3); R1(d, a, b, c, 13, 7); R1(c, d, a, b, 14, 11); R1(b, c, d, a, 15, 19);
    R2(a, b, c, d, 0, 3);  R2(d, a, b, c, 4, 5);  R2(c, d, a, b, 8, 9);   R2(b, c, d, a, 12, 13);
    R2(a, b, c, d, 1, 3);  R2(d, a, b, c, 5, 5);  R2(c, d, a, b, 9, 9);   R2(b, c, d, a, 13, 13);
    R2(a, b, c, d, 2, 3);  R2(d, a, b, c, 6, 5);  R2(c, d, a, b, 10, 9);  R2(b, c, d, a, 14, 13);
    R2(a, b, c, d, 3, 3);  R2(d, a, b, c, 7, 5);  R2(c, d, a, b, 11, 9);  R2(b, c, d, a, 15, 13);
    R3(a, b, c, d, 0, 3);  R3(d, a, b, c, 8, 9);  R3(c, d, a, b, 4, 11);  R3(b, c, d, a, 12, 15);
    R3(a, b, c, d, 2, 3);  R3(d, a, b, c, 10, 9); R3(c, d, a, b, 6, 11);  R3(b, c, d, a, 14, 15);
    R3(a, b, c, d, 1, 3);  R3(d, a, b, c, 9, 9);  R3(c, d, a, b, 5, 11);  R3(b, c, d, a, 13, 15);
    R3(a, b, c, d, 3, 3);  R3(d, a, b, c, 11, 9); R3(c, d, a, b, 7, 11);  R3(b, c, d, a, 15, 15);
    // clang-format on
    st[0] = add(st[0], a);
    st[1] = add(st[1], b);
    st[2] = add(st[2], c);
    st[3] = add(st[3], d);
}

} // namespace

AVX2 void rs_md4_x8_avx2(const uint8_t *const lanes[8], size_t len, uint8_t out[8][16])
{
    V st[4] = {_mm256_set1_epi32(0x67452301), _mm256_set1_epi32(static_cast<int>(0xefcdab89)),
               _mm256_set1_epi32(static_cast<int>(0x98badcfe)), _mm256_set1_epi32(0x10325476)};
    size_t whole = len / 64 * 64;
    for (size_t off = 0; off < whole; off += 64)
        compress(st, lanes, off);

    // The rest of each piece, the 0x80 marker, zeros and the bit length, in one or
    // two final chunks.
    size_t rest = len - whole;
    size_t tail_len = rest < 56 ? 64 : 128;
    alignas(32) uint8_t tails[8][128];
    const uint8_t *tail_ptrs[8];
    uint64_t bits = static_cast<uint64_t>(len) * 8;
    for (int k = 0; k < 8; ++k) {
        memset(tails[k], 0, tail_len);
        memcpy(tails[k], lanes[k] + whole, rest);
        tails[k][rest] = 0x80;
        memcpy(tails[k] + tail_len - 8, &bits, 8);
        tail_ptrs[k] = tails[k];
    }
    for (size_t off = 0; off < tail_len; off += 64)
        compress(st, tail_ptrs, off);

    alignas(32) uint32_t words[4][8];
    for (int i = 0; i < 4; ++i)
        _mm256_store_si256(reinterpret_cast<V *>(words[i]), st[i]);
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 4; ++i)
            memcpy(out[k] + 4 * i, &words[i][k], 4);
}
