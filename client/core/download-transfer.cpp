// The transfer half of a download: the resumable request, the new file built from a whole
// content or a patch against the local basis and verified by its hash, the conflict copy of
// a changed local file, the move into place and the commit.
#include "client/core/connection.h"
#include "client/core/download.h"
#include "client/core/resume-mgr.h"
#include "client/core/transfer-util.h"
#include "client/core/worker.h"

#include "conflict-rename.h"
#include "error-code.h"
#include "file-op.h"
#include "log.h"
#include "proto-common.h"
#include "rsapi-cpp/file-reader.h"
#include "rsapi-cpp/xio.h"
#include "utility.h"

#include <fcntl.h>
#include <memory>
#include <system_error>
#include <thread>
#include <unistd.h>

using transfer::kComponent;

namespace
{

const uint32_t kErrObjectRemoved = 0x8001;
const uint32_t kErrClassResume = 0xB000;

PObject BuildDownloadRequest(Worker &w, const DBFileInfo &basis)
{
    const Registry::Entry &reg = w.GetEntry();
    const Event &ev = w.GetCurrentEvent();
    PObject request;
    InitRequest(request, "resume_download");
    request["session"] = w.GetConnection()->getConnectionInfo().session;
    request["view_id"] = reg.view_id;
    request["node_id"] = reg.node_id;
    request["sync_id"] = basis.syncID;
    request["max_id"] = basis.maxSyncID;
    request["target_sync_id"] = ev.m_sync_id;
    request["path"] = transfer::ServerPathOf(reg, w.GetPath());
    request["file"]["offset"] = static_cast<uint64_t>(0);
    request["mtime"]["offset"] = static_cast<uint64_t>(0);
    request["force_current_version"] = false;
    return request;
}

// Takes a transfer of this path that an earlier attempt left in the resume cache.
void TakeCachedDownload(Worker &w)
{
    ResumeTransMgr::CachedJob job;
    if (ResumeTransMgr::GetInstance().Take(w.resume_token, job) != 0) {
        return;
    }
    w.cached_request = job.cached_req;
    w.cached_response = job.cached_resp;
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Cached request: '%s'\n",
                   __LINE__, w.cached_request.toString().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Cached response: '%s'\n",
                   __LINE__, w.cached_response.toString().c_str_utf8());
}

// The request to send and the object to receive into. A resumed attempt asks for the
// data after what the earlier one stored and appends it to the same file.
void PrepareExchange(Worker &w, const DBFileInfo &basis, PObject &request, PObject &response)
{
    if (w.cached_request.isNull() || w.cached_request.isEmpty()) {
        request = BuildDownloadRequest(w, basis);
        w.cached_request = request;
        return;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d): cached_request %s\n",
                   __LINE__, w.GetId(), w.cached_request.toString().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d): cached_response %s\n",
                   __LINE__, w.GetId(), w.cached_response.toString().c_str_utf8());
    request = w.cached_request;
    const PObject::binary_type *partial = transfer::FileData(w.cached_response);
    if (partial == nullptr) {
        return;
    }
    request["file"]["offset"] = partial->length;
    response["file"]["data"] = *partial;
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): Worker (%d): continue download file to %s, offset "
                   "%llu\n",
                   __LINE__, w.GetId(), partial->path.c_str_utf8(),
                   static_cast<unsigned long long>(partial->length));
}

// Keeps what a failed exchange received so that the next attempt appends to it.
void KeepPartialDownload(Worker &w, int rc, const PObject &response)
{
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] worker.cpp(%d): Worker (%d): failed to download '%s'. %s.\n", __LINE__,
                   w.GetId(), w.GetFullPath().c_str_utf8(), Worker::GetErrorString(rc));
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d): partial response %s\n",
                   __LINE__, w.GetId(), response.toString().c_str_utf8());
    const PObject::binary_type *partial = transfer::FileData(response);
    if (partial == nullptr) {
        return;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): Worker (%d): partial file in response is stored (at "
                   "'%s' with size %llu).\n",
                   __LINE__, w.GetId(), partial->path.c_str_utf8(),
                   static_cast<unsigned long long>(partial->length));
    w.cached_response["file"]["data"] = *partial;
}

int HandleDownloadError(Worker &w, const PObject &response)
{
    w.ClearCache();
    const uint32_t code = response["error"]["code"].asUInt32();
    if (code == kErrObjectRemoved) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): DownloadRemote: Object %s is removed, fake event, "
                       "abort anyway\n",
                       __LINE__, w.GetPath().c_str_utf8());
        return w.RemoveLocal();
    }
    if ((code & 0xF000) == kErrClassResume) {
        return ERR_INT;
    }
    const int rc = w.ProtoResp2ErrorCode(code);
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] worker.cpp(%d): DownloadRemote: Bad response: %s\n", __LINE__,
                   Worker::GetErrorString(rc));
    return rc;
}

// FAT keeps times in two-second steps: the time the download sets has its lowest bit
// cleared, so that a later comparison with the file system matches.
void AdjustMtimeForMSDOS(PObject &response)
{
    if (response.hasMember("mtime") && response["mtime"].hasMember("mtime")) {
        response["mtime"]["mtime"] = response["mtime"]["mtime"].asUInt32() & ~1u;
    } else if (response.hasMember("common_attribute") &&
               response["common_attribute"].hasMember("mtime")) {
        response["common_attribute"]["mtime"] =
            response["common_attribute"]["mtime"].asUInt32() & ~1u;
    }
}

// The local file already is the new version: it stays, and the signature pass that ran
// over a rejected patch result is emptied so that the commit keeps the basis signature.
int SettleOnBasis(const Worker &w, ustring &new_file, const ustring &sign_file)
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): PrepareDownloadFile: basis file is the same as the new "
                   "file...\n",
                   __LINE__);
    if (truncate(sign_file.c_str_utf8(), 0) != 0) {
        FSRemove(sign_file);
    }
    new_file = w.GetFullPath();
    return 0;
}

// Places the answer's object and commits it. `sign` is the signature file the new
// content's pass writes; it is taken into the database only when that pass ran.
// `known_hash`, when set, is the hash of the received whole file, whose signature is in
// `sign` already.
int PlaceAndCommit(Worker &w, PObject &response, const DBFileInfo &basis, TempFile &sign,
                   const ustring &known_hash)
{
    const bool is_dir = response["is_dir"].asBool();
    int rc;
    if (is_dir) {
        rc = w.ProcessDownloadDirectory(response);
    } else {
        FSMKDir(w.GetSignDirectory(), true);
        if (sign.getPath().empty()) {
            sign.create();
        }
        rc = w.ProcessDownloadFile(response, sign.getPath(), known_hash);
    }
    if (rc == FS_ERR_PATH_TOO_LONG) {
        Logger::LogMsg(Logger::L_CRIT, kComponent,
                       "[CRIT] worker.cpp(%d): ProcessDownloadFile : encounter MAX_PATH_ERR when "
                       "renaming '%s'.\n",
                       __LINE__, w.GetFullPath().c_str_utf8());
        return 0;
    }
    if (rc < 0) {
        return rc;
    }
    const ustring sign_file = transfer::FileSizeOf(sign.getPath()) > 0 ? sign.getPath() : ustring();
    if (w.CommitDatabaseDownload(response, basis, sign_file) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): DownloadRemote: Failed to commit changes to '%s' "
                       "into local database. Error Code = %d\n",
                       __LINE__, w.GetFullPath().c_str_utf8(), -1);
        return ERR_SYS;
    }
    w.notify_event_type = Worker::NOTIFY_SERVER_MODIFY;
    return 0;
}

// Digests a whole file while it arrives: its hash, and its signature into `sign_path`,
// so that the stored file need not be read again. It also starts the file's writeback
// as the data comes in, which shortens the flush before the file takes its place. Only a
// reception that starts at the file's first byte can be digested this way; anything else
// (a resumed transfer, a second binary item) leaves no result and the file is read after.
class InflowDigest
{
public:
    InflowDigest(const ustring &sign_path, const std::atomic<bool> *abort_flag)
    {
        reader.setHashString(&hash);
        reader.setSignature(sign_path, transfer::kSignBlockLen, transfer::kSignStrongLen);
        reader.setAbortFlag(abort_flag);
    }
    ~InflowDigest()
    {
        if (begun && !finished) {
            reader.finish();
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    InflowDigest(const InflowDigest &) = delete;
    InflowDigest &operator=(const InflowDigest &) = delete;

    void Tap(const ustring &path, uint64_t at, const char *bytes, size_t n)
    {
        if (!usable) {
            return;
        }
        if (!begun) {
            begun = true;
            stored = path;
            usable = at == 0 && reader.start() == 0;
            fd = open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        } else if (path != stored || at != next) {
            usable = false;
        }
        if (usable && reader.feed(reinterpret_cast<const uint8_t *>(bytes), n) != 0) {
            usable = false;
        }
        next = at + n;
        // What lies before this stretch has left the stream's buffer for the page cache.
        if (at - written_back >= FD_WRITEBACK_STEP) {
            fd_start_writeback(fd, written_back, at - written_back);
            written_back = at;
        }
    }

    // The hash of `data` when the digested reception is exactly its content, else "".
    ustring Result(const PObject::binary_type *data)
    {
        if (!begun || finished) {
            return ustring();
        }
        finished = true;
        const bool complete = reader.finish() == 0;
        if (!usable || !complete || data == nullptr || data->path != stored ||
            data->offset != next || next != reader.fedBytes()) {
            return ustring();
        }
        return hash;
    }

private:
    StreamFileReader reader;
    ustring hash;
    ustring stored;
    uint64_t next = 0;
    uint64_t written_back = 0;
    int fd = -1;
    bool begun = false;
    bool finished = false;
    bool usable = true;
};

// Routes the worker's received binary items through `digest` for one exchange.
class TapGuard
{
public:
    TapGuard(PStream &stream, InflowDigest *digest) : stream(stream)
    {
        if (digest != nullptr) {
            stream.SetRecvBinaryTap(
                [digest](const ustring &path, uint64_t at, const char *bytes, size_t n) {
                    digest->Tap(path, at, bytes, n);
                });
        }
    }
    ~TapGuard() { stream.SetRecvBinaryTap(PStream::BinaryTap()); }
    TapGuard(const TapGuard &) = delete;
    TapGuard &operator=(const TapGuard &) = delete;

private:
    PStream &stream;
};

// Hashes the local file on a helper thread while the transfer runs, for the conflict
// check that precedes the move into place: that check then finds the hash in the
// worker's memo instead of reading a large file after the transfer. Started only where
// the check will read the file (the local file has the synced version's size).
class LocalHashAhead
{
public:
    LocalHashAhead(Worker &w, const DBFileInfo &basis) : w(w)
    {
        const ustring &path = w.GetFullPath();
        if (basis.syncID == 0 || !basis.IsFile() || basis.fileSize < kWorthwhileSize ||
            transfer::FileSizeOf(path) != basis.fileSize) {
            return;
        }
        try {
            worker = std::thread([this, path] {
                ustring hash;
                transfer::HashLocalFile(path, memo, hash, this->w.ReaderAbortFlag());
            });
        } catch (const std::system_error &) {
            // No thread: the conflict check reads the file itself.
        }
    }
    ~LocalHashAhead()
    {
        if (worker.joinable()) {
            worker.join();
            if (!memo.path.empty()) {
                w.hash_memo = memo;
            }
        }
    }
    LocalHashAhead(const LocalHashAhead &) = delete;
    LocalHashAhead &operator=(const LocalHashAhead &) = delete;

private:
    // Below this a file is read again faster than a thread is started.
    static const uint64_t kWorthwhileSize = 4u << 20;
    Worker &w;
    transfer::HashMemo memo;
    std::thread worker;
};

} // namespace

int DownloadFromServer(Worker &w, const DBFileInfo &basis)
{
    TakeCachedDownload(w);
    PObject request;
    PObject response;
    PrepareExchange(w, basis, request, response);

    // A fresh transfer is digested as it arrives; a resumed one is read once complete.
    FSMKDir(w.GetSignDirectory(), true);
    TempFile sign(w.GetSignDirectory());
    std::unique_ptr<InflowDigest> digest;
    if (request["file"]["offset"].asUInt64() == 0 && sign.create() == 0) {
        digest.reset(new InflowDigest(sign.getPath(), w.ReaderAbortFlag()));
    }
    int rc;
    {
        LocalHashAhead ahead(w, basis);
        TapGuard tap(w.trans_stream, digest.get());
        rc = w.ProtoDownload(true, request, response);
    }
    if (rc != 0) {
        KeepPartialDownload(w, rc, response);
        return rc;
    }
    if (response.hasMember("error")) {
        rc = HandleDownloadError(w, response);
        w.ClearPObject(response);
        return rc;
    }
    if (w.GetEntry().isMSDOS) {
        AdjustMtimeForMSDOS(response);
    }
    if (response["sync_id"].asUInt64() == request["sync_id"].asUInt64()) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): DownloadRemote: %s is already up to date\n",
                       __LINE__, w.GetPath().c_str_utf8());
        w.notify_event_type = Worker::NOTIFY_SERVER_MODIFY;
        w.ClearPObject(response);
        return 0;
    }
    const PObject::binary_type *data = transfer::FileData(response);
    const ustring known_hash =
        digest != nullptr && !response["file"]["is_delta"].asBool() ? digest->Result(data) : ustring();
    digest.reset();
    rc = PlaceAndCommit(w, response, basis, sign, known_hash);
    w.ClearPObject(response);
    w.ClearPObject(request);
    return rc;
}

int Worker::ProtoResumeDownloadObject(Channel &channel, PObject &request, PObject &response)
{
    if (!request.hasMember("_resume_token")) {
        PObject token_request;
        PObject token_response;
        InitRequest(token_request, "resume_get_token");
        token_request["session"] = request["session"];
        token_request["view_id"] = request["view_id"];
        const int rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, token_request, token_response);
        if (rc < 0) {
            return rc;
        }
        if (token_response.hasMember("error")) {
            response = token_response;
            return 0;
        }
        request["_resume_token"] = token_response["resume_token"].asString();
        cached_request["_resume_token"] = token_response["resume_token"].asString();
    }
    const int rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, request, response);
    return rc > 0 ? 0 : rc;
}

int Worker::ProtoDownloadObject(Channel &channel, PObject &request, PObject &response)
{
    const int rc = RunProtocol(channel, SCMD_GET_FOLDER_LIST, request, response);
    return rc > 0 ? 0 : rc;
}

int Worker::ProcessDownloadDirectory(const PObject &response)
{
    const ustring &full_path = GetFullPath();
    int rc = HandleDownloadConflict(response);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): ProcessDownloadDirectory: "
                       "HandleDownloadConflict(%s) failed\n",
                       __LINE__, full_path.c_str_utf8());
        return rc;
    }
    if (FSMKDir(full_path, true) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): ProcessDownloadDirectory: Cannot create directory "
                       "%s\n",
                       __LINE__, full_path.c_str_utf8());
        return ERR_SYS;
    }
    UpdateModifyTime(full_path, response);
    return 0;
}

int Worker::ProcessDownloadFile(const PObject &response, const ustring &sign_file,
                                const ustring &known_hash)
{
    const ustring &full_path = GetFullPath();
    ustring new_file;
    int rc = PrepareDownloadFile(response, new_file, sign_file, known_hash);
    if (rc < 0) {
        if (!new_file.empty() && new_file != full_path) {
            FSRemove(new_file);
        }
        return rc;
    }
    UpdateModifyTime(new_file, response);
    if (new_file == full_path) {
        return 0;
    }
    rc = HandleDownloadConflict(response);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): ProcessDownloadFile: HandleDownloadConflict(%s) "
                       "failed\n",
                       __LINE__, full_path.c_str_utf8());
        FSRemove(new_file);
        return rc;
    }
    const ustring parent = transfer::ParentOf(full_path);
    if (!parent.empty() && FSMKDir(parent, true) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): DownloadRemote: Cannot create parent directory of "
                       "'%s'\n",
                       __LINE__, full_path.c_str_utf8());
        FSRemove(new_file);
        return ERR_SYS;
    }
    // The new content reaches the disk before its name replaces the old file; the rename
    // flushes the directories it changes. The temporary name needs no flush of its own.
    Worker::FlushFileToDisk(new_file);
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): rename %s -> %s\n",
                   __LINE__, new_file.c_str_utf8(), full_path.c_str_utf8());
    rc = FSRename(new_file, full_path);
    if (rc == 0) {
        context.placed_durably = true;
        return 0;
    }
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] worker.cpp(%d): MoveFile: fail to rename '%s' -> '%s'.\n", __LINE__,
                   new_file.c_str_utf8(), full_path.c_str_utf8());
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] worker.cpp(%d): DownloadRemote: Cannot rename from %s -> %s\n",
                   __LINE__, new_file.c_str_utf8(), full_path.c_str_utf8());
    if (rc == FS_ERR_PATH_TOO_LONG) {
        FSRemove(new_file);
        return FS_ERR_PATH_TOO_LONG;
    }
    // Kept with its hash, a later download of the same content takes it from the bin.
    const PObject &file = response["file"];
    const ustring mac_hash = response.hasMember("mac_attribute")
                                 ? response["mac_attribute"]["hash"].asString()
                                 : ustring();
    moveFileToRecycleBin(new_file, file["size"].asUInt64(), file["hash"].asString(), mac_hash);
    return ERR_SYS;
}

int Worker::PrepareDownloadFile(const PObject &response, ustring &new_file,
                                const ustring &sign_file, const ustring &known_hash)
{
    const ustring &full_path = GetFullPath();
    if (!response.hasMember("file") || response["file"]["refer"].asBool()) {
        new_file = full_path;
        return 0;
    }
    const PObject &file = response["file"];
    const PObject::binary_type *data = transfer::FileData(response);
    if (sign_file.empty()) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): PrepareDownloadFile: failed to prepare temporary "
                       "file\n",
                       __LINE__);
        return ERR_SYS;
    }
    ustring hash;
    if (file["is_delta"].asBool()) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): PrepareDownloadFile: download patch file\n",
                       __LINE__);
        ustring tmp;
        if (FSMktemp(GetWorkingDirectory(), tmp) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): PrepareDownloadFile: failed to prepare "
                           "temporary file\n",
                           __LINE__);
            return ERR_SYS;
        }
        new_file = tmp;
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): new file will be generated at %s\n", __LINE__,
                       tmp.c_str_utf8());
        int rc = data == nullptr ? -1
                                 : transfer::PatchFile(data->path, full_path, tmp, sign_file, hash,
                                                       ReaderAbortFlag());
        if (rc != 0) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): PrepareDownloadFile: Check basis file of (%s) "
                           "after patching failure ...\n",
                           __LINE__, full_path.c_str_utf8());
            rc = HandleDownloadPatchError(response);
            if (rc < 0) {
                return rc;
            }
            FSRemove(tmp);
            return SettleOnBasis(*this, new_file, sign_file);
        }
    } else {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): PrepareDownloadFile: download whole file\n",
                       __LINE__);
        new_file = data == nullptr ? ustring() : data->path;
        hash = known_hash;
        if (data == nullptr ||
            (hash.empty() &&
             transfer::DigestFile(data->path, sign_file, hash, ReaderAbortFlag()) != 0)) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): PrepareDownloadFile: Failed to verify new "
                           "file, try it again.\n",
                           __LINE__);
            return ERR_SYS;
        }
    }
    if (hash == file["hash"].asString()) {
        return 0;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): PrepareDownloadFile: Check basis file of (%s) after "
                   "incorrect patch file ...\n",
                   __LINE__, full_path.c_str_utf8());
    const int rc = HandleDownloadPatchError(response);
    if (rc < 0) {
        return rc;
    }
    if (new_file != full_path) {
        FSRemove(new_file);
    }
    return SettleOnBasis(*this, new_file, sign_file);
}

int Worker::HandleDownloadPatchError(const PObject &response)
{
    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        return ERR_SYS;
    }
    if (!local.isExist) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): HandleDownloadPatchError: Basis "
                       "unchanged but cannot prepare file (basis removed)\n",
                       __LINE__, GetId());
        return ERR_INT;
    }
    const int conflict = TestDownloadConflict(local, context.database_record, response);
    if (conflict < 0) {
        return conflict;
    }
    switch (conflict) {
    case CONFLICT_NONE:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker(%d): HandleDownloadPatchError: Basis "
                       "unchanged but cannot prepare file (incorrect patch file)\n",
                       __LINE__, GetId());
        ++patch_err_count;
        return ERR_SYS;
    case CONFLICT_RETRY:
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Worker (%d): HandleDownloadPatchError: Basis "
                       "changed, try to resolve conflict\n",
                       __LINE__, GetId());
        return ConflictRename(GetFullPath(), GetComputerName(),
                              CONFLICT_REASON) == 0
                   ? ERR_INT
                   : ERR_SYS;
    default:
        return 0;
    }
}

int Worker::UpdateModifyTime(const ustring &path, const PObject &response)
{
    if (!response.hasMember("mtime")) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): last motify time is not provided\n", __LINE__);
        return 0;
    }
    if (response["mtime"]["refer"].asBool()) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): last motify time is not changed\n", __LINE__);
        return 0;
    }
    const time_t mtime = response["mtime"]["mtime"].asUInt32();
    FSUTime(path, mtime, mtime);
    return 0;
}
