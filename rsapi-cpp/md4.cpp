#include "rsapi-cpp/md4.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md4.h>

#include "rsapi-cpp/md4-multi.h"

static_assert(sizeof(MD4_CTX) <= 128, "MD4 state does not fit");

void MD4State::init()
{
    MD4_Init(reinterpret_cast<MD4_CTX *>(ctx));
}

void MD4State::update(const void *data, size_t n)
{
    MD4_Update(reinterpret_cast<MD4_CTX *>(ctx), data, n);
}

void MD4State::final(uint8_t out[MD4_DIGEST_BYTES])
{
    MD4_Final(out, reinterpret_cast<MD4_CTX *>(ctx));
}

void rs_md4(const uint8_t *data, size_t n, uint8_t out[MD4_DIGEST_BYTES])
{
    MD4(data, n, out);
}

namespace
{

using BatchFn = void (*)(const uint8_t *const lanes[16], size_t len, uint8_t out[16][16]);

// The fastest sixteen-lane MD4 this processor runs, or none.
BatchFn batchFunction()
{
    static const BatchFn fn = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")
                                  ? rs_md4_x16_avx512
                                  : __builtin_cpu_supports("avx2") ? rs_md4_x16_avx2 : nullptr;
    return fn;
}

} // namespace

void rs_md4_strided(const uint8_t *base, size_t stride, size_t len, size_t count,
                    uint8_t (*out)[MD4_DIGEST_BYTES])
{
    size_t i = 0;
    if (BatchFn batch = batchFunction()) {
        // Lanes beyond the pieces left repeat the last piece; their digests are dropped.
        const uint8_t *lanes[16];
        while (count - i >= 2) {
            size_t used = count - i < 16 ? count - i : 16;
            for (size_t k = 0; k < 16; ++k)
                lanes[k] = base + (i + (k < used ? k : used - 1)) * stride;
            uint8_t digests[16][MD4_DIGEST_BYTES];
            batch(lanes, len, digests);
            for (size_t k = 0; k < used; ++k)
                for (size_t j = 0; j < MD4_DIGEST_BYTES; ++j)
                    out[i + k][j] = digests[k][j];
            i += used;
        }
    }
    for (; i < count; ++i)
        rs_md4(base + i * stride, len, out[i]);
}

std::string rs_md4_hex(const uint8_t digest[MD4_DIGEST_BYTES])
{
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * MD4_DIGEST_BYTES, '0');
    for (size_t i = 0; i < MD4_DIGEST_BYTES; ++i) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 15];
    }
    return text;
}
