// The content hash of one local file, kept with the file's identity and times when it
// was taken, so that a later check of the same unchanged file (for instance the conflict
// check before a download replaces it) need not read it again.
#pragma once

#include "ustring/ustring.h"

#include <atomic>
#include <cstdint>

namespace transfer
{

struct FileStamp {
    uint64_t dev = 0;
    uint64_t ino = 0;
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    bool operator==(const FileStamp &o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns &&
               ctime_ns == o.ctime_ns;
    }
};

struct HashMemo {
    ustring path;
    FileStamp stamp;
    ustring hash;
};

// Computes the MD4 (32 hexadecimal digits) of the regular file `path` into `hash`. The
// result is kept in `memo` only when the file did not change while it was read and its
// last change lies so far back that any later change shows in its times, however coarse
// the file system's clock. 0, or -1 when the file cannot be read.
int HashLocalFile(const ustring &path, HashMemo &memo, ustring &hash,
                  const std::atomic<bool> *abort_flag);

// True, with the hash, when `memo` holds `path` and the file is unchanged since.
bool RecallHash(const HashMemo &memo, const ustring &path, ustring &hash);

} // namespace transfer
