// Generation: a counter of occasions that other threads can wait to see move on. A waiter
// reads the counter before it checks its condition and then waits only while the counter
// still has that value, so an occasion between the check and the wait is never missed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class Generation
{
public:
    using Clock = std::chrono::steady_clock;

    uint64_t current()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_value;
    }

    // Moves the counter on and wakes every waiter.
    void advance()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            ++m_value;
        }
        m_changed.notify_all();
    }

    // True once the counter is no longer `seen`; false when `deadline` came first.
    bool waitPast(uint64_t seen, Clock::time_point deadline)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_until(guard, deadline, [&] { return m_value != seen; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    uint64_t m_value = 0;
};
