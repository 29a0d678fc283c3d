#include "client/core/transfer-hash-memo.h"

#include "rsapi-cpp/file-reader.h"

#include <sys/stat.h>
#include <time.h>

namespace transfer
{

namespace
{

// Coarser than any file system clock the folders live on (FAT keeps two-second steps).
const int64_t kClockStepNs = 2000000000LL;

int64_t Nanoseconds(const timespec &t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

bool StampOf(const ustring &path, FileStamp &stamp)
{
    struct stat st;
    if (lstat(path.c_str_utf8(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.mtime_ns = Nanoseconds(st.st_mtim);
    stamp.ctime_ns = Nanoseconds(st.st_ctim);
    return true;
}

int64_t WallClockNs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
}

} // namespace

int HashLocalFile(const ustring &path, HashMemo &memo, ustring &hash,
                  const std::atomic<bool> *abort_flag)
{
    FileStamp before;
    const bool stamped = StampOf(path, before);
    const int64_t started = WallClockNs();
    SimpleFileReader reader;
    reader.setFile(path);
    reader.setHashString(&hash);
    reader.setAbortFlag(abort_flag);
    if (reader.readFile() != 0) {
        return -1;
    }
    // A write from the start of this pass on gets a change time of at least `started` less
    // one clock step: later than a change time older than two steps, so it shows.
    FileStamp after;
    if (stamped && StampOf(path, after) && after == before &&
        before.ctime_ns + 2 * kClockStepNs < started) {
        memo.path = path;
        memo.stamp = before;
        memo.hash = hash;
    }
    return 0;
}

bool RecallHash(const HashMemo &memo, const ustring &path, ustring &hash)
{
    FileStamp now;
    if (memo.path.empty() || memo.path != path || !StampOf(path, now) || !(now == memo.stamp)) {
        return false;
    }
    hash = memo.hash;
    return true;
}

} // namespace transfer
