// Syncer: the task that brings server changes into the system. It visits the sessions in
// turn; for a session that is ready it pulls the changes since the session's stored
// position, turns each into a server event for the event manager, waits until the workers
// have carried out every server event of the session, and only then stores the new
// position. A session found up to date gets the rescan requested at its setup; once every
// session is idle the puller rests. Sessions with pending resume conditions are left to
// the resume puller.
#pragma once

#include "client/core/connection.h"
#include "client/core/puller-common.h"
#include "client/core/registry.h"
#include "protocol/object.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

class Syncer : public PullerTask
{
public:
    struct Context {
        Registry::Entry entry;
        Connection connection;
        uint64_t sync_id = 0;
        void clear();
    };

    explicit Syncer(TaskManager *owner = nullptr);
    ~Syncer() override;

    void DoTask() override;

    // The session is to be rescanned (with this merge flag) once it is up to date; a second
    // call replaces the flag. Called from the control thread.
    void AddRescanEvent(uint64_t sess_id, bool merge);

    // Per session: pulls begun, pulls that found nothing new, and the number (in begun order)
    // of the last pull that found nothing new, so that a caller can tell whether that pull
    // began after a moment it saw. Any thread.
    struct PullCounts {
        uint64_t begun = 0;
        uint64_t idle = 0;
        uint64_t last_idle_round = 0;
    };
    PullCounts PullCountsOf(uint64_t sess_id);
    // Pulls of the session that found nothing new (0: none yet). Any thread.
    uint64_t IdlePullCount(uint64_t sess_id) { return PullCountsOf(sess_id).idle; }

protected:
    int UpdateContext();
    bool IsSessionReady();
    int PullEvent();
    int PullEventFromServer(PObject &response);
    int ProcessEvents(const PObject &response);
    void SendRescanEvent();
    // Reports the result of a pull and schedules the session's retry after a failure;
    // true when the session now waits.
    bool HandleError(int code);

private:
    void markIdle(uint64_t sess_id);
    bool restIfAllIdle();

    Context context;
    std::mutex rescan_events_lock;
    std::map<uint64_t, bool> rescan_events;
    // Sessions found up to date (or failing, paused, not ready) since the last rest.
    std::set<uint64_t> uptodate_set;
    size_t skipped_visits;
    std::mutex pull_counts_lock;
    std::map<uint64_t, PullCounts> pull_counts;
    // The begun number of the pull in progress.
    uint64_t current_round = 0;
};
