// Worker: construction, run-state changes, the execution context and what status queries
// and abort filters read.
#include "client/core/worker.h"

#include "client/core/resume-mgr.h"
#include "client/event-manager.h"
#include "log.h"

#include <ctime>

namespace
{
const char kComponent[] = "worker_debug";
}

Worker::EventContext::EventContext() = default;
Worker::EventContext::~EventContext() = default;

void Worker::EventContext::clear()
{
    current_event.clear();
    root_entry.clear();
    database_record.Clear();
    working_directory.clear();
    sign_directory.clear();
    full_path.clear();
    placed_durably = false;
}

Worker::Worker(TaskManager *owner, TaskContext *ctx)
    : Task(owner, ctx), abort_flag(0), reader_abort_flag(false), last_error(0), sys_err_count(0),
      last_err_io_time(0), patch_err_count(0), notify_event_type(NOTIFY_NONE),
      notify_file_status(-1), m_start_time(0), abort_done_barrier(nullptr)
{
    ClearCache();
}

Worker::~Worker()
{
    Stop();
    Join();
    // A barrier still registered must not keep the interrupting thread waiting forever.
    NotifyAbortDone();
    ClearCache();
}

// Both wake the worker if it waits for work, so that it sees the new state at once.
int Worker::Pause()
{
    Task::Pause();
    EventManager::getInstance().WakeWorkers();
    return 0;
}

int Worker::Resume()
{
    last_error = 0;
    return Task::Resume();
}

int Worker::Stop()
{
    SetAbort(true);
    Task::Stop();
    EventManager::getInstance().WakeWorkers();
    return 0;
}

int Worker::SetAbort(bool on)
{
    abort_flag.store(on ? 1 : 0);
    reader_abort_flag.store(on);
    return 0;
}

int Worker::SetAbort(const AbortFilter &filter, Barrier *barrier)
{
    std::lock_guard<std::mutex> guard(worker_state_lock);
    if (!m_current_event.isAbortable() ||
        !filter.matches(m_current_event.session_id, m_current_event.connection_id)) {
        return 0;
    }
    SetAbort(true);
    if (barrier != nullptr && abort_done_barrier == nullptr) {
        barrier->increase(GetId());
        abort_done_barrier = barrier;
    }
    return 0;
}

void Worker::NotifyAbortDone()
{
    std::lock_guard<std::mutex> guard(worker_state_lock);
    if (abort_done_barrier != nullptr) {
        abort_done_barrier->signal(GetId());
        abort_done_barrier = nullptr;
    }
}

void Worker::GetWorkingStatus(uint64_t &session_id, ustring &path, WorkingType &type,
                              uint64_t &sent, uint64_t &total)
{
    session_id = 0;
    path.clear();
    type = W_TYPE_NONE;
    sent = 0;
    total = 0;
    if (GetState() != RUN) {
        return;
    }
    ustring item;
    trans_stream.GetStatus(item, sent, total);
    // Byte counts mean something only while a file's data travels.
    if (item != ustring("file.file.data")) {
        sent = 0;
        total = 0;
    }
    std::lock_guard<std::mutex> guard(worker_state_lock);
    session_id = m_current_event.session_id;
    path = m_current_event.path;
    type = m_current_event.working_type;
}

void Worker::SetCurrentProcessEventInfo(uint64_t conn_id, uint64_t sess_id, const ustring &path,
                                        WorkingType type)
{
    std::lock_guard<std::mutex> guard(worker_state_lock);
    m_current_event.connection_id = conn_id;
    m_current_event.session_id = sess_id;
    m_current_event.path = path;
    m_current_event.working_type = type;
}

void Worker::GetCurrentProcessEventInfo(ProcessEvent_T &info)
{
    std::lock_guard<std::mutex> guard(worker_state_lock);
    info = m_current_event;
}

void Worker::ClearCurrentProcessEventInfo()
{
    std::lock_guard<std::mutex> guard(worker_state_lock);
    m_current_event.clear();
}

void Worker::AdjustCurrentProcessEventInfo()
{
    const Event &event = context.current_event;
    if (event.isExpand() || event.isRescan()) {
        ClearCurrentProcessEventInfo();
        return;
    }
    SetCurrentProcessEventInfo(context.root_entry.conn_id, event.m_sess_id, event.m_path,
                               W_TYPE_NONE);
}

ustring Worker::GetPath() const
{
    const ustring &path = context.current_event.m_path;
    return path.empty() ? ustring("/") : path;
}

ustring Worker::GetRecycleBinDir() const
{
    return context.working_directory + "/" + "#ZentRecycle";
}

int Worker::GetFilesystemInfo(LocalFileInfo &info)
{
    info = LocalFileInfo();
    if (FSStat(context.full_path, info) != 0) {
        return -1;
    }
    if (context.root_entry.isMSDOS) {
        info.mtime &= ~1u;
    }
    return 0;
}
