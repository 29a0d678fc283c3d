#include "client/core/transfer-util.h"
#include "client/core/resume-mgr.h"
#include "client/core/worker.h"

#include "error-code.h"
#include "file-op.h"
#include "local-path-guard.h"
#include "log.h"
#include "rsapi-cpp/api.h"

namespace transfer
{

const char kComponent[] = "worker_debug";

bool GuardEventPath(const Registry::Entry &reg, const Event &ev, int worker_id, int &result)
{
    const ustring path = ev.m_path.empty() ? ustring("/") : ev.m_path;
    const unsigned flags = ev.isServerEvent() ? LPC_SERVER_NAME : 0u;
    const int rc = CheckLocalPath(reg.local_path, path, flags);
    if (rc == LPC_OK) {
        return true;
    }
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] worker.cpp(%d): Worker (%d): refuse to touch '%s' in '%s': %s\n",
                   __LINE__, worker_id, path.c_str_utf8(), reg.local_path.c_str_utf8(),
                   LocalPathCheckText(rc));
    result = (rc == LPC_LINK_ESCAPE || rc == LPC_SYSTEM) ? ERR_LOCKED_FILE : ERR_OK;
    return false;
}

bool BeginTransfer(Worker &w, TransferKind kind, int &result)
{
    const bool download = kind == TransferKind::DOWNLOAD;
    const Event &ev = w.GetCurrentEvent();
    const ustring &full_path = w.GetFullPath();
    w.resume_token = ResumeTransMgr::GenToken(ev.m_sess_id, full_path, download ? "Download" : "Upload");
    if (!GuardEventPath(w.GetEntry(), ev, w.GetId(), result)) {
        return false;
    }
    const int filter = download ? w.TestDownloadRemoteFilter() : w.TestUploadLocalFilter();
    if (filter != 1) {
        if (download) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] worker.cpp(%d): DownloadRemote: File '%s' cannot pass "
                           "filter testing '%d'.\n",
                           __LINE__, ev.m_path.c_str_utf8(), filter);
        } else {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] worker.cpp(%d): UploadLocal: File '%s' cannot pass filter "
                           "testing '%d'.\n",
                           __LINE__, ev.m_path.c_str_utf8(), filter);
        }
        // A filtered download is done; the upload's filter result is its event's result.
        result = download ? 0 : filter;
        return false;
    }
    if (w.TestFileLocked(full_path, FS_ACCESS_READ) != 0) {
        result = ERR_LOCKED_FILE;
        return false;
    }
    w.SetCurrentProcessEventInfo(w.GetEntry().conn_id, ev.m_sess_id, ev.m_path,
                                 download ? Worker::W_TYPE_DOWNLOAD : Worker::W_TYPE_UPLOAD);
    return true;
}

ustring ServerPathOf(const Registry::Entry &reg, const ustring &path)
{
    if (reg.remote_path == "/" || reg.remote_path.empty()) {
        return path;
    }
    return reg.remote_path + path;
}

ustring BaseNameOf(const ustring &path)
{
    const std::string p(path.c_str_utf8(), path.length());
    const size_t slash = p.rfind('/');
    return ustring(slash == std::string::npos ? p : p.substr(slash + 1));
}

ustring ParentOf(const ustring &path)
{
    const std::string p(path.c_str_utf8(), path.length());
    const size_t slash = p.rfind('/');
    return ustring(slash == std::string::npos ? std::string() : p.substr(0, slash));
}

uint64_t FileSizeOf(const ustring &path)
{
    FILE_INFO info;
    return !path.empty() && FSStat(path, info, false) == 0 && info.isExist ? info.size : 0;
}

const PObject::binary_type *FileData(const PObject &p)
{
    if (!p.hasMember("file") || !p["file"].hasMember("data")) {
        return nullptr;
    }
    const PObject &data = p["file"]["data"];
    if (!data.isBinary() || data.asBinary().empty()) {
        return nullptr;
    }
    return &data.asBinary();
}

int DigestFile(const ustring &input, const ustring &sign_file, ustring &hash,
               const std::atomic<bool> *abort_flag, const ustring &copy_to,
               const ustring &delta_to, const ustring &basis_sign)
{
    SimpleFileReader reader;
    reader.setFile(input);
    reader.setAbortFlag(abort_flag);
    reader.setHashString(&hash);
    if (!sign_file.empty()) {
        reader.setSignature(sign_file, kSignBlockLen, kSignStrongLen);
    }
    if (!copy_to.empty()) {
        reader.setCopyFile(copy_to);
    }
    if (!delta_to.empty()) {
        reader.setDelta(delta_to, basis_sign);
    }
    return reader.readFile();
}

int PatchFile(const ustring &patch, const ustring &basis, const ustring &new_file,
              const ustring &sign_file, ustring &hash, const std::atomic<bool> *abort_flag)
{
    DeltaFileReader reader;
    reader.setFile(patch, basis);
    reader.setNewFile(new_file);
    reader.setAbortFlag(abort_flag);
    reader.setHashString(&hash);
    if (!sign_file.empty()) {
        reader.setSignature(sign_file, kSignBlockLen, kSignStrongLen);
    }
    return reader.readFile();
}

} // namespace transfer
