// Drives the event tree with operations and paths taken from arbitrary bytes: paths come
// from the server and the local disk, so any byte string must be handled. After the
// operations every held event is completed and the tree drained; the counters must end
// at zero and the tree must be empty.
#include "client/event-list2.h"
#include "fuzz/fuzz-support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace
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

Event makeEvent(Reader &in)
{
    Event e;
    uint8_t flags = in.byte();
    e.m_type = static_cast<Event::Type>(flags % 5);
    e.m_mode = (flags & 0x08 ? Event::F_DIR : 0) | (flags & 0x10 ? Event::F_SERVER : 0);
    e.m_sync_id = flags & 0x20 ? MAX_SYNC_ID : in.byte();
    e.m_path = in.text().c_str();
    return e;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Silences the tree's own log lines so the fuzzer spends its time in the tree.
    FuzzQuietLogs(FuzzScratchFile("event-list", "logs"),
                  "event_list_debug = 0\nfstat_db_debug = 0\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
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
                if (rc != 0 && !redo && tree.Pop(held[i].m_path, e) == 0)
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
            __builtin_trap();
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
            if (tree.Pop(e.m_path, e) != 0)
                break;
        }
    }
    // With no event held by anyone, every pending event must have been reachable.
    if (!tree.IsEmpty())
        __builtin_trap();
    return 0;
}
