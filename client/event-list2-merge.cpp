// Conflict rules of the event tree: what remains when a new event arrives for a path that
// already has one pending.
#include "client/event-list2.h"

#include "log.h"

namespace
{

const ustring COMPONENT("event_list_debug");

// The event with the larger sync id wins, the pending one on a tie; a pending forced
// download (largest sync id) always gives way to a real server event.
const Event &bySyncId(const Event &old_event, const Event &new_event)
{
    if (old_event.m_sync_id == MAX_SYNC_ID)
        return new_event;
    return new_event.m_sync_id > old_event.m_sync_id ? new_event : old_event;
}

// A local removal yields to any server change; a server removal yields to a local
// change; otherwise the server change wins and the local one becomes a conflict copy.
// The local change keeps the removal with it: a local event is not always a change (the
// echo of a download, a listing after a rescan), and when the worker finds the file as
// it was synced the removal still has to happen.
Event serverAgainstLocal(const Event &server, const Event &local)
{
    if (local.m_type == Event::EV_REMOVE)
        return server;
    if (server.m_type == Event::EV_REMOVE) {
        Event result(local);
        if (local.m_type == Event::EV_CREATE || local.m_type == Event::EV_MODIFY)
            result.setOverServerRemoval(server.m_sync_id, server.m_max_id);
        return result;
    }
    Event result(server);
    result.setConflict();
    return result;
}

} // namespace

Event EventList2::Merge(const Event &old_event, const Event &new_event)
{
    if (!old_event.isValid())
        return new_event;
    if (!new_event.isValid())
        return old_event;

    if (new_event.isDir()) {
        bool both_server = old_event.isServerEvent() && new_event.isServerEvent();
        Event result(both_server ? bySyncId(old_event, new_event) : new_event);
        // A directory that was removed and then comes back may have lost or gained
        // content on the removing side: have that side rescanned.
        if (old_event.m_type == Event::EV_REMOVE && result.m_type != Event::EV_REMOVE) {
            if (old_event.isServerEvent()) {
                result.setServerSubDirRescan();
                Logger::LogMsg(Logger::L_INFO, COMPONENT,
                               "[INFO] event-list2.cpp(%d): Mark node to be "
                               "ServerSubDirRescan(pre-event dir delete) [%s].\n",
                               __LINE__, result.m_path.c_str_utf8());
            } else {
                result.setLocalSubDirRescan();
                Logger::LogMsg(Logger::L_INFO, COMPONENT,
                               "[INFO] event-list2.cpp(%d): Mark node to be "
                               "LocalSubDirRescan(pre-event dir delete) [%s].\n",
                               __LINE__, result.m_path.c_str_utf8());
            }
        }
        return result;
    }

    if (old_event.isServerEvent() && new_event.isServerEvent())
        return bySyncId(old_event, new_event);
    if (old_event.isLocalEvent() && new_event.isLocalEvent()) {
        // A second local change does not cancel the server removal the first one held.
        if (old_event.isOverServerRemoval() && !new_event.isOverServerRemoval() &&
            (new_event.m_type == Event::EV_CREATE || new_event.m_type == Event::EV_MODIFY)) {
            Event result(new_event);
            result.setOverServerRemoval(old_event.m_sync_id, old_event.m_max_id);
            return result;
        }
        return new_event;
    }
    return old_event.isServerEvent() ? serverAgainstLocal(old_event, new_event)
                                     : serverAgainstLocal(new_event, old_event);
}
