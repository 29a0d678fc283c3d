// Worker: the selective-sync and black/white list tests that decide whether an event's
// path may be synced at all, and the recording of blocked local changes so that they can
// be synced once the user loosens the filter.
#include "client/core/worker.h"

#include "black-list-v2.h"
#include "client/core/filter-db.h"
#include "force-hash-check-list.h"
#include "log.h"
#include "white-list.h"

namespace
{
const char kComponent[] = "worker_debug";

// The part of a path after its last '/' (the whole path when there is none).
ustring baseName(const ustring &path)
{
    size_t slash = path.find_last_of('/');
    return slash == ustring::npos ? path : path.substr(slash + 1);
}

void logFilteredEvent(const ustring &path, int reason)
{
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] worker.cpp(%d): Filtered Event: '%s' ((blocked: %d)\n", __LINE__,
                   path.c_str_utf8(), reason);
}

// Full-path length first, then the path rules: global list, then the session's list.
template <class PathTest>
int testPath(BlackList2 *session_list, const ustring &path, const ustring &full_path,
             PathTest test)
{
    BlackList2 &global = BlackList2::getInstance();
    BlackList2 *lists[] = {&global, session_list};
    for (BlackList2 *list : lists) {
        if (list == nullptr) {
            continue;
        }
        int reason = list->TestFullPathSize(full_path.length_utf16());
        if (reason == 0) {
            reason = test(*list, path);
        }
        if (reason != 0) {
            return reason;
        }
    }
    return 0;
}

} // namespace

void Worker::ConvertToFilteredEvent(const Event &event, int filtered_type, FilterLocalEvent &record)
{
    record = FilterLocalEvent();
    record.sess_id = event.m_sess_id;
    record.path = event.m_path;
    record.file_type = event.isDir() ? 1 : 0;
    record.event_type = static_cast<uint32_t>(event.m_type);
    record.file_size = event.m_data_size;
    record.file_mod_time = event.m_time;
    record.file_checksum = event.m_data_hash;
    record.filtered_type = filtered_type;
    record.is_exist = event.m_type == Event::EV_REMOVE ? 0 : 1;
    if (event.isFile()) {
        record.base_name = baseName(event.m_path);
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): ConvertToFilteredEvent: event = %s\n", __LINE__,
                   event.toString().c_str_utf8());
}

int Worker::TestCommonFilter()
{
    if (TestWhiteList() != 0) {
        return FILTER_EXT_SELECTIVE_SYNC;
    }
    return TestBlackListPath();
}

int Worker::TestWhiteList()
{
    const Event &event = context.current_event;
    WhiteListCpp *white = GetWhiteList();
    if (white == nullptr || event.isDir() || event.m_path.empty() || event.m_path == "/") {
        return 0;
    }
    return white->Test(baseName(event.m_path)) != 0 ? -1 : 0;
}

int Worker::TestBlackListPath()
{
    const Event &event = context.current_event;
    int reason = 0;
    if (event.isDir()) {
        reason = TestDirectory(event.m_path, context.full_path);
        if (reason != 0) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): TestBlackListPath: Directory '%s' (blocked: %d)\n",
                           __LINE__, event.m_path.c_str_utf8(), reason);
        }
    } else {
        reason = TestFilePath(event.m_path, context.full_path);
        if (reason != 0) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): TestBlackListPath: File '%s' (blocked: %d)\n",
                           __LINE__, event.m_path.c_str_utf8(), reason);
        }
    }
    return reason;
}

int Worker::TestDirectory(const ustring &path, const ustring &full_path)
{
    return testPath(GetBlackList(), path, full_path,
                    [](BlackList2 &list, const ustring &p) { return list.TestDirectoryPath(p); });
}

int Worker::TestFilePath(const ustring &path, const ustring &full_path)
{
    return testPath(GetBlackList(), path, full_path,
                    [](BlackList2 &list, const ustring &p) { return list.TestFilePath(p); });
}

int Worker::TestForceHash()
{
    const ustring &path = context.current_event.m_path;
    if (path.empty() || path == "/") {
        return -1;
    }
    ForceHashCheckListCpp *list = GetForceHashCheckList();
    return list == nullptr ? 0 : list->Test(baseName(path));
}

int Worker::AddFilteredEventToDB(const Event &event, int filtered_type)
{
    if (event.isServerEvent()) {
        return 0;
    }
    FilterLocalEvent record;
    ConvertToFilteredEvent(event, filtered_type, record);
    if (FilterDB::getInstance().setLocalFilteredEvent(record) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Failed to setLocalFilteredEvent for session '%llu', "
                       "path '%s' .\n",
                       __LINE__, static_cast<unsigned long long>(event.m_sess_id),
                       event.m_path.c_str_utf8());
    }
    return 0;
}

int Worker::TestFilteredDeleteEvent(uint64_t sess_id, const ustring &path, bool is_dir)
{
    BlackList2 *list = GetBlackList();
    if (list == nullptr) {
        return 0;
    }
    int reason = is_dir ? list->TestDirectoryPath(path) : list->TestFilePath(path);
    if (reason != FILTER_PATH_PREFIX_SELECTIVE_SYNC) {
        return 0;
    }
    FilterLocalEvent record;
    record.sess_id = sess_id;
    record.path = path;
    record.file_type = is_dir ? 1 : 0;
    record.filtered_type = reason;
    if (!is_dir) {
        record.base_name = baseName(path);
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): TestFilteredDeleteEvent: filter '%s' (blocked: %d)\n",
                   __LINE__, path.c_str_utf8(), reason);
    if (FilterDB::getInstance().setLocalFilteredEvent(record) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Failed to set LocalFilteredEvent for session "
                       "'%llu', path '%s' .\n",
                       __LINE__, static_cast<unsigned long long>(sess_id), path.c_str_utf8());
    }
    return 1;
}

int Worker::TestRemoveRemoteFilter()
{
    const Event &event = context.current_event;
    notify_event_type = NOTIFY_NONE;

    int reason = TestCommonFilter();
    if (reason != 0) {
        logFilteredEvent(event.m_path, reason);
        if (reason == FILTER_EXT_SELECTIVE_SYNC || reason == FILTER_PATH_PREFIX_SELECTIVE_SYNC ||
            reason == FILTER_NAME_SELECTIVE_SYNC) {
            AddFilteredEventToDB(event, reason);
        }
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    if (event.isDir()) {
        return 1;
    }
    const DBFileInfo &row = context.database_record;
    if (row.syncID == 0) {
        return 1;
    }

    FilterDB &filter_db = FilterDB::getInstance();
    FilterLocalEvent recorded;
    int held = filter_db.getLocalFilteredEventByPath(event.m_sess_id, event.m_path, recorded);
    if (held < 0) {
        // Unknown whether the filter holds the path back: send nothing rather than remove
        // a file on the server that the user chose to keep out of sync.
        return -1;
    }
    if (held == 1) {
        // The path is held back by the filter: its removal waits there as well.
        logFilteredEvent(event.m_path, 0);
        FilterLocalEvent record;
        ConvertToFilteredEvent(event, 0, record);
        if (filter_db.setLocalFilteredEvent(record) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): Failed to set LocalFilteredEvent for session "
                           "'%llu', path '%s' .\n",
                           __LINE__, static_cast<unsigned long long>(event.m_sess_id),
                           event.m_path.c_str_utf8());
            return -1;
        }
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }

    BlackList2 *list = GetBlackList();
    reason = list == nullptr ? 0 : list->TestFileSize(row.fileSize);
    if (reason != 0) {
        logFilteredEvent(event.m_path, reason);
        if (reason == FILTER_FILE_SIZE_SELECTIVE_SYNC) {
            AddFilteredEventToDB(event, reason);
        }
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    return 1;
}
