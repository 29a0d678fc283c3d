// Drives the event tree with operations and paths taken from arbitrary bytes, as the
// event manager and its workers would: pushes, pops, pops by path, completions and redos,
// a refused completion followed by taking over by path. Then every held event is
// completed and the tree drained. Shared by the tree's fuzz target and by the test that
// replays the inputs it found.
#pragma once

#include "client/event-list2.h"

#include <cstdint>
#include <string>
#include <vector>

namespace event_list_ops
{

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::string text()
    {
        size_t len = byte() % 24;
        std::string out;
        for (size_t i = 0; i < len && more(); ++i) {
            uint8_t c = byte();
            // Mostly separators and a few letters, so paths share components.
            out += c < 96 ? '/' : c < 128 ? char('a' + c % 4) : char(c);
        }
        return out;
    }
};

inline Event makeEvent(Reader &in)
{
    Event e;
    uint8_t flags = in.byte();
    e.m_type = static_cast<Event::Type>(flags % 5);
    e.m_mode = (flags & 0x08 ? Event::F_DIR : 0) | (flags & 0x10 ? Event::F_SERVER : 0);
    e.m_sync_id = flags & 0x20 ? MAX_SYNC_ID : in.byte();
    e.m_path = in.text().c_str();
    return e;
}

// Runs the operations of data; false when an invariant broke: a counter went below zero,
// or the tree was not empty once nothing was held any more.
inline bool Run(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    EventList2 tree;
    std::vector<Event> held;
    while (in.more()) {
        Event e;
        switch (in.byte() % 6) {
        case 0:
        case 1:
            tree.Push(makeEvent(in));
            break;
        case 2:
            if (tree.Pop(e) == 0)
                held.push_back(e);
            break;
        case 3:
            if (tree.Pop(ustring(in.text().c_str()), e) == 0)
                held.push_back(e);
            break;
        case 4:
            if (!held.empty()) {
                size_t i = in.byte() % held.size();
                // A completion refused because an event was merged in meanwhile is
                // followed by taking that event over, as the event manager does.
                bool redo = in.byte() & 1;
                int rc = redo ? tree.Redo(held[i]) : tree.DoneEvent(held[i]);
                if (rc != 0 && !redo && tree.Pop(held[i], e) == 0)
                    held[i] = e;
                else
                    held.erase(held.begin() + static_cast<long>(i));
            }
            break;
        default:
            tree.DoneEvent(makeEvent(in));
            break;
        }
        if (tree.GetServerEventCount() < 0 || tree.GetLocalEventCount() < 0)
            return false;
    }
    // Drain: whatever is held is completed (taking over merged events), then everything
    // still waiting is popped and completed.
    for (size_t guard = 0; guard < 100000; ++guard) {
        Event e;
        if (!held.empty()) {
            e = held.back();
            held.pop_back();
        } else if (tree.Pop(e) != 0) {
            break;
        }
        while (tree.DoneEvent(e) != 0) {
            if (tree.Pop(Event(e), e) != 0)
                break;
        }
    }
    // With no event held by anyone, every pending event must have been reachable.
    return tree.IsEmpty();
}

} // namespace event_list_ops
