// The transfer half of an upload: the file block (hash, new signature and a delta against
// the basis signature, in one pass), the resume state of large files, the exchanges and the
// handling of the server's answer.
#include "client/core/connection.h"
#include "client/core/resume-mgr.h"
#include "client/core/transfer-util.h"
#include "client/core/upload.h"
#include "client/core/worker.h"

#include "conflict-rename.h"
#include "error-code.h"
#include "file-op.h"
#include "log.h"
#include "proto-common.h"
#include "utility.h"

using transfer::kComponent;

namespace
{

const uint32_t kErrBasisRemoved = 0x9001;
const uint32_t kErrChangedOnServer = 0x9002;
const uint32_t kErrBelowFile = 0x6001;
const uint32_t kErrClassPathname = 0x6000;
const uint32_t kErrClassBadContent = 0x7000;
const uint32_t kErrClassResume = 0xB000;

bool SameState(const LocalFileInfo &a, const LocalFileInfo &b)
{
    return a.isExist == b.isExist && a.size == b.size && a.mtime == b.mtime && a.type == b.type &&
           a.path == b.path && a.name == b.name;
}

// A cached request no longer describes the file when its size or time changed meanwhile.
bool IsStaleRequest(const PObject &request, const LocalFileInfo &local, const DBFileInfo &basis)
{
    const uint32_t mtime = request["mtime"]["refer"].asBool() ? basis.fileModTime
                                                              : request["mtime"]["mtime"].asUInt32();
    const bool size_differs = request.hasMember("file") && request["file"]["size"].asUInt64() != local.size;
    return mtime != local.mtime || size_differs;
}

// Takes an interrupted transfer of this path from the resume cache, unless the file has
// changed since, in which case it is dropped with its files.
void TakeCachedUpload(Worker &w, const LocalFileInfo &local, const DBFileInfo &basis)
{
    ResumeTransMgr::CachedJob job;
    if (ResumeTransMgr::GetInstance().Take(w.resume_token, job) != 0) {
        return;
    }
    if (IsStaleRequest(job.cached_req, local, basis)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): cached_request is differ from local file system "
                       "for file '%s', just clear cache\n",
                       __LINE__, w.GetFullPath().c_str_utf8());
        job.Clear();
        return;
    }
    w.cached_request = job.cached_req;
    w.cached_response = job.cached_resp;
    w.upload_sign_file = job.upload_sign_file;
}

// Builds a fresh request. `resumable` tells whether it goes through the resumable protocol.
int BuildUploadRequest(Worker &w, const LocalFileInfo &local, const DBFileInfo &basis,
                       TempFile &sign, PObject &request, bool &resumable)
{
    const Registry::Entry &reg = w.GetEntry();
    request["session"] = w.GetConnection()->getConnectionInfo().session;
    request["view_id"] = reg.view_id;
    request["node_id"] = reg.node_id;
    request["sync_id"] = basis.syncID;
    request["max_id"] = basis.maxSyncID;
    request["path"] = transfer::ServerPathOf(reg, w.GetPath());
    resumable = false;
    if (local.type == FT_DIR) {
        request["is_dir"] = true;
    } else {
        request["is_dir"] = false;
        resumable = local.size > transfer::kResumableUploadSize;
        FSMKDir(w.GetSignDirectory(), true);
        sign.create();
        const int rc = w.PrepareFileBlock(request, sign.getPath());
        if (rc != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): UploadLocal: failed to prepare file block for "
                           "'%s'. %s\n",
                           __LINE__, w.GetFullPath().c_str_utf8(), Worker::GetErrorString(rc));
            return rc;
        }
    }
    w.PrepareMtime(local, basis, request);
    if (resumable) {
        request["_action"] = "resume_upload";
        w.cached_request = request;
        sign.convert_permanent();
        w.upload_sign_file = sign.getPath();
    } else {
        request["_action"] = "upload";
    }
    return 0;
}

int HandleUploadError(Worker &w, const PObject &response)
{
    w.ClearCache();
    const uint32_t code = response["error"]["code"].asUInt32();
    const ustring &full_path = w.GetFullPath();
    if (code == kErrBasisRemoved) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): UploadFile: file is removed during transfer, try it "
                       "again.\n",
                       __LINE__);
        w.RemoveDatabaseInfo();
        return ERR_INT;
    }
    if (code == kErrChangedOnServer) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): UploadFile: '%s' is changed on the server side, "
                       "wait \n",
                       __LINE__, full_path.c_str_utf8());
        return 0;
    }
    if (code == kErrBelowFile) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): UploadFile: wait until '%s' is synced with server "
                       "... \n",
                       __LINE__, full_path.c_str_utf8());
        return 0;
    }
    if ((code & 0xF000) == kErrClassPathname) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): UploadFile: Pathname '%s' conflict.\n", __LINE__,
                       full_path.c_str_utf8());
        return ConflictRename(full_path, w.GetComputerName(),
                              CONFLICT_REASON) == 0
                   ? ERR_INT
                   : ERR_SYS;
    }
    if ((code & 0xF000) == kErrClassResume) {
        return ERR_INT;
    }
    const int rc = w.ProtoResp2ErrorCode(code);
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] worker.cpp(%d): UploadFile: Bad response: %s\n",
                   __LINE__, Worker::GetErrorString(rc));
    if ((code & 0xF000) == kErrClassBadContent) {
        // The server's basis is not ours: forget it and send the file whole next time.
        w.RemoveDatabaseInfo();
        return ERR_INT;
    }
    return rc;
}

} // namespace

int UploadToServer(Worker &w, const LocalFileInfo &local, const DBFileInfo &basis)
{
    const ustring &full_path = w.GetFullPath();
    TakeCachedUpload(w, local, basis);
    TempFile sign(w.GetSignDirectory());
    PObject request;
    bool resumable = true;
    if (!w.cached_request.isNull() && !w.cached_request.isEmpty()) {
        request = w.cached_request;
    } else {
        const int rc = BuildUploadRequest(w, local, basis, sign, request, resumable);
        if (rc != 0) {
            return rc;
        }
    }
    if (basis.syncID != 0 && w.IsUploadLocalFakeRequest(basis, request)) {
        if (!request["is_dir"].asBool() && request.hasMember("mtime") &&
            !request["mtime"]["refer"].asBool()) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): UploadLocal: Dir attr of '%s' is not changed, "
                           "adjust mtime back\n",
                           __LINE__, full_path.c_str_utf8());
            FSUTime(full_path, basis.fileModTime, basis.fileModTime);
        }
        w.ClearPObject(request);
        return 0;
    }
    if (w.GetEntry().read_only && w.GetCurrentEvent().isLocalEvent()) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): UploadLocal: File '%s' in registry entry (with "
                       "session id %llu) is read-only, ignore event\n",
                       __LINE__, full_path.c_str_utf8(),
                       static_cast<unsigned long long>(w.GetEntry().sess_id));
        w.notify_event_type = Worker::NOTIFY_READ_ONLY;
        w.ClearPObject(request);
        return 0;
    }
    PObject response;
    int rc = w.ProtoUpload(resumable, request, response);
    if (rc < 0) {
        if (!resumable) {
            // Only resumable transfers are taken up again; a delta made for this attempt goes.
            w.ClearPObject(request);
        }
        return rc;
    }
    if (response.hasMember("error")) {
        rc = HandleUploadError(w, response);
        w.ClearPObject(response);
        w.ClearPObject(request);
        return rc;
    }
    const ustring sign_file = resumable ? w.upload_sign_file : sign.getPath();
    rc = 0;
    if (w.CommitDatabaseUpload(request, response, basis,
                               transfer::FileSizeOf(sign_file) > 0 ? sign_file : ustring()) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): UploadLocal: Failed to update local event "
                       "database.\n",
                       __LINE__);
        rc = ERR_SYS;
    } else {
        if (w.CheckLocalModification(request, response) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): UploadLocal: Failed to "
                           "CheckLocalModification.\n",
                           __LINE__);
        }
        w.notify_event_type = Worker::NOTIFY_CLIENT_MODIFY;
    }
    w.ClearPObject(response);
    w.ClearPObject(request);
    return rc;
}

int Worker::PrepareFileBlock(PObject &request, const ustring &sign_file)
{
    const ustring &full_path = GetFullPath();
    const DBFileInfo &basis = context.database_record;
    LocalFileInfo before;
    if (GetFilesystemInfo(before) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to get file status for "
                       "'%s', redo\n",
                       __LINE__, full_path.c_str_utf8());
        return ERR_SYS;
    }
    ustring hash;
    bool refer = false;
    TempFile delta(GetWorkingDirectory());
    bool has_delta = false;
    if (basis.syncID != 0 && !LocallyModified(before, basis, ustring())) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): PrepareFileBlock: File '%s' is not modified (weak "
                       "check)\n",
                       __LINE__, full_path.c_str_utf8());
        hash = basis.fileCheckSum;
        refer = true;
    } else {
        if (sign_file.empty()) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to create signature \n",
                           __LINE__);
            return ERR_SYS;
        }
        if (basis.syncID != 0 && basis.IsFile() && basis.fileSize != 0 &&
            IsFileExist(basis.signaturePath, false)) {
            if (delta.create() != 0) {
                Logger::LogMsg(Logger::L_ERR, kComponent,
                               "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to create "
                               "temporary delta file, try it again\n",
                               __LINE__);
                return ERR_SYS;
            }
            has_delta = true;
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): PrepareFileBlock: prepare delta file at '%s'\n",
                           __LINE__, delta.getPath().c_str_utf8());
        } else {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): PrepareFileBlock: Cannot retrieve base event "
                           "info for file '%s'\n",
                           __LINE__, full_path.c_str_utf8());
        }
        const int rc = transfer::DigestFile(full_path, sign_file, hash, ReaderAbortFlag(), ustring(),
                                            has_delta ? delta.getPath() : ustring(),
                                            has_delta ? basis.signaturePath : ustring());
        if (rc != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to read file for "
                           "'%s', try it again\n",
                           __LINE__, full_path.c_str_utf8());
            return ERR_SYS;
        }
        if (basis.syncID != 0 && hash == basis.fileCheckSum) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): PrepareFileBlock: File content of '%s' is not "
                           "changed, do refer\n",
                           __LINE__, full_path.c_str_utf8());
            refer = true;
        } else {
            LocalFileInfo after;
            if (GetFilesystemInfo(after) != 0) {
                Logger::LogMsg(Logger::L_ERR, kComponent,
                               "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to get file "
                               "status for '%s', undo\n",
                               __LINE__, full_path.c_str_utf8());
                return ERR_SYS;
            }
            if (!SameState(before, after)) {
                Logger::LogMsg(Logger::L_INFO, kComponent,
                               "[INFO] worker.cpp(%d): PrepareFileBlock: File '%s' is modified "
                               "while preparing upload (file system), try it again\n",
                               __LINE__, full_path.c_str_utf8());
                return ERR_INT;
            }
        }
    }
    request["file"]["size"] = before.size;
    request["file"]["hash"] = hash;
    if (refer) {
        request["file"]["refer"] = true;
        return 0;
    }
    PObject::binary_type data;
    data.offset = 0;
    if (has_delta) {
        FILE_INFO info;
        const int rc = FSStat(delta.getPath(), info, false);
        if (rc != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): PrepareFileBlock: FSStat(%s) returns %d\n",
                           __LINE__, delta.getPath().c_str_utf8(), rc);
            return ERR_SYS;
        }
        delta.convert_permanent();
        data.path = delta.getPath();
        data.length = info.size;
    } else {
        data.path = full_path;
        data.length = before.size;
    }
    request["file"]["refer"] = false;
    request["file"]["is_delta"] = has_delta;
    request["file"]["data"] = data;
    return 0;
}

int Worker::ProtoUploadObject(Channel &channel, PObject &request, PObject &response)
{
    const int rc = RunProtocol(channel, SCMD_PKG_VER_QUERY, request, response);
    return rc > 0 ? 0 : rc;
}

int Worker::ProtoResumeUploadObject(Channel &channel, PObject &request, PObject &response)
{
    if (request.hasMember("_resume_token")) {
        PObject status;
        PObject status_response;
        InitRequest(status, "resume_get_status");
        status["session"] = request["session"];
        status["view_id"] = request["view_id"];
        status["_resume_token"] = request["_resume_token"];
        int rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, status, status_response);
        if (rc < 0) {
            return rc;
        }
        if (status_response.hasMember("error")) {
            response = status_response;
            return 0;
        }
        if (status_response.hasMember("file") && request["file"]["data"].isBinary()) {
            const uint64_t held = status_response["file"]["offset"].asUInt64();
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): Worker (%d): adjust upload file offset to "
                           "%llu\n",
                           __LINE__, GetId(), static_cast<unsigned long long>(held));
            PObject::binary_type &data = request["file"]["data"].asBinary();
            const uint64_t skip = held < data.length ? held : data.length;
            data.offset += skip;
            data.length -= skip;
        }
        rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, request, response);
        return rc > 0 ? 0 : rc;
    }
    PObject token_request;
    PObject token_response;
    InitRequest(token_request, "resume_get_token");
    token_request["session"] = request["session"];
    token_request["view_id"] = request["view_id"];
    int rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, token_request, token_response);
    if (rc < 0) {
        return rc;
    }
    if (token_response.hasMember("error")) {
        response = token_response;
        return 0;
    }
    const ustring token = token_response["resume_token"].asString();
    request["_resume_token"] = token;
    cached_request["_resume_token"] = token;

    PObject dry = request;
    dry["_action"] = "upload";
    dry["dry_run"] = true;
    if (dry.hasMember("file")) {
        dry["file"].asMap().erase("data");
    }
    if (dry.hasMember("mac_attribute")) {
        dry["mac_attribute"].asMap().erase("data");
    }
    PObject dry_response;
    rc = RunProtocol(channel, SCMD_PKG_VER_QUERY, dry, dry_response);
    if (rc < 0) {
        return rc;
    }
    if (dry_response.hasMember("error")) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): upload file: %s\n", __LINE__, GetId(),
                       dry_response["error"]["reason"].asString().c_str_utf8());
        response = dry_response;
        return 0;
    }
    const uint64_t file_id = dry_response["file"]["file_id"].asUInt64();
    if (file_id != 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Server side has same file hash '%s' in file_id "
                       "'%llu'.\n",
                       __LINE__, request["file"]["hash"].asString().c_str_utf8(),
                       static_cast<unsigned long long>(file_id));
        request["file"]["refer"] = true;
        request["file"]["file_id"] = file_id;
        request["file"].asMap().erase("data");
    }
    rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, request, response);
    return rc > 0 ? 0 : rc;
}
