#include "libzenttunnelclient/zent-crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

std::vector<uint8_t> Encrypt(const std::string &plain)
{
    std::vector<uint8_t> out(ZENTCryptoEncryptLength(plain.size()));
    size_t n = ZENTCryptoEncrypt(reinterpret_cast<const uint8_t *>(plain.data()), plain.size(),
                                 out.data(), out.size());
    out.resize(n);
    return out;
}

std::string Decrypt(const std::vector<uint8_t> &envelope)
{
    std::vector<uint8_t> out(envelope.size() + 8);
    size_t n = ZENTCryptoDecrypt(envelope.data(), envelope.size(), out.data(), out.size());
    return std::string(reinterpret_cast<char *>(out.data()), n);
}

} // namespace

TEST(TunnelCryptoTest, TokenOfATargetRoundTripsThroughBase64)
{
    std::string target("a.b:1", 6); // with its NUL
    std::vector<uint8_t> envelope = Encrypt(target);
    ASSERT_EQ(26u + 8u, envelope.size());
    EXPECT_EQ(0xFF, envelope[0]);
    EXPECT_EQ(0xFF, envelope[1]);
    EXPECT_EQ(0x00, envelope[2]);
    EXPECT_EQ(0x01, envelope[3]);
    EXPECT_EQ(8u, static_cast<size_t>(envelope[20] << 24 | envelope[21] << 16 |
                                      envelope[22] << 8 | envelope[23]));
    char text[128];
    size_t len = ZENTCryptoBase64Encode(envelope.data(), envelope.size(), text, sizeof(text));
    EXPECT_EQ(48u, len);
    EXPECT_EQ(len, strlen(text));
    std::vector<uint8_t> decoded(64);
    decoded.resize(ZENTCryptoBase64Decode(text, len, decoded.data(), decoded.size()));
    EXPECT_EQ(envelope, decoded);
    EXPECT_EQ(target, Decrypt(decoded));
    // A fresh seed every time: the same target never gives the same token.
    EXPECT_NE(envelope, Encrypt(target));
}

TEST(TunnelCryptoTest, LengthBoundHoldsForEverySize)
{
    for (size_t m = 0; m < 40; ++m) {
        std::string plain(m, 'x');
        std::vector<uint8_t> envelope = Encrypt(plain);
        ASSERT_FALSE(envelope.empty());
        EXPECT_LE(envelope.size(), m + 34);
        EXPECT_EQ(m + 34, ZENTCryptoEncryptLength(m));
        if (m > 0) {
            EXPECT_EQ(plain, Decrypt(envelope));
        }
    }
    std::vector<uint8_t> small(10);
    EXPECT_EQ(0u, ZENTCryptoEncrypt(reinterpret_cast<const uint8_t *>("abc"), 3, small.data(),
                                    small.size()));
}

TEST(TunnelCryptoTest, DecryptRefusesMalformedEnvelopes)
{
    std::vector<uint8_t> good = Encrypt(std::string("host:7", 7));
    auto with = [&good](size_t at, uint8_t value) {
        std::vector<uint8_t> e = good;
        e[at] = value;
        return e;
    };
    struct Case {
        const char *name;
        std::vector<uint8_t> envelope;
    } cases[] = {
        {"26 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 26)},
        {"empty", {}},
        {"wrong marker", with(1, 0xFE)},
        {"version 2", with(3, 2)},
        {"length beyond the input", with(23, 64)},
        {"length not a whole block", with(23, 7)},
        {"length zero", with(23, 0)},
        {"cut short", std::vector<uint8_t>(good.begin(), good.begin() + 30)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ("", Decrypt(c.envelope));
    }
    EXPECT_EQ(std::string("host:7", 7), Decrypt(good));
}

TEST(TunnelCryptoTest, Base64EncoderTruncatesToTheBuffer)
{
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    char out[5];
    EXPECT_EQ(4u, ZENTCryptoBase64Encode(bytes, sizeof(bytes), out, sizeof(out)));
    EXPECT_STREQ("AQID", out);
    uint8_t decoded[8];
    EXPECT_EQ(0u, ZENTCryptoBase64Decode("AQI", 3, decoded, sizeof(decoded)));
    EXPECT_EQ(0u, ZENTCryptoBase64Decode("AQIDBAUG", 8, decoded, 4));
}
