// NTLM negotiate, challenge and authenticate messages and the v1 and v2 responses.
// Single DES and MD4 live in OpenSSL's legacy part only; the low-level calls reach them
// without loading the legacy provider.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "zentproxy/lib/zentproxyclient_ntlm.h"

#include "zentproxy/lib/zentproxyclient-internal.h"

#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md4.h>

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace
{

const char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
const size_t kChallengeMinLength = 32;   // signature, type, target name, flags, challenge
const size_t kTargetInfoFieldEnd = 48;   // the target information field ends here
const size_t kAuthenticateHeader = 64;   // data of the type 3 message starts here
const size_t kNegotiateHeader = 32;      // data of the type 1 message starts here

uint16_t Get16(const NTLMBytes &m, size_t at)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(m[at]) |
                                 static_cast<uint8_t>(m[at + 1]) << 8);
}

uint32_t Get32(const NTLMBytes &m, size_t at)
{
    return static_cast<uint32_t>(Get16(m, at)) | static_cast<uint32_t>(Get16(m, at + 2)) << 16;
}

void Put16(NTLMBytes &m, size_t at, uint16_t v)
{
    m[at] = static_cast<char>(v & 0xFF);
    m[at + 1] = static_cast<char>(v >> 8);
}

void Put32(NTLMBytes &m, size_t at, uint32_t v)
{
    Put16(m, at, static_cast<uint16_t>(v & 0xFFFF));
    Put16(m, at + 2, static_cast<uint16_t>(v >> 16));
}

// Writes the security buffer (length, length, offset) at `at` and appends data to m.
void PutField(NTLMBytes &m, size_t at, const NTLMBytes &data)
{
    Put16(m, at, static_cast<uint16_t>(data.size()));
    Put16(m, at + 2, static_cast<uint16_t>(data.size()));
    Put32(m, at + 4, static_cast<uint32_t>(m.size()));
    m += data;
}

// 8-bit text upper-cased in ASCII, as the negotiate message and the LM hash carry it.
std::string UpperAscii(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

// Spreads 7 key bytes over the 8 bytes of a DES key (the low bit of each is parity).
void DesEncrypt(const uint8_t key7[7], const uint8_t in[8], uint8_t out[8])
{
    DES_cblock key;
    key[0] = key7[0];
    for (int i = 1; i < 7; ++i)
        key[i] = static_cast<uint8_t>(key7[i - 1] << (8 - i) | key7[i] >> i);
    key[7] = static_cast<uint8_t>(key7[6] << 1);
    DES_set_odd_parity(&key);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key, &schedule);
    DES_cblock block;
    memcpy(block, in, 8);
    DES_cblock result;
    DES_ecb_encrypt(&block, &result, &schedule, DES_ENCRYPT);
    memcpy(out, result, 8);
}

NTLMBytes HmacMd5(const NTLMBytes &key, const NTLMBytes &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest, &len);
    return NTLMBytes(reinterpret_cast<char *>(digest), len);
}

// The first header_size bytes of a message of the given type: signature, type, zeros.
NTLMBytes MessageHeader(size_t header_size, uint32_t type)
{
    NTLMBytes m(header_size, '\0');
    memcpy(&m[0], kSignature, sizeof(kSignature));
    Put32(m, 8, type);
    return m;
}

NTLMBytes Bytes(const uint8_t *p, size_t n)
{
    return NTLMBytes(reinterpret_cast<const char *>(p), n);
}

} // namespace

NTLMBytes NTLMUtf16(const std::string &text, bool upper)
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8WithSub(nullptr, 0, &units, text.data(), static_cast<int32_t>(text.size()),
                         0xFFFD, nullptr, &status);
    std::vector<UChar> u16(static_cast<size_t>(units) + 1);
    status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(u16.data(), units + 1, nullptr, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status))
        return NTLMBytes();
    NTLMBytes out;
    out.reserve(static_cast<size_t>(units) * 2);
    for (int32_t i = 0; i < units;) {
        UChar32 c;
        U16_NEXT(u16.data(), i, units, c);
        if (upper)
            c = u_toupper(c);
        UChar pair[2];
        int32_t n = 0;
        U16_APPEND_UNSAFE(pair, n, c);
        for (int32_t k = 0; k < n; ++k) {
            out += static_cast<char>(pair[k] & 0xFF);
            out += static_cast<char>(pair[k] >> 8);
        }
    }
    return out;
}

NTLMBytes NTLMHashLM(const std::string &password)
{
    static const uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    uint8_t key[14] = {0};
    std::string upper = UpperAscii(password);
    memcpy(key, upper.data(), upper.size() < 14 ? upper.size() : 14);
    uint8_t hash[16];
    DesEncrypt(key, kMagic, hash);
    DesEncrypt(key + 7, kMagic, hash + 8);
    return Bytes(hash, 16);
}

NTLMBytes NTLMHashNT(const std::string &password)
{
    NTLMBytes u16 = NTLMUtf16(password, false);
    uint8_t hash[MD4_DIGEST_LENGTH];
    MD4(reinterpret_cast<const unsigned char *>(u16.data()), u16.size(), hash);
    return Bytes(hash, sizeof(hash));
}

NTLMBytes NTLMHashNTv2(const NTLMBytes &nt_hash, const std::string &user, const std::string &domain)
{
    return HmacMd5(nt_hash, NTLMUtf16(user + domain, true));
}

NTLMBytes NTLMResponseV1(const NTLMBytes &hash, const uint8_t challenge[8])
{
    uint8_t key[21] = {0};
    memcpy(key, hash.data(), hash.size() < 16 ? hash.size() : 16);
    uint8_t response[24];
    for (int i = 0; i < 3; ++i)
        DesEncrypt(key + 7 * i, challenge, response + 8 * i);
    return Bytes(response, sizeof(response));
}

NTLMBytes NTLMResponseLMv2(const NTLMBytes &ntv2_hash, const uint8_t challenge[8],
                           const uint8_t nonce[8])
{
    return HmacMd5(ntv2_hash, Bytes(challenge, 8) + Bytes(nonce, 8)) + Bytes(nonce, 8);
}

uint64_t NTLMTimestamp(int64_t unix_seconds)
{
    const uint64_t kSecondsFrom1601 = 11644473600ULL;
    return (static_cast<uint64_t>(unix_seconds) + kSecondsFrom1601) * 10000000ULL;
}

NTLMBytes NTLMBlob(uint64_t timestamp, const uint8_t nonce[8], const NTLMBytes &target_info)
{
    NTLMBytes blob(16, '\0');
    blob[0] = 1;
    blob[1] = 1;
    Put32(blob, 8, static_cast<uint32_t>(timestamp & 0xFFFFFFFFu));
    Put32(blob, 12, static_cast<uint32_t>(timestamp >> 32));
    blob += Bytes(nonce, 8);
    blob += NTLMBytes(4, '\0');
    blob += target_info;
    blob += NTLMBytes(4, '\0');
    return blob;
}

NTLMBytes NTLMResponseNTv2(const NTLMBytes &ntv2_hash, const uint8_t challenge[8],
                           const NTLMBytes &blob)
{
    return HmacMd5(ntv2_hash, Bytes(challenge, 8) + blob) + blob;
}

NTLMBytes NTLMBuildNegotiate(uint32_t flags, const std::string &domain, const std::string &host)
{
    std::string udomain = UpperAscii(domain);
    std::string uhost = UpperAscii(host);
    if (udomain.size() > 0xFFFF || uhost.size() > 0xFFFF)
        return NTLMBytes();
    NTLMBytes m = MessageHeader(kNegotiateHeader, 1);
    Put32(m, 12, flags);
    // The host name comes first in the data, the domain after it.
    PutField(m, 24, uhost);
    PutField(m, 16, udomain);
    return m;
}

int NTLMParseChallenge(const NTLMBytes &message, NTLMChallenge &out)
{
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_auth.c [%d]challenge len = %d\n", __LINE__,
             static_cast<int>(message.size()));
    if (message.size() < kChallengeMinLength ||
        memcmp(message.data(), kSignature, sizeof(kSignature)) != 0 || Get32(message, 8) != 2)
        return ZENTPROXY_ERR_MALFORMED;
    ProxyLog(PROXY_WARNING,
             "[WARN]lib/zentproxyclient_auth.c [%d]target_name_len = %d, target_name_offset = %d\n",
             __LINE__, Get16(message, 12), static_cast<int>(Get32(message, 16)));
    out.flags = Get32(message, 20);
    memcpy(out.challenge, message.data() + 24, 8);
    out.target_info.clear();
    if (message.size() >= kTargetInfoFieldEnd) {
        size_t len = Get16(message, 40);
        size_t offset = Get32(message, 44);
        ProxyLog(PROXY_WARNING,
                 "[WARN]lib/zentproxyclient_auth.c [%d]target_info_len = %d, target_info_offset "
                 "= %d\n",
                 __LINE__, static_cast<int>(len), static_cast<int>(offset));
        // Target information that does not lie inside the message is never read.
        if (offset <= message.size() && len <= message.size() - offset)
            out.target_info = message.substr(offset, len);
    }
    return 0;
}

NTLMBytes NTLMBuildAuthenticate(const ZENT_PROXY_AUTH_DATA &data, const NTLMChallenge &challenge,
                                const uint8_t nonce[8], uint64_t timestamp)
{
    NTLMBytes lm, nt;
    NTLMBytes nt_hash = NTLMHashNT(data.szUserPasswd);
    if (data.hashntlm2) {
        if (challenge.target_info.empty())
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_auth.c [%d]Target info not found\n",
                     __LINE__);
        NTLMBytes v2 = NTLMHashNTv2(nt_hash, data.szUserName, data.szDomainName);
        lm = NTLMResponseLMv2(v2, challenge.challenge, nonce);
        nt = NTLMResponseNTv2(v2, challenge.challenge,
                              NTLMBlob(timestamp, nonce, challenge.target_info));
    } else {
        if (data.hashlm)
            lm = NTLMResponseV1(NTLMHashLM(data.szUserPasswd), challenge.challenge);
        if (data.hashnt)
            nt = NTLMResponseV1(nt_hash, challenge.challenge);
    }
    NTLMBytes domain = NTLMUtf16(data.szDomainName, true);
    NTLMBytes user = NTLMUtf16(data.szUserName, false);
    NTLMBytes host = NTLMUtf16(data.szHostName, true);
    for (const NTLMBytes *field : {&domain, &user, &host, &lm, &nt})
        if (field->size() > 0xFFFF)
            return NTLMBytes();
    NTLMBytes m = MessageHeader(kAuthenticateHeader, 3);
    PutField(m, 28, domain);
    PutField(m, 36, user);
    PutField(m, 44, host);
    PutField(m, 12, lm);
    PutField(m, 20, nt);
    PutField(m, 52, NTLMBytes());
    Put32(m, 60, challenge.flags);
    return m;
}
