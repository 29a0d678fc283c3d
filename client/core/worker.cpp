// Worker loop: take one event at a time from the event manager, build its context,
// dispatch it, and map the result to done, retry or give-back. The event database row is
// written by the operation before the event is reported done, so a crash in between
// leaves an event that is redone and finds the path already settled.
#include "client/core/worker.h"

#include "client/core/connection.h"
#include "client/core/remove.h"
#include "client/core/ui-ipc.h"
#include "client/event-manager.h"
#include "error-code.h"
#include "fstat-db.h"
#include "log.h"

#include <chrono>
#include <ctime>

namespace
{
const char kComponent[] = "worker_debug";

bool isDirectoryWide(const Event &event) { return event.isExpand() || event.isRescan(); }

// Lines that render a whole event are built only when they are kept.
bool logs(int level) { return Logger::IsEnabled(level, kComponent); }

// The file-status action for each notify type, in the order of the enumeration.
const int kNotifyFileStatus[] = {1, 3, 1, 0, 1, 0, 4};

} // namespace

void Worker::DoTask()
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d) up\n", __LINE__,
                   GetId());
    EventManager &events = EventManager::getInstance();
    for (;;) {
        NotifyAbortDone();
        ResetResumeInfo();
        // Read before the state: a stop or pause after this point moves the generation
        // on, so the wait for work below cannot miss it.
        const uint64_t work_seen = events.WorkGeneration();
        State state = GetState();
        if (state == STOP) {
            break;
        }
        if (state == PAUSE) {
            // Wakes at once on resume or stop.
            std::unique_lock<std::mutex> guard(m_state_mutex);
            m_state_changed.wait_for(guard, std::chrono::seconds(1),
                                     [this] { return m_state != PAUSE; });
            continue;
        }
        m_start_time = 0;
        if (GetEvent() != 0) {
            ClearCurrentProcessEventInfo();
            // Woken by the next push or finished event rather than a timer, so that new
            // work is taken at once; the timeout only bounds the wait.
            events.WaitForWork(work_seen, idle_wait_seconds * 1000);
            continue;
        }
        if (UpdateContext() != 0) {
            continue;
        }
        SetAbort(false);
        if (context.current_event.isRescan()) {
            Rescan();
            DoneEvent();
            continue;
        }
        if (context.current_event.isExpand()) {
            Expand();
            DoneEvent();
            continue;
        }
        m_start_time = static_cast<uint32_t>(time(nullptr));
        int result = ProcessEvent();
        ClearCurrentProcessEventInfo();
        int action = HandleError(result);
        if (action == ACTION_DONE) {
            DoneEvent();
        } else if (action == ACTION_RETURN_EVENT) {
            RedoEvent();
        } else {
            if (action < 0) {
                Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] worker.cpp(%d): abort()\n",
                               __LINE__);
            }
            // The event stays current and runs again with a freshly built context.
            Wait(retry_wait_seconds);
        }
    }
    ClearCache();
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d) down\n",
                   __LINE__, GetId());
}

int Worker::GetEvent()
{
    if (context.current_event.m_type != Event::EV_EMPTY) {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] worker.cpp(%d): current event is valid: %s\n",
                       __LINE__, context.current_event.toString().c_str_utf8());
        AdjustCurrentProcessEventInfo();
        return 0;
    }
    Event event;
    if (EventManager::getInstance().PullEvent(this, event) != 0) {
        ClearCache();
        context.clear();
        return -1;
    }
    context.current_event = event;
    ClearCache();
    AdjustCurrentProcessEventInfo();
    if (logs(Logger::L_DEBUG)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): current event: %s\n", __LINE__,
                       GetId(), event.toString().c_str_utf8());
    }
    return 0;
}

int Worker::UpdateContext()
{
    notify_event_type = NOTIFY_NONE;
    Event &event = context.current_event;
    auto finish = [this]() {
        ClearCurrentProcessEventInfo();
        DoneEvent();
        return -1;
    };

    Registry::Entry entry;
    if (!Registry::getInstance().Find(event.m_sess_id, entry)) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): registry entry (with session %llu) is removed\n",
                       __LINE__, static_cast<unsigned long long>(event.m_sess_id));
        return finish();
    }
    Connection connection;
    if (ConnectionManager::getInstance().get(entry.conn_id, connection) != 0) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): connection (with connection id %llu) is removed\n",
                       __LINE__, static_cast<unsigned long long>(entry.conn_id));
        return finish();
    }
    context.root_entry = entry;
    context.connection = std::make_shared<Connection>(connection);
    context.sign_directory = entry.config_path + "/db/sign";
    context.full_path = GetPath() == "/" ? entry.local_path : entry.local_path + event.m_path;
    context.working_directory = entry.local_path + "/.ZentoraWorkingDirectory";
    // Now that the connection is known, abort filters by connection can see the event.
    AdjustCurrentProcessEventInfo();

    if (!isDirectoryWide(event) && !event.isSubDirRescan() && event.isDir() && GetPath() == "/") {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): Ignore root folder event: sess_id = '%llu'\n",
                       __LINE__, static_cast<unsigned long long>(event.m_sess_id));
        return finish();
    }
    if (entry.pause && !isDirectoryWide(event)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): session %llu is paused, process this "
                       "event (%s) later\n",
                       __LINE__, GetId(), static_cast<unsigned long long>(event.m_sess_id),
                       event.toString().c_str_utf8());
        ClearCurrentProcessEventInfo();
        RedoEvent();
        return -1;
    }
    if (logs(Logger::L_INFO)) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Worker (%d): current event: %s\n", __LINE__,
                       GetId(), event.toString().c_str_utf8());
    }

    if (!entry.recursive) {
        const char *p = event.m_path.c_str_utf8();
        int slashes = 0;
        for (; *p != '\0'; ++p) {
            slashes += *p == '/';
        }
        if ((event.isDir() && GetPath() != "/") || slashes >= 2) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): filter out recursive events (%s, %s)\n",
                           __LINE__, event.m_path.c_str_utf8(), event.isDir() ? "dir" : "file");
            return finish();
        }
    }

    context.database_record.Clear();
    FileEventDB *db = GetEventDatabase();
    if (db == nullptr || db->getEventInfo(event.m_path, context.database_record) != 1) {
        context.database_record.Clear();
    }
    return 0;
}

int Worker::ProcessEvent()
{
    const Event &event = context.current_event;
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d): processEvent %s...\n",
                   __LINE__, GetId(), context.full_path.c_str_utf8());
    if (event.isSubDirRescan()) {
        return ExpandDeleteEvent();
    }
    if (event.isServerEvent()) {
        return event.m_type == Event::EV_REMOVE ? RemoveLocal() : DownloadRemote();
    }
    if (event.m_type == Event::EV_REMOVE) {
        return RemoveRemote();
    }
    return event.isOverServerRemoval() ? UploadOrApplyServerRemoval() : UploadLocal();
}

// A local change that a server removal of the same path gave way to. A real change is
// uploaded (the server gets the path back); when the object is still as it was synced,
// the local event was no change at all and the server's removal is carried out instead,
// by the same code that takes any server removal (synced objects go to the recycle bin,
// changed ones below a folder stay as conflict copies).
int Worker::UploadOrApplyServerRemoval()
{
    Event &event = context.current_event;
    Event removal(event);
    removal.m_type = Event::EV_REMOVE;
    removal.m_mode = (event.m_mode & Event::F_DIR) | Event::F_SERVER;
    event.m_mode &= ~Event::F_SERVER_REMOVED;
    event.m_sync_id = 0;
    event.m_max_id = 0;

    LocalFileInfo local;
    if (GetFilesystemInfo(local) != 0) {
        return ERR_SYS;
    }
    const DBFileInfo &row = context.database_record;
    bool unchanged = row.isExist != 0;
    if (unchanged && local.isExist) {
        unchanged = !LocallyModified(local, row, ustring()) &&
                    (local.type != FT_DIR || !HasUnsyncedContent(*this, GetPath(), GetFullPath()));
    }
    if (!unchanged) {
        return UploadLocal();
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): Worker (%d): '%s' is unchanged since its sync, the "
                   "server's removal [%llu] applies\n",
                   __LINE__, GetId(), GetFullPath().c_str_utf8(),
                   static_cast<unsigned long long>(removal.m_sync_id));
    event = removal;
    return RemoveLocal();
}

void Worker::NotifyEvent(NotifyEventType type)
{
    Event event;
    switch (type) {
    case NOTIFY_SERVER_MODIFY:
    case NOTIFY_CLIENT_MODIFY:
        event.m_type = Event::EV_MODIFY;
        break;
    case NOTIFY_SERVER_REMOVE:
    case NOTIFY_CLIENT_REMOVE:
        event.m_type = Event::EV_REMOVE;
        break;
    default:
        event.m_type = Event::EV_EMPTY;
        break;
    }
    event.m_path = context.current_event.m_path;
    event.m_sess_id = context.current_event.m_sess_id;
    event.m_mode = context.current_event.m_mode;
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): event type = %d, path = %s\n",
                   __LINE__, static_cast<int>(event.m_type), event.m_path.c_str_utf8());
    if (type == NOTIFY_READ_ONLY) {
        UI_IPC::ReportFileROToUI(event);
    } else if (event.m_type != Event::EV_EMPTY) {
        UI_IPC::ReportFileEventToUI(event);
    }
}

int Worker::DoneEvent()
{
    int type = notify_event_type;
    notify_file_status = (type >= NOTIFY_NONE && type <= NOTIFY_READ_ONLY) ? kNotifyFileStatus[type] : 1;
    if (type > NOTIFY_FILTERED) {
        NotifyEvent(notify_event_type);
        notify_event_type = NOTIFY_NONE;
    }

    Event &event = context.current_event;
    const Event done = event;
    Event next = event;
    if (EventManager::getInstance().DoneEvent(this, next) != 0) {
        if (logs(Logger::L_DEBUG)) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): Worker (%d): processing event '%s' not yet "
                           "done.\n",
                           __LINE__, GetId(), done.toString().c_str_utf8());
        }
        event = next;
        ClearCache();
        return -1;
    }
    if (logs(Logger::L_DEBUG)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): processing event '%s': "
                       "notify_file_status = %d\n",
                       __LINE__, GetId(), done.toString().c_str_utf8(), notify_file_status);
    }
    if (notify_file_status == 4) {
        FileStatusInfo status;
        status.path = context.full_path;
        status.fileType = done.isDir() ? 1 : 0;
        status.syncStatus = 4;
        if (FileStatusDB::setFileSyncStat(status) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): Failed to set syncing event into FStatDB at path "
                           "[%s].\n",
                           __LINE__, context.full_path.c_str_utf8());
        }
        notify_file_status = -1;
    }
    if (notify_file_status != -1 && !isDirectoryWide(done)) {
        FileStatusDB::rmFileStatByPath(context.full_path);
        notify_file_status = -1;
    }
    if (done.isSubDirRescan()) {
        CreateDirSelfEvent();
    }
    if (logs(Logger::L_DEBUG)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): processing event '%s' done\n",
                       __LINE__, GetId(), done.toString().c_str_utf8());
    }
    ClearCache();
    context.clear();
    return 0;
}

int Worker::RedoEvent()
{
    if (EventManager::getInstance().RedoEvent(this, context.current_event) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): failed to redo event\n", __LINE__,
                       GetId());
    }
    ClearCache();
    context.clear();
    Wait(redo_wait_seconds);
    return 0;
}
