// The session's recycle bin: objects a server removal takes away, and downloaded files that
// could not be put in place, wait there (with their rows) so that a later download of the
// same content can take them back; the cleaner deletes them after 30 minutes.
#include "client/core/connection.h"
#include "client/core/remove.h"
#include "client/core/transfer-util.h"
#include "client/core/worker.h"

#include "conflict-rename.h"
#include "file-op.h"
#include "log.h"

using transfer::kComponent;

namespace
{

// A fresh item name in the bin ("/" + 8 characters) and the rename of `full_path` to it.
int MoveIntoBin(const Worker &w, const ustring &full_path, ustring &name)
{
    const ustring bin = w.GetRecycleBinDir();
    if (FSMKDir(bin, true) != 0 || FSCreateTempPath(ustring(), name) != 0) {
        return -1;
    }
    return FSRename(full_path, bin + name) == 0 ? 0 : -1;
}

// The rows have moved to the bin's table: forget the context's copy and any record of the
// path as a filtered event.
int ForgetPath(Worker &w, bool is_dir)
{
    w.GetDatabaseRecord().Clear();
    return w.ForgetFilteredRecord(is_dir ? Worker::FilteredRecordStep::RENAME_REMOVE_DIRECTORY
                                         : Worker::FilteredRecordStep::RENAME_REMOVE_FILE);
}

// The session path of a full local path of this session.
ustring SessionPathOf(const Worker &w, const ustring &full_path)
{
    const std::string root(w.GetLocalWatch().c_str_utf8(), w.GetLocalWatch().length());
    const std::string full(full_path.c_str_utf8(), full_path.length());
    if (full.size() > root.size() && full.compare(0, root.size(), root) == 0) {
        return ustring(full.substr(root.size()));
    }
    return ustring("/");
}

} // namespace

int Worker::RenameRemoveFile()
{
    const ustring &full_path = GetFullPath();
    ustring name;
    if (MoveIntoBin(*this, full_path, name) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveFile: failed to remove directory "
                       "'%s'.\n",
                       __LINE__, full_path.c_str_utf8());
        return -1;
    }
    FileEventDB *db = GetEventDatabase();
    if (db == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveFile: missing databasehandle\n",
                       __LINE__);
        return -1;
    }
    if (db->dumpFileToRecycleBin(name, GetPath()) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveFile: failed to dumpDirToRecycleBin "
                       "'%s'.\n",
                       __LINE__, full_path.c_str_utf8());
        return -1;
    }
    return ForgetPath(*this, false);
}

int Worker::RenameRemoveDirectory()
{
    const ustring &full_path = GetFullPath();
    ustring name;
    if (MoveIntoBin(*this, full_path, name) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveDirectory: failed remove directory "
                       "from '%s' to '%s'.\n",
                       __LINE__, full_path.c_str_utf8(), (GetRecycleBinDir() + name).c_str_utf8());
        return -1;
    }
    FileEventDB *db = GetEventDatabase();
    if (db == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveDirectory: missing databasehandle\n",
                       __LINE__);
        return -1;
    }
    if (db->dumpDirToRecycleBin(name, GetPath()) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveDirectory: failed to "
                       "dumpDirToRecycleBin '%s'.\n",
                       __LINE__, full_path.c_str_utf8());
        return -1;
    }
    return ForgetPath(*this, true);
}

int Worker::moveFileToRecycleBin(const ustring &src_file, uint64_t size, const ustring &hash,
                                 const ustring &mac_hash)
{
    FileEventDB *db = GetEventDatabase();
    if (db == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): moveFileToRecycleBin: missing databasehandle\n",
                       __LINE__);
        FSRemove(src_file);
        return -1;
    }
    ustring name;
    if (MoveIntoBin(*this, src_file, name) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): moveFileToRecycleBin: failed to move from '%s' to "
                       "'%s'.\n",
                       __LINE__, src_file.c_str_utf8(), (GetRecycleBinDir() + name).c_str_utf8());
        FSRemove(src_file);
        return -1;
    }
    if (db->addFileToRecycleBin(name, size, hash, mac_hash) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): moveFileToRecycleBin: failed to "
                       "addFileToRecycleBin '%s'.\n",
                       __LINE__, name.c_str_utf8());
        FSRemove(GetRecycleBinDir() + name);
        return -1;
    }
    Registry::getInstance().InitRecycleTime(GetEntry(), static_cast<uint32_t>(time(nullptr)));
    return 0;
}

int Worker::RemoveDirectoryW(const ustring &fullpath)
{
    const ustring path = SessionPathOf(*this, fullpath);
    if (path != "/" && HasUnsyncedContent(*this, path, fullpath)) {
        // A file replaces the directory on the server, but files below it changed here: the
        // directory moves aside under a conflict name with everything in it, and its rows
        // are forgotten (the path's own row is written again by the commit).
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Worker (%d): '%s' holds local changes, keep them as "
                       "conflict copies\n",
                       __LINE__, GetId(), fullpath.c_str_utf8());
        if (ConflictRename(fullpath, GetComputerName(),
                           CONFLICT_REASON) != 0) {
            return -1;
        }
        FileEventDB *db = GetEventDatabase();
        return db == nullptr || db->rmEventInfo(path) == 0 ? 0 : -1;
    }
    ustring tmp;
    if (FSCreateTempPath(GetWorkingDirectory(), tmp) != 0 || FSRename(fullpath, tmp) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RemoveDirectory: failed to remove directory '%s'.\n",
                       __LINE__, fullpath.c_str_utf8());
        return -1;
    }
    FSRemove(tmp);
    return 0;
}
