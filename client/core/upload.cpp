// UploadLocal: sends the current state of a local file or directory to the server: the
// content as a delta against the last synced version or whole, only a reference when it did
// not change, resumably when the file is large; then commits the server's answer.
#include "client/core/connection.h"
#include "client/core/transfer-util.h"
#include "client/core/upload.h"
#include "client/core/worker.h"

#include "black-list-v2.h"
#include "conflict-rename.h"
#include "error-code.h"
#include "file-op.h"
#include "log.h"

using transfer::kComponent;

namespace
{

// Selective-sync reasons: a local change they block is remembered, so that it can be synced
// when the user loosens the filter.
bool IsSelectiveSyncReason(int reason) { return reason <= -12 && reason >= -14; }
const int kSelectiveSyncSizeReason = -15;

const char *const kMetadataBlocks[] = {"mac_attribute", "exec_bit", "unix_perm", "zentora_acl",
                                       "share_priv"};

} // namespace

int Worker::TestUploadLocalFilter()
{
    const Event &ev = context.current_event;
    const int common = TestCommonFilter();
    if (common != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): Filtered Event: '%s' (blocked: %d)\n", __LINE__,
                       ev.m_path.c_str_utf8(), common);
        if (IsSelectiveSyncReason(common)) {
            AddFilteredEventToDB(ev, common);
        }
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    if (TestFileLocked(GetFullPath(), FS_ACCESS_READ) != 0) {
        return ERR_LOCKED_FILE;
    }
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Failed to get file status for '%s'.\n", __LINE__,
                       GetFullPath().c_str_utf8());
        return ERR_SYS;
    }
    // Directories have no content size; a size rule would block every one of them.
    if (!local.isExist || local.type == FT_DIR) {
        return 1;
    }
    int reason = BlackList2::getInstance().TestFileSize(local.size);
    bool session_list = false;
    if (reason == 0 && GetBlackList() != nullptr) {
        reason = GetBlackList()->TestFileSize(local.size);
        session_list = true;
    }
    if (reason == 0) {
        return 1;
    }
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] worker.cpp(%d): Filtered Event: '%s' (blocked: %d)\n", __LINE__,
                   ev.m_path.c_str_utf8(), reason);
    if (session_list && reason == kSelectiveSyncSizeReason) {
        AddFilteredEventToDB(ev, reason);
    }
    notify_event_type = NOTIFY_FILTERED;
    return 0;
}

bool Worker::IsUploadLocalFakeEvent(const LocalFileInfo &local, const DBFileInfo &)
{
    if (!local.isExist) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): UploadLocal: '%s' cannot be uploaded (vanish)\n",
                       __LINE__, GetFullPath().c_str_utf8());
        return true;
    }
    if (local.type != FT_FILE && local.type != FT_DIR) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): UploadLocal: '%s' cannot be uploaded (unsupported "
                       "file)\n",
                       __LINE__, GetFullPath().c_str_utf8());
        notify_event_type = NOTIFY_FILTERED;
        return true;
    }
    return false;
}

int Worker::TestBaseNameConflict(const ustring &basename)
{
    const std::string name(basename.c_str_utf8(), basename.length());
    if (name.empty()) {
        return 1;
    }
    const ustring computer = GetComputerName();
    if (name.back() == ' ') {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): TestBaseNameConflict : WhiteSpaceConflict "
                       "'%s'.\n",
                       __LINE__, GetFullPath().c_str_utf8());
        return WhiteSpaceConflictRename(GetFullPath(), basename, computer) == 0 ? 0 : ERR_SYS;
    }
    if (name.back() == '.') {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] worker.cpp(%d): TestBaseNameConflict : TailCharacterConflict "
                       "'%s'.\n",
                       __LINE__, GetFullPath().c_str_utf8());
        return ConflictRename(GetFullPath(), computer, TAIL_CHARACTER_CONFLICT_REASON) == 0
                   ? 0
                   : ERR_SYS;
    }
    return 1;
}

int Worker::PrepareMtime(const LocalFileInfo &local, const DBFileInfo &basis, PObject &request)
{
    if (basis.syncID != 0 && local.mtime == basis.fileModTime) {
        request["mtime"]["refer"] = true;
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): modify time: same as the base version\n",
                       __LINE__);
        return 0;
    }
    request["mtime"]["refer"] = false;
    request["mtime"]["mtime"] = local.mtime;
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): modify time: %u\n",
                   __LINE__, local.mtime);
    return 0;
}

bool Worker::IsUploadLocalFakeRequest(const DBFileInfo &, const PObject &request)
{
    const bool content_unchanged = request["is_dir"].asBool() || !request.hasMember("file") ||
                                   request["file"]["refer"].asBool();
    if (!content_unchanged) {
        return false;
    }
    for (const char *block : kMetadataBlocks) {
        if (request.hasMember(block) && !request[block]["refer"].asBool()) {
            return false;
        }
    }
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] worker.cpp(%d): upload fake request\n",
                   __LINE__);
    return true;
}

int Worker::CheckLocalModification(const PObject &request, const PObject &)
{
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Failed to get local file info at '%s'.\n",
                       __LINE__, GetFullPath().c_str_utf8());
        return -1;
    }
    if (!local.isExist) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): File removed during upload progress, add event "
                       "remove for '%s'\n",
                       __LINE__, GetFullPath().c_str_utf8());
        PushRemoveEvent(GetPath(), request["is_dir"].asBool());
    }
    return 0;
}

int Worker::UploadLocal()
{
    const ustring &full_path = GetFullPath();
    const ustring basename = transfer::BaseNameOf(GetPath());
    int result = 0;
    if (!transfer::BeginTransfer(*this, transfer::TransferKind::UPLOAD, result)) {
        return result;
    }
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): UploadLocal: failed to get local file system info "
                       "of '%s'\n",
                       __LINE__, full_path.c_str_utf8());
        return ERR_SYS;
    }
    DBFileInfo basis = context.database_record;
    if (basis.syncID == 0) {
        basis.Clear();
    }
    if (IsUploadLocalFakeEvent(local, basis)) {
        return 0;
    }
    const int name_ok = TestBaseNameConflict(basename);
    if (name_ok != 1) {
        return name_ok;
    }
    return UploadToServer(*this, local, basis);
}
