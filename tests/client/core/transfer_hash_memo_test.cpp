// The memo of a local file's hash: recalled only while the file is unchanged, and never
// taken for a file changed so recently that a further change could keep its times.
#include "client/core/transfer-hash-memo.h"

#include "support/temp-dir.h"
#include "support/transfer-session.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace
{

transfer::FileStamp StampNow(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(0, stat(path.c_str(), &st));
    transfer::FileStamp s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = static_cast<uint64_t>(st.st_size);
    s.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    s.ctime_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    return s;
}

TEST(TransferHashMemo, RecalledOnlyWhileTheFileIsUnchanged)
{
    TempDir dir;
    const std::string path = dir.file("f.bin");
    WriteFile(path, std::string(4096, 'a'));

    // Just written: hashed, but not kept.
    transfer::HashMemo memo;
    ustring hash;
    ASSERT_EQ(0, transfer::HashLocalFile(ustring(path), memo, hash, nullptr));
    EXPECT_EQ(Md4Of(path), std::string(hash.c_str_utf8()));
    EXPECT_TRUE(memo.path.empty());

    memo.path = ustring(path);
    memo.stamp = StampNow(path);
    memo.hash = ustring("kept");
    ustring recalled;
    ASSERT_TRUE(transfer::RecallHash(memo, ustring(path), recalled));
    EXPECT_EQ(ustring("kept"), recalled);
    EXPECT_FALSE(transfer::RecallHash(memo, ustring(dir.file("other")), recalled));

    // Same size, same modification time, other bytes: the change time gives it away.
    const struct timespec mtime = {1700000000, 0};
    const struct timespec times[2] = {mtime, mtime};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    memo.stamp = StampNow(path);
    // Past the file system clock's tick, so that the write gets another change time.
    struct timespec now;
    do {
        usleep(1000);
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
    } while (now.tv_sec * 1000000000LL + now.tv_nsec < memo.stamp.ctime_ns + 20000000LL);
    WriteFile(path, std::string(4096, 'b'));
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    EXPECT_EQ(memo.stamp.mtime_ns, StampNow(path).mtime_ns);
    EXPECT_FALSE(transfer::RecallHash(memo, ustring(path), recalled));
}

} // namespace
