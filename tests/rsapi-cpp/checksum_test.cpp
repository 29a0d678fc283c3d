// Weak rolling checksum and MD4, including their vectorised forms.
#include <gtest/gtest.h>

#include <cstring>

#include "rsapi-cpp/md4-multi.h"
#include "rsapi-cpp/md4.h"
#include "rsapi-cpp/rolling-checksum.h"
#include "rsapi-test-files.h"

namespace
{

// Byte-by-byte reference of the weak checksum.
uint32_t referenceWeak(const uint8_t *p, size_t n)
{
    RSRollingChecksum c;
    for (size_t i = 0; i < n; ++i)
        c.roll_in(p[i]);
    return c.digest();
}

TEST(RollingChecksum, KnownValues)
{
    const uint8_t zero = 0x00, pair[] = {0x01, 0x02};
    EXPECT_EQ(RSRollingChecksum::of(&zero, 1), 0x001F001Fu);
    EXPECT_EQ(RSRollingChecksum::of(pair, 2), 0x00610041u);
    RSRollingChecksum c;
    EXPECT_TRUE(c.empty());
    c.update(pair, 2);
    EXPECT_EQ(c.size(), 2u);
    c.clear();
    EXPECT_TRUE(c.empty());
    EXPECT_EQ(c.digest(), 0u);
}

// Whole-window sums (vectorised for long windows) agree with the byte-by-byte
// form, whatever the split of the window into updates, and rotating equals
// recomputing the slid window.
TEST(RollingChecksum, UpdateSplitAndRotateAgree)
{
    Bytes data = randomBytes(5000, 7);
    std::fill(data.begin() + 4000, data.end(), 0xff); // large bytes stress the multiply-adds
    for (size_t n : {1u, 2u, 31u, 32u, 33u, 63u, 64u, 65u, 100u, 2047u, 2048u, 4000u, 4999u}) {
        const uint8_t *p = data.data() + (data.size() - n) / 2;
        ASSERT_EQ(RSRollingChecksum::of(p, n), referenceWeak(p, n)) << n;
        for (size_t cut : {size_t(0), n / 3, n - 1}) {
            RSRollingChecksum c;
            c.update(p, cut);
            c.update(p + cut, n - cut);
            EXPECT_EQ(c.digest(), referenceWeak(p, n)) << n << " split at " << cut;
        }
        RSRollingChecksum r;
        r.update(p, n);
        r.rotate(p[0], p[n]);
        EXPECT_EQ(r.digest(), referenceWeak(p + 1, n)) << n;
        EXPECT_EQ(r.size(), n);
    }
}

TEST(MD4, KnownDigests)
{
    struct Case {
        const char *input;
        const char *hex;
    } cases[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const Case &c : cases) {
        uint8_t digest[MD4_DIGEST_BYTES];
        rs_md4(reinterpret_cast<const uint8_t *>(c.input), strlen(c.input), digest);
        EXPECT_EQ(rs_md4_hex(digest), c.hex) << c.input;
        MD4State s;
        s.init();
        for (const char *p = c.input; *p; ++p)
            s.update(p, 1);
        s.final(digest);
        EXPECT_EQ(rs_md4_hex(digest), c.hex) << c.input;
    }
}

// The batched digests equal one-at-a-time digests for every length class of the
// final padding and for batch counts that leave partial groups of lanes.
TEST(MD4, BatchedEqualsSingle)
{
    Bytes data = randomBytes(80000, 3);
    for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 119u, 120u, 2047u, 2048u}) {
        for (size_t count : {1u, 2u, 7u, 8u, 9u, 16u, 17u, 31u, 33u}) {
            std::vector<uint8_t[MD4_DIGEST_BYTES]> out(count);
            size_t stride = len + 13;
            rs_md4_strided(data.data(), stride, len, count, out.data());
            for (size_t i = 0; i < count; ++i) {
                uint8_t expect[MD4_DIGEST_BYTES];
                rs_md4(data.data() + i * stride, len, expect);
                ASSERT_EQ(0, memcmp(expect, out[i], MD4_DIGEST_BYTES))
                    << "len " << len << " count " << count;
            }
        }
    }
}

// Each sixteen-lane MD4 this processor runs gives, in every lane, the digest of that lane's
// own piece.
TEST(MD4, EverySixteenLaneVariantEqualsSingle)
{
    using Variant = void (*)(const uint8_t *const[16], size_t, uint8_t[16][16]);
    std::vector<std::pair<const char *, Variant>> variants;
    if (__builtin_cpu_supports("avx2"))
        variants.emplace_back("avx2", rs_md4_x16_avx2);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        variants.emplace_back("avx512", rs_md4_x16_avx512);
    if (variants.empty())
        GTEST_SKIP() << "no vector unit for the batched MD4";
    Bytes data = randomBytes(16 * 2100, 5);
    for (const auto &variant : variants) {
        for (size_t len : {0u, 1u, 55u, 56u, 64u, 120u, 2048u}) {
            const uint8_t *lanes[16];
            for (size_t k = 0; k < 16; ++k)
                lanes[k] = data.data() + k * 2100;
            uint8_t out[16][MD4_DIGEST_BYTES];
            variant.second(lanes, len, out);
            for (size_t k = 0; k < 16; ++k) {
                uint8_t expect[MD4_DIGEST_BYTES];
                rs_md4(lanes[k], len, expect);
                ASSERT_EQ(0, memcmp(expect, out[k], MD4_DIGEST_BYTES))
                    << variant.first << " len " << len << " lane " << k;
            }
        }
    }
}

} // namespace
