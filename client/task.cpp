// Task: one thread and a run state polled by it. State changes wake a waiting thread at
// once, so a pause or stop ends Wait() without delay.
#include "client/task.h"

#include <chrono>
#include <system_error>

int Task::task_count = 0;
std::mutex Task::task_count_mutex;

Task::Task(TaskManager *owner, TaskContext *ctx)
    : m_owner(owner), m_ctx(ctx), m_state(STOP), m_task_id(-1)
{
}

Task::~Task()
{
    Task::Stop();
    // The thread must not outlive the object it runs on. Subclasses should stop and join
    // in their own destructor; this is the last line of defence.
    if (m_tid.joinable()) {
        if (m_tid.get_id() == std::this_thread::get_id()) {
            m_tid.detach();
        } else {
            m_tid.join();
        }
    }
}

int Task::Pause()
{
    SetState(PAUSE);
    return 0;
}

int Task::Resume()
{
    SetState(RUN);
    return 0;
}

int Task::Stop()
{
    SetState(STOP);
    return 0;
}

int Task::Run()
{
    std::lock_guard<std::mutex> guard(m_state_mutex);
    if (m_task_id >= 0 || m_tid.joinable()) {
        return -1;
    }
    m_state = RUN;
    try {
        m_tid = std::thread(&Task::Exec, this);
    } catch (const std::system_error &) {
        m_state = STOP;
        return -1;
    }
    m_task_id = CreateTaskId();
    return 0;
}

void Task::Exec(Task *task)
{
    task->DoTask();
    task->SetState(STOP);
}

int Task::Join()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(m_state_mutex);
        if (!m_tid.joinable() || m_tid.get_id() == std::this_thread::get_id()) {
            return -1;
        }
        thread = std::move(m_tid);
    }
    thread.join();
    std::lock_guard<std::mutex> guard(m_state_mutex);
    m_task_id = -1;
    return 0;
}

Task::State Task::GetState()
{
    std::lock_guard<std::mutex> guard(m_state_mutex);
    return m_state;
}

void Task::SetState(State state)
{
    {
        std::lock_guard<std::mutex> guard(m_state_mutex);
        m_state = state;
    }
    m_state_changed.notify_all();
}

int Task::GetId()
{
    std::lock_guard<std::mutex> guard(m_state_mutex);
    return m_task_id;
}

int Task::Wait(int seconds)
{
    if (seconds <= 0) {
        return 0;
    }
    std::unique_lock<std::mutex> lock(m_state_mutex);
    bool interrupted = m_state_changed.wait_for(lock, std::chrono::seconds(seconds),
                                                [this] { return m_state != RUN; });
    return interrupted ? -1 : 0;
}

void Task::WaitPaused(int seconds)
{
    std::unique_lock<std::mutex> lock(m_state_mutex);
    m_state_changed.wait_for(lock, std::chrono::seconds(seconds),
                             [this] { return m_state != PAUSE; });
}

int Task::CreateTaskId()
{
    std::lock_guard<std::mutex> guard(task_count_mutex);
    return task_count++;
}
