#include "client/core/expand.h"

#include "client/core/expand-walk.h"
#include "client/core/event-generator.h"
#include "client/core/working-dir.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "file-op.h"
#include "log.h"

#include <cstring>

namespace
{

const char kComponent[] = "worker_debug";

// Lists a new directory into upload events, directories before their contents. The
// working directory at the top of the session is not part of the synced tree.
struct ExpandHandler {
    Expander &expander;
    size_t root_len; // length of the session's local_path
    ustring working_dir;

    bool visit(const ustring &path, const DIR_ENTRY &entry)
    {
        if (entry.type != FT_FILE && entry.type != FT_DIR) {
            return false;
        }
        if (entry.type == FT_DIR && path == working_dir) {
            return false;
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): ExpandHandler push local event: %s\n", __LINE__,
                       path.c_str_utf8());
        expander.PushUploadEvent(path.substr(root_len), entry.type == FT_DIR);
        return true;
    }
    void leave(const ustring &) {}
};

} // namespace

Expander::Expander(const Registry::Entry &reg, int worker_id, const std::atomic<int> *abort_flag)
    : m_reg(reg), m_worker_id(worker_id), m_abort(abort_flag)
{
}

ustring Expander::FullPath(const ustring &path) const
{
    if (path.empty() || path == "/") {
        return m_reg.local_path;
    }
    return m_reg.local_path + path;
}

int Expander::Expand(const Event &ev)
{
    ustring full = FullPath(ev.m_path);
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): Worker (%d): expanding directory '%s'\n", __LINE__,
                   m_worker_id, full.c_str_utf8());
    ExpandHandler handler{*this, m_reg.local_path.length(), m_reg.local_path + WORKING_DIR_PATH};
    if (expand_walk::Walk(full, handler, m_abort) != 0) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): interrupted while expanding '%s'\n", __LINE__,
                       full.c_str_utf8());
        return -1;
    }
    return 0;
}

int Expander::ExpandDeleteEvent(const Event &ev)
{
    if (ev.isLocalSubDirRescan() || ev.isLocalSubDirRescanWithStat()) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): ExpandLocalDeleteEvent event: %s\n", __LINE__,
                       ev.toString().c_str_utf8());
        return ExpandLocalDeleteEvent(ev.m_path) != 0 ? -1 : 0;
    }
    if (ev.isServerSubDirRescan() || ev.isServerSubDirRescanWithStat()) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): ExpandServerDeleteEvent event: %s\n", __LINE__,
                       ev.toString().c_str_utf8());
        return ExpandServerDeleteEvent(ev.m_path, ev.m_sess_id, ev.m_sync_id) != 0 ? -1 : 0;
    }
    return 0;
}

int Expander::ExpandLocalDeleteEvent(const ustring &path)
{
    StringBuffer names;
    FileList db_list(names);
    FileList fs_list(names);
    int rc = -1;
    if (m_reg.event_db && m_reg.event_db->getFileListWithoutRecursive(db_list, path) == 0 &&
        BuildLocalFileListWithoutResursive(path, fs_list) == 0) {
        rc = CompareFileList(path, fs_list, db_list, false);
    }
    if (rc != 0) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): interrupted while expanding local delete event "
                       "(%s)\n",
                       __LINE__, path.c_str_utf8());
        return -1;
    }
    return 0;
}

int Expander::ExpandServerDeleteEvent(const ustring &path, uint64_t sess_id, uint64_t sync_id)
{
    // The removals are generated into this expander's session; another session's id
    // would attribute them to the wrong folder.
    if (sess_id != m_reg.sess_id || !m_reg.event_db) {
        return -1;
    }
    StringBuffer names;
    FileList db_list(names);
    if (m_reg.event_db->getFileListWithoutRecursive(db_list, path, sync_id) != 0) {
        return -1;
    }
    ustring prefix = path == "/" ? ustring() : path;
    for (auto it = db_list.rbegin(); it != db_list.rend(); ++it) {
        if (aborted()) {
            Logger::LogMsg(Logger::L_NOTICE, kComponent,
                           "[NOTE] worker.cpp(%d): interrupted while expanding server delete "
                           "event (%s)\n",
                           __LINE__, path.c_str_utf8());
            return -1;
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): ExpandServerDeleteEvent: [%s] db_path [%s].\n",
                       __LINE__, path.c_str_utf8(), it->path.c_str_utf8());
        ::PushServerRemoveEvent(m_reg, prefix + it->path, it->is_dir(), sync_id, sync_id);
    }
    return 0;
}

void Expander::CreateDirSelfEvent(const Event &ev)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): CreateDirSelfEvent event: %s\n", __LINE__,
                   ev.toString().c_str_utf8());
    if (ev.isLocalSubDirRescanWithStat() || ev.isServerSubDirRescanWithStat()) {
        FILE_INFO info;
        if (FSStat(FullPath(ev.m_path), info) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): CreateDirSelfEvent: failed to get local file "
                           "system info of '%s'\n",
                           __LINE__, ev.m_path.c_str_utf8());
            return;
        }
        if (info.isExist && ev.isServerSubDirRescanWithStat()) {
            // The server removed the folder: it goes up again only when something below it
            // changed here; otherwise the removal still applies (see UploadOrApplyServerRemoval).
            ::PushUploadOverServerRemoval(m_reg, ev.m_path, true, ev.m_sync_id, ev.m_max_id);
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): CreateDirSelfEvent: upload [%s].\n", __LINE__,
                           ev.m_path.c_str_utf8());
        } else if (info.isExist) {
            PushUploadEvent(ev.m_path, true);
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): CreateDirSelfEvent: upload [%s].\n", __LINE__,
                           ev.m_path.c_str_utf8());
        } else {
            PushDownloadEvent(ev.m_path, true);
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): CreateDirSelfEvent: download [%s].\n", __LINE__,
                           ev.m_path.c_str_utf8());
        }
        return;
    }
    Event self(ev);
    self.m_mode = Event::F_DIR;
    if (ev.isServerEvent()) {
        EventManager::getInstance().PushServerEvent(self);
    } else {
        EventManager::getInstance().PushLocalEvent(self);
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): CreateDirSelfEvent: create self event [%s].\n", __LINE__,
                   self.toString().c_str_utf8());
}

int Expander::BuildLocalFileListWithoutResursive(const ustring &path, FileList &list)
{
    ustring full = FullPath(path);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): BuildLocalFileListWithoutResursive: path '%s'\n",
                   __LINE__, full.c_str_utf8());
    DIR_HANDLE dh;
    DIR_ENTRY entry;
    int rc = FSOpenDir(full, 1, dh);
    if (rc == 0) {
        rc = FSReadDir(dh, entry);
    }
    if (rc < 0) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): BuildLocalFileListWithoutResursive: Failed to open "
                       "directory '%s'\n",
                       __LINE__, full.c_str_utf8());
        return 0;
    }
    for (; rc == 1; rc = FSReadDir(dh, entry)) {
        if (entry.name == "." || entry.name == ".." || entry.name == AEROLITH_WORKING_DIR) {
            continue;
        }
        if (aborted()) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): BuildLocalFileListWithoutResursive: user "
                           "stopped\n",
                           __LINE__);
            return -1;
        }
        if (m_reg.isMSDOS) {
            entry.mtime &= ~1u;
        }
        if (entry.type == FT_FILE) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): BuildLocalFileList: add file '%s' (%u, %llu, "
                           "%s)\n",
                           __LINE__, entry.name.c_str_utf8(), entry.mtime,
                           static_cast<unsigned long long>(entry.size), "");
            list.AddFile(0, entry.name, entry.mtime, entry.size, ustring());
        } else if (entry.type == FT_DIR) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): BuildLocalFileList: add dir '%s' (%u, %s)\n",
                           __LINE__, entry.name.c_str_utf8(), entry.mtime, "");
            list.AddDirectory(0, entry.name, entry.mtime, ustring());
        }
    }
    return 0;
}

void Expander::PushUploadEvent(const ustring &path, bool is_dir)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): PushUploadEvent: %s\n",
                   __LINE__, path.c_str_utf8());
    ::PushUploadEvent(m_reg, path, is_dir);
}

void Expander::PushRemoveEvent(const ustring &path, bool is_dir)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): PushRemoveEvent: %s\n",
                   __LINE__, path.c_str_utf8());
    ::PushLocalRemoveEvent(m_reg, path, is_dir);
}

void Expander::PushDownloadEvent(const ustring &path, bool is_dir)
{
    ::PushDownloadEvent(m_reg, path, is_dir);
}
