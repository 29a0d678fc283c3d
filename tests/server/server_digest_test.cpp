// The server's digests of stored bytes: MD4, SHA-256 and size taken with the two digests
// on two threads give what one plain computation of each gives, for any length and across
// several files.
#include "server/content-store.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

namespace
{

std::string Random(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(gen());
    return out;
}

// MD4 and SHA-256 of bytes, each computed once in one call.
srv::Digest Plain(const std::string &bytes)
{
    srv::Digest d;
    uint8_t md4[MD4_DIGEST_BYTES];
    rs_md4(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), md4);
    d.md4 = rs_md4_hex(md4);
    unsigned char sha[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), sha, &len, EVP_sha256(), nullptr), 1);
    static const char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < len; ++i) {
        d.sha256 += hex[sha[i] >> 4];
        d.sha256 += hex[sha[i] & 15];
    }
    d.size = bytes.size();
    return d;
}

TEST(ServerDigest, TwoThreadDigestsOfFilesEqualPlainDigests)
{
    TempDir dir;
    // Empty, one byte, an odd length, and several of the reader's 1 MiB pieces plus a tail.
    const size_t sizes[] = {0, 1, 4097, (3u << 20) + 7};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string bytes = Random(size, static_cast<unsigned>(size));
        srv::Digest want = Plain(bytes), got;
        ASSERT_EQ(srv::ContentStore::hashFiles({dir.write("one", bytes)}, got), 0);
        EXPECT_EQ(got.md4, want.md4);
        EXPECT_EQ(got.sha256, want.sha256);
        EXPECT_EQ(got.size, want.size);
    }
    EXPECT_EQ(Plain("").sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    // Files taken one after the other digest as their concatenation.
    std::string a = Random((1u << 20) + 3, 1), b = Random(70001, 2);
    srv::Digest got;
    ASSERT_EQ(srv::ContentStore::hashFiles({dir.write("a", a), dir.write("b", b)}, got), 0);
    srv::Digest want = Plain(a + b);
    EXPECT_EQ(got.md4, want.md4);
    EXPECT_EQ(got.sha256, want.sha256);
    EXPECT_EQ(got.size, want.size);

    EXPECT_EQ(srv::ContentStore::hashFiles({dir.write("c", a), dir.file("missing")}, got), -1);
}

} // namespace
