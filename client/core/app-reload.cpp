// "reload_session": changes a registered session in place (read-only flag, recursion,
// filters), and the reconciliation of a session's filter files with the filter database
// that also runs when a session is added.
#include "client/core/app.h"

#include "black-list-v2.h"
#include "client/core/app-session-env.h"
#include "client/core/event-generator.h"
#include "client/core/filter-db.h"
#include "client/core/filter-utils.h"
#include "client/core/registry.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "filter/filter.h"
#include "force-hash-check-list.h"
#include "log.h"
#include "white-list.h"

#include <set>

namespace
{

const char kComponent[] = "client_debug";

// Both parsed filter files of a session; released with the holder.
struct ParsedFilters {
    Filter black;
    WhiteList white;
    ParsedFilters()
    {
        filter_init(&black);
        white_list_init(&white);
    }
    ~ParsedFilters()
    {
        filter_destroy(&black);
        white_list_destroy(&white);
    }
    ParsedFilters(const ParsedFilters &) = delete;
    ParsedFilters &operator=(const ParsedFilters &) = delete;
};

int compareSelectiveSync(uint64_t sess_id, const SelectiveSyncInfo &db_info,
                         const SelectiveSyncInfo &file_info, const ustring &sync_folder)
{
    if (CompareFilterList(sess_id, -13, db_info.black_prefix, file_info.black_prefix,
                          sync_folder) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to CompareFilterList for PATH_PREFIX.\n",
                       __LINE__);
        return -1;
    }
    if (CompareFilterList(sess_id, -14, db_info.black_name, file_info.black_name, sync_folder) !=
        0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to CompareFilterList for BLACK_NAME.\n",
                       __LINE__);
        return -1;
    }
    if (CompareExtensionFilterList(sess_id, db_info, file_info, sync_folder) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to CompareExtensionFilterList for "
                       "FILTER_EXT_SELECTIVE_SYNC.\n",
                       __LINE__);
        return -1;
    }
    if (CompareSizeFilter(sess_id, db_info.black_size, file_info.black_size) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to CompareSizeFilter.\n", __LINE__);
        return -1;
    }
    return 0;
}

} // namespace

int AerolithApp::reload_session(const PObject &msg, PObject &response)
{
    if (!msg.hasMember("session_id")) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app.cpp(%d): Invalid parameter\n.",
                       __LINE__);
        response["error"] = "Invalid parameter";
        return -1;
    }
    uint64_t sess_id = msg["session_id"].asUInt64();
    Registry::Entry entry;
    if (!Registry::getInstance().Find(sess_id, entry)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): invalid session %llu, stop reload\n", __LINE__,
                       static_cast<unsigned long long>(sess_id));
        response["error"] = "Invalid session.";
        return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] app.cpp(%d): session #%llu is reloaded, info = %s\n", __LINE__,
                   static_cast<unsigned long long>(sess_id), msg.toString().c_str_utf8());
    if (msg.hasMember("read_only")) {
        change_permission(entry, msg["read_only"].asBool());
    }
    if (msg.hasMember("do_reload_filter") && msg["do_reload_filter"].asBool()) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] app.cpp(%d): reload_session with reload_filter\n", __LINE__);
        reload_filter(entry, response);
    }
    if (msg.hasMember("recursive")) {
        change_recursive(entry, msg["recursive"].asBool());
    }
    if (msg.hasMember("perm_mode")) {
        // Read for completeness; a registered session keeps its permission mode.
        (void)msg["perm_mode"].asString();
    }
    Registry::getInstance().Set(entry);
    Worker::AbortFilter filter;
    filter.setSession(sess_id);
    interrupt_worker(filter);
    return response.hasMember("error") ? -1 : 0;
}

void AerolithApp::change_permission(Registry::Entry &entry, bool read_only)
{
    unsigned long long id = static_cast<unsigned long long>(entry.sess_id);
    if (entry.read_only && !read_only) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] app.cpp(%d): chaning permission sync of session %llu to read "
                       "write\n",
                       __LINE__, id);
        entry.read_only = false;
        Registry::getInstance().Set(entry);
        // Local changes made while read-only are found and uploaded by the rescan.
        EventManager::getInstance().IssueRescan(entry.sess_id, "/", true);
    } else if (!entry.read_only && read_only) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] app.cpp(%d): chaning permission sync of session %llu to read "
                       "only\n",
                       __LINE__, id);
        entry.read_only = true;
        Registry::getInstance().Set(entry);
    }
}

void AerolithApp::change_recursive(Registry::Entry &entry, bool recursive)
{
    if (entry.recursive && !recursive) {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): switch to non-recursive\n",
                       __LINE__);
        entry.recursive = false;
        Registry::getInstance().Set(entry);
        entry.event_db->rmAllFolders();
        MoveAllSubFoldersToTrash(entry.local_path);
    } else if (!entry.recursive && recursive) {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): switch to recursive\n",
                       __LINE__);
        entry.recursive = true;
        Registry::getInstance().Set(entry);
        entry.event_db->setSyncId(0);
    }
    EventManager::getInstance().IssueRescan(entry.sess_id, "/", true);
}

int AerolithApp::reload_filter(Registry::Entry &entry, PObject &response)
{
    unsigned long long id = static_cast<unsigned long long>(entry.sess_id);
    SessionPaths paths(entry.local_path, entry.config_path);
    if (entry.black_list->Load(paths.black_list_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): failed to reload black list filter for sesion %llu\n",
                       __LINE__, id);
        response["error"] = "Failed to load black list.";
        return -1;
    }
    if (entry.white_list->Load(paths.white_list_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): failed to reload white list filter for sesion %llu\n",
                       __LINE__, id);
        response["error"] = "Failed to load white list.";
        return -1;
    }
    if (entry.force_hash_check_list->Load(paths.force_hash_check_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): failed to reload force hash check list filter for "
                       "sesion %llu\n",
                       __LINE__, id);
        response["error"] = "Failed to load force hash check list.";
        return -1;
    }
    uint64_t sync_id = 0;
    if (entry.event_db->getSyncId(sync_id) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to get sync_id for session %llu\n", __LINE__,
                       id);
        response["error"] = "Failed to get current sync_id.";
        return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] app.cpp(%d): Reload session (%llu), current sync_id [%llu]\n", __LINE__,
                   id, static_cast<unsigned long long>(sync_id));
    if (reload_filter(entry.sess_id, sync_id, paths.black_list_path, paths.white_list_path,
                      entry.local_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): failed to reload_filter for sess (%llu)\n", __LINE__,
                       id);
        response["error"] = "Failed to reload filter.";
        return -1;
    }
    reload_local_events(entry);
    return 0;
}

int AerolithApp::reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring &black_list_path,
                               const ustring &white_list_path, const ustring &sync_folder)
{
    ParsedFilters parsed;
    if (filter_read(&parsed.black, black_list_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to read black list filter [%s]\n", __LINE__,
                       black_list_path.c_str_utf8());
        return -1;
    }
    if (white_list_read(&parsed.white, white_list_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to read white list filter [%s]\n", __LINE__,
                       white_list_path.c_str_utf8());
        return -1;
    }
    SelectiveSyncInfo file_info;
    ConvertFilterFileToSelectiveSyncInfo(sess_id, sync_id, &parsed.black, file_info);
    ConvertWhiteFilterFileToSelectiveSyncInfo(sess_id, sync_id, &parsed.white, file_info);
    SelectiveSyncInfo db_info;
    if (FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(sess_id, db_info) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to convert black list from filter DB.\n",
                       __LINE__);
        return -1;
    }
    if (FilterDB::getInstance().ConvertWhiteFilterDBToSelectiveSyncInfo(sess_id, db_info) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to convert white list from filter DB.\n",
                       __LINE__);
        return -1;
    }
    return compareSelectiveSync(sess_id, db_info, file_info, sync_folder);
}

void AerolithApp::reload_local_events(const Registry::Entry &entry)
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] app.cpp(%d): reload local filtered events from database for session "
                   "'%llu'\n",
                   __LINE__, static_cast<unsigned long long>(entry.sess_id));
    std::set<FilterLocalEvent> events;
    if (FilterDB::getInstance().dumpLocalFilteredEvent(entry.sess_id, events) != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] app.cpp(%d): failed to dump resume items for session "
                       "'%llu'... \n",
                       __LINE__, static_cast<unsigned long long>(entry.sess_id));
        return;
    }
    Registry::Entry copy = entry;
    for (const FilterLocalEvent &event : events) {
        PushEvent(copy, event);
    }
}
