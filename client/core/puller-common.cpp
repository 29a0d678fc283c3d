#include "client/core/puller-common.h"

#include "client/core/event-generator.h"
#include "client/core/registry.h"
#include "client/core/ui-ipc.h"
#include "client/event-manager.h"
#include "client/task.h"
#include "error-code.h"
#include "log.h"
#include "proto-common.h"

#include <thread>

namespace
{

enum ReportType { REPORT_NONE, REPORT_SESSION, REPORT_CONNECTION };

struct ErrorRow {
    int action;
    ReportType report;
};

// Indexed by -code. Rows from -21 on: a broken channel and a local disk or lock problem are
// retried quietly; a refused certificate concerns the connection, a read-only refusal the
// session.
const ErrorRow kErrorTable[] = {
    {ACTION_DONE, REPORT_NONE},          // ERR_OK
    {ACTION_RETRY, REPORT_NONE},         // ERR_INT
    {ACTION_RETRY, REPORT_NONE},         // ERR_IO
    {ACTION_RETRY, REPORT_NONE},         // ERR_SYS
    {-1, REPORT_NONE},                   // ERR_INVAL
    {-1, REPORT_NONE},                   // ERR_PROTO
    {ACTION_RETRY, REPORT_CONNECTION},   // ERR_AUTH
    {ACTION_RETRY, REPORT_NONE},         // ERR_SERVER
    {-1, REPORT_NONE},                   // ERR_CONFLICT
    {ACTION_RETRY, REPORT_NONE},         // ERR_TIMEOUT
    {ACTION_RETRY, REPORT_CONNECTION},   // ERR_VERSION
    {-1, REPORT_NONE},                   // ERR_NOENT
    {-1, REPORT_NONE},                   // ERR_USER
    {-1, REPORT_NONE},                   // ERR_PASSWORD
    {ACTION_RETRY, REPORT_SESSION},      // ERR_ZentOSDISABLE
    {-1, REPORT_NONE},                   // ERR_QUOTA
    {-1, REPORT_NONE},                   // ERR_DISKFULL
    {-1, REPORT_NONE},                   // ERR_SYNCFOLDER_MISS
    {ACTION_RETRY, REPORT_SESSION},      // ERR_VIEW
    {ACTION_RETRY, REPORT_SESSION},      // ERR_PERMISS
    {ACTION_RETRY, REPORT_SESSION},      // ERR_VIEW_PATH
    {ACTION_RETRY, REPORT_NONE},         // ERR_CH_CONNECTION_ABORT
    {ACTION_RETRY, REPORT_NONE},         // ERR_LOCAL_DISKFULL
    {ACTION_RETRY, REPORT_NONE},         // ERR_LOCKED_FILE
    {ACTION_RETRY, REPORT_CONNECTION},   // ERR_SSL_VERIFY_FAIL
    {ACTION_RETRY, REPORT_SESSION},      // ERR_PERMISS_READ_ONLY
};

} // namespace

int PullerHandleError(bool progress, int code, uint64_t conn_id, uint64_t sess_id)
{
    if (code > 0 || code < ERR_PERMISS_READ_ONLY) {
        Logger::LogMsg(Logger::L_CRIT, PullerComponent(progress),
                       PULLER_TEXT(progress, "[CRIT] syncer.cpp(%d): Syncer: unknown error code [%d].\n",
                                   "[CRIT] progress-syncer.cpp(%d): Progress syncer: unknown "
                                   "error code [%d].\n"),
                       __LINE__, code);
        return -1;
    }
    Logger::LogMsg(Logger::L_DEBUG, PullerComponent(progress),
                   PULLER_TEXT(progress, "[DEBUG] syncer.cpp(%d): Syncer: HandleError: %d.\n",
                               "[DEBUG] progress-syncer.cpp(%d): Progress syncer: HandleError: "
                               "%d.\n"),
                   __LINE__, code);
    const ErrorRow &row = kErrorTable[-code];
    if (row.report == REPORT_SESSION) {
        UI_IPC::ReportSessionErrorToUI(conn_id, sess_id, code);
    } else if (row.report == REPORT_CONNECTION) {
        UI_IPC::ReportConnectionErrorToUI(conn_id, sess_id, code);
    } else {
        Logger::LogMsg(Logger::L_DEBUG, PullerComponent(progress),
                       PULLER_TEXT(progress, "[DEBUG] syncer.cpp(%d): No type for error: %d\n",
                                   "[DEBUG] progress-syncer.cpp(%d): No type for error: %d\n"),
                       __LINE__, code);
    }
    if (row.action < 0) {
        Logger::LogMsg(Logger::L_CRIT, PullerComponent(progress),
                       PULLER_TEXT(progress, "[CRIT] syncer.cpp(%d): Syncer: unexpected error code [%d].\n",
                                   "[CRIT] progress-syncer.cpp(%d): Progress syncer: unexpected "
                                   "error code [%d].\n"),
                       __LINE__, code);
    }
    return row.action;
}

int PullerActionSeconds(int action)
{
    switch (action) {
    case ACTION_DONE:
        return 0;
    case ACTION_RETRY_LONG_WAIT:
        return 120;
    default:
        return 3;
    }
}

int PullerWaitForWorkers(Task &task, bool progress, uint64_t sess_id)
{
    EventManager &em = EventManager::getInstance();
    Registry &registry = Registry::getInstance();
    for (;;) {
        int pending = em.GetPendingServerEvent(sess_id);
        Registry::Entry entry;
        if (pending == 0) {
            if (registry.Find(sess_id, entry)) {
                return 0;
            }
            Logger::LogMsg(Logger::L_WARNING, PullerComponent(progress),
                           PULLER_TEXT(progress, "[WARNING] syncer.cpp(%d): session %llu is removed, events "
                                       "might be dropped\n",
                                       "[WARNING] progress-syncer.cpp(%d): session %llu is "
                                       "removed, events might be dropped\n"),
                           __LINE__, static_cast<unsigned long long>(sess_id));
            return -1;
        }
        Task::State state = task.GetState();
        if (state == Task::STOP) {
            Logger::LogMsg(Logger::L_WARNING, PullerComponent(progress),
                           PULLER_TEXT(progress, "[WARNING] syncer.cpp(%d): Program stopped while syncing "
                                       "files ...\n",
                                       "[WARNING] progress-syncer.cpp(%d): Program stopped while "
                                       "syncing files ...\n"),
                           __LINE__);
            return -1;
        }
        if (state == Task::PAUSE) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        if (!registry.Find(sess_id, entry)) {
            Logger::LogMsg(Logger::L_WARNING, PullerComponent(progress),
                           PULLER_TEXT(progress, "[WARNING] syncer.cpp(%d): session %llu is removed while "
                                       "there are events\n",
                                       "[WARNING] progress-syncer.cpp(%d): session %llu is "
                                       "removed while there are events\n"),
                           __LINE__, static_cast<unsigned long long>(sess_id));
            return -1;
        }
        if (entry.pause) {
            Logger::LogMsg(Logger::L_NOTICE, PullerComponent(progress),
                           PULLER_TEXT(progress, "[NOTE] syncer.cpp(%d): session %llu is paused while there "
                                       "are events\n",
                                       "[NOTE] progress-syncer.cpp(%d): session %llu is paused "
                                       "while there are events\n"),
                           __LINE__, static_cast<unsigned long long>(sess_id));
            return -1;
        }
        Logger::LogMsg(Logger::L_DEBUG, PullerComponent(progress),
                       PULLER_TEXT(progress, "[DEBUG] syncer.cpp(%d): Wait for workers (still %d pending "
                                   "server events).\n",
                                   "[DEBUG] progress-syncer.cpp(%d): Wait for workers (still %d "
                                   "pending server events).\n"),
                       __LINE__, pending);
        // Wakes as soon as the workers are done; a second at most, so that stop, pause and
        // session removal are still seen in time.
        em.WaitServerEventsDone(sess_id, 1000);
    }
}

PObject PullerBuildRequest(const Registry::Entry &entry, const ustring &session,
                           uint64_t position)
{
    PObject request;
    InitRequest(request, "pull_event");
    request["sync_id"] = position;
    request["session"] = session;
    request["path"] = entry.remote_path;
    request["view_id"] = entry.view_id;
    request["node_id"] = entry.node_id;
    request["recursive"] = entry.recursive;
    request["file"]["offset"] = static_cast<uint64_t>(0);
    request["mtime"]["offset"] = static_cast<uint64_t>(0);
    return request;
}

int PullerErrorAnswerCode(int mapped)
{
    return mapped != 0 ? mapped : ERR_SERVER;
}

int PullerCheckAnswer(bool progress, const PObject &response, uint64_t position)
{
    const char *problem = nullptr;
    if (!response.isMap()) {
        problem = "not a map";
    } else if (!response["event_list"].isArray()) {
        problem = "\"event_list\" missing or not an array";
    } else if (!response["next_sync_id"].isInteger()) {
        problem = "\"next_sync_id\" missing or not a number";
    } else if (response["next_sync_id"].asUInt64() < position) {
        problem = "\"next_sync_id\" behind the position";
    }
    if (problem == nullptr) {
        return 0;
    }
    Logger::LogMsg(Logger::L_ERR, PullerComponent(progress),
                   PULLER_TEXT(progress, "[ERROR] syncer.cpp(%d): PullEvent: malformed response (%s).\n",
                               "[ERROR] progress-syncer.cpp(%d): PullEvent: malformed response "
                               "(%s).\n"),
                   __LINE__, problem);
    return ERR_IO;
}

void PullerPushEvents(const Registry::Entry &entry, const PObject &event_list)
{
    PushEvents(entry, event_list.asArray());
}

PullerTask::PullerTask(TaskManager *owner, bool progress)
    : Task(owner), m_progress(progress), abort_flag(0), channel_proc(progress, &abort_flag)
{
}

int PullerTask::Pause()
{
    abort_flag = 1;
    return Task::Pause();
}

int PullerTask::Resume()
{
    abort_flag = 0;
    return Task::Resume();
}

int PullerTask::Stop()
{
    abort_flag = 1;
    return Task::Stop();
}

int PullerTask::RequestChannel(Channel &channel)
{
    return channel_proc.RequestChannel(channel);
}

int PullerTask::RunProtocol(Channel &channel, uint8_t command, const PObject &request,
                            PObject &response)
{
    return channel_proc.RunProtocol(channel, command, request, response);
}

int PullerTask::ProtoPullEvent(const PObject &request, PObject &response)
{
    return channel_proc.ProtoPullEvent(request, response);
}

int PullerTask::ProtoResp2ErrorCode(uint32_t code)
{
    return channel_proc.ProtoResp2ErrorCode(code);
}

bool PullerTask::KeepRunning()
{
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            return false;
        }
        if (state != PAUSE) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

int PullerTask::PullAnswer(const Connection &connection, uint64_t view_id, const PObject &request,
                           uint64_t position, PObject &response)
{
    const bool progress = m_progress;
    channel_proc.SetTarget(connection, view_id);
    int ret = ProtoPullEvent(request, response);
    if (ret != 0) {
        if (progress) {
            Logger::LogMsg(Logger::L_ERR, PullerComponent(progress),
                           "[ERROR] progress-syncer.cpp(%d): PullEvent: fail to pull events. "
                           "%d.\n",
                           __LINE__, ret);
        }
        return ret;
    }
    if (response.hasMember("error")) {
        Logger::LogMsg(Logger::L_ERR, PullerComponent(progress),
                       PULLER_TEXT(progress,
                                   "[ERROR] syncer.cpp(%d): PullEvent: response: %s.\n",
                                   "[ERROR] progress-syncer.cpp(%d): PullEvent: response: %s.\n"),
                       __LINE__, response["error"].toString().c_str_utf8());
        return PullerErrorAnswerCode(ProtoResp2ErrorCode(response["error"]["code"].asUInt32()));
    }
    return PullerCheckAnswer(progress, response, position);
}

int PullerTask::QueueAndWait(const Registry::Entry &entry, const PObject &response)
{
    const bool progress = m_progress;
    PullerPushEvents(entry, response["event_list"]);
    if (PullerWaitForWorkers(*this, progress, entry.sess_id) == 0) {
        return 0;
    }
    Logger::LogMsg(Logger::L_NOTICE, PullerComponent(progress),
                   PULLER_TEXT(progress,
                               "[NOTE] syncer.cpp(%d): ProcessEvents: interrupted while waiting "
                               "events being done ...\n",
                               "[NOTE] progress-syncer.cpp(%d): ProcessEvents: interrupted while "
                               "waiting events being done ...\n"),
                   __LINE__);
    return -1;
}

bool PullerTask::ScheduleRetry(int code, uint64_t key, uint64_t conn_id, uint64_t sess_id)
{
    const bool progress = m_progress;
    int action = PullerHandleError(progress, code, conn_id, sess_id);
    if (action < 0) {
        Logger::LogMsg(Logger::L_CRIT, PullerComponent(progress),
                       PULLER_TEXT(progress, "[CRIT] syncer.cpp(%d): abort()\n",
                                   "[CRIT] progress-syncer.cpp(%d): abort()\n"),
                       __LINE__);
        action = ACTION_RETRY;
    }
    int seconds = PullerActionSeconds(action);
    if (code == 0 || seconds <= 0) {
        return false;
    }
    retry_at[key] = Clock::now() + std::chrono::seconds(seconds);
    return true;
}

bool PullerTask::InBackoff(uint64_t key)
{
    auto it = retry_at.find(key);
    if (it == retry_at.end()) {
        return false;
    }
    if (Clock::now() >= it->second) {
        retry_at.erase(it);
        return false;
    }
    return true;
}
