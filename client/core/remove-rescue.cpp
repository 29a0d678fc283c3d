// Directory removals that keep local changes: a server removal of a folder, or a file that
// replaces a folder, must not take files edited or created in it since the last sync.
#include "client/core/connection.h"
#include "client/core/remove.h"
#include "client/core/transfer-util.h"
#include "client/core/worker.h"

#include "conflict-rename.h"
#include "file-op.h"
#include "log.h"

#include <unistd.h>

#include <vector>

using transfer::kComponent;

namespace
{

struct Entry {
    ustring name;
    FILE_TYPE type;
    uint32_t mtime;
    uint64_t size;
};

// The entries of a directory, "." and ".." left out; links are reported as links.
std::vector<Entry> ListDirectory(const ustring &full_path)
{
    std::vector<Entry> entries;
    DIR_HANDLE dh;
    if (FSOpenDir(full_path, 1, dh) != 0) {
        return entries;
    }
    DIR_ENTRY e;
    while (FSReadDir(dh, e) == 1) {
        if (e.name == "." || e.name == "..") {
            continue;
        }
        entries.push_back(Entry{e.name, e.type, e.mtime, e.size});
    }
    FSCloseDir(dh);
    return entries;
}

// True when the object below the directory is not in its synced state.
bool IsUnsynced(Worker &w, const ustring &path, const Entry &e)
{
    DBFileInfo row;
    FileEventDB *db = w.GetEventDatabase();
    if (db == nullptr || db->getEventInfo(path, row) != 1) {
        return true;
    }
    if (e.type == FT_DIR) {
        return !row.IsDir();
    }
    if (e.type != FT_FILE || !row.IsFile()) {
        return true;
    }
    uint32_t mtime = e.mtime;
    if (w.GetEntry().isMSDOS) {
        mtime &= ~1u;
    }
    return e.size != row.fileSize || mtime != row.fileModTime;
}

// Moves one synced file into the recycle bin and its row into the bin's table.
int RecycleFile(Worker &w, const ustring &path, const ustring &full_path)
{
    ustring name;
    const ustring bin = w.GetRecycleBinDir();
    if (FSMKDir(bin, true) != 0 || FSCreateTempPath(ustring(), name) != 0 ||
        FSRename(full_path, bin + name) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveFile: failed to remove directory "
                       "'%s'.\n",
                       __LINE__, full_path.c_str_utf8());
        return -1;
    }
    if (w.GetEventDatabase()->dumpFileToRecycleBin(name, path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveFile: failed to dumpDirToRecycleBin "
                       "'%s'.\n",
                       __LINE__, full_path.c_str_utf8());
    }
    return 0;
}

// Empties a directory: unsynced objects renamed in place, synced files into the bin,
// synced sub-directories swept the same way and removed once empty.
int Sweep(Worker &w, const ustring &path, const ustring &full_path, const ustring &computer)
{
    int result = 0;
    for (const Entry &e : ListDirectory(full_path)) {
        const ustring child = path + "/" + e.name;
        const ustring child_full = full_path + "/" + e.name;
        if (IsUnsynced(w, child, e)) {
            // Unknown or changed: kept whole under a conflict name where it is.
            if (ConflictRename(child_full, computer, CONFLICT_REASON) != 0) {
                result = -1;
            }
        } else if (e.type == FT_DIR) {
            if (Sweep(w, child, child_full, computer) != 0) {
                result = -1;
            }
            rmdir(child_full.c_str_utf8()); // stays when it holds conflict copies
        } else if (RecycleFile(w, child, child_full) != 0) {
            result = -1;
        }
    }
    return result;
}

} // namespace

bool HasUnsyncedContent(Worker &w, const ustring &path, const ustring &full_path)
{
    for (const Entry &e : ListDirectory(full_path)) {
        const ustring child = path + "/" + e.name;
        if (IsUnsynced(w, child, e)) {
            return true;
        }
        if (e.type == FT_DIR && HasUnsyncedContent(w, child, full_path + "/" + e.name)) {
            return true;
        }
    }
    return false;
}

int RemoveDirectoryKeepingChanges(Worker &w)
{
    const ustring &full_path = w.GetFullPath();
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): Worker (%d): '%s' holds local changes, keep them as "
                   "conflict copies\n",
                   __LINE__, w.GetId(), full_path.c_str_utf8());
    if (w.GetEventDatabase() == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveDirectory: missing databasehandle\n",
                       __LINE__);
        return -1;
    }
    const ustring computer = w.GetComputerName();
    if (Sweep(w, w.GetPath(), full_path, computer) != 0) {
        return -1;
    }
    // The directory stays where it is when it holds conflict copies, so that they keep
    // their place; its rows are forgotten, which makes it ordinary unsynced content.
    rmdir(full_path.c_str_utf8());
    return w.RemoveDatabaseInfo() == 0 ? 0 : -1;
}
