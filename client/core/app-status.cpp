#include "client/core/app.h"

#include "client/core/connection.h"
#include "client/core/registry.h"
#include "client/core/syncer.h"
#include "client/event-manager.h"

#include <list>

namespace
{

// `idle_pulls` counts the pulls of the session that found nothing new, `pulls_begun` every
// pull begun, and `last_idle_pull` is the begun number of the latest pull that found nothing
// new: a caller that saw nothing pending when `pulls_begun` was N knows the server side has
// settled once `last_idle_pull` exceeds N.
PObject sessionStatus(const Registry::Entry &entry, const Syncer::PullCounts &pulls)
{
    int pending = EventManager::getInstance().GetAllPendingEventCount(entry.sess_id);
    uint64_t unfinished = pending > 0 ? static_cast<uint64_t>(pending) : 0;
    PObject item;
    item["connection_id"] = entry.conn_id;
    item["session_id"] = entry.sess_id;
    item["unfinished_files"] = unfinished;
    item["status"] = entry.pause ? "pause" : (unfinished > 0 ? "syncing" : "uptodate");
    item["idle_pulls"] = pulls.idle;
    item["pulls_begun"] = pulls.begun;
    item["last_idle_pull"] = pulls.last_idle_round;
    return item;
}

} // namespace

int AerolithApp::get_status(const PObject &msg, PObject &rsp)
{
    (void)msg;
    PObject session_list;
    std::list<Registry::Entry> entries;
    Registry::getInstance().GetAll(entries);
    for (const Registry::Entry &entry : entries) {
        Syncer *puller = syncer();
        Syncer::PullCounts pulls =
            puller != nullptr ? puller->PullCountsOf(entry.sess_id) : Syncer::PullCounts();
        session_list.asArray().push_back(sessionStatus(entry, pulls));
    }

    PObject connection_list;
    std::list<Connection> connections;
    ConnectionManager::getInstance().get(connections);
    for (const Connection &conn : connections) {
        PObject item;
        item["connection_id"] = conn.getConnectionInfo().conn_id;
        item["status"] = conn.isConnected2() ? "connected" : "disconnected";
        connection_list.asArray().push_back(item);
    }

    PObject worker_list;
    for (Worker *w : workers()) {
        uint64_t session_id = 0;
        ustring path;
        Worker::WorkingType type = Worker::W_TYPE_NONE;
        uint64_t sent = 0;
        uint64_t total = 0;
        w->GetWorkingStatus(session_id, path, type, sent, total);
        if (type == Worker::W_TYPE_NONE) {
            continue;
        }
        PObject item;
        item["session_id"] = session_id;
        item["path"] = path;
        item["status"] = type == Worker::W_TYPE_UPLOAD ? "uploading" : "downloading";
        item["progress"] = sent;
        item["total_size"] = total;
        worker_list.asArray().push_back(item);
    }

    rsp["session_list"] = session_list;
    rsp["connection_list"] = connection_list;
    rsp["worker_list"] = worker_list;
    return 0;
}
