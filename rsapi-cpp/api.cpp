// Signature loading for delta generation, and the patch applier.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "rsapi-cpp/byte-order.h"
#include "rsapi-cpp/delta-file-reader.h"
#include "rsapi-cpp/rs-constant.h"
#include "rsapi-cpp/signature-loader.h"

namespace
{

constexpr size_t SIGNATURE_HEADER = 12;
constexpr size_t SIGNATURE_READ_PIECE = 1048576;
constexpr uint32_t MAX_SIGNATURE_BLOCK = 1u << 26;

int parseSignatureHeader(const uint8_t *header, size_t n, uint32_t *block_size, uint32_t *hash_size)
{
    if (n < SIGNATURE_HEADER || rs_get_be32(header) != RSConstant::MAGIC_SIGNATURE) {
        fprintf(stderr, "api.cpp (%d): invalid signature header\n", __LINE__);
        return FileReader::ERROR_FILE_FORMAT;
    }
    *block_size = rs_get_be32(header + 4);
    *hash_size = rs_get_be32(header + 8);
    // The generator holds one block of input in memory, so a block size from the
    // file is bounded instead of trusted.
    if (*block_size == 0 || *block_size > MAX_SIGNATURE_BLOCK) {
        fprintf(stderr, "api.cpp (%d): invalid signature block size\n", __LINE__);
        return FileReader::ERROR_FILE_FORMAT;
    }
    if (*hash_size < 1 || *hash_size > 16) {
        fprintf(stderr, "api.cpp (%d): invalid signature hash size\n", __LINE__);
        return FileReader::ERROR_FILE_FORMAT;
    }
    return 0;
}

} // namespace

int rs_signature_from_bytes(const uint8_t *data, size_t n, SignatureIndex *sig)
{
    uint32_t block_size, hash_size;
    int rc = parseSignatureHeader(data, n, &block_size, &hash_size);
    if (rc != 0)
        return rc;
    sig->build(block_size, hash_size, std::vector<uint8_t>(data + SIGNATURE_HEADER, data + n));
    return 0;
}

int rs_load_signature(const char *path, SignatureIndex *sig)
{
    fd_t fd;
    if (fd_open_read(path, &fd) != 0) {
        fprintf(stderr, "api.cpp (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
        return FileReader::ERROR_SYSTEM_CALL;
    }
    uint8_t header[SIGNATURE_HEADER];
    size_t got = 0;
    while (got < sizeof header) {
        long long r = fd_read(&fd, header + got, sizeof header - got);
        if (r < 0) {
            fprintf(stderr, "api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
            fd_close(&fd);
            return FileReader::ERROR_SYSTEM_CALL;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    uint32_t block_size, hash_size;
    int rc = parseSignatureHeader(header, got, &block_size, &hash_size);
    uint64_t size = 0;
    if (rc == 0 && fd_stat(&fd, &size) != 0) {
        fprintf(stderr, "api.cpp (%d): fd_stat: Error Code %d\n", __LINE__, errno);
        rc = FileReader::ERROR_SYSTEM_CALL;
    }
    // The body is read to its actual end; the size only sizes the first allocation.
    std::vector<uint8_t> body;
    if (rc == 0 && size > SIGNATURE_HEADER)
        body.reserve(static_cast<size_t>(size - SIGNATURE_HEADER));
    std::unique_ptr<uint8_t[]> piece(rc == 0 ? new uint8_t[SIGNATURE_READ_PIECE] : nullptr);
    while (rc == 0) {
        long long r = fd_read(&fd, piece.get(), SIGNATURE_READ_PIECE);
        if (r < 0) {
            fprintf(stderr, "api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
            rc = FileReader::ERROR_SYSTEM_CALL;
            break;
        }
        if (r == 0)
            break;
        body.insert(body.end(), piece.get(), piece.get() + r);
    }
    fd_close(&fd);
    if (rc == 0)
        sig->build(block_size, hash_size, std::move(body));
    return rc;
}

int DeltaFileReader::readFile()
{
    if (patch_file.empty() || basis_file.empty()) {
        fprintf(stderr, "api.cpp (%d): invalid arguments (basis_file = '%s', patch_file = '%s'\n",
                __LINE__, basis_file.c_str(), patch_file.c_str());
        return ERROR_ARGUMENT;
    }
    int code = 0;
    if (begin() != 0) {
        code = ERROR_HANDLER_CALL;
    } else if (fd_open_read(patch_file.c_str(), &patch_fd) != 0 ||
               fd_open_read(basis_file.c_str(), &basis_fd) != 0) {
        fprintf(stderr, "api.cpp (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
        code = ERROR_SYSTEM_CALL;
    } else {
        code = applyCommands();
    }
    if (end() != 0 && code == 0)
        code = ERROR_HANDLER_CALL;
    fd_bio_unload(&patch_bio);
    fd_close(&patch_fd);
    fd_close(&basis_fd);
    work.reset();
    spare.reset();
    return code;
}

int DeltaFileReader::applyCommands()
{
    fd_bio_load(&patch_bio, patch_fd, PIECE_SIZE);
    uint8_t magic[4];
    if (fd_bio_read(&patch_bio, magic, sizeof magic) != 0) {
        fprintf(stderr, "api.cpp (%d): fd_bio_read<int>: Error Code %d\n", __LINE__, errno);
        return ERROR_SYSTEM_CALL;
    }
    if (rs_get_be32(magic) != RSConstant::MAGIC_DELTA) {
        fprintf(stderr, "api.cpp (%d): invalid patch file (%x)\n", __LINE__, rs_get_be32(magic));
        return ERROR_FILE_FORMAT;
    }
    patch_offset = sizeof magic;
    basis_position = 0;
    work.reset(new uint8_t[PIECE_SIZE]);
    spare.reset(new uint8_t[PIECE_SIZE]);
    work_size = 0;
    in_flight = false;
    for (;;) {
        if (aborted())
            return ERROR_ABORT;
        PatchCommand cmd;
        bool end_seen = false;
        int rc = readCommand(&cmd, &end_seen);
        if (rc == 0 && end_seen)
            return flushOutput(true);
        if (rc == 0)
            rc = cmd.is_literal ? copyLiteral(cmd.length) : copyFromBasis(cmd.start, cmd.length);
        if (rc != 0)
            return rc;
    }
}

int DeltaFileReader::readCommand(PatchCommand *cmd, bool *end_seen)
{
    uint8_t byte;
    if (fd_bio_read_byte(&patch_bio, &byte) != 0) {
        fprintf(stderr, "api.cpp (%d): expect command byte\n", __LINE__);
        return ERROR_SYSTEM_CALL;
    }
    const RSConstant::CmdInfo &info = RSConstant::getInfo(byte);
    uint8_t param[8];
    uint64_t p1 = 0, p2 = 0;
    if (info.len_1) {
        if (fd_bio_read(&patch_bio, param, info.len_1) != 0) {
            fprintf(stderr, "api.cpp (%d): expect parameter 1 with %u bytes\n", __LINE__,
                    unsigned(info.len_1));
            return ERROR_SYSTEM_CALL;
        }
        p1 = rs_get_be(param, info.len_1);
    }
    if (info.len_2) {
        if (fd_bio_read(&patch_bio, param, info.len_2) != 0) {
            fprintf(stderr, "api.cpp (%d): expect parameter 2 with %u bytes\n", __LINE__,
                    unsigned(info.len_2));
            return ERROR_SYSTEM_CALL;
        }
        p2 = rs_get_be(param, info.len_2);
    }
    patch_offset += 1 + info.len_1 + info.len_2;
    switch (info.type) {
    case RSConstant::CMD_END:
        *end_seen = true;
        return 0;
    case RSConstant::CMD_LITERAL:
        cmd->is_literal = true;
        cmd->start = patch_offset;
        cmd->length = info.immediate ? info.immediate : p1;
        return 0;
    case RSConstant::CMD_COPY:
        cmd->is_literal = false;
        cmd->start = p1;
        cmd->length = p2;
        return 0;
    default:
        fprintf(stderr, "api.cpp (%d): unexpected kind: %u\n", __LINE__, unsigned(byte));
        return ERROR_FILE_FORMAT;
    }
}

// The result collects in the work buffer and reaches the handlers a full piece at a
// time, however small the commands are. The handlers work on a full piece while the next
// one fills the spare buffer; `last` also waits for the final piece.
int DeltaFileReader::flushOutput(bool last)
{
    int rc = 0;
    if (in_flight) {
        in_flight = false;
        if (wait() != 0)
            rc = ERROR_HANDLER_CALL;
    }
    if (rc == 0 && work_size > 0) {
        in_flight = true;
        if (update(work.get(), work_size) != 0)
            rc = ERROR_HANDLER_CALL;
        work.swap(spare);
        work_size = 0;
    }
    if (rc == 0 && last && in_flight) {
        in_flight = false;
        if (wait() != 0)
            rc = ERROR_HANDLER_CALL;
    }
    return rc;
}

// Moves `length` bytes into the work buffer a piece at a time, each through
// fill(dst, piece) (0 or an error code), and hands every full buffer to the handlers.
template <class Fill> int DeltaFileReader::fillWork(uint64_t length, Fill fill)
{
    while (length > 0) {
        if (aborted())
            return ERROR_ABORT;
        size_t room = PIECE_SIZE - work_size;
        size_t piece = length < room ? static_cast<size_t>(length) : room;
        int rc = fill(work.get() + work_size, piece);
        if (rc != 0)
            return rc;
        work_size += piece;
        length -= piece;
        if (work_size == PIECE_SIZE && flushOutput(false) != 0)
            return ERROR_HANDLER_CALL;
    }
    return 0;
}

int DeltaFileReader::copyLiteral(uint64_t length)
{
    return fillWork(length, [this](uint8_t *dst, size_t piece) -> int {
        if (fd_bio_read(&patch_bio, dst, piece) != 0) {
            fprintf(stderr, "api.cpp (%d): fd_bio_read: Error Code %d\n", __LINE__, errno);
            fprintf(stderr, "api.cpp (%d): fd_bio_read: offset = %llu, length = %u\n", __LINE__,
                    static_cast<unsigned long long>(patch_offset), static_cast<unsigned>(piece));
            return ERROR_SYSTEM_CALL;
        }
        patch_offset += piece;
        return 0;
    });
}

int DeltaFileReader::copyFromBasis(uint64_t start, uint64_t length)
{
    if (length > UINT64_MAX - start) {
        fprintf(stderr, "api.cpp (%d): fd_seek: offset = %llu\n", __LINE__,
                static_cast<unsigned long long>(start));
        return ERROR_SYSTEM_CALL;
    }
    return fillWork(length, [this, &start](uint8_t *dst, size_t piece) -> int {
        int rc = readBasis(start, dst, piece);
        start += piece;
        return rc;
    });
}

// Reads `piece` bytes of the basis at `start` into dst, seeking only when the basis is
// not already there.
int DeltaFileReader::readBasis(uint64_t start, uint8_t *dst, size_t piece)
{
    if (basis_position != start) {
        if (fd_seek(&basis_fd, start) != 0) {
            fprintf(stderr, "api.cpp (%d): fd_seek: Error Code %d\n", __LINE__, errno);
            fprintf(stderr, "api.cpp (%d): fd_seek: offset = %llu\n", __LINE__,
                    static_cast<unsigned long long>(start));
            return ERROR_SYSTEM_CALL;
        }
        basis_position = start;
    }
    size_t got = 0;
    long long r = 0;
    while (got < piece) {
        r = fd_read(&basis_fd, dst + got, piece - got);
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    basis_position += got;
    if (got < piece) {
        if (r < 0)
            fprintf(stderr, "api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
        fprintf(stderr, "api.cpp (%d): fd_read: length = %u, return code = %d\n", __LINE__,
                static_cast<unsigned>(piece), static_cast<int>(got));
        return ERROR_SYSTEM_CALL;
    }
    return 0;
}
