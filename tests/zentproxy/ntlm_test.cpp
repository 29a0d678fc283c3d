#include "zentproxy/lib/zentproxyclient_ntlm.h"

#include "zentproxy/lib/zentproxyclient.h"
#include <cstring>

#include <gtest/gtest.h>

#include <string>

namespace
{

std::string Hx(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes)
        out += std::string{digits[c >> 4], digits[c & 15]};
    return out;
}

const uint8_t kChallenge[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const uint8_t kNonce[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};

uint32_t Le(const std::string &m, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(m[at + static_cast<size_t>(i)]);
    return v;
}

std::string Field(const std::string &m, size_t at)
{
    return m.substr(Le(m, at + 4, 4), Le(m, at, 2));
}

std::string U16(const std::string &ascii)
{
    std::string out;
    for (char c : ascii)
        out += std::string(1, c) + '\0';
    return out;
}

// A challenge message: target name empty, flags, the challenge, then target information
// of len bytes described at offset.
std::string ChallengeMessage(uint16_t len, uint32_t offset, const std::string &info)
{
    std::string m("NTLMSSP\0\x02\0\0\0", 12);
    m += std::string("\0\0\0\0\x30\0\0\0", 8);
    m += std::string("\x05\x82\x89\x00", 4);
    m += std::string(reinterpret_cast<const char *>(kChallenge), 8);
    m += std::string(8, '\0');
    m += std::string{static_cast<char>(len & 0xFF), static_cast<char>(len >> 8),
                     static_cast<char>(len & 0xFF), static_cast<char>(len >> 8)};
    for (int i = 0; i < 4; ++i)
        m += static_cast<char>(offset >> (8 * i) & 0xFF);
    return m + info;
}

} // namespace

// The published NTLM test values for user "User", domain "Domain", password "Password".
TEST(NtlmTest, HashesAndResponsesMatchThePublishedValues)
{
    NTLMBytes nt = NTLMHashNT("Password");
    NTLMBytes lm = NTLMHashLM("Password");
    EXPECT_EQ("a4f49c406510bdcab6824ee7c30fd852", Hx(nt));
    EXPECT_EQ("e52cac67419a9a224a3b108f3fa6cb6d", Hx(lm));
    EXPECT_EQ("67c43011f30298a2ad35ece64f16331c44bdbed927841f94", Hx(NTLMResponseV1(nt, kChallenge)));
    EXPECT_EQ("98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", Hx(NTLMResponseV1(lm, kChallenge)));
    // User name and domain are joined, then upper-cased together.
    NTLMBytes v2 = NTLMHashNTv2(nt, "User", "Domain");
    EXPECT_EQ("f38efea48ada6afaa95ae44669e5634b", Hx(v2));
    EXPECT_EQ("a364ead07e87f76bef07b555d8564bb3aaaaaaaaaaaaaaaa",
              Hx(NTLMResponseLMv2(v2, kChallenge, kNonce)));
}

TEST(NtlmTest, PasswordsLongerThanFourteenBytesAreCutForTheLmHash)
{
    EXPECT_EQ(Hx(NTLMHashLM("abcdefghijklmn")), Hx(NTLMHashLM("ABCDEFGHIJKLMNOPQ")));
    EXPECT_NE(Hx(NTLMHashNT("abcdefghijklmn")), Hx(NTLMHashNT("ABCDEFGHIJKLMN")));
}

TEST(NtlmTest, BlobCarriesTimestampNonceAndTargetInfo)
{
    NTLMBytes blob = NTLMBlob(NTLMTimestamp(0), kNonce, "INFO");
    EXPECT_EQ("0101000000000000" "00803ed5deb19d01" "aaaaaaaaaaaaaaaa" "00000000" "494e464f"
              "00000000",
              Hx(blob));
    NTLMBytes v2 = NTLMHashNTv2(NTLMHashNT("Password"), "User", "Domain");
    NTLMBytes nt = NTLMResponseNTv2(v2, kChallenge, blob);
    EXPECT_EQ(16 + blob.size(), nt.size());
    EXPECT_EQ(blob, nt.substr(16));
}

TEST(NtlmTest, NegotiateNamesUpperCasedHostThenDomain)
{
    NTLMBytes m = NTLMBuildNegotiate(kNTLMv2NegotiateFlags, "dom", "ws1");
    ASSERT_EQ(32u + 6u, m.size());
    EXPECT_EQ(std::string("NTLMSSP\0", 8), m.substr(0, 8));
    EXPECT_EQ(1u, Le(m, 8, 4));
    EXPECT_EQ(0x00088205u, Le(m, 12, 4));
    EXPECT_EQ("DOM", Field(m, 16));
    EXPECT_EQ("WS1", Field(m, 24));
    EXPECT_EQ(32u, Le(m, 28, 4)); // the host name comes first
    EXPECT_EQ(0x00008201u, Le(NTLMBuildNegotiate(kNTLMv1NegotiateFlags, "", ""), 12, 4));
}

TEST(NtlmTest, ChallengeDecoding)
{
    std::string info("\x02\x00\x02\x00XY\x00\x00\x00\x00", 10);
    struct Case {
        const char *name;
        std::string message;
        int result;
        std::string target_info;
    } cases[] = {
        {"with target info", ChallengeMessage(10, 48, info), 0, info},
        {"target info beyond the end", ChallengeMessage(10, 0x7FFF0000u, info), 0, ""},
        {"target info overlapping the end", ChallengeMessage(11, 48, info), 0, ""},
        {"no target info field", ChallengeMessage(0, 0, "").substr(0, 40), 0, ""},
        {"24 bytes", ChallengeMessage(0, 0, "").substr(0, 24), ZENTPROXY_ERR_MALFORMED, ""},
        {"challenge cut short", ChallengeMessage(0, 0, "").substr(0, 31), ZENTPROXY_ERR_MALFORMED, ""},
        {"not a challenge", "NTLMSSP" + std::string(1, '\0') + std::string(40, '\x01'),
         ZENTPROXY_ERR_MALFORMED, ""},
        {"no signature", std::string(48, 'A'), ZENTPROXY_ERR_MALFORMED, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NTLMChallenge out;
        ASSERT_EQ(c.result, NTLMParseChallenge(c.message, out));
        if (c.result != 0)
            continue;
        EXPECT_EQ("0123456789abcdef", Hx(std::string(reinterpret_cast<char *>(out.challenge), 8)));
        EXPECT_EQ(0x00898205u, out.flags);
        EXPECT_EQ(c.target_info, out.target_info);
    }
}

TEST(NtlmTest, AuthenticateLayout)
{
    NTLMChallenge challenge;
    memcpy(challenge.challenge, kChallenge, 8);
    challenge.flags = 0x12345678;
    challenge.target_info = "TI";
    ZENT_PROXY_AUTH_DATA data{"User", "Password", "Domain", "ws1", false, true, true, 0};
    NTLMBytes v1 = NTLMBuildAuthenticate(data, challenge, kNonce, 0);
    EXPECT_EQ(3u, Le(v1, 8, 4));
    EXPECT_EQ(0x12345678u, Le(v1, 60, 4));
    // Domain upper-cased, user unchanged, workstation upper-cased, all UTF-16LE, from 64 on.
    EXPECT_EQ(64u, Le(v1, 32, 4));
    EXPECT_EQ(U16("DOMAIN"), Field(v1, 28));
    EXPECT_EQ(U16("User"), Field(v1, 36));
    EXPECT_EQ(U16("WS1"), Field(v1, 44));
    EXPECT_EQ("98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", Hx(Field(v1, 12)));
    EXPECT_EQ("67c43011f30298a2ad35ece64f16331c44bdbed927841f94", Hx(Field(v1, 20)));
    EXPECT_LT(Le(v1, 48, 4), Le(v1, 16, 4)); // responses follow the names
    EXPECT_LT(Le(v1, 16, 4), Le(v1, 24, 4));
    EXPECT_EQ(0u, Le(v1, 52, 2));             // no session key

    data.hashntlm2 = true;
    NTLMBytes v2 = NTLMBuildAuthenticate(data, challenge, kNonce, NTLMTimestamp(0));
    EXPECT_EQ("a364ead07e87f76bef07b555d8564bb3aaaaaaaaaaaaaaaa", Hx(Field(v2, 12)));
    NTLMBytes hash = NTLMHashNTv2(NTLMHashNT("Password"), "User", "Domain");
    EXPECT_EQ(NTLMResponseNTv2(hash, kChallenge, NTLMBlob(NTLMTimestamp(0), kNonce, "TI")),
              Field(v2, 20));
}

TEST(NtlmTest, NonAsciiNamesAreUpperCasedPerCharacter)
{
    EXPECT_EQ(std::string("\xc9\x00", 2), NTLMUtf16("\xc3\xa9", true)); // é -> É
    EXPECT_EQ(std::string("\xe9\x00", 2), NTLMUtf16("\xc3\xa9", false));
    EXPECT_EQ(std::string("\x3d\xd8\x00\xde", 4), NTLMUtf16("\xf0\x9f\x98\x80", true));
}
