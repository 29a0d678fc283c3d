// Weak checksum of a window of bytes that can slide along a stream one byte at a
// time: a is the sum of (byte + 31), b the sum of the running sums of a, both
// 32-bit and wrapping; the digest packs their low halves.
#ifndef AEROLITH_RSAPI_ROLLING_CHECKSUM_H
#define AEROLITH_RSAPI_ROLLING_CHECKSUM_H

#include <cstddef>
#include <cstdint>

// Sum of the bytes and sum of their running sums, over n bytes from scratch
// (no character offset). Vectorised where the processor allows.
void rs_raw_sums(const uint8_t *bytes, size_t n, uint32_t *sum, uint32_t *running);

class RSRollingChecksum
{
public:
    static constexpr uint32_t CHAR_OFFSET = 31;

    void clear() { count = a = b = 0; }

    void update(const uint8_t *bytes, size_t n)
    {
        uint32_t t, s;
        rs_raw_sums(bytes, n, &t, &s);
        uint32_t n32 = static_cast<uint32_t>(n);
        // Every appended byte's running sum also carries the a of the bytes before it.
        b += n32 * a + s +
             CHAR_OFFSET * static_cast<uint32_t>((static_cast<uint64_t>(n) * (n + 1) / 2));
        a += t + CHAR_OFFSET * n32;
        count += n;
    }

    void roll_out(uint8_t x)
    {
        a -= x + CHAR_OFFSET;
        b -= static_cast<uint32_t>(count) * (x + CHAR_OFFSET);
        --count;
    }

    void roll_in(uint8_t y)
    {
        a += y + CHAR_OFFSET;
        b += a;
        ++count;
    }

    void rotate(uint8_t x, uint8_t y)
    {
        roll_out(x);
        roll_in(y);
    }

    uint32_t digest() const { return (a & 0xffff) | (b << 16); }
    size_t size() const { return count; }
    bool empty() const { return count == 0; }

    // Digest of n bytes from scratch.
    static uint32_t of(const uint8_t *bytes, size_t n)
    {
        RSRollingChecksum c;
        c.update(bytes, n);
        return c.digest();
    }

private:
    size_t count = 0;
    uint32_t a = 0;
    uint32_t b = 0;
};

#endif
