// Two naming services. Conflict renaming moves a local object aside under a new, unique,
// readable name (stem, "_computer_time_reason", optional "_n", extension) when it must not
// be overwritten. TmpNameGen hands out short random names for temporary files.
#pragma once

#include "ustring/ustring.h"

#include <cstdint>
#include <ctime>
#include <mutex>

// Reasons a local object is put aside.
#define CONFLICT_REASON "Conflict"
#define TAIL_CHARACTER_CONFLICT_REASON "TailCharacterConflict"
#define WHITE_SPACE_CONFLICT_REASON "WhiteSpaceConflict"

// A conflict name for `old_path` that does not exist yet, made with the current local time.
// Empty when every candidate is taken (the caller's rename then fails instead of
// overwriting an earlier copy).
ustring GenerateNewFileName(const ustring &old_path, const ustring &client_name,
                            const ustring &reason);
// The same with a given local time.
ustring GenerateNewFileName(const ustring &old_path, const ustring &client_name,
                            const ustring &reason, const struct tm &local_time);

// Renames `old_path` to a fresh conflict name; the rename's result (0 on success).
int ConflictRename(const ustring &old_path, const ustring &client_name, const ustring &reason);

// Renames an object whose base name ends in spaces to the trimmed name, or to a
// "WhiteSpaceConflict" name when the trimmed name is taken; the rename's result.
int WhiteSpaceConflictRename(const ustring &fullpath, const ustring &basename,
                             const ustring &clientname);

// Process-wide generator of 8-character temporary names from the alphabet
// 0-9 a-z A-Z '-' '_', seeded from a high-resolution clock. Thread-safe.
class TmpNameGen
{
public:
    static TmpNameGen *getInstance();

    ustring getTmpName();
    // prefix + "/" + getTmpName()
    ustring getTmpPath(const ustring &prefix);

    TmpNameGen(const TmpNameGen &) = delete;
    TmpNameGen &operator=(const TmpNameGen &) = delete;

private:
    TmpNameGen();
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

    uint8_t m_s_box[256];
    uint8_t m_key[256];
    uint8_t m_buffer[6];
    std::mutex m_mutex;
};
