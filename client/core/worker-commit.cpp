// Worker: recording the new synced state of a path in the session's event database. The
// row is the basis of every later decision about the path, so it is assembled from what
// both sides now hold: the server's answer (download) or the worker's own request
// (upload), with the previous row filling what did not change.
#include "client/core/worker.h"

#include "client/core/filter-db.h"
#include "log.h"

#include <fcntl.h>
#include <unistd.h>

namespace
{
const char kComponent[] = "worker_debug";

// A block member is "unchanged" when it says so with "refer".
bool refers(const PObject &block) { return block.isMap() && block["refer"].asBool(); }

// Copies the metadata blocks of `source` into `row`; absent or referring blocks keep the
// basis values already in `row`. An absent "mtime" is handled by the caller.
void readMetadata(const PObject &source, DBFileInfo &row)
{
    if (source.hasMember("mtime") && !refers(source["mtime"])) {
        row.fileModTime = source["mtime"]["mtime"].asUInt32();
    }
    if (source.hasMember("mac_attribute") && !refers(source["mac_attribute"])) {
        row.macHash = source["mac_attribute"]["hash"].asString();
    }
    if (source.hasMember("exec_bit") && !refers(source["exec_bit"])) {
        row.execBit = source["exec_bit"]["exec_bit"].asUInt32();
    }
    if (source.hasMember("unix_perm") && !refers(source["unix_perm"])) {
        const PObject &perm = source["unix_perm"];
        row.unixUid = perm["uid"].asUInt32();
        row.unixGid = perm["gid"].asUInt32();
        row.unixMode = perm["mode"].asUInt32();
        row.unixHash = perm["local_hash"].asString();
    }
    if (source.hasMember("zentora_acl") && !refers(source["zentora_acl"])) {
        row.aclAttribute = source["zentora_acl"]["acl"].asString();
        row.aclHash = source["zentora_acl"]["local_hash"].asString();
    }
    if (source.hasMember("share_priv") && !refers(source["share_priv"])) {
        const PObject &priv = source["share_priv"];
        row.sharePrivDisabled = priv["disabled"].asBool() ? 1 : 0;
        row.sharePrivDenyList = priv["deny_list"].asString();
        row.sharePrivRoList = priv["ro_list"].asString();
        row.sharePrivRwList = priv["rw_list"].asString();
        row.sharePrivHash = priv["local_hash"].asString();
    }
}

// A new row for `path`: the basis values, with the ids and the content left for the
// caller. Metadata blocks that a message leaves out keep the basis values this way.
DBFileInfo rowFromBasis(const DBFileInfo &basis, const ustring &path)
{
    DBFileInfo row;
    row.isExist = 1;
    row.path = path;
    row.fileModTime = basis.fileModTime;
    row.macHash = basis.macHash;
    row.execBit = basis.execBit;
    row.unixUid = basis.unixUid;
    row.unixGid = basis.unixGid;
    row.unixMode = basis.unixMode;
    row.unixHash = basis.unixHash;
    row.aclAttribute = basis.aclAttribute;
    row.aclHash = basis.aclHash;
    row.sharePrivDisabled = basis.sharePrivDisabled;
    row.sharePrivDenyList = basis.sharePrivDenyList;
    row.sharePrivRoList = basis.sharePrivRoList;
    row.sharePrivRwList = basis.sharePrivRwList;
    row.sharePrivHash = basis.sharePrivHash;
    return row;
}

} // namespace

void Worker::FlushFileToDisk(const ustring &path)
{
    int fd = open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        fdatasync(fd);
        close(fd);
    }
}

void Worker::FlushToDisk(const ustring &path)
{
    int fd = open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    size_t slash = path.find_last_of('/');
    if (slash != ustring::npos && slash > 0) {
        int dir = open(path.substr(0, slash).c_str_utf8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
    }
}

int Worker::UpdateDatabaseInfo(const DBFileInfo &row)
{
    FileEventDB *db = GetEventDatabase();
    if (db == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): UpdateDatabaseInfo: missing databasehandle\n",
                       __LINE__);
        return -1;
    }
    int rc = db->setEventInfo(row);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): UpdateDatabaseInfo: failed to update database, "
                       "error code %d\n",
                       __LINE__, rc);
        return -1;
    }
    return 0;
}

int Worker::RemoveDatabaseInfo()
{
    FileEventDB *db = GetEventDatabase();
    if (db == nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RemoveDatabaseInfo: missing databasehandle\n",
                       __LINE__);
        return -1;
    }
    context.database_record.Clear();
    const Event &event = context.current_event;
    int rc = db->rmEventInfo(event.m_path);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RemoveDatabaseInfo: failed to update database, "
                       "error code %d\n",
                       __LINE__, rc);
        return -1;
    }
    return ForgetFilteredRecord(FilteredRecordStep::REMOVE_ROW);
}

// Shared tail of both commits: the row, the local modification time when the message
// named none, the write and the filtered-event record.
static int finishCommit(Worker &worker, const PObject &metadata_source, const PObject &logged,
                        const DBFileInfo &basis, const ustring &sign_file, DBFileInfo &row)
{
    readMetadata(metadata_source, row);
    if (!metadata_source.hasMember("mtime")) {
        LocalFileInfo local;
        if (worker.GetFilesystemInfo(local) == 0 && local.isExist) {
            row.fileModTime = local.mtime;
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): commit local modify time %u\n", __LINE__,
                           local.mtime);
        } else {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] worker.cpp(%d): stat(%s) failure, missing modify time\n",
                           __LINE__, worker.GetFullPath().c_str_utf8());
        }
    }
    row.signaturePath = sign_file.empty() ? basis.signaturePath : sign_file;
    if (Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): commit upload response '%s'\n", __LINE__,
                       logged.toString().c_str_utf8());
    }

    int rc = worker.UpdateDatabaseInfo(row);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): CommitDatabase: Failed to update local event "
                       "database. Error code = %d\n",
                       __LINE__, rc);
        return -1;
    }
    return worker.ForgetFilteredRecord(Worker::FilteredRecordStep::COMMIT);
}

int Worker::CommitDatabaseDownload(const PObject &response, const DBFileInfo &basis,
                                   const ustring &sign_file)
{
    DBFileInfo row = rowFromBasis(basis, context.current_event.m_path);
    row.syncID = response["sync_id"].asUInt64();
    row.maxSyncID = response["max_id"].asUInt64();
    row.fileType = response["is_dir"].asBool() ? 1 : 0;
    if (row.IsFile()) {
        const PObject &file = response["file"];
        if (response.hasMember("file") && !refers(file)) {
            row.fileSize = file["size"].asUInt64();
            row.fileCheckSum = file["hash"].asString();
        } else {
            row.fileSize = basis.fileSize;
            row.fileCheckSum = basis.fileCheckSum;
        }
    }
    // The row will say the new version is here: make sure the disk holds it first (a file
    // moved into place after its flush already is).
    if (!context.placed_durably) {
        FlushToDisk(context.full_path);
    }
    return finishCommit(*this, response, response, basis, sign_file, row);
}

int Worker::CommitDatabaseUpload(const PObject &request, const PObject &response,
                                 const DBFileInfo &basis, const ustring &sign_file)
{
    DBFileInfo row = rowFromBasis(basis, context.current_event.m_path);
    row.syncID = response["sync_id"].asUInt64();
    row.maxSyncID = response["max_id"].asUInt64();
    row.fileType = response["is_dir"].asBool() ? 1 : 0;
    if (row.IsFile()) {
        row.fileSize = basis.fileSize;
        row.fileCheckSum = basis.fileCheckSum;
        if (request.hasMember("file")) {
            const PObject &answer = response["file"];
            // "refer" without a file id: the server kept the basis content. With a file id
            // it found the content in another of its files, which is what was sent.
            bool kept_basis = refers(answer) && answer["file_id"].asUInt64() == 0;
            if (!kept_basis) {
                row.fileSize = request["file"]["size"].asUInt64();
                row.fileCheckSum = request["file"]["hash"].asString();
            }
        }
    }
    return finishCommit(*this, request, response, basis, sign_file, row);
}

int Worker::CommitServerEvent(const Event &event, const LocalFileInfo &local, const DBFileInfo &basis)
{
    (void)local;
    DBFileInfo row;
    row.isExist = 1;
    row.syncID = event.m_sync_id;
    row.maxSyncID = event.m_max_id;
    row.fileType = event.isDir() ? 1 : 0;
    row.path = event.m_path;
    row.signaturePath = basis.signaturePath;
    row.fileSize = event.m_data_size;
    row.fileCheckSum = event.m_data_hash;
    row.execBit = event.m_exec_bit;
    row.fileModTime = basis.fileModTime;
    if (UpdateDatabaseInfo(row) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): CommitServerEvent: Failed to update local event "
                       "database (#%llu, %s).\n",
                       __LINE__, static_cast<unsigned long long>(event.m_sess_id),
                       event.m_path.c_str_utf8());
        return -1;
    }
    return ForgetFilteredRecord(FilteredRecordStep::SERVER_EVENT);
}

int Worker::CommitLocalRow(const DBFileInfo &row)
{
    if (UpdateDatabaseInfo(row) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): CommitDatabase: Failed to update local event "
                       "database.\n",
                       __LINE__);
        return -1;
    }
    return ForgetFilteredRecord(FilteredRecordStep::COMMIT);
}

int Worker::ForgetFilteredRecord(FilteredRecordStep step)
{
    const ustring path_text = GetPath();
    const uint64_t sess_id = context.current_event.m_sess_id;
    if (FilterDB::getInstance().rmLocalFilteredEventByPath(sess_id, path_text) == 0) {
        return 0;
    }
    const unsigned long long sess = sess_id;
    const char *path = path_text.c_str_utf8();
    switch (step) {
    case FilteredRecordStep::COMMIT:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): CommitDatabase: Failed to remvoe filter db record "
                       "for session '%llu', path '%s' .\n",
                       __LINE__, sess, path);
        break;
    case FilteredRecordStep::SERVER_EVENT:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): CommitServerEvent: Failed to remvoe filter db "
                       "record for session '%llu', path '%s' .\n",
                       __LINE__, sess, path);
        break;
    case FilteredRecordStep::REMOVE_ROW:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RemoveDatabaseInfo : failed to "
                       "rmLocalFilteredEventByPath for session '%llu', path '%s' .\n",
                       __LINE__, sess, path);
        break;
    case FilteredRecordStep::RENAME_REMOVE_FILE:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveFile : failed to "
                       "rmLocalFilteredEventByPath for session '%llu', path '%s' .\n",
                       __LINE__, sess, path);
        break;
    case FilteredRecordStep::RENAME_REMOVE_DIRECTORY:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RenameRemoveDirectory : failed to "
                       "rmLocalFilteredEventByPath for session '%llu', path '%s' .\n",
                       __LINE__, sess, path);
        break;
    }
    return -1;
}
