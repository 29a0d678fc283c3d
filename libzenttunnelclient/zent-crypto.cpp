#include "libzenttunnelclient/zent-crypto.h"

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstring>
#include <memory>
#include <vector>

const uint8_t kZENTCryptoIV[8] = {'Z', 'E', 'N', 'T', 'T', 'U', 'N', '1'};

namespace
{

const uint16_t kMarker = 0xFFFF;
const uint16_t kVersion = 1;
const size_t kHeader = 24; // bytes before the ciphertext
const size_t kBlock = 8;

void PutBE(uint8_t *p, uint32_t v, int width)
{
    for (int i = width - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v & 0xFF);
}

uint32_t GetBE(const uint8_t *p, int width)
{
    uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v = v << 8 | p[i];
    return v;
}

struct CipherFree {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// Runs triple-DES CBC over in. The output length, or -1.
int RunCipher(bool encrypt, uint32_t seed, const uint8_t *in, size_t len, uint8_t *out)
{
    uint8_t key[24];
    ZENTCryptoDeriveKey(seed, key);
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx(EVP_CIPHER_CTX_new());
    int n = 0, tail = 0;
    bool ok = ctx && EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, kZENTCryptoIV,
                                       encrypt ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx.get(), out, &n, in, static_cast<int>(len)) == 1 &&
              EVP_CipherFinal_ex(ctx.get(), out + n, &tail) == 1;
    OPENSSL_cleanse(key, sizeof(key));
    return ok ? n + tail : -1;
}

} // namespace

void ZENTCryptoDeriveKey(uint32_t seed, uint8_t key[24])
{
    uint8_t stepped[4];
    PutBE(stepped, seed * kZENTCryptoKeyMultiplier + kZENTCryptoKeyIncrement, 4);
    uint8_t digest[SHA_DIGEST_LENGTH + MD5_DIGEST_LENGTH];
    EVP_Digest(stepped, sizeof(stepped), digest, nullptr, EVP_sha1(), nullptr);
    EVP_Digest(stepped, sizeof(stepped), digest + SHA_DIGEST_LENGTH, nullptr, EVP_md5(), nullptr);
    memcpy(key, digest, 24);
}

size_t ZENTCryptoEncryptLength(size_t m)
{
    return m + kZENTCryptoOverhead + kBlock;
}

size_t ZENTCryptoEncrypt(const uint8_t *in, size_t len, uint8_t *out, size_t out_size)
{
    size_t cipher_len = (len / kBlock + 1) * kBlock;
    if (len > 0x7FFFFFF0u || out_size < cipher_len + kZENTCryptoOverhead)
        return 0;
    if (RAND_bytes(out, static_cast<int>(cipher_len + kZENTCryptoOverhead)) != 1)
        return 0;
    PutBE(out, kMarker, 2);
    PutBE(out + 2, kVersion, 2);
    uint32_t seed = GetBE(out + 10, 4);
    int n = RunCipher(true, seed, in, len, out + kHeader);
    if (n != static_cast<int>(cipher_len))
        return 0;
    PutBE(out + 20, static_cast<uint32_t>(n), 4);
    return static_cast<size_t>(n) + kZENTCryptoOverhead;
}

size_t ZENTCryptoDecrypt(const uint8_t *in, size_t len, uint8_t *out, size_t out_size)
{
    if (in == nullptr || len <= kZENTCryptoOverhead || GetBE(in, 2) != kMarker ||
        GetBE(in + 2, 2) > kVersion)
        return 0;
    size_t n = GetBE(in + 20, 4);
    if (n > len - kHeader || n == 0 || n % kBlock != 0 || out_size < n)
        return 0;
    int got = RunCipher(false, GetBE(in + 10, 4), in + kHeader, n, out);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

size_t ZENTCryptoBase64Encode(const uint8_t *in, size_t len, char *out, size_t out_size)
{
    if (out == nullptr || out_size == 0)
        return 0;
    std::vector<unsigned char> full(4 * ((len + 2) / 3) + 1);
    int n = EVP_EncodeBlock(full.data(), in, static_cast<int>(len));
    size_t copy = n > 0 ? static_cast<size_t>(n) : 0;
    if (copy > out_size - 1)
        copy = out_size - 1;
    memcpy(out, full.data(), copy);
    out[copy] = '\0';
    return copy;
}

size_t ZENTCryptoBase64Decode(const char *in, size_t len, uint8_t *out, size_t out_size)
{
    if (in == nullptr || len == 0 || len % 4 != 0)
        return 0;
    std::vector<unsigned char> full(len / 4 * 3);
    int n = EVP_DecodeBlock(full.data(), reinterpret_cast<const unsigned char *>(in),
                            static_cast<int>(len));
    if (n < 0)
        return 0;
    size_t pad = in[len - 1] == '=' ? (in[len - 2] == '=' ? 2 : 1) : 0;
    size_t got = static_cast<size_t>(n) - pad;
    if (got > out_size)
        return 0;
    memcpy(out, full.data(), got);
    return got;
}
