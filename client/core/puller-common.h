// What the server event puller (Syncer) and the resume puller (ProgressSyncer) share besides
// their channel procedure: the error table that turns a pull result into the next action,
// the wait that action asks for, and the wait for the workers to finish the server events
// of a pull. Each function logs with the texts of the puller named by `progress`.
#pragma once

#include "client/core/puller-channel.h"
#include "client/core/registry.h"
#include "client/task.h"
#include "protocol/object.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>

class Channel;

// The log component of a puller, and the pick between its two texts of a log line (both are
// literals, so the format is still checked).
inline const char *PullerComponent(bool progress)
{
    return progress ? "progress_syncer_debug" : "syncer_debug";
}
#define PULLER_TEXT(progress, syncer_text, progress_text) ((progress) ? (progress_text) : (syncer_text))

enum PullerAction {
    ACTION_DONE = 0,            // go on at once
    ACTION_RETRY = 1,           // retry after 3 seconds
    ACTION_RETRY_LONG_WAIT = 2, // retry after 120 seconds
};

// The action for a pull result (0 or a negative error code); reports session and
// connection errors to the user interface. A negative action means an unexpected code.
int PullerHandleError(bool progress, int code, uint64_t conn_id, uint64_t sess_id);
// Seconds to wait after an action; a negative action counts as a retry.
int PullerActionSeconds(int action);
// Waits until the workers have finished every server event of the session. 0, or -1 when
// the task stops, the session is paused or removed meanwhile (the pull is then repeated
// later from the old position).
int PullerWaitForWorkers(Task &task, bool progress, uint64_t sess_id);

// The "pull_event" request of a session from `position` on (without a condition);
// `session` is the connection's login session.
PObject PullerBuildRequest(const Registry::Entry &entry, const ustring &session,
                           uint64_t position);
// The result of a pull whose answer holds "error", from the mapped code: an answer that
// maps to "no error" still ends the pull (it carries no position) and is retried.
int PullerErrorAnswerCode(int mapped);
// 0 when a successful answer can be processed: a map with an "event_list" array and a
// "next_sync_id" number not behind `position`. Otherwise the answer is logged and the pull
// counts as a failed exchange (ERR_IO), retried later.
int PullerCheckAnswer(bool progress, const PObject &response, uint64_t position);
// Hands every object of the answer's list to event generation, in order. Malformed objects
// are dropped one by one (logged there); the rest still become events.
void PullerPushEvents(const Registry::Entry &entry, const PObject &event_list);

// What both pullers are built on: the abort flag that breaks a blocked exchange when the task
// is paused or stopped, the channel procedure, the retry wait of each failing session or
// condition, and the steps of one pull (exchange, error answer, answer check, queueing the
// events, waiting for the workers), each logged with the puller's own texts.
class PullerTask : public Task
{
public:
    int Pause() override;
    int Resume() override;
    int Stop() override;

    int RequestChannel(Channel &channel);
    int RunProtocol(Channel &channel, uint8_t command, const PObject &request, PObject &response);
    int ProtoPullEvent(const PObject &request, PObject &response);
    int ProtoResp2ErrorCode(uint32_t code);

protected:
    using Clock = std::chrono::steady_clock;

    PullerTask(TaskManager *owner, bool progress);

    // False when the task is to stop; sleeps a second while it is paused.
    bool KeepRunning();
    // One "pull_event" exchange from `position` on `connection` and `view_id`. 0 with an
    // answer ready to process; otherwise the failed exchange's code, the mapped code of an
    // error answer, or ERR_IO for a malformed answer.
    int PullAnswer(const Connection &connection, uint64_t view_id, const PObject &request,
                   uint64_t position, PObject &response);
    // Queues the answer's events and waits until the workers have finished every server
    // event of the session. 0, or -1 when interrupted (stop, pause, session gone).
    int QueueAndWait(const Registry::Entry &entry, const PObject &response);
    // The wait after a pull result (0 or an error code); a failed pull of `key` is not
    // tried again before it. Returns true when `key` now waits.
    bool ScheduleRetry(int code, uint64_t key, uint64_t conn_id, uint64_t sess_id);
    // True while `key` waits after a failure.
    bool InBackoff(uint64_t key);

    const bool m_progress;
    std::atomic<int> abort_flag;
    PullerChannel channel_proc;

private:
    std::map<uint64_t, Clock::time_point> retry_at;
};
