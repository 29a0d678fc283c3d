// DownloadRemote: brings the local path to the version of a file or directory that a server
// event announced. Cheap ways first (echo, database catch-up, identical local content),
// then a resumable transfer of the whole file or of a patch against the local basis.
#include "client/core/download.h"
#include "client/core/transfer-util.h"
#include "client/core/worker.h"

#include "black-list-v2.h"
#include "error-code.h"
#include "file-op.h"
#include "log.h"

using transfer::kComponent;

namespace
{

bool IsForcedDownload(const Event &ev) { return ev.m_sync_id == MAX_SYNC_ID; }

// A row with sync id 0 (a directory created implicitly) is no usable basis.
bool HasBasis(const DBFileInfo &basis) { return basis.syncID != 0; }

// True when the local file is the synced version (by size and time) and that version is
// not the one announced: comparing its content with the new version cannot succeed, so
// reading it for that is skipped.
bool LocalFileIsOtherVersion(Worker &w, const Event &ev, const LocalFileInfo &local,
                             const DBFileInfo &basis)
{
    return ev.isFile() && local.isExist && local.type == FT_FILE && HasBasis(basis) &&
           basis.IsFile() && basis.fileCheckSum != ev.m_data_hash &&
           !w.LocallyModified(local, basis, ustring());
}

} // namespace

int Worker::TestDownloadRemoteFilter()
{
    const Event &ev = context.current_event;
    const int common = TestCommonFilter();
    if (common != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): Filtered Event: '%s' (blocked: %d)\n", __LINE__,
                       ev.m_path.c_str_utf8(), common);
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    uint64_t size = ev.m_data_size;
    if (IsForcedDownload(ev)) {
        if (!HasBasis(context.database_record)) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] worker.cpp(%d): Force download '%s' but cannot find any "
                           "record in event DB. file size filter will NOT work.\n",
                           __LINE__, ev.m_path.c_str_utf8());
            return 1;
        }
        size = context.database_record.fileSize;
    }
    int reason = 0;
    if (ev.isFile()) {
        reason = BlackList2::getInstance().TestFileSize(size);
        if (reason == 0 && GetBlackList() != nullptr) {
            reason = GetBlackList()->TestFileSize(size);
        }
    }
    if (reason != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): Filtered Event: '%s' ((blocked: %d)\n", __LINE__,
                       ev.m_path.c_str_utf8(), reason);
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    if (context.root_entry.isMSDOS && size >= 0xFFFFFFFFull) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): Filtered Event: '%s' (file system is not "
                       "support large file)\n",
                       __LINE__, ev.m_path.c_str_utf8());
        return 0;
    }
    return 1;
}

int Worker::DownloadRemote()
{
    Event &ev = context.current_event;
    const ustring &full_path = GetFullPath();
    int result = 0;
    if (!transfer::BeginTransfer(*this, transfer::TransferKind::DOWNLOAD, result)) {
        return result;
    }
    DBFileInfo basis = context.database_record;
    if (!HasBasis(basis)) {
        basis.Clear();
    }

    if (IsForcedDownload(ev) && !HasBasis(basis)) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Force download '%s' but cannot find any record in "
                       "event DB, skipping....\n",
                       __LINE__, ev.m_path.c_str_utf8());
        return 0;
    }
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): DownloadRemote: Failed to get local file info "
                       "(%s)\n",
                       __LINE__, full_path.c_str_utf8());
        return ERR_SYS;
    }
    if (IsForcedDownload(ev)) {
        if (local.isExist && !LocallyModified(local, basis, ustring())) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): Force download event but NOT "
                           "LocallyModified.\n",
                           __LINE__);
            return 0;
        }
        ev.m_sync_id = basis.syncID;
        ev.m_max_id = basis.maxSyncID;
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): (%d) Convert MAX_SYNC_ID  to target_sync_id "
                       "[%llu]\n",
                       __LINE__, GetId(), static_cast<unsigned long long>(ev.m_sync_id));
        basis.Clear();
    }
    if (HasBasis(basis) && basis.IsFile() && !IsFileExist(basis.signaturePath, false)) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): DownloadRemote: missing signature while "
                       "downloading '%s'.\n",
                       __LINE__, ev.m_path.c_str_utf8());
    }
    if (!local.isExist) {
        basis.Clear();
        if (ev.isFile()) {
            RemoveDatabaseInfo();
        }
    }
    if (HasBasis(basis) && basis.syncID >= ev.m_sync_id) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): DownloadRemote: File '%s' is already up-to-date "
                       "(server echo).\n",
                       __LINE__, ev.m_path.c_str_utf8());
        return 0;
    }
    if (IsDownloadRemoteFakeEvent(ev, local, basis)) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): DownloadRemote: fast event merge for '%s'.\n",
                       __LINE__, ev.m_path.c_str_utf8());
        return CommitServerEvent(ev, local, basis) == 0 ? 0 : ERR_SYS;
    }
    if (TestFileLocked(full_path, FS_ACCESS_READ | FS_ACCESS_WRITE | FS_ACCESS_DELETE) != 0) {
        return ERR_LOCKED_FILE;
    }
    if (!LocalFileIsOtherVersion(*this, ev, local, basis) && MergeEvent() == 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): DownloadRemote: '%s' is merged successfully\n",
                       __LINE__, ev.m_path.c_str_utf8());
        return 0;
    }
    if (ev.isFile() && PrepareFileFromLocal() == 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): DownloadRemote: PreparFileFromLocal "
                       "successfully.\n",
                       __LINE__);
        notify_event_type = NOTIFY_SERVER_MODIFY;
        return 0;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): DownloadRemote: Cannot PreparFileFromLocal, download "
                   "from server directly.\n",
                   __LINE__);
    return DownloadFromServer(*this, basis);
}
