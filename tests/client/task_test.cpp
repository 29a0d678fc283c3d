#include "client/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace
{

using Clock = std::chrono::steady_clock;

// A task whose body waits `wait_seconds` and records the answer and how long it took.
class SleepyTask : public Task
{
public:
    explicit SleepyTask(int wait_seconds) : m_wait_seconds(wait_seconds) {}
    ~SleepyTask() override
    {
        Stop();
        Join();
    }
    void DoTask() override
    {
        Clock::time_point start = Clock::now();
        m_result = Wait(m_wait_seconds);
        m_waited_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        m_done = true;
    }
    std::atomic<int> m_result{1};
    std::atomic<long long> m_waited_ms{0};
    std::atomic<bool> m_done{false};

private:
    int m_wait_seconds;
};

void WaitUntilRunning(Task &task)
{
    while (task.GetId() < 0)
        std::this_thread::yield();
}

TEST(TaskTest, PauseOrStopEndsWaitPromptly)
{
    for (Task::State request : {Task::PAUSE, Task::STOP}) {
        SleepyTask task(30);
        ASSERT_EQ(0, task.Run());
        WaitUntilRunning(task);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (request == Task::PAUSE) {
            task.Pause();
        } else {
            task.Stop();
        }
        ASSERT_EQ(0, task.Join());
        EXPECT_EQ(-1, task.m_result);
        EXPECT_LT(task.m_waited_ms, 1000);      // far below the 30 s asked for
        EXPECT_EQ(Task::STOP, task.GetState()); // the body returned
        EXPECT_EQ(-1, task.GetId());
    }
}

TEST(TaskTest, WaitEdgeCases)
{
    SleepyTask idle(0);
    EXPECT_EQ(Task::STOP, idle.GetState());
    EXPECT_EQ(0, idle.Wait(0)); // nothing to wait for, whatever the state
    idle.Pause();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(-1, idle.Wait(5)); // paused: at once
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    SleepyTask full(1);
    ASSERT_EQ(0, full.Run());
    ASSERT_EQ(0, full.Join());
    EXPECT_EQ(0, full.m_result);
    EXPECT_GE(full.m_waited_ms, 990);
}

TEST(TaskTest, RunJoinAndNumbers)
{
    SleepyTask never(0);
    EXPECT_EQ(-1, never.Join()); // never ran

    SleepyTask a(30);
    SleepyTask b(30);
    ASSERT_EQ(0, a.Run());
    EXPECT_EQ(-1, a.Run()); // already has a thread
    ASSERT_EQ(0, b.Run());
    EXPECT_EQ(a.GetId() + 1, b.GetId()); // numbers in start order
    const int first = a.GetId();
    a.Stop();
    b.Stop();
    ASSERT_EQ(0, a.Join());
    ASSERT_EQ(0, b.Join());
    EXPECT_EQ(-1, a.Join());

    ASSERT_EQ(0, a.Run()); // after Join the task can run again, with a new number
    EXPECT_GT(a.GetId(), first + 1);
    a.Stop();
    EXPECT_EQ(0, a.Join());
}

} // namespace
