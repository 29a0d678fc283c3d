#include "file-op.h"

#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>

namespace
{

ino_t InodeOf(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string LongName(size_t bytes)
{
    return std::string(bytes, 'n');
}

// Writes t/name, creating its parent directories first.
std::string Put(const TempDir &t, const std::string &name, const std::string &content)
{
    std::filesystem::create_directories(std::filesystem::path(t.file(name)).parent_path());
    return t.write(name, content);
}

// Runs `body` (which answers a bit mask of failed checks, 0 when all held) without root's
// power over permissions: as is when not root, otherwise in a child process running as
// nobody, which is given the scratch directory first.
const int kCannotDropPrivileges = 255;
template <typename Body> int AsUnprivileged(const TempDir &t, Body body)
{
    if (geteuid() != 0)
        return body();
    const uid_t nobody = 65534;
    lchown(t.path().c_str(), nobody, nobody);
    for (const auto &e : std::filesystem::recursive_directory_iterator(t.path())) {
        lchown(e.path().c_str(), nobody, nobody);
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(kCannotDropPrivileges);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(FileOpStat, TypesSizesAndMissingPaths)
{
    TempDir t;
    t.write("report.txt", "12345");
    ASSERT_EQ(0, mkdir(t.file("dir").c_str(), 0755));
    ASSERT_EQ(0, symlink(t.file("dir").c_str(), t.file("dirlink").c_str()));
    ASSERT_EQ(0, symlink(t.file("nowhere").c_str(), t.file("dangling").c_str()));
    ASSERT_EQ(0, mkfifo(t.file("fifo").c_str(), 0600));
    struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, t.file("report.txt").c_str(), times, 0));

    struct Case {
        std::string path;
        bool exists;
        FILE_TYPE type;
        uint64_t size;
    } cases[] = {
        {t.file("report.txt"), true, FT_FILE, 5},
        {t.file("dir"), true, FT_DIR, 0},
        {t.file("dir/"), true, FT_DIR, 0},
        {t.file("dirlink"), true, FT_SLINK, 0},
        {t.file("dirlink/"), true, FT_SLINK, 0}, // a trailing slash does not follow the link
        {t.file("dangling"), true, FT_SLINK, 0},
        {t.file("fifo"), true, FT_FIFO, 0},
        {t.file("Report.TXT"), false, FT_ERR, 0},
        {t.file("missing"), false, FT_ERR, 0},
        {t.file("report.txt/inner"), false, FT_ERR, 0},
        {"", false, FT_ERR, 0},
    };
    for (const Case &c : cases) {
        FILE_INFO info;
        info.isExist = !c.exists;
        ASSERT_EQ(0, FSStat(c.path, info, true)) << c.path;
        EXPECT_EQ(c.exists, info.isExist) << c.path;
        EXPECT_EQ(c.exists, IsFileExist(c.path, true)) << c.path;
        if (c.exists) {
            EXPECT_EQ(c.type, info.type) << c.path;
            EXPECT_EQ(c.size, info.size) << c.path;
        }
    }
    FILE_INFO info;
    ASSERT_EQ(0, FSStat(t.file("report.txt"), info));
    EXPECT_EQ(1600000000u, info.mtime);
}

TEST(FileOpStat, OverlongNamesAndPathsFailCleanly)
{
    TempDir t;
    std::string too_long_path = t.path();
    while (too_long_path.size() <= PATH_MAX)
        too_long_path += "/" + LongName(200);
    for (const std::string &p : {t.file(LongName(256)), too_long_path}) {
        FILE_INFO info;
        EXPECT_EQ(-1, FSStat(p, info));
        EXPECT_FALSE(info.isExist);
        EXPECT_FALSE(IsFileExist(p));
        EXPECT_EQ(-1, FSMKDirP(p));
        EXPECT_EQ(-1, FSRemove(p));
        EXPECT_EQ(-1, FSUTime(p, 0, 1));
        EXPECT_FALSE(isFileLocked(p, FS_ACCESS_READ));
    }
    EXPECT_EQ(FS_ERR_PATH_TOO_LONG, FSRename(t.write("a", "x"), t.file(LongName(256))));
    EXPECT_EQ(FS_ERR_PATH_TOO_LONG, FSRename(t.file("a"), too_long_path));
    EXPECT_EQ(FS_ERR_PATH_TOO_LONG, FSRename("", t.file("b")));
    EXPECT_TRUE(fileExists(t.file("a")));
}

TEST(FileOpMkdir, CreatesChainsAndReplacesFilesOnlyWhenForced)
{
    TempDir t;
    EXPECT_EQ(0, FSMKDir(t.file("a/b/c"), true));
    EXPECT_TRUE(IsValidSyncFolder(t.file("a/b/c")));
    EXPECT_EQ(0, FSMKDirP(t.file("a/b/c"))); // already there
    EXPECT_EQ(0, FSMKDirP("no-separator"));  // nothing to create
    EXPECT_FALSE(fileExists("no-separator"));
    EXPECT_EQ(-1, FSMKDirP(""));

    // A file in the way: as the last component and as an inner one.
    Put(t, "a/b/c/f", "data");
    EXPECT_EQ(-1, FSMKDirP(t.file("a/b/c/f")));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ(-1, FSMKDirP(t.file("a/b/c/f/g")));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_EQ("data", readFile(t.file("a/b/c/f")));
    EXPECT_EQ(0, FSMKDirP(t.file("a/b/c/f/g"), -1, true));
    EXPECT_TRUE(IsValidSyncFolder(t.file("a/b/c/f/g")));

    // A dangling link in the way is a non-directory too; forcing removes the link only.
    ASSERT_EQ(0, symlink(t.file("target").c_str(), t.file("link").c_str()));
    EXPECT_EQ(-1, FSMKDirP(t.file("link/x")));
    EXPECT_EQ(0, FSMKDirP(t.file("link/x"), -1, true));
    EXPECT_FALSE(fileExists(t.file("target")));

    // Single directory: an existing directory is fine, an existing file is not.
    EXPECT_EQ(0, FSMKDir(t.file("a"), false));
    EXPECT_EQ(-1, FSMKDir(t.file("nope/x"), false)); // parent missing
    t.write("plain", "x");
    EXPECT_EQ(-1, FSMKDir(t.file("plain"), false));
}

TEST(FileOpRename, ReplacesAnExistingTargetAtomically)
{
    TempDir t;
    const std::string target = t.write("target", "old");
    std::atomic<bool> done{false};
    std::atomic<int> missing{0};
    std::thread reader([&] {
        while (!done) {
            int fd = open(target.c_str(), O_RDONLY);
            if (fd < 0) {
                ++missing;
            } else {
                close(fd);
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        const std::string src = t.write("src", "new" + std::to_string(i));
        ino_t src_inode = InodeOf(src);
        ASSERT_EQ(0, FSRename(src, target));
        ASSERT_EQ(src_inode, InodeOf(target));
    }
    done = true;
    reader.join();
    EXPECT_EQ(0, missing.load());
    EXPECT_EQ("new199", readFile(target));
    EXPECT_FALSE(fileExists(t.file("src")));
    EXPECT_EQ(-1, FSRename(t.file("src"), target)); // source gone
}

TEST(FileOpRemove, RemovesTreesWithoutFollowingLinksOut)
{
    TempDir t;
    Put(t, "outside/keep", "precious");
    Put(t, "tree/a/b/file", "x");
    t.write("tree/top", "y");
    ASSERT_EQ(0, symlink(t.file("outside").c_str(), t.file("tree/a/link-to-outside").c_str()));
    ASSERT_EQ(0, symlink(t.file("outside/keep").c_str(), t.file("tree/file-link").c_str()));
    ASSERT_EQ(0, symlink(t.file("nowhere").c_str(), t.file("tree/a/b/dangling").c_str()));
    ASSERT_EQ(0, mkfifo(t.file("tree/fifo").c_str(), 0600));

    EXPECT_EQ(0, FSRemove(t.file("tree"), false));
    EXPECT_FALSE(fileExists(t.file("tree")));
    EXPECT_EQ("precious", readFile(t.file("outside/keep")));

    // A link given directly (with or without a trailing slash) goes, its target stays.
    ASSERT_EQ(0, symlink(t.file("outside").c_str(), t.file("dirlink").c_str()));
    ASSERT_EQ(0, symlink(t.file("outside").c_str(), t.file("dirlink2").c_str()));
    ASSERT_EQ(0, symlink(t.file("nowhere").c_str(), t.file("dangling").c_str()));
    EXPECT_EQ(0, FSRemove(t.file("dirlink"), false));
    EXPECT_EQ(0, FSRemove(t.file("dirlink2") + "/", false));
    EXPECT_EQ(0, FSRemove(t.file("dangling"), false));
    EXPECT_FALSE(fileExists(t.file("dirlink")));
    EXPECT_FALSE(fileExists(t.file("dirlink2")));
    EXPECT_FALSE(fileExists(t.file("dangling")));
    EXPECT_EQ("precious", readFile(t.file("outside/keep")));

    EXPECT_EQ(0, FSRemove(t.file("missing"), false));
    EXPECT_EQ(-1, FSRemove("", false));
    EXPECT_EQ(-1, FSRemove(t.file("outside/.."), false));
    EXPECT_EQ(-1, FSRemove(t.file("outside/."), false));
    EXPECT_TRUE(fileExists(t.file("outside/keep")));
    EXPECT_EQ(0, FSRemove(t.file("outside/keep"), false));
    EXPECT_FALSE(fileExists(t.file("outside/keep")));
}

TEST(FileOpRemove, NeverCrossesIntoAnotherMountedFileSystem)
{
    TempDir t;
    Put(t, "tree/mnt/.keep", "");
    Put(t, "tree/file", "x");
    struct Mount {
        std::string at;
        bool ok;
        explicit Mount(const std::string &dir)
            : at(dir), ok(mount("tmpfs", dir.c_str(), "tmpfs", 0, nullptr) == 0)
        {
        }
        ~Mount()
        {
            if (ok)
                umount2(at.c_str(), MNT_DETACH);
        }
    } mnt(t.file("tree/mnt"));
    if (!mnt.ok)
        GTEST_SKIP() << "cannot mount here";
    Put(t, "tree/mnt/on-other-fs", "precious");
    EXPECT_EQ(-1, FSRemove(t.file("tree"), false));
    EXPECT_EQ("precious", readFile(t.file("tree/mnt/on-other-fs")));
    EXPECT_FALSE(fileExists(t.file("tree/file")));
}

TEST(FileOpRemove, FailureInsideTreeIsReportedAndKeepsTheRest)
{
    TempDir t;
    Put(t, "tree/locked/file", "x");
    ASSERT_EQ(0, chmod(t.file("tree/locked").c_str(), 0500));
    int failed = AsUnprivileged(t, [&] {
        return (FSRemove(t.file("tree"), false) == -1 ? 0 : 1) |
               (fileExists(t.file("tree/locked/file")) ? 0 : 2);
    });
    if (failed == kCannotDropPrivileges)
        GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(0, failed);
}

TEST(FileOpUTime, SetsModificationTimeOnlyAndNeverFollowsLinks)
{
    TempDir t;
    const std::string f = t.write("f", "x");
    struct timespec times[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, f.c_str(), times, 0));
    ASSERT_EQ(0, FSUTime(f, 1, 1700000000));
    struct stat st;
    ASSERT_EQ(0, stat(f.c_str(), &st));
    EXPECT_EQ(1700000000, st.st_mtime);
    EXPECT_EQ(1500000000, st.st_atime);

    ASSERT_EQ(0, symlink(f.c_str(), t.file("link").c_str()));
    ASSERT_EQ(0, FSUTime(t.file("link"), 0, 1600000000));
    ASSERT_EQ(0, stat(f.c_str(), &st));
    EXPECT_EQ(1700000000, st.st_mtime);

    EXPECT_EQ(-1, FSUTime(t.file("missing"), 0, 1));
    EXPECT_EQ(-1, FSUTime("", 0, 1));
}

// A child process that holds an fcntl lock of `type` on `path` until killed.
class LockHolder
{
public:
    LockHolder(const std::string &path, short type)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            int fd = open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
            struct flock fl = {};
            fl.l_type = type;
            fl.l_whence = SEEK_SET;
            char ok = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? '1' : '0';
            (void)!write(ready[1], &ok, 1);
            for (;;)
                pause();
        }
        char ok = '0';
        (void)!read(ready[0], &ok, 1);
        m_locked = ok == '1';
        close(ready[0]);
        close(ready[1]);
    }
    ~LockHolder()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool locked() const { return m_locked; }

private:
    pid_t m_pid = -1;
    bool m_locked = false;
};

TEST(FileOpLock, ConflictingLocksOfOtherProcessesMeanLocked)
{
    TempDir t;
    const std::string f = t.write("f", "content");
    const uint32_t kRead = FS_ACCESS_READ;
    const uint32_t kReadWriteDelete = FS_ACCESS_READ | FS_ACCESS_WRITE | FS_ACCESS_DELETE;
    const uint32_t kWriteDelete = FS_ACCESS_WRITE | FS_ACCESS_DELETE;

    EXPECT_FALSE(isFileLocked(f, kRead));
    EXPECT_FALSE(isFileLocked(f, kReadWriteDelete));
    {
        LockHolder holder(f, F_WRLCK);
        ASSERT_TRUE(holder.locked());
        EXPECT_TRUE(isFileLocked(f, kRead));
        EXPECT_TRUE(isFileLocked(f, kReadWriteDelete));
    }
    {
        LockHolder holder(f, F_RDLCK);
        ASSERT_TRUE(holder.locked());
        EXPECT_FALSE(isFileLocked(f, kRead));
        EXPECT_TRUE(isFileLocked(f, kWriteDelete));
    }
    EXPECT_FALSE(isFileLocked(f, kReadWriteDelete));
    EXPECT_EQ("content", readFile(f)); // a write test must not truncate
    EXPECT_FALSE(isFileLocked(t.file("missing"), kRead));
    EXPECT_FALSE(isFileLocked("", kRead));
}

TEST(FileOpLock, DeniedAccessMeansLocked)
{
    TempDir t;
    const std::string f = t.write("f", "content");
    const std::string g = Put(t, "ro/g", "content");
    ASSERT_EQ(0, chmod(f.c_str(), 0400));
    ASSERT_EQ(0, chmod(t.file("ro").c_str(), 0500));
    int failed = AsUnprivileged(t, [&] {
        return (isFileLocked(f, FS_ACCESS_READ) ? 1 : 0) |
               (isFileLocked(f, FS_ACCESS_READ | FS_ACCESS_WRITE) ? 0 : 2) |
               (isFileLocked(g, FS_ACCESS_READ | FS_ACCESS_WRITE) ? 4 : 0) |
               (isFileLocked(g, FS_ACCESS_WRITE | FS_ACCESS_DELETE) ? 0 : 8); // cannot unlink
    });
    if (failed == kCannotDropPrivileges)
        GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(0, failed);
}

TEST(FileOpTemp, MktempCreatesFreshFilesAndTempPathOnlyNames)
{
    TempDir t;
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        ustring path;
        ASSERT_EQ(0, FSMktemp(t.path(), path));
        std::string p = path.c_str_utf8();
        ASSERT_EQ(t.path() + "/", p.substr(0, t.path().size() + 1));
        EXPECT_EQ(8u, p.size() - t.path().size() - 1);
        EXPECT_TRUE(fileExists(p));
        EXPECT_TRUE(seen.insert(p).second);
    }
    ustring untouched("keep");
    EXPECT_EQ(-1, FSMktemp(t.file("missing-dir"), untouched));
    EXPECT_EQ(ustring("keep"), untouched);
    EXPECT_EQ(-1, FSMktemp("", untouched)); // never at the root of the file system
    EXPECT_EQ(ustring("keep"), untouched);

    ustring name;
    ASSERT_EQ(0, FSCreateTempPath("", name));
    EXPECT_EQ(9u, name.length());
    EXPECT_EQ('/', name[0]);
    ASSERT_EQ(0, FSCreateTempPath(t.path(), name));
    EXPECT_FALSE(fileExists(name.c_str_utf8()));
}

TEST(FileOpDir, EnumeratesEntriesWithOptionalTimesAndSizes)
{
    TempDir t;
    Put(t, "d/file", "12345");
    ASSERT_EQ(0, mkdir(t.file("d/sub").c_str(), 0755));
    ASSERT_EQ(0, symlink("file", t.file("d/link").c_str()));

    for (int flag : {0, 1}) {
        DIR_HANDLE dh;
        ASSERT_EQ(0, FSOpenDir(t.file("d"), flag, dh));
        std::map<std::string, DIR_ENTRY> entries;
        DIR_ENTRY e;
        int rc;
        while ((rc = FSReadDir(dh, e)) == 1)
            entries[e.name.c_str_utf8()] = e;
        EXPECT_EQ(0, rc);
        FSCloseDir(dh);
        ASSERT_EQ(5u, entries.size());
        EXPECT_EQ(FT_DIR, entries["."].type);
        EXPECT_EQ(FT_DIR, entries[".."].type);
        EXPECT_EQ(FT_DIR, entries["sub"].type);
        EXPECT_EQ(FT_SLINK, entries["link"].type);
        EXPECT_EQ(FT_FILE, entries["file"].type);
        EXPECT_EQ(flag ? 5u : 0u, entries["file"].size);
        EXPECT_EQ(0u, entries["sub"].size);
        EXPECT_EQ(flag != 0, entries["file"].mtime != 0);
    }
    DIR_HANDLE missing;
    FSOpenDir(t.file("missing"), 0, missing);
    DIR_ENTRY e;
    EXPECT_EQ(-1, FSReadDir(missing, e));
    DIR_HANDLE file;
    FSOpenDir(t.file("d/file"), 0, file);
    EXPECT_EQ(-1, FSReadDir(file, e));
}

TEST(FileOpPolicy, OnlyRealDirectoriesAreSyncFolders)
{
    TempDir t;
    ASSERT_EQ(0, mkdir(t.file("dir").c_str(), 0755));
    ASSERT_EQ(0, symlink(t.file("dir").c_str(), t.file("link").c_str()));
    t.write("file", "x");
    const struct {
        std::string path;
        bool valid;
    } cases[] = {
        {t.file("dir"), true},
        {t.file("dir/"), true},
        {t.file("link"), false},
        {t.file("link/"), false},
        {t.file("file"), false},
        {t.file("missing"), false},
        {"", false},
        {"/dev/null", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.valid, IsValidSyncFolder(c.path)) << c.path;
    }
    EXPECT_FALSE(IsMSDOS("relative/path"));
    EXPECT_FALSE(IsMSDOS(t.file("missing")));
}

} // namespace
