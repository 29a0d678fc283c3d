// Removals in both directions. A local removal becomes a "remove" request to the server; a
// server removal takes the local object away, never outright: an unchanged object goes into
// the session's recycle bin, a changed one stays under a conflict name.
#include "client/core/connection.h"
#include "client/core/remove.h"
#include "client/core/transfer-util.h"
#include "client/core/worker.h"
#include "client/event-manager.h"

#include "conflict-rename.h"
#include "error-code.h"
#include "file-op.h"
#include "log.h"
#include "proto-common.h"

using transfer::kComponent;

namespace
{

const uint32_t kErrNoObject = 0xA001;
const uint32_t kErrModifiedOnServer = 0xA002;

bool HasRow(const DBFileInfo &row) { return row.isExist != 0; }

PObject BuildRemoveRequest(Worker &w)
{
    const Registry::Entry &reg = w.GetEntry();
    const DBFileInfo &row = w.GetDatabaseRecord();
    PObject request;
    InitRequest(request, "remove");
    request["session"] = w.GetConnection()->getConnectionInfo().session;
    request["view_id"] = reg.view_id;
    request["node_id"] = reg.node_id;
    request["sync_id"] = row.syncID;
    request["max_id"] = row.maxSyncID;
    request["path"] = transfer::ServerPathOf(reg, w.GetPath());
    return request;
}

// Maps an error answer of the server; 1 when the row is to be forgotten as after success.
int HandleRemoveError(Worker &w, const PObject &response)
{
    const uint32_t code = response["error"]["code"].asUInt32();
    const int mapped = w.ProtoResp2ErrorCode(code);
    const ustring &full_path = w.GetFullPath();
    if (code == kErrNoObject) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): RemoveRemote: Fake event on '%s' ... how did you do "
                       "that? remove local entry anyway.\n",
                       __LINE__, full_path.c_str_utf8());
        return 1;
    }
    if (code == kErrModifiedOnServer) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): RemoveRemote: Object '%s' on the server is modified, "
                       "abort anyway\n",
                       __LINE__, full_path.c_str_utf8());
        if (!w.GetDatabaseRecord().IsDir()) {
            return 1;
        }
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): RemoveRemote: rescan directory '%s'\n", __LINE__,
                       full_path.c_str_utf8());
        EventManager::getInstance().IssueRescan(w.GetEntry().sess_id, w.GetPath(), false);
        // The rescan sends the removals of what this side knew below the folder, but never
        // an event for the folder itself; the folder is gone here and stays on the server
        // with the changes this side has not seen. It comes back from the server with its
        // current ids, so that both sides end with the same tree.
        w.PushDownloadEvent(w.GetPath(), true);
        return 0;
    }
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] worker.cpp(%d): RemoveRemote: Failed to remove '%s'. %s\n",
                   __LINE__, full_path.c_str_utf8(), Worker::GetErrorString(mapped));
    return mapped;
}

} // namespace

int Worker::RemoveRemote()
{
    const Event &ev = context.current_event;
    const ustring &full_path = GetFullPath();
    int refused = 0;
    if (!transfer::GuardEventPath(context.root_entry, ev, GetId(), refused)) {
        return refused;
    }
    const int filter = TestRemoveRemoteFilter();
    if (filter != 1) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): RemoveRemote: File '%s' cannot pass filter "
                       "testing '%d'.\n",
                       __LINE__, ev.m_path.c_str_utf8(), filter);
        return filter;
    }
    if (context.root_entry.read_only && ev.isLocalEvent()) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): RemoveRemote: File '%s' in registry entry (with "
                       "session id %llu) is read-only, ignore event\n",
                       __LINE__, full_path.c_str_utf8(),
                       static_cast<unsigned long long>(context.root_entry.sess_id));
        return 0;
    }
    if (TestFileLocked(full_path, FS_ACCESS_READ) != 0) {
        return ERR_LOCKED_FILE;
    }
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): RemoveRemote: Failed to get "
                       "filesystem into for %s\n",
                       __LINE__, GetId(), full_path.c_str_utf8());
        return ERR_SYS;
    }
    const DBFileInfo &row = context.database_record;
    if (!HasRow(row)) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Worker (%d): RemoveRemote: '%llu:%s' cannot be "
                       "removed (no record).\n",
                       __LINE__, GetId(), static_cast<unsigned long long>(GetViewId()),
                       GetPath().c_str_utf8());
        return 0;
    }
    if (local.isExist) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): Worker (%d): RemoveRemote: Path '%s' exists\n",
                       __LINE__, GetId(), full_path.c_str_utf8());
        if (row.IsDir()) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): Worker (%d) RemoveRemote: Need "
                           "ExpandLocalDeleteEvent at '%s'.\n",
                           __LINE__, GetId(), full_path.c_str_utf8());
            ExpandLocalDeleteEvent(GetPath());
        }
        return 0;
    }
    PObject request = BuildRemoveRequest(*this);
    PObject response;
    const int rc = ProtoRemove(request, response);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Worker (%d): RemoveRemote: failed to remove object "
                       "(%s). %s.\n",
                       __LINE__, GetId(), full_path.c_str_utf8(), GetErrorString(rc));
        return rc;
    }
    if (response.hasMember("error")) {
        const int handled = HandleRemoveError(*this, response);
        if (handled != 1) {
            return handled;
        }
    }
    if (RemoveDatabaseInfo() != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RemoveRemote: Failed to update local event "
                       "database. Error code = %d\n",
                       __LINE__, -1);
        return ERR_SYS;
    }
    notify_event_type = NOTIFY_CLIENT_REMOVE;
    return 0;
}

int Worker::TestRemoveLocalFilter()
{
    const int common = TestCommonFilter();
    if (common != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): Filtered Event: '%s' (blocked: %d)\n", __LINE__,
                       context.current_event.m_path.c_str_utf8(), common);
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    return 1;
}

int Worker::RemoveLocal()
{
    const Event &ev = context.current_event;
    const ustring &full_path = GetFullPath();
    int refused = 0;
    if (!transfer::GuardEventPath(context.root_entry, ev, GetId(), refused)) {
        return refused;
    }
    const int filter = TestRemoveLocalFilter();
    if (filter != 1) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): RemoveLocal: File '%s' cannot pass filter "
                       "testing '%d'.\n",
                       __LINE__, ev.m_path.c_str_utf8(), filter);
        return filter;
    }
    if (TestFileLocked(full_path, FS_ACCESS_WRITE | FS_ACCESS_DELETE) != 0) {
        return ERR_LOCKED_FILE;
    }
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): RemoveLocal: File '%s' cannot be removed\n",
                       __LINE__, full_path.c_str_utf8());
        return ERR_SYS;
    }
    if (!local.isExist) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): RemoveLocal: '%s' has already been removed\n",
                       __LINE__, full_path.c_str_utf8());
        RemoveDatabaseInfo();
        return 0;
    }
    const DBFileInfo row = context.database_record;
    if (HasRow(row) && row.maxSyncID > ev.m_max_id) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): RemoveLocal: Based sync id is change, can not "
                       "remove local [%s]. db max_id = '%llu', event max_id = '%llu'\n",
                       __LINE__, full_path.c_str_utf8(),
                       static_cast<unsigned long long>(row.maxSyncID),
                       static_cast<unsigned long long>(ev.m_max_id));
        if (local.type == FT_DIR) {
            ExpandServerDeleteEvent(GetPath(), ev.m_sess_id, ev.m_sync_id);
        }
        return 0;
    }
    if (HasRow(row) && !LocallyModified(local, row, ustring())) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Removing local '%s'\n",
                       __LINE__, full_path.c_str_utf8());
        if (ProcessRenameRemoveLocal(local) != 0) {
            return ERR_SYS;
        }
        notify_event_type = NOTIFY_SERVER_REMOVE;
        return 0;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): RemoveLocal: Detect local modification to '%s', resolve "
                   "conflict\n",
                   __LINE__, full_path.c_str_utf8());
    if (ConflictRename(full_path, GetComputerName(),
                       CONFLICT_REASON) != 0) {
        return ERR_SYS;
    }
    if (RemoveDatabaseInfo() != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): RemoveLocal: Failed to remove database record for "
                       "'%llu:%s'\n",
                       __LINE__, static_cast<unsigned long long>(GetViewId()),
                       GetPath().c_str_utf8());
        return ERR_SYS;
    }
    notify_event_type = NOTIFY_SERVER_REMOVE;
    return 0;
}

int Worker::ProcessRenameRemoveLocal(const LocalFileInfo &local)
{
    int rc;
    if (local.type == FT_DIR) {
        // Files changed or created below the directory since the last sync stay in the
        // synced tree as conflict copies; only the synced rest goes to the bin.
        rc = HasUnsyncedContent(*this, GetPath(), GetFullPath()) ? RemoveDirectoryKeepingChanges(*this)
                                                                : RenameRemoveDirectory();
    } else {
        rc = RenameRemoveFile();
    }
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): ProcessRenameRemoveLocal: Failed to remove '%s'\n",
                       __LINE__, GetFullPath().c_str_utf8());
        return ERR_SYS;
    }
    Registry::getInstance().InitRecycleTime(context.root_entry, static_cast<uint32_t>(time(nullptr)));
    return 0;
}
