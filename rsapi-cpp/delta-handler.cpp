#include "rsapi-cpp/delta-handler.h"

#include <cstring>

#include "rsapi-cpp/byte-order.h"
#include "rsapi-cpp/md4.h"
#include "rsapi-cpp/rs-constant.h"
#include "rsapi-cpp/signature-loader.h"

namespace
{

constexpr size_t INITIAL_BUFFER = 500;
// Windows of an open copy run checked together, so their digests share one batch.
constexpr size_t RUN_BATCH = 32;

size_t widthIndex(uint64_t v)
{
    if (v < 0x100)
        return 0;
    if (v < 0x10000)
        return 1;
    if (v <= 0xffffffffu)
        return 2;
    return 3;
}

constexpr size_t WIDTHS[4] = {1, 2, 4, 8};

void growBuffer(std::unique_ptr<uint8_t[]> &buffer, size_t size, size_t *capacity, size_t needed)
{
    if (needed <= *capacity)
        return;
    size_t grown = *capacity * 2 > needed ? *capacity * 2 : needed;
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[grown]);
    if (size)
        memcpy(fresh.get(), buffer.get(), size);
    buffer = std::move(fresh);
    *capacity = grown;
}

} // namespace

DeltaHandler::~DeltaHandler()
{
    pending.drain();
    fd_close(&fd);
}

int DeltaHandler::begin()
{
    begin_error = 0;
    read_buffer.reset(new uint8_t[INITIAL_BUFFER]);
    read_buffer_capacity = INITIAL_BUFFER;
    read_buffer_size = 0;
    write_buffer.reset(new uint8_t[INITIAL_BUFFER]);
    write_buffer_capacity = INITIAL_BUFFER;
    write_buffer_size = 0;
    match_count = 0;
    mismatch_start = NONE;
    checksum.clear();
    int rc = rs_load_signature(signature_file.c_str(), &sig);
    if (rc != 0) {
        begin_error = rc;
        return -1;
    }
    block_size = sig.blockSize();
    hash_size = sig.hashSize();
    if (fd_open_write(delta_file.c_str(), &fd) != 0) {
        begin_error = -2;
        return -1;
    }
    uint8_t magic[4];
    rs_put_be32(magic, RSConstant::MAGIC_DELTA);
    if (fd_write(&fd, magic, sizeof magic) != static_cast<long long>(sizeof magic)) {
        fd_close(&fd);
        begin_error = -2;
        return -1;
    }
    return 0;
}

void DeltaHandler::reserveWrite(size_t extra)
{
    growBuffer(write_buffer, write_buffer_size, &write_buffer_capacity, write_buffer_size + extra);
}

void DeltaHandler::emitLiteral(const uint8_t *bytes, uint64_t length)
{
    if (length == 0)
        return;
    reserveWrite(static_cast<size_t>(length) + 9);
    uint8_t *out = write_buffer.get() + write_buffer_size;
    if (length <= 0x40) {
        *out++ = static_cast<uint8_t>(length);
    } else {
        size_t w = widthIndex(length);
        *out++ = static_cast<uint8_t>(RSConstant::OP_LITERAL_N1 + w);
        rs_put_be(out, length, WIDTHS[w]);
        out += WIDTHS[w];
    }
    memcpy(out, bytes, static_cast<size_t>(length));
    out += length;
    write_buffer_size = static_cast<size_t>(out - write_buffer.get());
}

// Offsets and lengths are 64-bit so that bases of 4 GiB and more are described
// correctly; such values take the 8-byte fields.
void DeltaHandler::emitCopy(uint64_t offset, uint64_t length)
{
    reserveWrite(17);
    uint8_t *out = write_buffer.get() + write_buffer_size;
    size_t wo = widthIndex(offset), wl = widthIndex(length);
    *out++ = static_cast<uint8_t>(RSConstant::OP_COPY_N1_N1 + 4 * wo + wl);
    rs_put_be(out, offset, WIDTHS[wo]);
    out += WIDTHS[wo];
    rs_put_be(out, length, WIDTHS[wl]);
    out += WIDTHS[wl];
    write_buffer_size = static_cast<size_t>(out - write_buffer.get());
}

void DeltaHandler::emitOpenRun()
{
    if (match_count == 0)
        return;
    emitCopy(static_cast<uint64_t>(match_start) * block_size,
             static_cast<uint64_t>(match_count) * block_size);
    match_count = 0;
}

// Tries the full window at buffer + pos: first as the continuation of the open
// run, then through the weak checksum lookup.
bool DeltaHandler::matchWindow(const uint8_t *buffer, size_t pos)
{
    const uint8_t *window = buffer + pos;
    uint32_t weak = checksum.digest();
    uint8_t digest[MD4_DIGEST_BYTES];
    bool have_digest = false;
    if (match_count > 0) {
        size_t next = match_start + match_count;
        if (next < sig.blockCount() && sig.weakOf(next) == weak) {
            rs_md4(window, block_size, digest);
            have_digest = true;
            if (memcmp(digest, sig.strongOf(next), hash_size) == 0) {
                ++match_count;
                return true;
            }
        }
        emitOpenRun();
    }
    if (!sig.mayContain(weak))
        return false;
    const DeltaBlock *first, *last;
    sig.find(weak, &first, &last);
    if (first == last)
        return false;
    if (!have_digest)
        rs_md4(window, block_size, digest);
    for (const DeltaBlock *b = first; b != last; ++b) {
        if (memcmp(digest, sig.strongOf(b->index), hash_size) != 0)
            continue;
        if (mismatch_start != NONE) {
            emitLiteral(buffer + mismatch_start, pos - mismatch_start);
            mismatch_start = NONE;
        }
        match_start = b->index;
        match_count = 1;
        return true;
    }
    return false;
}

// With a run open and the checksum empty, checks the following whole windows
// against the next blocks of the run in batches. Stops at the first window that
// does not continue the run and gives its position; that window then goes the
// ordinary way, so the outcome is the same as one window at a time.
size_t DeltaHandler::extendRun(const uint8_t *buffer, size_t pos, size_t end)
{
    uint8_t digests[RUN_BATCH][MD4_DIGEST_BYTES];
    while (match_count > 0) {
        size_t next = match_start + match_count;
        size_t windows = (end - pos) / block_size;
        size_t blocks = sig.blockCount() > next ? sig.blockCount() - next : 0;
        size_t k = windows < blocks ? windows : blocks;
        if (k > RUN_BATCH)
            k = RUN_BATCH;
        size_t weak_ok = 0;
        while (weak_ok < k && RSRollingChecksum::of(buffer + pos + weak_ok * block_size,
                                                    block_size) == sig.weakOf(next + weak_ok))
            ++weak_ok;
        if (weak_ok == 0)
            return pos;
        rs_md4_strided(buffer + pos, block_size, block_size, weak_ok, digests);
        size_t strong_ok = 0;
        while (strong_ok < weak_ok &&
               memcmp(digests[strong_ok], sig.strongOf(next + strong_ok), hash_size) == 0)
            ++strong_ok;
        match_count += strong_ok;
        pos += strong_ok * block_size;
        if (strong_ok < k)
            return pos;
    }
    return pos;
}

int DeltaHandler::update(const uint8_t *bytes, size_t n)
{
    if (!fd_is_open(&fd))
        return -1;
    growBuffer(read_buffer, read_buffer_size, &read_buffer_capacity, read_buffer_size + n);
    memcpy(read_buffer.get() + read_buffer_size, bytes, n);
    const uint8_t *buffer = read_buffer.get();
    const size_t end = read_buffer_size + n;
    const size_t bs = block_size;
    // The held bytes at the front are the incomplete window, already in the checksum.
    size_t pos = 0;
    for (;;) {
        if (checksum.size() < bs) {
            if (checksum.empty() && match_count > 0)
                pos = extendRun(buffer, pos, end);
            size_t have = pos + checksum.size();
            size_t take = bs - checksum.size() < end - have ? bs - checksum.size() : end - have;
            checksum.update(buffer + have, take);
            if (checksum.size() < bs)
                break;
        }
        if (matchWindow(buffer, pos)) {
            pos += bs;
            checksum.clear();
            continue;
        }
        if (mismatch_start == NONE)
            mismatch_start = pos;
        // Slide one byte at a time until a window might match or the input runs out.
        RSRollingChecksum c = checksum;
        bool candidate = false;
        while (pos + bs < end) {
            c.rotate(buffer[pos], buffer[pos + bs]);
            ++pos;
            if (sig.mayContain(c.digest())) {
                candidate = true;
                break;
            }
        }
        if (!candidate) {
            c.roll_out(buffer[pos]);
            ++pos;
        }
        checksum = c;
        if (!candidate)
            break;
    }
    // A literal never reaches into the next call: the held bytes start a new one.
    if (mismatch_start != NONE) {
        emitLiteral(buffer + mismatch_start, pos - mismatch_start);
        mismatch_start = NONE;
    }
    read_buffer_size = end - pos;
    memmove(read_buffer.get(), buffer + pos, read_buffer_size);
    return pending.start(&fd, write_buffer.get(), write_buffer_size);
}

int DeltaHandler::wait()
{
    return pending.finish(&write_buffer_size);
}

int DeltaHandler::end()
{
    int rc = wait();
    if (fd_is_open(&fd) && rc == 0) {
        emitOpenRun();
        emitLiteral(read_buffer.get(), read_buffer_size);
        reserveWrite(1);
        write_buffer[write_buffer_size++] = RSConstant::OP_END;
        if (fd_write(&fd, write_buffer.get(), write_buffer_size) !=
            static_cast<long long>(write_buffer_size))
            rc = -1;
    }
    if (!fd_is_open(&fd))
        rc = -1;
    fd_close(&fd);
    sig.clear();
    read_buffer.reset();
    write_buffer.reset();
    read_buffer_size = read_buffer_capacity = 0;
    write_buffer_size = write_buffer_capacity = 0;
    return rc;
}
