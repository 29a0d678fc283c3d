// Sync-folder policy: which local folders may be kept in sync. Only a real directory is
// accepted; a symbolic link (which could lead anywhere) and a device are refused.
#include "file-op.h"

#include "log.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

bool IsValidSyncFolder(const ustring &path)
{
    std::string p(path.c_str_utf8(), path.length());
    // A trailing slash would make lstat look through a link in the last component.
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    struct stat st;
    if (p.empty() || lstat(p.c_str(), &st) != 0) {
        Logger::LogMsg(Logger::L_ERR, "default_component",
                       "[ERROR] policy.cpp(%d): get file attributes fail, error code [%d]\n",
                       __LINE__, p.empty() ? ENOENT : errno);
        return false;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        Logger::LogMsg(Logger::L_ERR, "default_component",
                       "[ERROR] policy.cpp(%d): cannot accept DEVICE ATTRIBE.\n", __LINE__);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        Logger::LogMsg(Logger::L_ERR, "default_component",
                       "[ERROR] policy.cpp(%d): cannot accept DEVICE REPARSE.\n", __LINE__);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        return true;
    }
    Logger::LogMsg(Logger::L_ERR, "default_component",
                   "[ERROR] policy.cpp(%d): cannot accept File Attributes = %d", __LINE__,
                   static_cast<int>(st.st_mode));
    return false;
}
