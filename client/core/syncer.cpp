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

Syncer::Syncer(TaskManager *owner) : PullerTask(owner, false), skipped_visits(0)
{
}

Syncer::~Syncer()
{
    // The thread uses this object's members: end it before they go.
    Stop();
    Join();
}

void Syncer::AddRescanEvent(uint64_t sess_id, bool merge)
{
    std::lock_guard<std::mutex> guard(rescan_events_lock);
    rescan_events[sess_id] = merge;
}

Syncer::PullCounts Syncer::PullCountsOf(uint64_t sess_id)
{
    std::lock_guard<std::mutex> guard(pull_counts_lock);
    auto it = pull_counts.find(sess_id);
    return it == pull_counts.end() ? PullCounts() : it->second;
}

void Syncer::DoTask()
{
    while (KeepRunning()) {
        if (UpdateContext() != 0) {
            Wait(1);
            continue;
        }
        uint64_t sess_id = context.entry.sess_id;
        if (InBackoff(sess_id)) {
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
        if (HandleError(PullEvent())) {
            markIdle(sess_id);
        }
        restIfAllIdle();
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] syncer.cpp(%d): Syncer: stop working, now on view_id %llu, sync_id "
                   "%llu.\n",
                   __LINE__, static_cast<unsigned long long>(context.entry.view_id),
                   static_cast<unsigned long long>(context.sync_id));
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
    {
        std::lock_guard<std::mutex> guard(pull_counts_lock);
        current_round = ++pull_counts[context.entry.sess_id].begun;
    }
    PObject request =
        PullerBuildRequest(context.entry, context.connection.getConnectionInfo().session, position);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] syncer.cpp(%d): Syncer: pull event by session %llu (%llu:%s) since "
                   "%llu\n",
                   __LINE__, static_cast<unsigned long long>(context.entry.sess_id),
                   static_cast<unsigned long long>(context.entry.view_id),
                   context.entry.remote_path.c_str_utf8(),
                   static_cast<unsigned long long>(position));
    return PullAnswer(context.connection, context.entry.view_id, request, position, response);
}

int Syncer::ProcessEvents(const PObject &response)
{
    uint64_t sess_id = context.entry.sess_id;
    uint64_t next = response["next_sync_id"].asUInt64();
    if (next != context.sync_id) {
        uptodate_set.erase(sess_id);
        if (QueueAndWait(context.entry, response) != 0) {
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
        std::lock_guard<std::mutex> guard(pull_counts_lock);
        PullCounts &counts = pull_counts[sess_id];
        ++counts.idle;
        counts.last_idle_round = current_round;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] syncer.cpp(%d): session '%llu' is uptodate.\n",
                   __LINE__, static_cast<unsigned long long>(sess_id));
    return 0;
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

bool Syncer::HandleError(int code)
{
    return ScheduleRetry(code, context.entry.sess_id, context.entry.conn_id,
                         context.entry.sess_id);
}
