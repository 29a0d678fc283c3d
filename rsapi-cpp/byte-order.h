// Big-endian integers of the signature and delta formats.
#ifndef AEROLITH_RSAPI_BYTE_ORDER_H
#define AEROLITH_RSAPI_BYTE_ORDER_H

#include <cstddef>
#include <cstdint>

inline void rs_put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t rs_get_be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Writes the low `width` bytes of v, most significant first.
inline void rs_put_be(uint8_t *p, uint64_t v, size_t width)
{
    for (size_t i = 0; i < width; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}

inline uint64_t rs_get_be(const uint8_t *p, size_t width)
{
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    return v;
}

#endif
