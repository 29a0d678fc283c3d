// Generates the delta of the input of a pass against the signature of a basis:
// copies of basis blocks where windows of the input match, literal bytes elsewhere.
#ifndef AEROLITH_RSAPI_DELTA_HANDLER_H
#define AEROLITH_RSAPI_DELTA_HANDLER_H

#include <memory>
#include <string>

#include "rsapi-cpp/handler.h"
#include "rsapi-cpp/pending-write.h"
#include "rsapi-cpp/rolling-checksum.h"
#include "rsapi-cpp/signature-index.h"
#include "rsapi-cpp/xio.h"

class DeltaHandler : public RSHandler
{
public:
    DeltaHandler(const std::string &delta_file, const std::string &signature_file)
        : delta_file(delta_file), signature_file(signature_file)
    {
    }
    ~DeltaHandler() override;

    int begin() override;
    int update(const uint8_t *bytes, size_t n) override;
    int wait() override;
    int end() override;

    // Why begin() failed: 0, or the reader result code (-2 unreadable signature,
    // -5 malformed signature).
    int beginError() const { return begin_error; }

private:
    static constexpr size_t NONE = static_cast<size_t>(-1);

    void reserveWrite(size_t extra);
    void emitLiteral(const uint8_t *bytes, uint64_t length);
    void emitCopy(uint64_t offset, uint64_t length);
    void emitOpenRun();
    bool matchWindow(const uint8_t *buffer, size_t pos);
    size_t extendRun(const uint8_t *buffer, size_t pos, size_t end);
    size_t scanMismatch(const uint8_t *buffer, size_t pos, size_t end);

    std::string delta_file;
    std::string signature_file;
    fd_t fd;
    PendingWrite pending;
    uint32_t block_size = 0;
    uint32_t hash_size = 0;
    SignatureIndex sig;
    std::unique_ptr<uint8_t[]> read_buffer;
    size_t read_buffer_size = 0;
    size_t read_buffer_capacity = 0;
    std::unique_ptr<uint8_t[]> write_buffer;
    size_t write_buffer_size = 0;
    size_t write_buffer_capacity = 0;
    size_t match_start = 0;
    size_t match_count = 0;
    size_t mismatch_start = NONE;
    RSRollingChecksum checksum;
    int begin_error = 0;
};

#endif
