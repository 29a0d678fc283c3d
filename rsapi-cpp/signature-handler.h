// Computes the signature of the input of a pass: a 12-byte header, then for every
// block the weak rolling checksum and the first hash_size bytes of its MD4.
#ifndef AEROLITH_RSAPI_SIGNATURE_HANDLER_H
#define AEROLITH_RSAPI_SIGNATURE_HANDLER_H

#include <memory>
#include <string>

#include "rsapi-cpp/handler.h"
#include "rsapi-cpp/pending-write.h"
#include "rsapi-cpp/xio.h"

class SignatureHandler : public RSHandler
{
public:
    static constexpr uint32_t DEFAULT_BLOCK_SIZE = 2048;
    static constexpr uint32_t DEFAULT_HASH_SIZE = 8;

    explicit SignatureHandler(const std::string &path) : file(path) {}
    ~SignatureHandler() override;

    void setBlockSize(uint32_t n);
    void setHashSize(uint32_t n);
    uint32_t getBlockSize() const { return block_size; }
    uint32_t getHashSize() const { return hash_size; }

    // Bound of the block records for n bytes of input.
    size_t getSignatureSize(size_t n) const { return (n / block_size + 2) * (hash_size + 4); }

    int begin() override;
    int update(const uint8_t *bytes, size_t n) override;
    int wait() override;
    int end() override;

private:
    void appendRecords(const uint8_t *blocks, size_t count, size_t length);
    void reserve(size_t extra);

    std::string file;
    fd_t fd;
    PendingWrite pending;
    uint32_t block_size = DEFAULT_BLOCK_SIZE;
    uint32_t hash_size = DEFAULT_HASH_SIZE;
    std::unique_ptr<uint8_t[]> write_buffer;
    size_t write_buffer_size = 0;
    size_t write_buffer_capacity = 0;
    std::unique_ptr<uint8_t[]> read_buffer;
    size_t read_buffer_size = 0;
};

#endif
