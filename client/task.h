// Task: base class of every long-running thread of the daemon (detector, recycle cleaner,
// pullers, workers). It owns one thread and a run state (run, pause, stop) that the
// application changes from outside and that the thread polls.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class TaskManager;
class TaskContext;

class Task
{
public:
    enum State { RUN = 0, PAUSE = 1, STOP = 2 };

    explicit Task(TaskManager *owner = nullptr, TaskContext *ctx = nullptr);
    // Requests a stop and waits for the thread, so that it never outlives the object.
    virtual ~Task();

    virtual int Init() { return 0; }
    // Record the request; the thread notices it when it next polls. Always 0.
    virtual int Pause();
    virtual int Resume();
    virtual int Stop();
    virtual int SetAbort(bool) { return 0; }
    // The thread body.
    virtual void DoTask() {}

    // Starts the thread. 0, or -1 when a thread already exists or cannot be created.
    int Run();
    // Waits for the thread to end; -1 when there is none (or when called from it).
    int Join();

    State GetState();
    void SetState(State state);
    void LockState() { m_state_mutex.lock(); }
    void UnlockState() { m_state_mutex.unlock(); }
    int GetId();

    // Interruptible sleep: 0 after the full time, -1 as soon as the state is not RUN.
    int Wait(int seconds);
    // The sleep of a paused task: returns after `seconds`, or as soon as the state is no
    // longer PAUSE.
    void WaitPaused(int seconds);

    static int CreateTaskId();

    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;

protected:
    static void Exec(Task *task);

    TaskManager *m_owner;
    TaskContext *m_ctx;
    State m_state;
    std::mutex m_state_mutex;
    std::condition_variable m_state_changed;
    std::thread m_tid;
    int m_task_id;

    static int task_count;
    static std::mutex task_count_mutex;
};
