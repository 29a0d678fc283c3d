// NTLM messages for HTTP proxy authentication: the negotiate (type 1) message, the
// challenge (type 2) decoder and the authenticate (type 3) message with LM/NT v1 or
// LMv2/NTv2 responses. Fields are little-endian as the NTLM protocol defines them.
#pragma once

#include <cstdint>
#include <string>

typedef std::string NTLMBytes;

// What to authenticate with and which responses to compute.
typedef struct {
    std::string szUserName;
    std::string szUserPasswd;
    std::string szDomainName;
    std::string szHostName;
    bool hashntlm2; // LMv2 and NTv2 responses
    bool hashnt;    // NTLMv1 NT response
    bool hashlm;    // NTLMv1 LM response
    uint32_t flags;
} ZENT_PROXY_AUTH_DATA;

const uint32_t kNTLMv1NegotiateFlags = 0x00008201;
const uint32_t kNTLMv2NegotiateFlags = 0x00088205;

// The decoded challenge.
struct NTLMChallenge {
    uint8_t challenge[8];
    uint32_t flags;
    NTLMBytes target_info; // empty when the message carries none (or names bytes outside it)
};

// LMOWFv1: DES of the LM magic constant under the upper-cased password cut to 14 bytes.
NTLMBytes NTLMHashLM(const std::string &password);
// NTOWFv1: MD4 of the UTF-16LE password.
NTLMBytes NTLMHashNT(const std::string &password);
// NTOWFv2: HMAC-MD5 keyed with the NT hash over UTF-16LE(upper(user + domain)).
NTLMBytes NTLMHashNTv2(const NTLMBytes &nt_hash, const std::string &user,
                       const std::string &domain);
// The 24-byte DES response of a 16-byte hash to an 8-byte challenge.
NTLMBytes NTLMResponseV1(const NTLMBytes &hash, const uint8_t challenge[8]);
// LMv2: HMAC-MD5(NTOWFv2, challenge + nonce) followed by the nonce.
NTLMBytes NTLMResponseLMv2(const NTLMBytes &ntv2_hash, const uint8_t challenge[8],
                           const uint8_t nonce[8]);
// The NTLMv2 blob: 01 01 00 00, 4 zero bytes, time stamp, nonce, 4 zero bytes, target
// information, 4 zero bytes.
NTLMBytes NTLMBlob(uint64_t timestamp, const uint8_t nonce[8], const NTLMBytes &target_info);
// NTv2: HMAC-MD5(NTOWFv2, challenge + blob) followed by the blob.
NTLMBytes NTLMResponseNTv2(const NTLMBytes &ntv2_hash, const uint8_t challenge[8],
                           const NTLMBytes &blob);
// 100-nanosecond units since 1601-01-01 for a time in whole seconds since 1970.
uint64_t NTLMTimestamp(int64_t unix_seconds);

// Text as UTF-16LE bytes; upper-cased by simple case mapping when upper is true.
NTLMBytes NTLMUtf16(const std::string &text, bool upper);

// Type 1 message with the given flags, upper-cased domain and host as 8-bit text.
NTLMBytes NTLMBuildNegotiate(uint32_t flags, const std::string &domain, const std::string &host);
// 0, or ZENTPROXY_ERR_MALFORMED for a message that is too short or not a challenge.
// Target information that does not lie inside the message is left out.
int NTLMParseChallenge(const NTLMBytes &message, NTLMChallenge &out);
// Type 3 message for the challenge; nonce and timestamp feed the v2 responses.
NTLMBytes NTLMBuildAuthenticate(const ZENT_PROXY_AUTH_DATA &data, const NTLMChallenge &challenge,
                                const uint8_t nonce[8], uint64_t timestamp);
