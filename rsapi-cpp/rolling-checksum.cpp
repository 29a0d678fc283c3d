#include "rsapi-cpp/rolling-checksum.h"

#include <immintrin.h>

namespace
{

void raw_sums_scalar(const uint8_t *p, size_t n, uint32_t *sum, uint32_t *running)
{
    uint32_t t = 0, s = 0;
    for (size_t i = 0; i < n; ++i) {
        t += p[i];
        s += t;
    }
    *sum = t;
    *running = s;
}

uint32_t hsum_epi32(__m256i v) __attribute__((target("avx2")));
uint32_t hsum_epi32(__m256i v)
{
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
}

// 32 bytes per step: the byte sum comes from a sum of absolute differences with 0,
// the weighted sum (32 for the first byte down to 1 for the last) from
// multiply-adds, and the sum before each step is added 32 times at the end.
__attribute__((target("avx2"))) void raw_sums_avx2(const uint8_t *p, size_t n, uint32_t *sum,
                                                   uint32_t *running)
{
    const __m256i weights =
        _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                         13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();
    __m256i vt = zero, vprev = zero, vw = zero;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        vprev = _mm256_add_epi32(vprev, vt);
        vt = _mm256_add_epi32(vt, _mm256_sad_epu8(v, zero));
        vw = _mm256_add_epi32(vw, _mm256_madd_epi16(_mm256_maddubs_epi16(v, weights), ones));
    }
    uint32_t t = hsum_epi32(vt);
    uint32_t s = 32 * hsum_epi32(vprev) + hsum_epi32(vw);
    for (; i < n; ++i) {
        t += p[i];
        s += t;
    }
    *sum = t;
    *running = s;
}

} // namespace

void rs_raw_sums(const uint8_t *bytes, size_t n, uint32_t *sum, uint32_t *running)
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && n >= 64)
        raw_sums_avx2(bytes, n, sum, running);
    else
        raw_sums_scalar(bytes, n, sum, running);
}
