#include "client/core/progress-syncer.h"

#include "black-list-v2.h"
#include "client/core/filter-db.h"
#include "client/core/filter-utils.h"
#include "client/core/puller-common.h"
#include "client/event-manager.h"
#include "error-code.h"
#include "log.h"

#include <list>
#include <thread>

namespace
{

const char kComponent[] = "progress_syncer_debug";

} // namespace

void ProgressSyncer::Context::clear()
{
    row_id = 0;
    progress_entry = ProgressCache::Entry();
    connection.clear();
    reg_entry.clear();
}

ProgressSyncer::ProgressSyncer(TaskManager *owner) : PullerTask(owner, true)
{
}

ProgressSyncer::~ProgressSyncer()
{
    // The thread uses this object's members: end it before they go.
    Stop();
    Join();
}

void ProgressSyncer::DoTask()
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] progress-syncer.cpp(%d): ProgressSyncer START.\n", __LINE__);
    while (KeepRunning()) {
        if (UpdateContext() != 0) {
            Wait(1);
            continue;
        }
        HandleError(PullEvent());
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] progress-syncer.cpp(%d): ProgressSyncer : stop working, now on "
                   "sess_id = %llu, sync_id = %llu.\n",
                   __LINE__, static_cast<unsigned long long>(context.progress_entry.condition.sess_id),
                   static_cast<unsigned long long>(context.progress_entry.condition.sync_id));
}

// Works on the oldest condition that can be pulled now. Conditions of a paused or removed
// session, of a session without connection or with server events still queued, and
// conditions waiting after a failure are passed over, so they never hold up the others.
int ProgressSyncer::UpdateContext()
{
    std::list<ProgressCache::Entry> entries;
    ProgressCache::getInstance().getProgressEntries(entries);
    for (const ProgressCache::Entry &candidate : entries) {
        if (!InBackoff(candidate.row_id) && takeCondition(candidate) && IsSessionReady()) {
            const ResumeCondition &c = context.progress_entry.condition;
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] progress-syncer.cpp(%d): Find an resume_condition (%llu): "
                           "sess_id (%llu), sync_id (%llu), type (%d), desc [%s].\n",
                           __LINE__, static_cast<unsigned long long>(context.row_id),
                           static_cast<unsigned long long>(c.sess_id),
                           static_cast<unsigned long long>(c.sync_id), c.filter_type,
                           c.filter_desc.c_str_utf8());
            return 0;
        }
    }
    context.clear();
    return -1;
}

bool ProgressSyncer::takeCondition(const ProgressCache::Entry &candidate)
{
    context.clear();
    context.row_id = candidate.row_id;
    context.progress_entry = candidate;
    uint64_t sess_id = candidate.condition.sess_id;
    if (!Registry::getInstance().Find(sess_id, context.reg_entry)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] progress-syncer.cpp(%d): Cannot find corresponding registry entry "
                       "for sess_id '%llu'.\n",
                       __LINE__, static_cast<unsigned long long>(sess_id));
        return false;
    }
    if (ConnectionManager::getInstance().get(context.reg_entry.conn_id, context.connection) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] progress-syncer.cpp(%d): ProgressSyncer: connection (with id = "
                       "%llu) is gone\n",
                       __LINE__, static_cast<unsigned long long>(context.reg_entry.conn_id));
        return false;
    }
    return true;
}

bool ProgressSyncer::IsSessionReady()
{
    uint64_t sess_id = context.reg_entry.sess_id;
    if (context.reg_entry.pause) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] progress-syncer.cpp(%d): session (%llu) is under pause status.\n",
                       __LINE__, static_cast<unsigned long long>(sess_id));
        return false;
    }
    int pending = EventManager::getInstance().GetPendingServerEvent(sess_id);
    if (pending > 0) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] progress-syncer.cpp(%d): session (%llu) still has '%d' pending "
                       "server events.\n",
                       __LINE__, static_cast<unsigned long long>(sess_id), pending);
        return false;
    }
    return true;
}

void ProgressSyncer::PrepareRequest(PObject &request)
{
    const ResumeCondition &c = context.progress_entry.condition;
    request = PullerBuildRequest(context.reg_entry,
                                 context.connection.getConnectionInfo().session, c.sync_id);
    switch (c.filter_type) {
    case FILTER_FILE_SIZE_SELECTIVE_SYNC: {
        uint64_t min_size = 0;
        uint64_t max_size = 0;
        if (DecodeResumeSizeFilterDesc(c.filter_desc, min_size, max_size) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] progress-syncer.cpp(%d): Failed to decode resume size filter "
                           "'%s'\n",
                           __LINE__, c.filter_desc.c_str_utf8());
            break;
        }
        request["condition"]["min_size"] = min_size;
        request["condition"]["max_size"] = max_size;
        break;
    }
    case FILTER_NAME_SELECTIVE_SYNC:
        request["condition"]["name"] = c.filter_desc;
        break;
    case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
        request["condition"]["prefix"] = c.filter_desc;
        break;
    case FILTER_EXT_SELECTIVE_SYNC:
        request["condition"]["extension"] = c.filter_desc;
        break;
    default:
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] progress-syncer.cpp(%d): Unknow filter type '%d'.\n", __LINE__,
                       c.filter_type);
        break;
    }
}

int ProgressSyncer::PullEvent()
{
    PObject request;
    PObject response;
    PrepareRequest(request);
    int ret = PullAnswer(context.connection, context.reg_entry.view_id, request,
                         context.progress_entry.condition.sync_id, response);
    if (ret != 0) {
        return ret;
    }
    if (ProcessEvents(response) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] progress-syncer.cpp(%d): PullEvent: fail to process event.\n",
                       __LINE__);
        return -1;
    }
    return 0;
}

int ProgressSyncer::ProcessEvents(const PObject &response)
{
    uint64_t row_id = context.row_id;
    uint64_t next = response["next_sync_id"].asUInt64();
    if (next != context.progress_entry.condition.sync_id) {
        if (QueueAndWait(context.reg_entry, response) != 0) {
            return -1;
        }
        if (FilterDB::getInstance().updateResumeSyncId(row_id, next) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] progress-syncer.cpp(%d): ProcessEvents: faile to update "
                           "sync_id (%llu) to filter_resume_table for row_id(%llu)\n",
                           __LINE__, static_cast<unsigned long long>(next),
                           static_cast<unsigned long long>(row_id));
            return -1;
        }
        ProgressCache::getInstance().updateProgressSyncId(row_id, next);
        return 0;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] progress-syncer.cpp(%d): already uptodate for current event pull "
                   "condition.\n",
                   __LINE__);
    if (FilterDB::getInstance().rmResumeCondition(row_id) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] progress-syncer.cpp(%d): ProcessEvents: fail to remove resume "
                       "condition for row_id(%llu)\n",
                       __LINE__, static_cast<unsigned long long>(row_id));
    }
    ProgressCache::getInstance().rmProgressEntry(row_id);
    return 0;
}

void ProgressSyncer::HandleError(int code)
{
    ScheduleRetry(code, context.row_id, context.reg_entry.conn_id, context.reg_entry.sess_id);
}
