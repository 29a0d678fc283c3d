// A signature loaded for delta generation: the block records as read, plus a
// lookup from weak checksum to the blocks that carry it.
#ifndef AEROLITH_RSAPI_SIGNATURE_INDEX_H
#define AEROLITH_RSAPI_SIGNATURE_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rsapi-cpp/byte-order.h"

struct DeltaBlock {
    uint32_t weaksum;
    uint32_t index; // position of the block in the signature
};

class SignatureIndex
{
public:
    // Takes the block records (whole records only) and builds the lookup.
    void build(uint32_t block_size, uint32_t hash_size, std::vector<uint8_t> &&body);
    void clear();

    uint32_t blockSize() const { return block_size; }
    uint32_t hashSize() const { return hash_size; }
    size_t blockCount() const { return block_count; }

    uint32_t weakOf(size_t i) const { return rs_get_be32(&body[i * record]); }
    const uint8_t *strongOf(size_t i) const { return &body[i * record + 4]; }

    // Cheap first test: false means no block has this weak checksum.
    bool mayContain(uint32_t weak) const
    {
        uint64_t mask = filterBits(weak);
        return (bitmap[filterWord(weak)] & mask) == mask;
    }

    // Blocks with this weak checksum, ascending by block index; first == last when none.
    void find(uint32_t weak, const DeltaBlock **first, const DeltaBlock **last) const;

private:
    static uint32_t slot(uint32_t weak) { return (weak * 0x9E3779B1u) ^ (weak >> 15); }
    // The first test is a filter with two bits per block in one 64-bit word, so it
    // costs a single memory access.
    static uint64_t mixed(uint32_t weak) { return uint64_t(weak) * 0x9E3779B97F4A7C15ull; }
    size_t filterWord(uint32_t weak) const
    {
        return static_cast<size_t>(mixed(weak) >> 40) & bitmap_mask;
    }
    static uint64_t filterBits(uint32_t weak)
    {
        uint64_t h = mixed(weak);
        return (uint64_t(1) << (h & 63)) | (uint64_t(1) << ((h >> 6) & 63));
    }

    uint32_t block_size = 0;
    uint32_t hash_size = 0;
    size_t record = 0;
    size_t block_count = 0;
    std::vector<uint8_t> body;
    std::vector<DeltaBlock> sorted;
    std::vector<uint64_t> bitmap;
    uint32_t bitmap_mask = 0;
    // Open addressing: weak checksum -> 1 + position of its first block in `sorted`.
    std::vector<uint32_t> table_weak;
    std::vector<uint32_t> table_pos;
    uint32_t table_mask = 0;
};

#endif
