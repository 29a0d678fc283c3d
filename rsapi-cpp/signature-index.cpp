#include "rsapi-cpp/signature-index.h"

#include <algorithm>

namespace
{

constexpr size_t MAX_BLOCKS = size_t(1) << 30;

uint32_t powerOfTwoAtLeast(size_t n, uint32_t lo, uint32_t hi)
{
    uint32_t p = lo;
    while (p < n && p < hi)
        p <<= 1;
    return p;
}

} // namespace

void SignatureIndex::clear()
{
    *this = SignatureIndex();
}

void SignatureIndex::build(uint32_t bs, uint32_t hs, std::vector<uint8_t> &&records)
{
    block_size = bs;
    hash_size = hs;
    record = hs + 4;
    body = std::move(records);
    block_count = body.size() / record;
    // Block indexes are kept in 32 bits and the lookup table stays below 2^31
    // slots; a signature that large (12 GiB) cannot come from a file this system
    // handles, so surplus records are simply never matched.
    if (block_count > MAX_BLOCKS)
        block_count = MAX_BLOCKS;
    body.resize(block_count * record);

    sorted.resize(block_count);
    for (size_t i = 0; i < block_count; ++i)
        sorted[i] = DeltaBlock{weakOf(i), static_cast<uint32_t>(i)};
    std::sort(sorted.begin(), sorted.end(), [](const DeltaBlock &x, const DeltaBlock &y) {
        return x.weaksum != y.weaksum ? x.weaksum < y.weaksum : x.index < y.index;
    });

    // About 16 bits per block keeps false hits of the first test near 2 %.
    uint32_t words = powerOfTwoAtLeast(block_count / 4, 16, 1u << 21);
    bitmap.assign(words, 0);
    bitmap_mask = words - 1;
    uint32_t slots = powerOfTwoAtLeast(block_count * 2, 16, 1u << 31);
    table_weak.assign(slots, 0);
    table_pos.assign(slots, 0);
    table_mask = slots - 1;
    for (size_t i = 0; i < block_count; ++i) {
        uint32_t weak = sorted[i].weaksum;
        bitmap[filterWord(weak)] |= filterBits(weak);
        if (i > 0 && sorted[i - 1].weaksum == weak)
            continue;
        uint32_t s = slot(weak) & table_mask;
        while (table_pos[s] != 0)
            s = (s + 1) & table_mask;
        table_weak[s] = weak;
        table_pos[s] = static_cast<uint32_t>(i) + 1;
    }
}

void SignatureIndex::find(uint32_t weak, const DeltaBlock **first, const DeltaBlock **last) const
{
    *first = *last = nullptr;
    if (block_count == 0)
        return;
    uint32_t s = slot(weak) & table_mask;
    while (table_pos[s] != 0) {
        if (table_weak[s] == weak) {
            const DeltaBlock *b = &sorted[table_pos[s] - 1];
            const DeltaBlock *e = b;
            const DeltaBlock *end = sorted.data() + sorted.size();
            while (e != end && e->weaksum == weak)
                ++e;
            *first = b;
            *last = e;
            return;
        }
        s = (s + 1) & table_mask;
    }
}
