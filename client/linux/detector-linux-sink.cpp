#include "client/core/registry.h"
#include "client/core/ui-ipc.h"
#include "client/event-manager.h"
#include "client/linux/detector-linux.h"
#include "error-code.h"

namespace
{

// Local events and rescan requests go to the event manager; the watch limit is a session
// error for the user interface.
class EventManagerSink : public DetectorSink
{
public:
    // Without waking idle workers: a burst of changes gathers in the tree first.
    void PushLocalEvent(const Event &e) override
    {
        EventManager::getInstance().PushLocalEvent(e, false);
    }
    void IssueRescan(uint64_t sess_id, const ustring &path, bool merge) override
    {
        EventManager::getInstance().IssueRescan(sess_id, path, merge);
    }
    void IssueExpand(uint64_t sess_id, const ustring &path) override
    {
        EventManager::getInstance().IssueExpand(sess_id, path);
    }
    void ReportWatchLimit(uint64_t sess_id) override
    {
        Registry::Entry entry;
        if (Registry::getInstance().Find(sess_id, entry)) {
            UI_IPC::ReportSessionErrorToUI(entry.conn_id, sess_id, ERR_SYS);
        }
    }
};

} // namespace

DetectorSink &DefaultDetectorSink()
{
    static EventManagerSink sink;
    return sink;
}
