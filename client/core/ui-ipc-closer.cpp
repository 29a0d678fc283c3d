#include "client/core/ui-ipc-closer.h"

PeerDoneCloser &PeerDoneCloser::getInstance()
{
    static PeerDoneCloser instance;
    return instance;
}

PeerDoneCloser::PeerDoneCloser() : m_thread([this] { run(); }) {}

// Messages sent just before the process ends still get their time to be read.
PeerDoneCloser::~PeerDoneCloser()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void PeerDoneCloser::hand(std::unique_ptr<IPCSender> sender, int timeout_ms)
{
    Held held{std::move(sender), Clock::now() + std::chrono::milliseconds(timeout_ms)};
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_held.size() < kMaxHeld; });
    m_held.push_back(std::move(held));
    m_changed.notify_all();
}

void PeerDoneCloser::drain()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_held.empty() && !m_closing; });
}

void PeerDoneCloser::run()
{
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_changed.wait(guard, [this] { return m_stop || !m_held.empty(); });
        if (m_held.empty()) {
            return; // stopping with nothing held
        }
        Held held = std::move(m_held.front());
        m_held.pop_front();
        m_closing = true;
        guard.unlock();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(held.deadline - Clock::now());
        held.sender->closeWhenPeerDone(left.count() > 0 ? static_cast<int>(left.count()) : 0);
        held.sender.reset();
        guard.lock();
        m_closing = false;
        m_changed.notify_all();
    }
}
