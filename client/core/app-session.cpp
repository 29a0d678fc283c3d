// The control actions that bring a session into the daemon and take it out again:
// "add_session", "remove_session", "pause", "resume" and "add_event".
#include "client/core/app.h"

#include "black-list-v2.h"
#include "client/core/app-session-env.h"
#include "client/core/event-generator.h"
#include "client/core/filter-db.h"
#include "client/core/progress-cache.h"
#include "client/core/registry.h"
#include "client/core/syncer.h"
#include "client/event-db.h"
#include "client/linux/detector-linux.h"
#include "file-op.h"
#include "force-hash-check-list.h"
#include "log.h"
#include "server-path.h"
#include "white-list.h"

#include <new>

namespace
{

const char kComponent[] = "client_debug";

const char *const kRequiredAddMembers[] = {"connection_id", "session_id", "view_id", "config_path",
                                           "sync_folder"};

bool hasRequiredAddMembers(const PObject &msg)
{
    for (const char *key : kRequiredAddMembers) {
        if (!msg.hasMember(key)) {
            return false;
        }
    }
    return true;
}

// The creation record: required values, then defaults, then the optional members given.
PObject buildCreateInfo(const PObject &msg)
{
    PObject info;
    info["conn_id"] = msg["connection_id"].asUInt64();
    info["sess_id"] = msg["session_id"].asUInt64();
    info["view_id"] = msg["view_id"].asUInt64();
    info["config_path"] = msg["config_path"].asString();
    info["local_path"] = msg["sync_folder"].asString();
    info["node_id"] = msg["view_id"].asUInt64();
    info["recursive"] = 1;
    info["remote_path"] = "/";
    info["sync_mode"] = 0;
    info["read_only"] = 0;
    info["perm_mode"] = "sync-all";
    if (msg.hasMember("node_id")) {
        info["node_id"] = msg["node_id"].asUInt64();
    }
    for (const char *flag : {"recursive", "sync_mode", "read_only"}) {
        if (msg.hasMember(flag)) {
            info[flag] = msg[flag].asBool() ? 1 : 0;
        }
    }
    for (const char *text : {"remote_path", "perm_mode"}) {
        if (msg.hasMember(text)) {
            info[text] = msg[text].asString();
        }
    }
    return info;
}

// A session is selected when either selector that the message holds matches it; 0
// selects every session.
struct SessionSelector {
    bool has_session = false;
    bool has_connection = false;
    uint64_t session_id = 0;
    uint64_t connection_id = 0;

    explicit SessionSelector(const PObject &msg)
    {
        has_session = msg.hasMember("session_id");
        has_connection = msg.hasMember("connection_id");
        if (has_session) {
            session_id = msg["session_id"].asUInt64();
        }
        if (has_connection) {
            connection_id = msg["connection_id"].asUInt64();
        }
    }

    bool matches(const Registry::Entry &entry) const
    {
        if (has_session && (session_id == 0 || session_id == entry.sess_id)) {
            return true;
        }
        return has_connection && (connection_id == 0 || connection_id == entry.conn_id);
    }

    Worker::AbortFilter abortFilter() const
    {
        Worker::AbortFilter filter;
        if (has_session) {
            filter.setSession(session_id);
        }
        if (has_connection) {
            filter.setConnection(connection_id);
        }
        return filter;
    }
};

void setPauseOfSelected(const SessionSelector &selector, bool pause)
{
    std::list<Registry::Entry> entries;
    Registry::getInstance().GetAll(entries);
    for (Registry::Entry &entry : entries) {
        if (selector.matches(entry)) {
            entry.pause = pause;
            Registry::getInstance().Set(entry);
        }
    }
}

} // namespace

int AerolithApp::add_session(const PObject &msg, PObject &response)
{
    if (!hasRequiredAddMembers(msg)) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app.cpp(%d): Invalid parameters.\n",
                       __LINE__);
        response["error"] = "Invalid parameters.";
        return -1;
    }
    uint64_t sess_id = msg["session_id"].asUInt64();
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] app.cpp(%d): session #%llu is added, info = %s\n", __LINE__,
                   static_cast<unsigned long long>(sess_id), msg.toString().c_str_utf8());
    PObject create_info = buildCreateInfo(msg);
    if (create_registry_entry(create_info) != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] app.cpp(%d): session %llu is not added, failed to create "
                       "registry entry\n",
                       __LINE__, static_cast<unsigned long long>(sess_id));
        response["error"] = "Failed to create registry entry.";
        return -1;
    }
    return 0;
}

Detector *AerolithApp::detector()
{
    return task.size() > TASK_DETECTOR ? static_cast<Detector *>(task[TASK_DETECTOR].get())
                                       : nullptr;
}

Syncer *AerolithApp::syncer()
{
    return task.size() > TASK_SYNCER ? static_cast<Syncer *>(task[TASK_SYNCER].get()) : nullptr;
}

// Opens the session's database and filters and starts watching its folder. 0, or -1 with
// the step's error logged (nothing registered then).
int AerolithApp::prepare_session_objects(const SessionPaths &paths, uint64_t sess_id,
                                         Registry::Entry &entry)
{
    unsigned long long id = static_cast<unsigned long long>(sess_id);
    try {
        entry.event_db = shared_pointer<FileEventDB>(new FileEventDB());
        entry.black_list = shared_pointer<BlackList2>(new BlackList2());
        entry.white_list = shared_pointer<WhiteListCpp>(new WhiteListCpp());
        entry.force_hash_check_list =
            shared_pointer<ForceHashCheckListCpp>(new ForceHashCheckListCpp());
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (create_session_environment(paths.local_path, paths.config_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to initiailize session environment for "
                       "sesion %llu\n",
                       __LINE__, id);
        return -1;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] app.cpp(%d): session environment of session %llu is done\n", __LINE__,
                   id);
    if (entry.event_db->initialize(paths.event_db_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to initiailize event database for session "
                       "%llu\n",
                       __LINE__, id);
        return -1;
    }
    if (entry.event_db->resetRecycleBin() != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to resetRecycleBin table for session %llu\n",
                       __LINE__, id);
        return -1;
    }
    if (entry.black_list->Load(paths.black_list_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to load black list filter for session %llu "
                       "'%s'\n",
                       __LINE__, id, paths.black_list_path.c_str_utf8());
        return -1;
    }
    if (entry.white_list->Load(paths.white_list_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to load white list filter for session %llu "
                       "'%s'\n",
                       __LINE__, id, paths.white_list_path.c_str_utf8());
        return -1;
    }
    if (entry.force_hash_check_list->Load(paths.force_hash_check_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to load force hash check filter for session "
                       "%llu\n",
                       __LINE__, id);
        return -1;
    }
    Detector *watcher = detector();
    if (watcher == nullptr || watcher->AddWatch(paths.local_path, sess_id) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to add watch for session %llu at '%s'\n",
                       __LINE__, id, paths.local_path.c_str_utf8());
        return -1;
    }
    return 0;
}

int AerolithApp::create_registry_entry(const PObject &create_info)
{
    uint64_t sess_id = create_info["sess_id"].asUInt64();
    unsigned long long id = static_cast<unsigned long long>(sess_id);
    SessionPaths paths(create_info["local_path"].asString(), create_info["config_path"].asString());
    Registry::Entry entry;
    if (prepare_session_objects(paths, sess_id, entry) != 0) {
        // The handles release the objects; the watch was the last step, so none is left.
        return -1;
    }
    entry.sess_id = sess_id;
    entry.conn_id = create_info["conn_id"].asUInt64();
    entry.view_id = create_info["view_id"].asUInt64();
    entry.node_id = create_info["node_id"].asUInt64();
    entry.recursive = create_info["recursive"].asBool();
    entry.local_path = paths.local_path;
    entry.remote_path = create_info["remote_path"].asString();
    entry.config_path = paths.config_path;
    entry.pause = true;
    entry.isMSDOS = IsMSDOS(paths.local_path);
    entry.read_only = create_info["read_only"].asBool();
    entry.perm_mode = PermissionModeFromText(create_info["perm_mode"].asString());
    Registry::getInstance().Set(entry);

    // The session exists from here on: later failures are logged and leave it paused.
    uint64_t sync_id = 0;
    if (entry.event_db->getSyncId(sync_id) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to get sync_id for session %llu\n", __LINE__,
                       id);
        return 0;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] app.cpp(%d): reload_filter for session '%llu', current sync_id "
                   "[%llu]\n",
                   __LINE__, id, static_cast<unsigned long long>(sync_id));
    if (reload_filter(sess_id, sync_id, paths.black_list_path, paths.white_list_path,
                      paths.local_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): failed to reload_filter for session '%llu'.\n",
                       __LINE__, id);
        return 0;
    }
    if (load_resume_condition(sess_id) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to load_resume_condition for session "
                       "'%llu'.\n",
                       __LINE__, id);
        return 0;
    }
    Syncer *puller = syncer();
    if (puller != nullptr) {
        puller->AddRescanEvent(sess_id, !create_info["sync_mode"].asBool());
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] app.cpp(%d): Folder '%s' is ready (setting: %s)\n", __LINE__,
                   paths.local_path.c_str_utf8(), create_info.toString().c_str_utf8());
    return 0;
}

int AerolithApp::create_session_environment(const ustring &local_path, const ustring &config_path)
{
    return CreateSessionEnvironment(local_path, config_path);
}

int AerolithApp::load_resume_condition(uint64_t sess_id)
{
    ResumeConditionList conditions;
    if (FilterDB::getInstance().getResumeConditionsBySession(sess_id, conditions) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to get resume condition for session '%llu'\n",
                       __LINE__, static_cast<unsigned long long>(sess_id));
        return -1;
    }
    for (const auto &row : conditions) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] app.cpp(%d): Add row_id '%llu' to progress_cache.\n", __LINE__,
                       static_cast<unsigned long long>(row.first));
        ProgressCache::getInstance().addProgressEntry(row.first, row.second);
    }
    return 0;
}

int AerolithApp::remove_session(const PObject &msg, PObject &response)
{
    uint64_t sess_id = msg.hasMember("session_id") ? msg["session_id"].asUInt64() : 0;
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): session #%llu is removed\n",
                   __LINE__, static_cast<unsigned long long>(sess_id));
    Worker::AbortFilter filter;
    filter.setSession(sess_id);
    pause_worker();
    interrupt_worker(filter);
    int result = 0;
    if (sess_id != 0) {
        result = remove_one_session(sess_id, response);
    } else {
        Registry::Entry first;
        while (Registry::getInstance().FindNext(0, first)) {
            if (remove_one_session(first.sess_id, response) != 0) {
                result = -1;
                break;
            }
        }
    }
    resume_worker();
    return result;
}

int AerolithApp::remove_one_session(uint64_t sess_id, PObject &response)
{
    unsigned long long id = static_cast<unsigned long long>(sess_id);
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): remove_one_session '%llu'.\n",
                   __LINE__, id);
    Registry::Entry entry;
    if (!Registry::getInstance().Find(sess_id, entry)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): invalid session %llu, stop remove\n", __LINE__, id);
        response["error"] = "Invalid session.";
        return -1;
    }
    Registry::getInstance().Remove(sess_id);
    Detector *watcher = detector();
    if (watcher != nullptr) {
        watcher->RemoveWatch(sess_id);
    }
    // Every queued resume condition of the session goes: a condition left behind would hold
    // the resume puller on a session that no longer exists.
    if (ProgressCache::getInstance().rmProgressEntriesBySessionId(sess_id) > 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] app.cpp(%d): Remove session %d from Progress Cache\n", __LINE__,
                       static_cast<int>(sess_id));
    }
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): session '%llu' is removed.\n",
                   __LINE__, id);
    return 0;
}

int AerolithApp::pause_session(const PObject &msg, PObject &response)
{
    (void)response;
    SessionSelector selector(msg);
    pause_worker();
    interrupt_worker(selector.abortFilter());
    setPauseOfSelected(selector, true);
    resume_worker();
    return 0;
}

int AerolithApp::resume_session(const PObject &msg, PObject &response)
{
    (void)response;
    setPauseOfSelected(SessionSelector(msg), false);
    return 0;
}

int AerolithApp::add_event(const PObject &msg, PObject &response)
{
    uint64_t sess_id = msg.hasMember("session_id") ? msg["session_id"].asUInt64() : 0;
    Registry::Entry entry;
    if (!Registry::getInstance().Find(sess_id, entry)) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app.cpp(%d): invalid session id %llu\n",
                       __LINE__, static_cast<unsigned long long>(sess_id));
        return -1;
    }
    ustring type = msg["type"].asString();
    ustring path = msg["path"].asString();
    bool is_dir = msg.hasMember("is_dir") && msg["is_dir"].asBool();
    // The path names something inside the session folder; anything that could reach
    // outside it (or into the working directory) is refused before it becomes an event.
    const char *problem = ServerPathProblem(path);
    if (problem != nullptr) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): add_event: refused path '%s': %s\n", __LINE__,
                       path.c_str_utf8(), problem);
        response["error"] = "Invalid parameters.";
        return -1;
    }
    if (type == "upload") {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): add upload event '%s'\n",
                       __LINE__, path.c_str_utf8());
        PushUploadEvent(entry, path, is_dir);
    } else if (type == "remove") {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): add remove event '%s'\n",
                       __LINE__, path.c_str_utf8());
        PushLocalRemoveEvent(entry, path, is_dir);
    }
    return 0;
}
