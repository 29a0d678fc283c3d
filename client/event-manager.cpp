#include "client/event-manager.h"

#include "client/core/registry.h"
#include "client/task.h"
#include "fstat-db.h"
#include "log.h"

#include <chrono>

namespace
{

const char kComponent[] = "event_manager_debug";

bool debugEnabled()
{
    return Logger::IsEnabled(Logger::L_DEBUG, kComponent);
}

bool isUpload(const Event &e)
{
    return e.isLocalEvent() && (e.m_type == Event::EV_CREATE || e.m_type == Event::EV_MODIFY);
}

} // namespace

EventManager &EventManager::getInstance()
{
    static EventManager instance;
    return instance;
}

int EventManager::PushServerEvent(const Event &e)
{
    if (!validPath(e)) {
        return -1;
    }
    int ret;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ret = pushServerLocked(e);
    }
    signalWork();
    return ret;
}

int EventManager::PushLocalEvent(const Event &e, bool wake_workers)
{
    if (!validPath(e)) {
        return -1;
    }
    int ret;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ret = pushLocked(e, false);
    }
    if (wake_workers) {
        signalWork();
    }
    return ret;
}

size_t EventManager::PushServerEvents(const std::vector<Event> &events)
{
    // The text check needs no lock.
    std::vector<bool> valid(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        valid[i] = validPath(events[i]);
    }
    size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (size_t i = 0; i < events.size(); ++i) {
            if (valid[i] && pushServerLocked(events[i]) == 0) {
                ++queued;
            }
        }
    }
    signalWork();
    return queued;
}

// The event is flagged as a server event in a copy that keeps its buffers from one push
// to the next.
int EventManager::pushServerLocked(const Event &e)
{
    m_push_copy = e;
    m_push_copy.setServerEvent();
    return pushLocked(m_push_copy, true);
}

bool EventManager::validPath(const Event &e)
{
    if (ustring::is_valid(e.m_path)) {
        return true;
    }
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] event-manager.cpp(%d): File path is not valid, drop it.\n", __LINE__);
    return false;
}

// Everything a push does under m_lock: tell the workers holding the path, queue the event
// and queue the path's "syncing" mark. The mark is queued under the lock, so a worker that
// completes the event afterwards finds it and waits for it to be written before clearing
// the path's row (see DoneEvent).
int EventManager::pushLocked(const Event &copy, bool server)
{
    markWaiting(copy, server);

    if (!Registry::getInstance().GetLocalPath(copy.m_sess_id, m_local_path)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] event-manager.cpp(%d): Can not find registry by session %llu.\n",
                       __LINE__, static_cast<unsigned long long>(copy.m_sess_id));
        return -1;
    }
    event_pool *pool = findPool(copy.m_sess_id);
    if (pool == nullptr) {
        pool = createPool(copy.m_sess_id, m_local_path);
    }
    if (copy.isDir() && copy.m_type == Event::EV_REMOVE) {
        // The tree clears the rows of the queued events this removal makes obsolete; their
        // marks must be in the database before that.
        m_marks.WaitForTree(copy.m_sess_id, copy.m_path);
    }
    pool->push(copy);
    if (debugEnabled()) {
        if (server) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] event-manager.cpp(%d): EventManager::PushServerEvent = [%s].\n",
                           __LINE__, copy.toString().c_str_utf8());
        } else {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] event-manager.cpp(%d): EventManager::PushLocalEvent = [%s].\n",
                           __LINE__, copy.toString().c_str_utf8());
        }
    }
    enqueueReady(pool);
    if (server || !(copy.isExpand() || copy.isRescan())) {
        m_marks.Add(m_local_path, copy);
    }
    return 0;
}

// Workers holding an event for the same session and path learn of the newer one; a local
// removal stops an upload of the path, and a repeated expand request stops the expander.
void EventManager::markWaiting(const Event &e, bool server)
{
    for (auto &item : registry) {
        registry_entry_t &entry = item.second;
        if (!entry.busy || entry.processing.m_sess_id != e.m_sess_id || entry.processing.m_path != e.m_path) {
            continue;
        }
        if (!e.isExpand()) {
            entry.waiting = e;
        }
        if (server) {
            continue;
        }
        if (isUpload(entry.processing) && e.m_type == Event::EV_REMOVE) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] event-manager.cpp(%d): old event is UploadLocal but new event "
                           "is RemoveRemote, abort UploadLocal progress '%s'.\n",
                           __LINE__, e.m_path.c_str_utf8());
            item.first->SetAbort(true);
        }
        if (e.isExpand() && e.m_mode == entry.processing.m_mode) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] event-manager.cpp(%d): interrupt previous expander\n", __LINE__);
            item.first->SetAbort(true);
        }
    }
}

event_pool *EventManager::findPool(uint64_t sess_id)
{
    auto it = pool_index.find(sess_id);
    return it == pool_index.end() ? nullptr : it->second.get();
}

event_pool *EventManager::createPool(uint64_t sess_id, const ustring &watch_path)
{
    std::unique_ptr<event_pool> owned(new event_pool);
    event_pool *pool = owned.get();
    pool->event_tree.SetWatchPath(watch_path);
    pool_index[sess_id] = std::move(owned);
    std::lock_guard<std::mutex> guard(m_pool_index_lock);
    pool_counter_index[sess_id] = pool;
    return pool;
}

// A pool stands in the ready queue at most once, from its first pending event until a
// pull finds it empty.
void EventManager::enqueueReady(event_pool *pool)
{
    if (!pool->in_ready_queue && pool->size() != 0) {
        ready_queue.push_back(pool);
        pool->in_ready_queue = true;
    }
}

void EventManager::requeueIfBusy(event_pool *pool)
{
    pool->in_ready_queue = false;
    enqueueReady(pool);
}

void EventManager::release(registry_entry_t &entry)
{
    entry.busy = false;
    // Only the type tells whether an event waits; the strings keep their buffers.
    entry.waiting.m_type = Event::EV_EMPTY;
}

// Pools take turns: each visited pool goes to the back while it still has events (also
// those with workers). A pool whose events are all with workers gives its turn to the
// next one, so one busy session never makes a free worker wait for the others.
int EventManager::PullEvent(Task *worker, Event &e)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (size_t turns = ready_queue.size(); turns > 0; --turns) {
        event_pool *pool = ready_queue.front();
        ready_queue.pop_front();
        int got = pool->pop(m_pulled);
        requeueIfBusy(pool);
        if (got == 1) {
            registry_entry_t &entry = registry[worker];
            entry.processing.swap(m_pulled);
            release(entry);
            entry.busy = true;
            if (debugEnabled()) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] event-manager.cpp(%d): EventManager::PullEvent [%s]\n",
                               __LINE__, entry.processing.toString().c_str_utf8());
            }
            e = entry.processing;
            return 0;
        }
    }
    return -1;
}

int EventManager::DoneEvent(Task *worker, Event &e)
{
    bool server_done = false;
    int ret = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = registry.find(worker);
        if (it == registry.end() || !it->second.busy) {
            return 0;
        }
        registry_entry_t &entry = it->second;
        Event &held = entry.processing;
        event_pool *pool = findPool(held.m_sess_id);
        bool server = held.isServerEvent();
        if (entry.is_dirty()) {
            if (debugEnabled()) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] event-manager.cpp(%d): EventManager::DoneEvent is dirty, "
                               "waiting for [%s]\n",
                               __LINE__, entry.waiting.toString().c_str_utf8());
            }
            Event next;
            // The take-over keeps to the held event's kind: a file and a directory of one
            // name are separate nodes.
            if (pool != nullptr && pool->event_tree.Pop(held, next) == 0) {
                held.swap(next);
                entry.waiting.m_type = Event::EV_EMPTY;
                e = held;
                ret = -1;
            } else if (pool != nullptr) {
                pool->event_tree.DoneEvent(held);
            }
        } else {
            if (debugEnabled()) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] event-manager.cpp(%d): EventManager::DoneEvent unregistry "
                               "for [%s]\n",
                               __LINE__, held.m_path.c_str_utf8());
            }
            if (pool != nullptr && !held.isExpand()) {
                pool->event_tree.DoneEvent(held);
            }
        }
        if (ret == 0) {
            if (!held.isExpand() && !held.isRescan()) {
                // The worker sets or clears the path's row next, so a mark not written yet
                // is moot; dropped under m_lock, it cannot be a mark of a later push.
                // (Expand and rescan requests leave the rows alone.)
                m_marks.Complete(held.m_sess_id, held.m_path);
            }
            release(entry);
        }
        // Only a session whose server events are all done can end a wait for them.
        server_done = server && pool != nullptr && pool->get_server_event_count() == 0;
    }
    if (server_done) {
        notifyCounts();
    }
    // A finished event may free the events queued below or behind it.
    signalWork();
    return ret;
}

void EventManager::releaseWorker(Task *worker)
{
    auto it = registry.find(worker);
    if (it != registry.end()) {
        release(it->second);
    }
}

int EventManager::RedoEvent(Task *worker, const Event &e)
{
    int ret = -1;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        event_pool *pool = findPool(e.m_sess_id);
        if (pool == nullptr) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] event-manager.cpp(%d): Can not find event pool\n", __LINE__);
        } else if (e.isExpand()) {
            // Expand requests live outside the tree: a redone one is queued again, so
            // that the directory is still listed later.
            pool->expand_events.push_back(e);
            enqueueReady(pool);
            releaseWorker(worker);
            ret = 0;
        } else if (pool->event_tree.Redo(e) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] event-manager.cpp(%d): Failed to Reset event status to "
                           "watting in event tree '%s'.\n",
                           __LINE__, e.m_path.c_str_utf8());
        } else {
            releaseWorker(worker);
            ret = 0;
        }
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] event-manager.cpp(%d): EventManager::RedoEvent = [%s], ret= [%d]\n",
                   __LINE__, e.toString().c_str_utf8(), ret);
    signalWork();
    return ret;
}

int EventManager::IssueRescan(uint64_t sess_id, const ustring &path, bool merge)
{
    if (path == ustring("/")) {
        Event root;
        root.m_type = Event::EV_MODIFY;
        root.m_mode = Event::F_DIR;
        root.m_path = path;
        root.m_sess_id = sess_id;
        PushLocalEvent(root);
    }
    Event ev;
    ev.m_type = Event::EV_CREATE;
    ev.m_mode = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN;
    if (merge) {
        ev.m_mode |= Event::F_MERGE;
    }
    ev.m_path = path;
    ev.m_sess_id = sess_id;
    int ret = PushLocalEvent(ev);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] event-manager.cpp(%d): EventManager::IssueRescan at [%llu], ev=[%s]\n",
                   __LINE__, static_cast<unsigned long long>(sess_id), ev.toString().c_str_utf8());
    return ret;
}

int EventManager::IssueExpand(uint64_t sess_id, const ustring &path)
{
    Event ev;
    ev.m_type = Event::EV_CREATE;
    ev.m_mode = Event::F_DIR | Event::F_EXPAND;
    ev.m_path = path;
    ev.m_sess_id = sess_id;
    int ret = PushLocalEvent(ev);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] event-manager.cpp(%d): EventManager::IssueExpand at [%llu], ev=[%s]\n",
                   __LINE__, static_cast<unsigned long long>(sess_id), ev.toString().c_str_utf8());
    return ret;
}

int EventManager::GetPendingServerEvent(uint64_t sess_id)
{
    int count = 0;
    {
        std::lock_guard<std::mutex> guard(m_pool_index_lock);
        auto it = pool_counter_index.find(sess_id);
        if (it != pool_counter_index.end()) {
            count = it->second->get_server_event_count();
        }
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] event-manager.cpp(%d): EventManager: session %d has %d server events.\n",
                   __LINE__, static_cast<int>(sess_id), count);
    return count;
}

int EventManager::GetAllPendingEventCount(uint64_t sess_id)
{
    int count = 0;
    {
        std::lock_guard<std::mutex> guard(m_pool_index_lock);
        auto it = pool_counter_index.find(sess_id);
        if (it != pool_counter_index.end()) {
            count = it->second->get_server_event_count() + it->second->get_local_event_count();
        }
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] event-manager.cpp(%d): EventManager: session %d has %d total events.\n",
                   __LINE__, static_cast<int>(sess_id), count);
    return count;
}

int EventManager::WaitServerEventsDone(uint64_t sess_id, int max_ms)
{
    auto deadline = Generation::Clock::now() + std::chrono::milliseconds(max_ms);
    for (;;) {
        uint64_t seen = m_done.current();
        int count = GetPendingServerEvent(sess_id);
        if (count == 0) {
            return 0;
        }
        if (!m_done.waitPast(seen, deadline)) {
            return GetPendingServerEvent(sess_id);
        }
    }
}

uint64_t EventManager::WorkGeneration()
{
    return m_work.current();
}

void EventManager::WaitForWork(uint64_t seen, int max_ms)
{
    m_work.waitPast(seen, Generation::Clock::now() + std::chrono::milliseconds(max_ms));
}

void EventManager::WakeWorkers()
{
    signalWork();
}

void EventManager::signalWork()
{
    m_work.advance();
}

void EventManager::notifyCounts()
{
    m_done.advance();
}

int EventManager::SyncingEvent2FStatDB(const ustring &path, bool is_dir)
{
    // Paths are stored as they are on this system ('/'-separated).
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] event-manager.cpp(%d): Syncing event to fstatdb at path [%s].\n",
                   __LINE__, path.c_str_utf8());
    FileStatusInfo info;
    info.path = path;
    info.fileType = is_dir ? FileStatusDB::FT_DIR : FileStatusDB::FT_FILE;
    info.syncStatus = FileStatusDB::SS_SYNCING;
    if (FileStatusDB::setFileSyncStat(info) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] event-manager.cpp(%d): Failed to set syncing event into FStatDB at "
                       "path [%s].\n",
                       __LINE__, path.c_str_utf8());
        return -1;
    }
    return 0;
}

void EventManager::StopMarks()
{
    m_marks.Stop();
}

void EventManager::Clear()
{
    m_marks.Clear();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto &item : pool_index) {
            item.second->clear();
        }
        registry.clear();
        ready_queue.clear();
        {
            std::lock_guard<std::mutex> guard(m_pool_index_lock);
            pool_counter_index.clear();
        }
        pool_index.clear();
    }
    notifyCounts();
}
