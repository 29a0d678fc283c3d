#include "client/event-pool.h"

#include "log.h"

namespace
{

const char kComponent[] = "event_manager_debug";

} // namespace

void event_pool::push(const Event &e)
{
    if (!e.isValid()) {
        return;
    }
    if (!e.isExpand()) {
        event_tree.Push(e);
        return;
    }
    if (!e.isDir()) {
        return; // only directories can be listed
    }
    if (e.isRescan() && e.m_path == ustring("/")) {
        // A rescan of the whole session covers every queued request.
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] event-manager.cpp(%d): Merging expand event.\n", __LINE__);
        expand_events.clear();
    }
    expand_events.push_back(e);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] event-manager.cpp(%d): Push expand event [%s].\n", __LINE__,
                   e.toString().c_str_utf8());
}

int event_pool::pop(Event &e)
{
    if (!event_tree.IsEmpty() && event_tree.Pop(e) == 0) {
        if (Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] event-manager.cpp(%d): event_pool: Pop an event [%s]\n",
                           __LINE__, e.toString().c_str_utf8());
        }
        return 1;
    }
    if (expand_events.empty()) {
        return 0;
    }
    e = expand_events.front();
    expand_events.pop_front();
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] event-manager.cpp(%d): event_pool: Pop an expand event [%s]\n",
                   __LINE__, e.toString().c_str_utf8());
    return 1;
}

size_t event_pool::size()
{
    return static_cast<size_t>(get_server_event_count()) +
           static_cast<size_t>(get_local_event_count()) + expand_events.size();
}

bool event_pool::is_empty()
{
    return event_tree.IsEmpty() && expand_events.empty();
}

void event_pool::clear()
{
    event_tree.Clear();
    expand_events.clear();
}

int event_pool::get_server_event_count()
{
    return event_tree.GetServerEventCount();
}

int event_pool::get_local_event_count()
{
    return event_tree.GetLocalEventCount();
}
