// File-system layer on Linux: examine, create, move, remove (optionally into the user's
// freedesktop.org trash), touch, lock-test and enumerate local paths.
//
// Two rules hold throughout: a symbolic link is looked at itself (lstat, O_NOFOLLOW,
// AT_SYMLINK_NOFOLLOW), and removals work on directory descriptors, so a link or a mount
// inside a tree is never followed out of it.
#include "file-op.h"

#include "conflict-rename.h"
#include "log.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#ifndef FS_CASEFOLD_FL
#define FS_CASEFOLD_FL 0x40000000
#endif
#ifndef EXFAT_SUPER_MAGIC
#define EXFAT_SUPER_MAGIC 0x2011BAB0
#endif

namespace
{

const char kComponent[] = "file_op_debug";

std::mutex g_rename_mutex;
std::mutex g_trash_mutex;

// A path without trailing slashes ("/" stays "/"). A trailing slash would make lstat and
// open follow a symbolic link in the last component.
std::string StripTrailingSlashes(const ustring &path)
{
    std::string p(path.c_str_utf8(), path.length());
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    return p;
}

std::string ParentOf(const std::string &p)
{
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : p.substr(0, slash);
}

std::string BaseNameOf(const std::string &p)
{
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

FILE_TYPE TypeFromMode(mode_t mode)
{
    if (S_ISREG(mode))
        return FT_FILE;
    if (S_ISDIR(mode))
        return FT_DIR;
    if (S_ISLNK(mode))
        return FT_SLINK;
    if (S_ISFIFO(mode))
        return FT_FIFO;
    if (S_ISSOCK(mode))
        return FT_SOCK;
    return FT_ERR; // character and block devices
}

uint32_t ClampTime(time_t t)
{
    if (t < 0)
        return 0;
    if (static_cast<unsigned long long>(t) > UINT32_MAX)
        return UINT32_MAX;
    return static_cast<uint32_t>(t);
}

// True when names in `dir` are looked up without regard to letter case: FAT, exFAT and
// SMB mounts, and case-folded directories of ext4, f2fs and tmpfs.
bool IsCaseInsensitiveDir(const std::string &dir)
{
    struct statfs sfs;
    if (statfs(dir.c_str(), &sfs) != 0) {
        return false;
    }
    switch (static_cast<uint32_t>(sfs.f_type)) {
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
    case 0xFF534D42u: // CIFS
    case 0xFE534D42u: // SMB2
        return true;
    case EXT4_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        break;
    default:
        return false;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool folded = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
    close(fd);
    return folded;
}

// The name with the case of every ASCII letter swapped.
std::string SwapAsciiCase(const std::string &name)
{
    std::string out = name;
    for (char &c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// True when looking `p` up may have ignored letter case. Usually one lstat answers it:
// where a differently-cased spelling leads to the same object, lookups fold case. Names
// without ASCII letters ask the file system instead.
bool LookupMayFoldCase(const std::string &dir, const std::string &name, const struct stat &st)
{
    const std::string swapped = SwapAsciiCase(name);
    if (swapped == name) {
        return IsCaseInsensitiveDir(dir);
    }
    struct stat other;
    const std::string other_path = dir == "/" ? "/" + swapped : dir + "/" + swapped;
    return lstat(other_path.c_str(), &other) == 0 && other.st_ino == st.st_ino &&
           other.st_dev == st.st_dev;
}

// True when the directory holding `p` (examined as `st`) has an entry spelled exactly like
// its last component. Only case-folding directories need the scan; elsewhere the lookup
// itself was exact.
bool NameMatchesExactly(const std::string &p, const struct stat &st)
{
    std::string dir = ParentOf(p);
    std::string name = BaseNameOf(p);
    if (name.empty() || name == "." || name == ".." || !LookupMayFoldCase(dir, name, st)) {
        return true;
    }
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return true;
    }
    bool found = false;
    while (struct dirent *ent = readdir(d)) {
        if (name == ent->d_name) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// lstat with the "missing" answers told apart from real failures: 1 exists, 0 missing,
// -1 failure (errno set).
int LstatPath(const std::string &p, struct stat &st)
{
    if (lstat(p.c_str(), &st) == 0) {
        return 1;
    }
    return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
}

void SyncDirectory(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (fsync(fd) != 0 && errno != EINVAL) {
        Logger::LogMsg(
            Logger::L_WARNING, kComponent,
            "[WARNING] file-op-linux.cpp(%d): FSRename: fsync of '%s' failed, error code %d\n",
            __LINE__, dir.c_str(), errno);
    }
    close(fd);
}

// ---------------------------------------------------------------------------------------
// Recursive removal

// Names of the entries of an open directory, "." and ".." left out. -1 on a read error.
int ListNames(DIR *d, std::vector<std::string> &names)
{
    errno = 0;
    while (struct dirent *ent = readdir(d)) {
        if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0) {
            names.emplace_back(ent->d_name);
        }
        errno = 0;
    }
    return errno == 0 ? 0 : -1;
}

int RemoveContents(int dirfd, dev_t dev);

// Removes the entry `name` of the directory `dirfd`: a sub-directory with its contents,
// anything else (a link included) by unlinking the name. -1 on any failure.
int RemoveEntry(int dirfd, dev_t dev, const std::string &name)
{
    int child = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
        if (errno != ENOTDIR && errno != ELOOP) {
            Logger::LogMsg(
                Logger::L_ERR, kComponent,
                "[ERROR] file-op-linux.cpp(%d): RemoveDirectoryRecursive: error code %d\n",
                __LINE__, errno);
            return -1;
        }
        if (unlinkat(dirfd, name.c_str(), 0) != 0 && errno != ENOENT) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] file-op-linux.cpp(%d): unlink: error code %d\n", __LINE__,
                           errno);
            return -1;
        }
        return 0;
    }
    int result = RemoveContents(child, dev); // closes `child`
    if (unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): rmdir: error code %d\n", __LINE__, errno);
        result = -1;
    }
    return result;
}

// Empties the directory open as `dirfd` and closes it. A directory on another device (a
// mount point inside the tree) is left alone and fails the removal.
int RemoveContents(int dirfd, dev_t dev)
{
    struct stat st;
    if (fstat(dirfd, &st) != 0 || st.st_dev != dev) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): RemoveDirectoryRecursive: error code %d\n",
                       __LINE__, EXDEV);
        close(dirfd);
        return -1;
    }
    DIR *d = fdopendir(dirfd);
    if (d == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): RemoveDirectoryRecursive: error code %d\n",
                       __LINE__, errno);
        close(dirfd);
        return -1;
    }
    // All names are read before anything is deleted: deleting while reading may skip
    // entries on some file systems.
    std::vector<std::string> names;
    int result = 0;
    if (ListNames(d, names) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): RemoveDirectoryRecursive: error code %d\n",
                       __LINE__, errno);
        result = -1;
    }
    for (const std::string &name : names) {
        if (RemoveEntry(::dirfd(d), dev, name) != 0) {
            result = -1;
        }
    }
    closedir(d);
    return result;
}

int RemoveDirectoryRecursive(const std::string &p)
{
    int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): RemoveDirectoryRecursive: error code %d\n",
                       __LINE__, errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    int result = RemoveContents(fd, st.st_dev);
    if (rmdir(p.c_str()) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): rmdir: error code %d\n", __LINE__, errno);
        result = -1;
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Trash (freedesktop.org): Trash/files/NAME holds the object, Trash/info/NAME.trashinfo
// tells where it came from and when it was deleted.

enum TrashResult { TRASH_DONE = 0, TRASH_UNAVAILABLE = 1, TRASH_FAILED = -1 };

std::string HomeDirectory()
{
    const char *home = getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    struct passwd pw;
    struct passwd *found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof(buf), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return std::string();
}

// $XDG_DATA_HOME/Trash, or ~/.local/share/Trash; empty when neither can be named.
std::string TrashDirectory()
{
    const char *data_home = getenv("XDG_DATA_HOME");
    if (data_home != nullptr && data_home[0] == '/') {
        return std::string(data_home) + "/Trash";
    }
    std::string home = HomeDirectory();
    return home.empty() ? std::string() : home + "/.local/share/Trash";
}

int MakePrivateDir(const std::string &dir)
{
    if (mkdir(dir.c_str(), 0700) == 0) {
        return 0;
    }
    struct stat st;
    return (errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : -1;
}

std::string PercentEncode(const std::string &s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Cuts `name` to at most `max` bytes without splitting a UTF-8 sequence.
std::string TruncateUtf8(const std::string &name, size_t max)
{
    if (name.size() <= max) {
        return name;
    }
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) {
        --n;
    }
    return name.substr(0, n);
}

std::string TrashInfoText(const std::string &abs_path)
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char date[80];
    snprintf(date, sizeof(date), "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return "[Trash Info]\nPath=" + PercentEncode(abs_path) + "\nDeletionDate=" + date + "\n";
}

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Moves `p` to files/`name` unless that name is taken: 1 moved, 0 taken, -1 failure
// (errno set).
int MoveIntoTrash(const std::string &p, int files_fd, const std::string &name)
{
    if (renameat2(AT_FDCWD, p.c_str(), files_fd, name.c_str(), RENAME_NOREPLACE) == 0) {
        return 1;
    }
    if (errno == EEXIST) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // The file system cannot refuse to replace: look first, then move.
    struct stat st;
    if (fstatat(files_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return 0;
    }
    return renameat(AT_FDCWD, p.c_str(), files_fd, name.c_str()) == 0 ? 1 : -1;
}

struct TrashDirs {
    int files_fd = -1;
    int info_fd = -1;
    ~TrashDirs()
    {
        if (files_fd >= 0)
            close(files_fd);
        if (info_fd >= 0)
            close(info_fd);
    }
};

int OpenTrash(TrashDirs &dirs)
{
    std::string trash = TrashDirectory();
    if (trash.empty() || FSMKDirP(ParentOf(trash)) != 0 || MakePrivateDir(trash) != 0 ||
        MakePrivateDir(trash + "/files") != 0 || MakePrivateDir(trash + "/info") != 0) {
        return -1;
    }
    dirs.files_fd = open((trash + "/files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    dirs.info_fd = open((trash + "/info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return (dirs.files_fd < 0 || dirs.info_fd < 0) ? -1 : 0;
}

TrashResult MoveToTrash(const std::string &p, int &error)
{
    TrashDirs dirs;
    if (OpenTrash(dirs) != 0) {
        return TRASH_UNAVAILABLE;
    }
    std::string abs_path = p;
    if (p[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) == nullptr) {
            return TRASH_UNAVAILABLE;
        }
        abs_path = std::string(cwd) + "/" + p;
    }
    const std::string info_text = TrashInfoText(abs_path);
    // Leave room for ".NNNN" and ".trashinfo" within one file name.
    const std::string base = TruncateUtf8(BaseNameOf(p), NAME_MAX - 15);
    for (int n = 1; n <= 1000; ++n) {
        std::string name = n == 1 ? base : base + "." + std::to_string(n);
        std::string info_name = name + ".trashinfo";
        int fd = openat(dirs.info_fd, info_name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return TRASH_UNAVAILABLE;
        }
        bool written = WriteAll(fd, info_text);
        close(fd);
        if (!written) {
            unlinkat(dirs.info_fd, info_name.c_str(), 0);
            return TRASH_UNAVAILABLE;
        }
        int moved = MoveIntoTrash(p, dirs.files_fd, name);
        if (moved == 1) {
            return TRASH_DONE;
        }
        error = errno;
        unlinkat(dirs.info_fd, info_name.c_str(), 0);
        if (moved < 0) {
            return error == EXDEV ? TRASH_UNAVAILABLE : TRASH_FAILED;
        }
    }
    error = EEXIST;
    return TRASH_FAILED;
}

bool IsRemovablePath(const std::string &p)
{
    std::string name = BaseNameOf(p);
    return p != "/" && name != "." && name != "..";
}

// ---------------------------------------------------------------------------------------
// Directory chains

// Makes sure the prefix `p` of a chain is a directory. 0 when it is or was created; 1 when
// a non-directory blocks it and may not be replaced (errno set); -1 when creation failed.
int EnsureDirectory(const std::string &p, bool force, bool is_last)
{
    struct stat st;
    bool blocked = false;
    if (stat(p.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return 0;
        }
        blocked = true;
    } else if (errno == ENOENT && lstat(p.c_str(), &st) == 0) {
        blocked = true; // a dangling symbolic link
    }
    if (blocked) {
        if (!force) {
            errno = is_last ? EEXIST : ENOTDIR;
            return 1;
        }
        unlink(p.c_str()); // only the name goes, never a link's target
    }
    if (mkdir(p.c_str(), 0777) == 0 ||
        (errno == EEXIST && stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] file-op-linux.cpp(%d): FSMKDirP: %s\n",
                       __LINE__, p.c_str());
        return 0;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] file-op-linux.cpp(%d): FSMKDirP fail: %s\n", __LINE__, p.c_str());
    return -1;
}

FILE_TYPE EntryType(int dirfd, const struct dirent *ent)
{
    switch (ent->d_type) {
    case DT_REG:
        return FT_FILE;
    case DT_DIR:
        return FT_DIR;
    case DT_LNK:
        return FT_SLINK;
    case DT_FIFO:
        return FT_FIFO;
    case DT_SOCK:
        return FT_SOCK;
    case DT_CHR:
    case DT_BLK:
        return FT_ERR;
    default:
        break;
    }
    struct stat st;
    if (fstatat(dirfd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return FT_ERR;
    }
    return TypeFromMode(st.st_mode);
}

} // namespace

// ---------------------------------------------------------------------------------------

bool IsFileExist(const ustring &path, bool do_case_check)
{
    if (path.empty()) {
        return false;
    }
    std::string p = StripTrailingSlashes(path);
    struct stat st;
    int found = LstatPath(p, st);
    if (found < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] file-op-linux.cpp(%d): lstat: %d\n",
                       __LINE__, errno);
    }
    if (found <= 0) {
        return false;
    }
    return !do_case_check || NameMatchesExactly(p, st);
}

int FSStat(const ustring &path, FILE_INFO &info, bool do_case_check)
{
    info.path = path;
    info.type = FT_ERR;
    info.mtime = 0;
    info.size = 0;
    info.isExist = false;
    if (path.empty()) {
        return 0;
    }
    std::string p = StripTrailingSlashes(path);
    struct stat st;
    int found = LstatPath(p, st);
    if (found < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): FSStat: Failed on %s. Error code %d\n",
                       __LINE__, path.c_str_utf8(), errno);
        return -1;
    }
    if (found == 0 || (do_case_check && !NameMatchesExactly(p, st))) {
        return 0;
    }
    info.isExist = true;
    info.type = TypeFromMode(st.st_mode);
    info.mtime = ClampTime(st.st_mtime);
    // Only regular files have a content size; directories and links count as 0.
    info.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return 0;
}

int FSMKDir(const ustring &path, bool isCreateParent)
{
    if (isCreateParent) {
        return FSMKDirP(path, -1, false);
    }
    if (path.empty()) {
        return -1;
    }
    struct stat st;
    if (mkdir(path.c_str_utf8(), 0777) == 0 ||
        (errno == EEXIST && stat(path.c_str_utf8(), &st) == 0 && S_ISDIR(st.st_mode))) {
        return 0;
    }
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] file-op-linux.cpp(%d): FSMKDirP: error code %d\n", __LINE__, errno);
    return -1;
}

int FSMKDirP(const ustring &path, int /*endptr*/, bool blForceCreate, uint32_t /*uid*/,
             uint32_t /*gid*/, uint32_t /*mode*/)
{
    if (path.empty()) {
        return -1;
    }
    const std::string p(path.c_str_utf8(), path.length());
    size_t first = p.find('/');
    if (first == std::string::npos || first + 1 >= p.size()) {
        return 0;
    }
    int result = 0;
    size_t next = first;
    while (next != std::string::npos) {
        next = p.find('/', next + 1);
        size_t end = next == std::string::npos ? p.size() : next;
        bool is_last = end >= p.size();
        int rc = EnsureDirectory(p.substr(0, end), blForceCreate, is_last);
        if (rc > 0) {
            return -1;
        }
        if (rc < 0) {
            result = -1;
        }
    }
    return result;
}

int FSRename(const ustring &from, const ustring &to, bool /*do_case_check*/)
{
    if (from.empty() || to.empty()) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): FSRename: error code %d\n", __LINE__,
                       ENOENT);
        return FS_ERR_PATH_TOO_LONG;
    }
    {
        std::lock_guard<std::mutex> guard(g_rename_mutex);
        if (rename(from.c_str_utf8(), to.c_str_utf8()) != 0) {
            int error = errno;
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] file-op-linux.cpp(%d): FSRename: error code %d\n", __LINE__,
                           error);
            return error == ENAMETOOLONG ? FS_ERR_PATH_TOO_LONG : -1;
        }
    }
    // Write-through: the new directory entries reach the disk before we answer.
    const std::string to_dir = ParentOf(StripTrailingSlashes(to));
    const std::string from_dir = ParentOf(StripTrailingSlashes(from));
    SyncDirectory(to_dir);
    if (from_dir != to_dir) {
        SyncDirectory(from_dir);
    }
    return 0;
}

int FSRemove(const ustring &path, bool allowundo)
{
    if (path.empty()) {
        return -1;
    }
    const std::string p = StripTrailingSlashes(path);
    if (!IsRemovablePath(p)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): FSRemove: failed on %s. error code %d\n",
                       __LINE__, path.c_str_utf8(), EINVAL);
        return -1;
    }
    FILE_INFO info;
    if (FSStat(ustring(p), info, true) != 0) {
        return -1;
    }
    if (!info.isExist) {
        return 0;
    }
    if (allowundo) {
        std::lock_guard<std::mutex> guard(g_trash_mutex);
        int error = 0;
        TrashResult r = MoveToTrash(p, error);
        if (r == TRASH_DONE) {
            return 0;
        }
        if (r == TRASH_FAILED) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] file-op-linux.cpp(%d): rename fail: %s %s  errno:%d   return "
                           "code: %d=%x\n",
                           __LINE__, path.c_str_utf8(), TrashDirectory().c_str(), error, error,
                           static_cast<unsigned>(error));
            return FS_ERR_TRASH;
        }
        // No trash can be used here (none configured, or another file system): delete.
    }
    if (info.type == FT_DIR) {
        return RemoveDirectoryRecursive(p);
    }
    if (unlink(p.c_str()) != 0 && errno != ENOENT) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): FSRemove: failed on %s. error code %d\n",
                       __LINE__, path.c_str_utf8(), errno);
        return -1;
    }
    return 0;
}

int FSUTime(const ustring &path, time_t /*atime*/, time_t mtime)
{
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = mtime;
    times[1].tv_nsec = 0;
    if (path.empty() ||
        utimensat(AT_FDCWD, StripTrailingSlashes(path).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): FSUTime: error code %d\n", __LINE__,
                       path.empty() ? ENOENT : errno);
        return -1;
    }
    return 0;
}

bool isFileLocked(const ustring &path, uint32_t flag)
{
    if (path.empty()) {
        return false;
    }
    const std::string p = StripTrailingSlashes(path);
    const bool want_read = (flag & (FS_ACCESS_READ | 0x10000000u)) != 0;
    const bool want_write = (flag & (FS_ACCESS_WRITE | 0x10000000u)) != 0;
    const bool want_delete = (flag & FS_ACCESS_DELETE) != 0;
    int mode = want_write ? (want_read ? O_RDWR : O_WRONLY) : O_RDONLY;
    int fd = open(p.c_str(), mode | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == EACCES || errno == EPERM || errno == ETXTBSY;
    }
    bool locked = false;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // Another process's record lock that conflicts with the access we would take.
        struct flock fl;
        memset(&fl, 0, sizeof(fl));
        fl.l_type = (want_write || want_delete) ? F_WRLCK : F_RDLCK;
        fl.l_whence = SEEK_SET;
        locked = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    }
    close(fd);
    if (!locked && want_delete && access(ParentOf(p).c_str(), W_OK | X_OK) != 0) {
        locked = errno == EACCES || errno == EPERM;
    }
    return locked;
}

int FSCreateTempPath(const ustring &prefix, ustring &path)
{
    ustring candidate = TmpNameGen::getInstance()->getTmpPath(prefix);
    if (candidate.empty()) {
        return -1;
    }
    path = candidate;
    return 0;
}

int FSMktemp(const ustring &prefix, ustring &path)
{
    // A generated name can collide with an existing file; O_EXCL notices and we draw again.
    // An empty prefix would create the file at the root of the file system.
    for (int attempt = 0; attempt < 16 && !prefix.empty(); ++attempt) {
        ustring candidate = TmpNameGen::getInstance()->getTmpPath(prefix);
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] file-op-linux.cpp(%d): FSMktemp: prefix [%s], path[%s]\n", __LINE__,
                       prefix.c_str_utf8(), candidate.c_str_utf8());
        if (candidate.empty()) {
            break;
        }
        int fd = open(candidate.c_str_utf8(),
                      O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            path = candidate;
            return 0;
        }
        if (errno != EEXIST) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] file-op-linux.cpp(%d): FSMktemp: open %s, error code %d\n",
                           __LINE__, candidate.c_str_utf8(), errno);
            return -1;
        }
    }
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] file-op-linux.cpp(%d): FSMktemp failed.\n",
                   __LINE__);
    return -1;
}

// ---------------------------------------------------------------------------------------
// Enumeration

DIR_HANDLE::DIR_HANDLE(DIR_HANDLE &&other) noexcept
    : path(std::move(other.path)), flag(other.flag), handle(other.handle)
{
    other.handle = nullptr;
}

DIR_HANDLE &DIR_HANDLE::operator=(DIR_HANDLE &&other) noexcept
{
    if (this != &other) {
        FSCloseDir(*this);
        path = std::move(other.path);
        flag = other.flag;
        handle = other.handle;
        other.handle = nullptr;
    }
    return *this;
}

DIR_HANDLE::~DIR_HANDLE()
{
    FSCloseDir(*this);
}

int FSOpenDir(const ustring &path, int flag, DIR_HANDLE &dh)
{
    FSCloseDir(dh);
    dh.path = path;
    dh.flag = flag;
    return 0;
}

int FSReadDir(DIR_HANDLE &dh, DIR_ENTRY &entry)
{
    if (dh.handle == nullptr) {
        if (dh.path.empty() || (dh.handle = opendir(dh.path.c_str_utf8())) == nullptr) {
            return -1;
        }
    }
    for (;;) {
        errno = 0;
        struct dirent *ent = readdir(dh.handle);
        if (ent == nullptr) {
            return errno == 0 ? 0 : -1;
        }
        entry.name = ent->d_name;
        entry.type = EntryType(dirfd(dh.handle), ent);
        entry.mtime = 0;
        entry.size = 0;
        if ((dh.flag & 1) == 0) {
            return 1;
        }
        struct stat st;
        if (fstatat(dirfd(dh.handle), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone since it was listed
            return -1;
        }
        entry.type = TypeFromMode(st.st_mode);
        entry.mtime = ClampTime(st.st_mtime);
        entry.size = entry.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
        return 1;
    }
}

void FSCloseDir(DIR_HANDLE &dh)
{
    if (dh.handle != nullptr) {
        closedir(dh.handle);
        dh.handle = nullptr;
    }
}

// ---------------------------------------------------------------------------------------

bool IsMSDOS(const ustring &path)
{
    if (path.empty() || path[0] != '/') {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): IsSupportLargeFile: Invalid path (%s)\n",
                       __LINE__, path.c_str_utf8());
        return false;
    }
    struct statfs sfs;
    if (statfs(path.c_str_utf8(), &sfs) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] file-op-linux.cpp(%d): statfs: Error code %d\n", __LINE__, errno);
        return false;
    }
    const char *fs_name = nullptr;
    switch (static_cast<uint32_t>(sfs.f_type)) {
    case MSDOS_SUPER_MAGIC:
        fs_name = "vfat";
        break;
    case EXFAT_SUPER_MAGIC:
        fs_name = "exfat";
        break;
    default:
        return false;
    }
    Logger::LogMsg(
        Logger::L_WARNING, kComponent,
        "[WARNING] file-op-linux.cpp(%d): Detect a non-NTFS platform (%s) for path '%s'.\n",
        __LINE__, fs_name, path.c_str_utf8());
    return true;
}
