// event_pool: the pending work of one session inside the event manager. Ordinary events
// wait in the session's event tree, which merges them by path; expand and rescan requests
// wait in a first-in first-out list beside it and are handed out only when the tree has
// nothing to hand out. The event manager's lock guards every operation.
#pragma once

#include "client/event-list2.h"
#include "event.h"

#include <deque>

struct event_pool {
    EventList2 event_tree;
    std::deque<Event> expand_events;
    // Whether the pool waits in the event manager's ready queue (kept by the manager).
    bool in_ready_queue = false;

    // Queues an event; empty events and expand requests for files are ignored.
    void push(const Event &e);
    // 1 when an event was taken into `e`, 0 when there is nothing to hand out now.
    int pop(Event &e);
    // Tree events not yet done (waiting, processing, retry) plus queued expand requests.
    size_t size();
    bool is_empty();
    void clear();
    int get_server_event_count();
    int get_local_event_count();
};
