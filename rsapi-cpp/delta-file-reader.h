// Applies a delta to a basis file; the result feeds the reader's handlers (a copy
// into the new file, its MD4, its signature) in the same pass.
#ifndef AEROLITH_RSAPI_DELTA_FILE_READER_H
#define AEROLITH_RSAPI_DELTA_FILE_READER_H

#include <cstdint>
#include <string>

#include "rsapi-cpp/file-reader.h"
#include "rsapi-cpp/xio.h"

// One command of a delta: a stretch of the basis to copy, or literal bytes that
// follow the command in the delta (start is then their position in the delta).
struct PatchCommand {
    uint64_t start = 0;
    uint64_t length = 0;
    bool is_literal = false;
};

class DeltaFileReader : public FileReader
{
public:
    void setFile(const ustring &patch, const ustring &basis)
    {
        patch_file = patch.c_str_utf8();
        basis_file = basis.c_str_utf8();
    }
    void setNewFile(const ustring &path) { setCopyHandler(path); }
    void setHashString(ustring *text) { setMD4HashHandler(text); }
    void setSignature(const ustring &path, uint32_t block_size, uint32_t hash_size)
    {
        setSignatureHandler(path, block_size, hash_size);
    }

    int readFile() override;

private:
    int applyCommands();
    int readCommand(PatchCommand *cmd, bool *end_seen);
    int copyFromBasis(uint64_t start, uint64_t length);
    int copyLiteral(uint64_t length);
    int readBasis(uint64_t start, uint8_t *dst, size_t piece);
    template <class Fill> int fillWork(uint64_t length, Fill fill);
    int flushOutput(bool last);

    std::string patch_file;
    std::string basis_file;
    fd_t patch_fd;
    fd_bio_t patch_bio;
    uint64_t patch_offset = 0;
    fd_t basis_fd;
    uint64_t basis_position = 0;
    std::unique_ptr<uint8_t[]> work;
    std::unique_ptr<uint8_t[]> spare;
    size_t work_size = 0;
    bool in_flight = false;
};

#endif
