// What the server event puller (Syncer) and the resume puller (ProgressSyncer) share besides
// their channel procedure: the error table that turns a pull result into the next action,
// the wait that action asks for, and the wait for the workers to finish the server events
// of a pull. Each function logs with the texts of the puller named by `progress`.
#pragma once

#include "client/core/registry.h"
#include "protocol/object.h"

#include <cstdint>

class Task;

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
