// EventManager: the one meeting point between the producers of events (the pullers, the
// local change detector, the workers' follow-up events, the control plane) and the workers
// that carry them out. It keeps one event_pool per session, hands events to workers one at
// a time in a round-robin over the sessions that have work, remembers which worker holds
// which event, and tells a worker when a newer event for its very path has arrived. Every
// queued path is marked "syncing" in the file-status database and reported to the user
// interface; those writes are batched by a thread of their own (SyncingMarks), so that no
// push waits for them and no lock is held across them.
//
// Lock order: m_lock, then a tree's own locks; m_lock, then m_pool_index_lock. The count
// queries take only m_pool_index_lock and the tree's counter lock, so pullers can poll
// while workers and producers hold m_lock.
#pragma once

#include "client/event-manager-marks.h"
#include "client/event-pool.h"
#include "client/generation.h"
#include "event.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class Task;

class EventManager
{
public:
    // Which event a worker holds, and the newest event pushed meanwhile for the same
    // session and path (empty when none).
    // An entry stays once made (workers are few and long-lived); `busy` tells whether the
    // worker holds an event now, so that handing out and finishing events allocate nothing.
    struct registry_entry_t {
        Event processing;
        Event waiting;
        bool busy = false;
        bool is_dirty() const { return waiting.isValid(); }
    };

    static EventManager &getInstance();

    // Queue an event seen on the server (it is marked F_SERVER here). 0 when queued, -1
    // when dropped (path not valid text, session not registered).
    int PushServerEvent(const Event &e);
    // Queues many server events in order under one lock, as a series of PushServerEvent
    // would. Returns how many were queued.
    size_t PushServerEvents(const std::vector<Event> &events);
    // Queue an event seen in the local folder, or a request issued by the system itself.
    // Idle workers are woken unless `wake_workers` is false: the folder watcher's events
    // come in bursts (a folder removed with its content, a file written in pieces) and are
    // left to gather until a worker next looks (at most its idle wait), so that the tree
    // merges them first; a folder removal then supersedes the removals below it instead of
    // following them, when the server would take it for a change it has not seen.
    int PushLocalEvent(const Event &e, bool wake_workers = true);
    // 0 and the worker's next event in `e`; -1 when none is available now.
    int PullEvent(Task *worker, Event &e);
    // The worker finished its event. 0: the worker is free. -1: a newer event for the same
    // path was merged meanwhile; `e` now holds it and the worker must carry it out and
    // call DoneEvent again.
    int DoneEvent(Task *worker, Event &e);
    // The worker gives `e` back for a later retry. 0, or -1 (no pool, node gone).
    int RedoEvent(Task *worker, const Event &e);

    int IssueRescan(uint64_t sess_id, const ustring &path, bool merge);
    int IssueExpand(uint64_t sess_id, const ustring &path);

    // Pending server events of the session's tree (0 for an unknown session).
    int GetPendingServerEvent(uint64_t sess_id);
    // Server + local events of the session's tree; queued expand requests not counted.
    int GetAllPendingEventCount(uint64_t sess_id);

    // Blocks until the session has no pending server events or `max_ms` passed, whichever
    // comes first; returns the count seen last. Lets a puller that waits for the workers
    // go on as soon as they are done instead of sleeping a fixed time.
    int WaitServerEventsDone(uint64_t sess_id, int max_ms);

    // Idle workers wait for work here instead of sleeping a fixed time: a push, a finished
    // and a returned event may each make an event available. A worker reads
    // WorkGeneration() before a PullEvent that finds nothing, then WaitForWork returns as
    // soon as the generation has moved on, or after `max_ms`.
    uint64_t WorkGeneration();
    void WaitForWork(uint64_t seen, int max_ms);
    // Wakes every waiting worker (one is being stopped or paused).
    void WakeWorkers();

    // Records `path` (a full local path) as syncing in the file-status database at once.
    // 0 or -1. Pushes queue their marks instead and have them written in batches.
    int SyncingEvent2FStatDB(const ustring &path, bool is_dir);

    // Drops every pool, both indexes, the registry and the ready queue.
    void Clear();
    // The process is ending: stops the writer of the syncing marks, as the manager's
    // destructor would (marks still pending are not written), before statics it uses go.
    void StopMarks();

    EventManager(const EventManager &) = delete;
    EventManager &operator=(const EventManager &) = delete;

private:
    EventManager() = default;

    bool validPath(const Event &e);
    int pushServerLocked(const Event &e);
    // The part of a push made under m_lock.
    int pushLocked(const Event &copy, bool server);
    void markWaiting(const Event &e, bool server);
    event_pool *findPool(uint64_t sess_id);
    event_pool *createPool(uint64_t sess_id, const ustring &watch_path);
    void enqueueReady(event_pool *pool);
    void requeueIfBusy(event_pool *pool);
    // The worker's entry is free again.
    static void release(registry_entry_t &entry);
    void releaseWorker(Task *worker);
    void notifyCounts();
    void signalWork();

    std::map<Task *, registry_entry_t> registry;
    std::map<uint64_t, std::unique_ptr<event_pool>> pool_index;
    std::deque<event_pool *> ready_queue;
    std::mutex m_lock;
    // Scratch space under m_lock, reused so that a push or a pull does not build new
    // strings for every event: the flagged copy of a server event, the session's local
    // path and the event just taken from a pool.
    Event m_push_copy;
    ustring m_local_path;
    Event m_pulled;

    SyncingMarks m_marks;

    std::map<uint64_t, event_pool *> pool_counter_index;
    std::mutex m_pool_index_lock;

    // Moves on when a session's last server event is done (wakes WaitServerEventsDone).
    Generation m_done;
    // Moves on when work may have become available (wakes WaitForWork).
    Generation m_work;
};
