// File-system layer: every call the daemon makes on the local disk goes through these
// free functions, so that the rest of the system speaks in ustring paths and a handful of
// result codes. Paths are '/'-separated UTF-8. A symbolic link is always looked at
// itself, never followed, and no removal leaves the tree it was asked to remove.
#pragma once

#include "ustring/ustring.h"

#include <dirent.h>

#include <cstdint>
#include <ctime>

enum FILE_TYPE {
    FT_ERR = 0, // unknown, or a device node
    FT_FILE = 1,
    FT_DIR = 2,
    FT_SLINK = 3, // symbolic link (the link itself)
    FT_HLINK = 4,
    FT_DEV = 5,
    FT_FIFO = 6,
    FT_SOCK = 7,
};

// The examined state of one local path (FSStat). `name`, `uid` and `gid` are not filled.
struct FILE_INFO {
    ustring path;
    ustring name;
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0; // seconds since 1970
    uint64_t size = 0;
    bool isExist = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
};
typedef FILE_INFO LocalFileInfo;

// Access rights for isFileLocked, as the callers name them.
enum : uint32_t {
    FS_ACCESS_READ = 0x80000000u,
    FS_ACCESS_WRITE = 0x40000000u,
    FS_ACCESS_DELETE = 0x00010000u,
};

// FSRename's answer for a path that is too long or malformed.
enum { FS_ERR_PATH_TOO_LONG = -100 };
// FSRemove's answer when a deletion into the trash failed for a reason other than
// "no trash can be used here".
enum { FS_ERR_TRASH = -3 };

// Directory enumeration handle. Owns the open directory; closing twice is harmless and
// the destructor closes a handle the caller forgot.
struct DIR_HANDLE {
    ustring path;
    int flag = 0;          // bit 0: fill mtime and size of each entry
    DIR *handle = nullptr; // opened by the first FSReadDir

    DIR_HANDLE() = default;
    DIR_HANDLE(const DIR_HANDLE &) = delete;
    DIR_HANDLE &operator=(const DIR_HANDLE &) = delete;
    DIR_HANDLE(DIR_HANDLE &&other) noexcept;
    DIR_HANDLE &operator=(DIR_HANDLE &&other) noexcept;
    ~DIR_HANDLE();
};

struct DIR_ENTRY {
    ustring name;
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;
    uint64_t size = 0;
};

// True when `path` names an existing object (a dangling link counts). With
// `do_case_check` the last component must match the directory entry byte for byte,
// which matters on case-insensitive mounts.
bool IsFileExist(const ustring &path, bool do_case_check = true);

// 0 with info.isExist telling whether the path exists; -1 on any other failure.
int FSStat(const ustring &path, FILE_INFO &info, bool do_case_check = true);

// Creates one directory, or with `isCreateParent` the whole chain. 0 or -1.
int FSMKDir(const ustring &path, bool isCreateParent);
// Creates every missing directory of `path` (the part before the first '/' is never
// created; a path without any '/' creates nothing). A non-directory in the way fails the
// call unless `blForceCreate`, in which case it is removed. `endptr`, `uid`, `gid` and
// `mode` have no effect.
int FSMKDirP(const ustring &path, int endptr = -1, bool blForceCreate = false,
             uint32_t uid = static_cast<uint32_t>(-1), uint32_t gid = static_cast<uint32_t>(-1),
             uint32_t mode = 0777);

// Moves `from` onto `to`, atomically replacing an existing target, and syncs the
// directories. 0, FS_ERR_PATH_TOO_LONG (-100) or -1. `do_case_check` has no effect.
int FSRename(const ustring &from, const ustring &to, bool do_case_check = true);

// Removes a file, a link or a whole directory tree. With `allowundo` the object goes into
// the user's trash; where no trash can be used it is deleted permanently. 0 (also for a
// missing path), -1, or FS_ERR_TRASH (-3).
int FSRemove(const ustring &path, bool allowundo = false);

// Sets the modification time (seconds since 1970); the access time is left alone.
int FSUTime(const ustring &path, time_t atime, time_t mtime);

// True when the file cannot be opened with the access `flag` (FS_ACCESS_*) because of
// permissions, or another process holds a conflicting fcntl lock on it.
bool isFileLocked(const ustring &path, uint32_t flag);

// A fresh temporary name under `prefix` ("prefix/xxxxxxxx"); FSMktemp also creates the
// (empty) file. `path` is set only on success. 0 or -1.
int FSMktemp(const ustring &prefix, ustring &path);
int FSCreateTempPath(const ustring &prefix, ustring &path);

// Enumeration: FSOpenDir only records path and flag; FSReadDir gives 1 per entry ("." and
// ".." included), 0 at the end, -1 on failure; FSCloseDir ends it.
int FSOpenDir(const ustring &path, int flag, DIR_HANDLE &dh);
int FSReadDir(DIR_HANDLE &dh, DIR_ENTRY &entry);
void FSCloseDir(DIR_HANDLE &dh);

// True when the path lies on a FAT-family file system (vfat, msdos, exFAT).
bool IsMSDOS(const ustring &path);

// True when `path` may be used as a sync folder: an existing directory that is neither a
// symbolic link nor a device.
bool IsValidSyncFolder(const ustring &path);
