// MD4 (RFC 1320): a streaming state for whole files, a one-shot digest, and a
// batched digest of many equally long pieces computed several at a time.
#ifndef AEROLITH_RSAPI_MD4_H
#define AEROLITH_RSAPI_MD4_H

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t MD4_DIGEST_BYTES = 16;

class MD4State
{
public:
    void init();
    void update(const void *data, size_t n);
    void final(uint8_t out[MD4_DIGEST_BYTES]);

private:
    alignas(8) unsigned char ctx[128];
};

void rs_md4(const uint8_t *data, size_t n, uint8_t out[MD4_DIGEST_BYTES]);

// Digests of count pieces of len bytes; piece i starts at base + i * stride.
void rs_md4_strided(const uint8_t *base, size_t stride, size_t len, size_t count,
                    uint8_t (*out)[MD4_DIGEST_BYTES]);

// 32 lower-case hexadecimal digits, high nibble first.
std::string rs_md4_hex(const uint8_t digest[MD4_DIGEST_BYTES]);

#endif
