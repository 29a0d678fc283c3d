// Worker: comparisons of the local object, the basis (the row of the last sync) and the
// version the server announces, and what is built on them: merging without a transfer,
// placing content that already lies on this computer, and keeping a local change as a
// conflict copy before a new version takes its place.
#include "client/core/worker.h"

#include "conflict-rename.h"
#include "error-code.h"
#include "log.h"
#include "rsapi-cpp/file-reader.h"
#include "utility.h"

namespace
{
const char kComponent[] = "worker_debug";

// Block and strong-sum lengths of the signatures written while a file is read.
const uint32_t kSignBlockLength = 2048;
const uint32_t kSignStrongLength = 8;

// One INFO line about a path, or about nothing in particular.
#define info(line, format, path) \
    Logger::LogMsg(Logger::L_INFO, kComponent, format, line, (path).c_str_utf8())
#define checkLine(line, format) Logger::LogMsg(Logger::L_INFO, kComponent, format, line)

bool hasRow(const DBFileInfo &basis) { return basis.syncID != 0; }

// True when the directory holds nothing ("." and ".." aside); false when it cannot be read.
bool isEmptyDirectory(const ustring &path)
{
    DIR_HANDLE dh;
    if (FSOpenDir(path, 0, dh) != 0) {
        return false;
    }
    DIR_ENTRY entry;
    int rc;
    bool empty = true;
    while ((rc = FSReadDir(dh, entry)) == 1) {
        if (entry.name != "." && entry.name != "..") {
            empty = false;
            break;
        }
    }
    FSCloseDir(dh);
    return empty && rc >= 0;
}

} // namespace

int Worker::CalculateMD4(const ustring &path, ustring &hash)
{
    if (transfer::RecallHash(hash_memo, path, hash)) {
        return 0;
    }
    SimpleFileReader reader;
    reader.setFile(path);
    reader.setHashString(&hash);
    if (reader.readFile() != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): CaculateMD4: Failed to calculate "
                       "checksum for '%s'\n",
                       __LINE__, GetId(), path.c_str_utf8());
        return -1;
    }
    return 0;
}

int Worker::TestFileLocked(const ustring &path, uint32_t access)
{
    if (!isFileLocked(path, access)) {
        return 0;
    }
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] worker.cpp(%d): Worker (%d): unable to handle locked/no permission "
                   "file '%s'.\n",
                   __LINE__, GetId(), path.c_str_utf8());
    return ERR_LOCKED_FILE;
}

bool Worker::LocallyModified(const FILE_INFO &local, const DBFileInfo &basis, const ustring &hash)
{
    const ustring &path = context.current_event.m_path;
    if (local.type == FT_DIR) {
        if (basis.IsFile()) {
            info(__LINE__,
                 "[INFO] worker.cpp(%d): ModificationCheck: '%s' appears as FILE in database, "
                 "but now it is a directory\n",
                 path);
            return true;
        }
        return false;
    }
    if (basis.IsDir()) {
        info(__LINE__,
             "[INFO] worker.cpp(%d): ModificationCheck: '%s' appears as DIR in database, but now "
             "it is a file\n",
             path);
        return true;
    }
    if (local.type != FT_FILE) {
        return false;
    }
    if (local.size != basis.fileSize || local.mtime != basis.fileModTime) {
        info(__LINE__,
             "[INFO] worker.cpp(%d): ModificationCheck: '%s' is modified (size and mtime not "
             "match)\n",
             path);
        return true;
    }
    if (!hash.empty() && hash != basis.fileCheckSum) {
        info(__LINE__,
             "[INFO] worker.cpp(%d): ModificationCheck: '%s' is modified (hash does not match)\n",
             path);
        return true;
    }
    if (TestForceHash() > 0) {
        info(__LINE__,
             "[INFO] worker.cpp(%d): ModificationCheck: '%s' is modified (force hash check "
             "needed)\n",
             path);
        return true;
    }
    return false;
}

bool Worker::IsDownloadRemoteFakeEvent(const Event &event, const LocalFileInfo &local,
                                       const DBFileInfo &basis)
{
    if (!hasRow(basis) || event.m_sync_id == MAX_SYNC_ID || !local.isExist) {
        return false;
    }
    if (LocallyModified(local, basis, ustring())) {
        return false;
    }
    if (event.isDir()) {
        if (!basis.IsDir()) {
            return false;
        }
    } else if (!basis.IsFile() || basis.fileSize != event.m_data_size ||
               basis.fileCheckSum != event.m_data_hash) {
        return false;
    }
    return event.m_time == basis.fileModTime;
}

int Worker::MergeEvent()
{
    const Event &event = context.current_event;
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0 || !local.isExist) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): MergeEvent: missing local file, merge failed\n");
        return -1;
    }
    TempFile sign_file(context.sign_directory);
    if (local.type == FT_DIR) {
        if (!event.isDir()) {
            checkLine(__LINE__, "[INFO] worker.cpp(%d): MergeEvent: type different 1\n");
            return -1;
        }
        checkLine(__LINE__,
                  "[INFO] worker.cpp(%d): MergeEvent: both sides are folders and ea not change.\n");
    } else {
        if (event.isDir()) {
            checkLine(__LINE__, "[INFO] worker.cpp(%d): MergeEvent: type different 2\n");
            return -1;
        }
        if (local.size != event.m_data_size) {
            checkLine(__LINE__, "[INFO] worker.cpp(%d): MergeEvent: local file is different in "
                                "size, merge failed\n");
            return -1;
        }
        FSMKDir(context.sign_directory, true);
        if (sign_file.create() != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): MergeEvent: failed to create temp file'\n",
                           __LINE__);
            return -1;
        }
        ustring hash;
        SimpleFileReader reader;
        reader.setFile(context.full_path);
        reader.setSignature(sign_file.getPath(), kSignBlockLength, kSignStrongLength);
        reader.setHashString(&hash);
        reader.setAbortFlag(&reader_abort_flag);
        if (reader.readFile() != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): MergeEvent: failed to read '%s'\n", __LINE__,
                           context.full_path.c_str_utf8());
            return -1;
        }
        if (hash != event.m_data_hash) {
            checkLine(__LINE__, "[INFO] worker.cpp(%d): MergeEvent: local file is different in "
                                "hash, merge failed\n");
            return -1;
        }
    }

    uint32_t mtime = event.m_time != 0 ? event.m_time : local.mtime;
    if (context.root_entry.isMSDOS) {
        mtime &= ~1u;
    }
    if (mtime != local.mtime && FSUTime(context.full_path, mtime, mtime) != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): MergeEvent: failed to set modified time\n",
                       __LINE__);
    }

    DBFileInfo row;
    row.isExist = 1;
    row.syncID = event.m_sync_id;
    row.maxSyncID = event.m_max_id;
    row.path = event.m_path;
    row.fileType = event.isDir() ? 1 : 0;
    row.fileSize = event.isDir() ? 0 : event.m_data_size;
    row.fileCheckSum = event.isDir() ? ustring() : event.m_data_hash;
    row.fileModTime = mtime;
    row.signaturePath = sign_file.getPath();
    row.macHash = event.m_mac_attr_hash;
    row.execBit = event.m_exec_bit;
    return CommitLocalRow(row);
}

int Worker::PrepareFileFromLocal()
{
    const Event &event = context.current_event;
    FileEventDB *db = GetEventDatabase();
    if (db == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): PreparFileFromLocal: missing databasehandle\n",
                       __LINE__);
        return -1;
    }

    // Where the content is: the recycle bin (moved back) or another synced file (copied).
    ustring found;
    ustring recycle_name;
    ustring source;
    TempFile copy(context.working_directory);
    if (db->getFilePathByHashFromRecycle(event.m_data_hash, event.m_mac_attr_hash, found) == 1) {
        recycle_name = found;
        source = GetRecycleBinDir() + "/" + found;
        info(__LINE__, "[INFO] worker.cpp(%d): Copy file from recycle bin '%s'\n", source);
    } else if (db->getFilePathByHash(event.m_data_hash, event.m_mac_attr_hash, found) == 1) {
        FSMKDir(context.working_directory, true);
        if (copy.create() != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): PreparFileFromLocal: Failed to create temp "
                           "file.\n",
                           __LINE__);
            return -1;
        }
        source = GetLocalWatch() + "/" + found;
        // A name from the database could point outside the session folder.
        if (found.find("/../") != ustring::npos || found.find("..") == 0) {
            return -1;
        }
        info(__LINE__, "[INFO] worker.cpp(%d): Copy file from syncfolder '%s'.\n", source);
    } else {
        return -1;
    }

    FSMKDir(context.sign_directory, true);
    TempFile sign_file(context.sign_directory);
    if (sign_file.create() != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): PreparFileFromLocal: Failed to create temp "
                       "signature file.\n",
                       __LINE__);
        return -1;
    }
    ustring hash;
    SimpleFileReader reader;
    reader.setFile(source);
    if (recycle_name.empty()) {
        reader.setCopyFile(copy.getPath());
    }
    reader.setSignature(sign_file.getPath(), kSignBlockLength, kSignStrongLength);
    reader.setHashString(&hash);
    reader.setAbortFlag(&reader_abort_flag);
    int rc = reader.readFile();
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): PreparFileFromLocal: Failed to prepare file [%d].\n",
                       __LINE__, rc);
        return -1;
    }
    if (hash != event.m_data_hash) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): PreparFileFromLocal: File locally modification, "
                       "can not use local copy.\n",
                       __LINE__);
        return -1;
    }
    const ustring prepared = recycle_name.empty() ? copy.getPath() : source;
    uint32_t mtime = event.m_time;
    if (context.root_entry.isMSDOS) {
        mtime &= ~1u;
    }
    FSUTime(prepared, mtime, mtime);

    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): PreparFileFromLocal: Failed to get local file info "
                       "at '%s'.\n",
                       __LINE__, context.full_path.c_str_utf8());
        return -1;
    }
    if (local.isExist) {
        PObject response;
        response["is_dir"] = event.isDir() ? 1 : 0;
        response["file"]["size"] = event.m_data_size;
        response["file"]["hash"] = event.m_data_hash;
        int conflict = TestDownloadConflict(local, context.database_record, response);
        if (conflict < 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): '%s': Failed to check download conflict, rc = "
                           "%d\n",
                           __LINE__, context.full_path.c_str_utf8(), conflict);
            return -1;
        }
        if (conflict == CONFLICT_RETRY) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): Worker (%d): HandleDownloadConflict: '%s' "
                           "conflict occurs, resolve conflict first\n",
                           __LINE__, GetId(), context.full_path.c_str_utf8());
            if (ConflictRename(context.full_path, GetComputerName(), CONFLICT_REASON) != 0) {
                return -1;
            }
        } else {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): Worker (%d): No conflict occured, continue to "
                           "update file '%s'\n",
                           __LINE__, GetId(), context.full_path.c_str_utf8());
        }
    }

    FlushFileToDisk(prepared);
    if (FSRename(prepared, context.full_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): PreparFileFromLocal: Cannot rename from %s -> %s\n",
                       __LINE__, prepared.c_str_utf8(), context.full_path.c_str_utf8());
        return -1;
    }
    copy.convert_permanent(); // its name is the user's file now
    if (!recycle_name.empty() && db->rmRecycleByPath(recycle_name) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Failed to rmRecycleByPath for '%s'\n", __LINE__,
                       recycle_name.c_str_utf8());
    }

    DBFileInfo row;
    row.isExist = 1;
    row.syncID = event.m_sync_id;
    row.maxSyncID = event.m_max_id;
    row.fileType = event.isDir() ? 1 : 0;
    row.path = event.m_path;
    row.signaturePath = sign_file.getPath();
    row.fileSize = event.m_data_size;
    row.fileCheckSum = event.m_data_hash;
    row.fileModTime = mtime;
    row.execBit = event.m_exec_bit;
    // Flushed before the rename, which flushed the directories it changed.
    return CommitLocalRow(row);
}

// Rule S: the local regular file already is the new version, or placing it loses a change.
static int sameAsNewVersion(const LocalFileInfo &local, const ustring &local_hash,
                            const PObject &response)
{
    if (local.type == FT_FILE && local_hash == response["file"]["hash"].asString()) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): CheckBasisFile: Basis file is the same as the "
                            "remote file, we are done.\n");
        return Worker::CONFLICT_IGNORE;
    }
    return Worker::CONFLICT_RETRY;
}

int Worker::TestDownloadConflict(const LocalFileInfo &local, const DBFileInfo &basis,
                                 const PObject &response)
{
    const bool new_is_dir = response["is_dir"].asBool();
    const bool row = hasRow(basis);
    bool rule_r = false;

    if (!row) {
        if (!local.isExist) {
            checkLine(__LINE__,
                      "[INFO] worker.cpp(%d): CheckBasisFile: Basis is not changed (vanish).\n");
            return CONFLICT_NONE;
        }
        checkLine(__LINE__,
                  "[INFO] worker.cpp(%d): CheckBasisFile: Basis does not appear in database.\n");
        rule_r = true;
    } else if (!local.isExist) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): CheckBasisFile: Basis file vanished.\n");
        return CONFLICT_REMOVED;
    } else if (basis.IsDir() && local.type == FT_DIR) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): CheckBasisFile: Basis file is unchanged (dir)\n");
        return CONFLICT_NONE;
    } else if (local.type == FT_DIR) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): CheckBasisFile: Basis file appears as FILE in "
                            "database, but now it is a directory\n");
        rule_r = true;
    } else if (basis.IsDir()) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): CheckBasisFile: Basis appears as DIR in "
                            "database, but now it is a file\n");
        rule_r = true;
    } else if (local.size != basis.fileSize) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): CheckBasisFile: Basis file is modified (size "
                            "not match) \n");
        rule_r = true;
    } else if (local.type != FT_FILE) {
        // Neither file nor directory, with the size of the basis file: nothing to keep.
        return CONFLICT_NONE;
    }

    if (rule_r) {
        if (local.type == FT_DIR) {
            return new_is_dir ? CONFLICT_IGNORE : CONFLICT_RETRY;
        }
        if (new_is_dir || local.size != response["file"]["size"].asUInt64()) {
            return CONFLICT_RETRY;
        }
    }
    if (local.type != FT_FILE) {
        // Only a regular file can be read and compared; anything else is kept aside.
        return CONFLICT_RETRY;
    }

    ustring hash;
    if (CalculateMD4(context.full_path, hash) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): CheckBasisFile: Failed to calculate checksum for "
                       "basis file\n",
                       __LINE__);
        return ERR_SYS;
    }
    if (!rule_r && hash == basis.fileCheckSum) {
        return CONFLICT_NONE;
    }
    if (!rule_r || (row && hash != basis.fileCheckSum)) {
        checkLine(__LINE__, "[INFO] worker.cpp(%d): CheckBasisFile: Basis file is locally modified\n");
    }
    return sameAsNewVersion(local, hash, response);
}

int Worker::HandleDownloadConflict(const PObject &response)
{
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        return ERR_SYS;
    }
    if (!local.isExist) {
        return 0;
    }
    int conflict = TestDownloadConflict(local, context.database_record, response);
    if (conflict < 0) {
        return conflict;
    }
    switch (conflict) {
    case CONFLICT_RETRY:
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): HandleDownloadConflict: conflict "
                       "occurs, resolve conflict first\n",
                       __LINE__, GetId());
        // The local change is kept under a conflict name; the new version takes the path.
        return ConflictRename(context.full_path, GetComputerName(), CONFLICT_REASON) == 0 ? 0
                                                                                           : ERR_SYS;
    case CONFLICT_IGNORE:
    case CONFLICT_REMOVED:
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): HandleDownloadConflict: no conflict, "
                       "keep going\n",
                       __LINE__, GetId());
        return 0;
    default:
        break;
    }

    const bool new_is_dir = response["is_dir"].asBool();
    const bool local_is_dir = local.type == FT_DIR;
    if (new_is_dir == local_is_dir) {
        return 0;
    }
    // The unchanged basis gives way to an object of the other type.
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): Worker (%d): HandleDownloadConflict: no conflict with "
                   "type jump\n",
                   __LINE__, GetId());
    if (local_is_dir) {
        if (!isEmptyDirectory(context.full_path)) {
            // What lies inside may never have been synced; keep it all under a conflict
            // name rather than delete it with the directory.
            return ConflictRename(context.full_path, GetComputerName(), CONFLICT_REASON) == 0
                       ? 0
                       : ERR_SYS;
        }
        if (RemoveDirectoryW(context.full_path) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): RemoveDirectory: Failed to remove '%s'\n",
                           __LINE__, context.full_path.c_str_utf8());
            return ERR_SYS;
        }
        return 0;
    }
    if (FSRemove(context.full_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): DownloadRemote: type jump, but can not remove "
                       "basis.\n",
                       __LINE__);
        return ERR_SYS;
    }
    return 0;
}
