// Worker: the table that turns a result code into done, retry or give-back, the reports
// that go with it, and the bookkeeping of interrupted transfers.
#include "client/core/worker.h"

#include "client/core/resume-mgr.h"
#include "client/core/ui-ipc.h"
#include "error-code.h"
#include "file-op.h"
#include "log.h"

namespace
{
const char kComponent[] = "worker_debug";

// A code the table does not expect; retried like ACTION_RETRY after a CRIT log.
const int kUnexpected = -1;

struct ErrorEntry {
    int action;
    Worker::ErrorType type;
};

// Indexed by -code.
const ErrorEntry kErrorTable[] = {
    {Worker::ACTION_DONE, Worker::ERR_NONE},               // ERR_OK
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_NONE},       // ERR_INT
    {Worker::ACTION_RETRY, Worker::ERR_NONE},              // ERR_IO
    {Worker::ACTION_RETRY, Worker::ERR_NONE},              // ERR_SYS
    {kUnexpected, Worker::ERR_NONE},                       // ERR_INVAL
    {kUnexpected, Worker::ERR_NONE},                       // ERR_PROTO
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_CONNECTION}, // ERR_AUTH
    {Worker::ACTION_RETRY, Worker::ERR_NONE},              // ERR_SERVER
    {kUnexpected, Worker::ERR_NONE},                       // ERR_CONFLICT
    {Worker::ACTION_RETRY, Worker::ERR_NONE},              // ERR_TIMEOUT
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_CONNECTION}, // ERR_VERSION
    {kUnexpected, Worker::ERR_NONE},                       // ERR_NOENT
    {kUnexpected, Worker::ERR_NONE},                       // ERR_USER
    {kUnexpected, Worker::ERR_NONE},                       // ERR_PASSWORD
    {kUnexpected, Worker::ERR_NONE},                       // ERR_ZentOSDISABLE
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},    // ERR_QUOTA
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},    // ERR_DISKFULL
    {kUnexpected, Worker::ERR_NONE},                       // ERR_SYNCFOLDER_MISS
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},    // ERR_VIEW
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},    // ERR_PERMISS
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},    // ERR_VIEW_PATH
    {Worker::ACTION_RETRY, Worker::ERR_NONE},              // ERR_CH_CONNECTION_ABORT
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},    // ERR_LOCAL_DISKFULL
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_FILE},       // ERR_LOCKED_FILE
    {kUnexpected, Worker::ERR_NONE},                       // ERR_SSL_VERIFY_FAIL
    {Worker::ACTION_DONE, Worker::ERR_SESSION},            // ERR_PERMISS_READ_ONLY
};
static_assert(sizeof(kErrorTable) / sizeof(kErrorTable[0]) == 26, "one entry per code");

bool keepsTransfer(int code)
{
    return code == ERR_IO || code == ERR_TIMEOUT || code == ERR_CH_CONNECTION_ABORT;
}

} // namespace

const char *Worker::GetErrorString(int code) { return ::GetErrorString(code); }

int Worker::HandleError(int code)
{
    if (code > 0 || code < ERR_PERMISS_READ_ONLY) {
        Logger::LogMsg(Logger::L_CRIT, kComponent,
                       "[CRIT] worker.cpp(%d): worker: unknown error code [%d].\n", __LINE__, code);
        return -1;
    }
    const ErrorEntry &entry = kErrorTable[-code];
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] worker.cpp(%d): Worker (%d): HandleError: %s.\n",
                   __LINE__, GetId(), GetErrorString(code));
    if (entry.action < 0) {
        Logger::LogMsg(Logger::L_CRIT, kComponent,
                       "[CRIT] worker.cpp(%d): Worker (%d): unexpected error code [%d].\n", __LINE__,
                       GetId(), code);
        return entry.action;
    }

    int action = entry.action;
    if (code == ERR_SYS) {
        ClearCache();
        if (++sys_err_count > 3) {
            sys_err_count = 0;
            action = ACTION_RETURN_EVENT;
        }
        if (patch_err_count > 2) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): Worker (%d): patch error count has reached "
                           "limit, event will be dropped.\n",
                           __LINE__, GetId());
            patch_err_count = 0;
            action = ACTION_DONE;
        }
    } else {
        sys_err_count = 0;
        patch_err_count = 0;
    }

    if (keepsTransfer(code)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): cached_request: '%s'\n",
                       __LINE__, cached_request.toString().c_str_utf8());
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): cached_response: '%s'\n",
                       __LINE__, cached_response.toString().c_str_utf8());
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): upload_sign_file: '%s'\n",
                       __LINE__, upload_sign_file.c_str_utf8());
        if (!resume_token.empty()) {
            ResumeTransMgr::CachedJob job;
            ResumeTransMgr::InitialCachedJob(resume_token, upload_sign_file,
                                             context.working_directory, cached_request,
                                             cached_response, job);
            ResumeTransMgr::GetInstance().Push(job);
        } else {
            // Nothing names the transfer, so nobody could take it back: drop its files now.
            ClearCache();
        }
        // The cache owns the files now; forget them without deleting.
        ResetResumeInfo();
    } else {
        if (code == ERR_LOCAL_DISKFULL) {
            Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] worker.cpp(%d): get disk full\n",
                           __LINE__);
        } else if (code == ERR_PERMISS_READ_ONLY) {
            notify_event_type = NOTIFY_READ_ONLY;
        }
        // No later attempt resumes this transfer: its received files and signature go now
        // instead of lingering in the working directory.
        ClearCache();
    }

    const Registry::Entry &reg = context.root_entry;
    switch (entry.type) {
    case ERR_SESSION:
        UI_IPC::ReportSessionErrorToUI(reg.conn_id, reg.sess_id, code);
        break;
    case ERR_CONNECTION:
        UI_IPC::ReportConnectionErrorToUI(reg.conn_id, reg.sess_id, code);
        break;
    case ERR_FILE: {
        Event event;
        event.m_path = context.current_event.m_path;
        event.m_sess_id = context.current_event.m_sess_id;
        event.m_mode = context.current_event.m_mode;
        UI_IPC::ReportFileLockedEventToUI(event, code);
        break;
    }
    case ERR_NONE:
    default:
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): No type for error: %d\n",
                       __LINE__, code);
        break;
    }
    return action;
}

void Worker::ResetResumeInfo()
{
    cached_request.clear();
    cached_response.clear();
    resume_token.clear();
    upload_sign_file.clear();
}

void Worker::ClearPObject(PObject &p)
{
    ResumeTransMgr::CachedJob owner;
    owner.working_dir = context.working_directory;
    owner.ClearPObject(p);
}

void Worker::ClearCache()
{
    ClearPObject(cached_response);
    ClearPObject(cached_request);
    if (!upload_sign_file.empty()) {
        FSRemove(upload_sign_file);
        upload_sign_file.clear();
    }
}
