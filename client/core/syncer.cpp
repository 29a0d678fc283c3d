#include "client/core/syncer.h"

#include "client/core/connection.h"
#include "client/core/event-generator.h"
#include "client/core/progress-cache.h"
#include "client/core/puller-common.h"
#include "client/core/settings.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "error-code.h"
#include "log.h"
#include "proto-common.h"

#include <thread>

namespace
{

const char kComponent[] = "syncer_debug";

} // namespace

void Syncer::Context::clear()
{
    entry.clear();
    connection.clear();
    sync_id = 0;
}

Syncer::Syncer(TaskManager *owner)
    : Task(owner), abort_flag(0), skipped_visits(0), channel_proc(false, &abort_flag)
{
}

Syncer::~Syncer()
{
    // The thread uses this object's members: end it before they go.
    Stop();
    Join();
}

int Syncer::Pause()
{
    abort_flag = 1;
    return Task::Pause();
}

int Syncer::Resume()
{
    abort_flag = 0;
    return Task::Resume();
}

int Syncer::Stop()
{
    abort_flag = 1;
    return Task::Stop();
}

void Syncer::AddRescanEvent(uint64_t sess_id, bool merge)
{
    std::lock_guard<std::mutex> guard(rescan_events_lock);
    rescan_events[sess_id] = merge;
}

uint64_t Syncer::IdlePullCount(uint64_t sess_id)
{
    std::lock_guard<std::mutex> guard(idle_pulls_lock);
    auto it = idle_pulls.find(sess_id);
    return it == idle_pulls.end() ? 0 : it->second;
}

int Syncer::RequestChannel(Channel &channel)
{
    return channel_proc.RequestChannel(channel);
}

int Syncer::RunProtocol(Channel &channel, uint8_t command, const PObject &request,
                        PObject &response)
{
    return channel_proc.RunProtocol(channel, command, request, response);
}

int Syncer::ProtoPullEvent(const PObject &request, PObject &response)
{
    return channel_proc.ProtoPullEvent(request, response);
}

int Syncer::ProtoResp2ErrorCode(uint32_t code)
{
    return channel_proc.ProtoResp2ErrorCode(code);
}

void Syncer::DoTask()
{
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] syncer.cpp(%d): Syncer: stop working, now on view_id %llu, "
                           "sync_id %llu.\n",
                           __LINE__, static_cast<unsigned long long>(context.entry.view_id),
                           static_cast<unsigned long long>(context.sync_id));
            return;
        }
        if (state == PAUSE) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        if (UpdateContext() != 0) {
            Wait(1);
            continue;
        }
        uint64_t sess_id = context.entry.sess_id;
        if (inBackoff(sess_id)) {
            // Skipped without a wait, so a failing session never holds up the others; a
            // whole round of skips waits a second.
            markIdle(sess_id);
            if (!restIfAllIdle() && ++skipped_visits >= Registry::getInstance().Size()) {
                skipped_visits = 0;
                Wait(1);
            }
            continue;
        }
        skipped_visits = 0;
        if (!IsSessionReady()) {
            markIdle(sess_id);
            if (!restIfAllIdle())
                Wait(1);
            continue;
        }
        int code = PullEvent();
        int action = HandleError(code);
        if (action < 0) {
            Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] syncer.cpp(%d): abort()\n",
                           __LINE__);
            action = ACTION_RETRY;
        }
        int seconds = PullerActionSeconds(action);
        if (code != 0 && seconds > 0) {
            retry_at[sess_id] = Clock::now() + std::chrono::seconds(seconds);
            markIdle(sess_id);
        }
        restIfAllIdle();
    }
}

bool Syncer::inBackoff(uint64_t sess_id)
{
    auto it = retry_at.find(sess_id);
    if (it == retry_at.end()) {
        return false;
    }
    if (Clock::now() >= it->second) {
        retry_at.erase(it);
        return false;
    }
    return true;
}

void Syncer::markIdle(uint64_t sess_id)
{
    uptodate_set.insert(sess_id);
}

// Once every session was found up to date (or could not be pulled) since the last rest,
// the puller rests for 5 seconds.
bool Syncer::restIfAllIdle()
{
    if (uptodate_set.empty() || uptodate_set.size() < Registry::getInstance().Size()) {
        return false;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] syncer.cpp(%d): all session is uptodate, wait for 5 seconds.\n",
                   __LINE__);
    uptodate_set.clear();
    Wait(static_cast<int>(Settings::getInstance().getPullInterval()));
    return true;
}

int Syncer::UpdateContext()
{
    Registry::Entry entry;
    if (!Registry::getInstance().FindNext(context.entry.sess_id, entry)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] syncer.cpp(%d): invalid session id %llu\n", __LINE__,
                       static_cast<unsigned long long>(context.entry.sess_id));
        context.clear();
        return -1;
    }
    Connection connection;
    if (ConnectionManager::getInstance().get(entry.conn_id, connection) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] syncer.cpp(%d): invalid connection id %llu\n", __LINE__,
                       static_cast<unsigned long long>(entry.conn_id));
        // Keep the session id, so that the next visit goes on with the next session.
        context.clear();
        context.entry.sess_id = entry.sess_id;
        return -1;
    }
    context.sync_id = 0;
    context.entry = entry;
    context.connection = connection;
    return 0;
}

bool Syncer::IsSessionReady()
{
    uint64_t sess_id = context.entry.sess_id;
    if (ProgressCache::getInstance().isInProgrssCache(sess_id)) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] syncer.cpp(%d): session '%llu' is in ProgrssCache.\n", __LINE__,
                       static_cast<unsigned long long>(sess_id));
        return false;
    }
    if (context.entry.pause) {
        return false;
    }
    if (EventManager::getInstance().GetPendingServerEvent(sess_id) > 0) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] syncer.cpp(%d): session '%llu' still has server events in event "
                       "queue.\n",
                       __LINE__, static_cast<unsigned long long>(sess_id));
        return false;
    }
    return true;
}

int Syncer::PullEvent()
{
    PObject response;
    int ret = PullEventFromServer(response);
    if (ret != 0) {
        return ret;
    }
    return ProcessEvents(response);
}

int Syncer::PullEventFromServer(PObject &response)
{
    uint64_t position = 0;
    if (!context.entry.event_db || context.entry.event_db->getSyncId(position) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] syncer.cpp(%d): Syncer: failed to get base sync id ... starts "
                       "from 0\n",
                       __LINE__);
        return ERR_SYS;
    }
    context.sync_id = position;
    PObject request =
        PullerBuildRequest(context.entry, context.connection.getConnectionInfo().session, position);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] syncer.cpp(%d): Syncer: pull event by session %llu (%llu:%s) since "
                   "%llu\n",
                   __LINE__, static_cast<unsigned long long>(context.entry.sess_id),
                   static_cast<unsigned long long>(context.entry.view_id),
                   context.entry.remote_path.c_str_utf8(),
                   static_cast<unsigned long long>(position));
    channel_proc.SetTarget(context.connection, context.entry.view_id);
    int ret = ProtoPullEvent(request, response);
    if (ret != 0) {
        return ret;
    }
    if (response.hasMember("error")) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] syncer.cpp(%d): PullEvent: response: %s.\n", __LINE__,
                       response["error"].toString().c_str_utf8());
        return PullerErrorAnswerCode(ProtoResp2ErrorCode(response["error"]["code"].asUInt32()));
    }
    return PullerCheckAnswer(false, response, position);
}

int Syncer::ProcessEvents(const PObject &response)
{
    uint64_t sess_id = context.entry.sess_id;
    uint64_t next = response["next_sync_id"].asUInt64();
    if (next != context.sync_id) {
        uptodate_set.erase(sess_id);
        PullerPushEvents(context.entry, response["event_list"]);
        if (WaitForWorkers() != 0) {
            Logger::LogMsg(Logger::L_NOTICE, kComponent,
                           "[NOTE] syncer.cpp(%d): ProcessEvents: interrupted while waiting events "
                           "being done ...\n",
                           __LINE__);
            return -1;
        }
        if (context.entry.event_db->setSyncId(next) != 0) {
            return ERR_SYS;
        }
        return 0;
    }
    SendRescanEvent();
    uptodate_set.insert(sess_id);
    {
        std::lock_guard<std::mutex> guard(idle_pulls_lock);
        ++idle_pulls[sess_id];
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] syncer.cpp(%d): session '%llu' is uptodate.\n",
                   __LINE__, static_cast<unsigned long long>(sess_id));
    return 0;
}

int Syncer::WaitForWorkers()
{
    return PullerWaitForWorkers(*this, false, context.entry.sess_id);
}

void Syncer::SendRescanEvent()
{
    uint64_t sess_id = context.entry.sess_id;
    bool merge = false;
    {
        std::lock_guard<std::mutex> guard(rescan_events_lock);
        auto it = rescan_events.find(sess_id);
        if (it == rescan_events.end()) {
            return;
        }
        merge = it->second;
        rescan_events.erase(it);
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] syncer.cpp(%d): session #%llu is up-to-date, issue rescan\n", __LINE__,
                   static_cast<unsigned long long>(sess_id));
    EventManager::getInstance().IssueRescan(sess_id, "/", merge);
}

int Syncer::HandleError(int code)
{
    return PullerHandleError(false, code, context.entry.conn_id, context.entry.sess_id);
}
