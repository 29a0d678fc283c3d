#include "rsapi-cpp/signature-handler.h"

#include <cstring>
#include <new>

#include "rsapi-cpp/byte-order.h"
#include "rsapi-cpp/md4.h"
#include "rsapi-cpp/rolling-checksum.h"
#include "rsapi-cpp/rs-constant.h"

namespace
{
// Blocks whose digests are computed together before their records are appended.
constexpr size_t BATCH_BLOCKS = 64;
} // namespace

SignatureHandler::~SignatureHandler()
{
    pending.drain();
    fd_close(&fd);
}

void SignatureHandler::setBlockSize(uint32_t n)
{
    if (n != 0)
        block_size = n;
}

void SignatureHandler::setHashSize(uint32_t n)
{
    if (n >= 1 && n <= MD4_DIGEST_BYTES)
        hash_size = n;
}

void SignatureHandler::reserve(size_t extra)
{
    if (write_buffer_capacity - write_buffer_size >= extra)
        return;
    size_t capacity = write_buffer_size + extra;
    std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
    if (write_buffer_size)
        memcpy(grown.get(), write_buffer.get(), write_buffer_size);
    write_buffer = std::move(grown);
    write_buffer_capacity = capacity;
}

int SignatureHandler::begin()
{
    // The block size comes from the caller and may be large: a refused allocation
    // is a failed begin, not an exception.
    read_buffer.reset(new (std::nothrow) uint8_t[2 * static_cast<size_t>(block_size)]);
    read_buffer_size = 0;
    if (!read_buffer)
        return -1;
    write_buffer_size = 0;
    if (fd_open_write(file.c_str(), &fd) != 0)
        return -1;
    uint8_t header[12];
    rs_put_be32(header, RSConstant::MAGIC_SIGNATURE);
    rs_put_be32(header + 4, block_size);
    rs_put_be32(header + 8, hash_size);
    if (fd_write(&fd, header, sizeof header) != static_cast<long long>(sizeof header)) {
        fd_close(&fd);
        return -1;
    }
    return 0;
}

// Appends the records of count consecutive pieces of `length` bytes each.
void SignatureHandler::appendRecords(const uint8_t *blocks, size_t count, size_t length)
{
    uint8_t digests[BATCH_BLOCKS][MD4_DIGEST_BYTES];
    const size_t record = hash_size + 4;
    while (count > 0) {
        size_t batch = count < BATCH_BLOCKS ? count : BATCH_BLOCKS;
        rs_md4_strided(blocks, length, length, batch, digests);
        uint8_t *out = write_buffer.get() + write_buffer_size;
        for (size_t i = 0; i < batch; ++i, out += record) {
            rs_put_be32(out, RSRollingChecksum::of(blocks + i * length, length));
            memcpy(out + 4, digests[i], hash_size);
        }
        write_buffer_size += batch * record;
        blocks += batch * length;
        count -= batch;
    }
}

int SignatureHandler::update(const uint8_t *bytes, size_t n)
{
    if (!fd_is_open(&fd))
        return -1;
    reserve(getSignatureSize(n));
    const size_t bs = block_size;
    if (read_buffer_size > 0) {
        size_t take = bs - read_buffer_size < n ? bs - read_buffer_size : n;
        memcpy(read_buffer.get() + read_buffer_size, bytes, take);
        read_buffer_size += take;
        bytes += take;
        n -= take;
        if (read_buffer_size < bs)
            return 0;
        appendRecords(read_buffer.get(), 1, bs);
        read_buffer_size = 0;
    }
    size_t whole = n / bs;
    appendRecords(bytes, whole, bs);
    memcpy(read_buffer.get(), bytes + whole * bs, n - whole * bs);
    read_buffer_size = n - whole * bs;
    return pending.start(&fd, write_buffer.get(), write_buffer_size);
}

int SignatureHandler::wait()
{
    return pending.finish(&write_buffer_size);
}

int SignatureHandler::end()
{
    int rc = wait();
    if (fd_is_open(&fd) && rc == 0 && read_buffer_size > 0) {
        reserve(hash_size + 4);
        appendRecords(read_buffer.get(), 1, read_buffer_size);
        read_buffer_size = 0;
        if (fd_write(&fd, write_buffer.get(), write_buffer_size) !=
            static_cast<long long>(write_buffer_size))
            rc = -1;
        write_buffer_size = 0;
    }
    if (!fd_is_open(&fd))
        rc = -1;
    fd_close(&fd);
    read_buffer.reset();
    write_buffer.reset();
    write_buffer_capacity = 0;
    return rc;
}
