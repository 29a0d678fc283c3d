#include "client/core/ui-ipc-closer.h"

// Never destroyed: threads of other singletons (the syncing-marks writer among them) may
// still send notifications while the process exits, after a static closer would already
// be gone. The daemon drains it before it returns instead.
PeerDoneCloser &PeerDoneCloser::getInstance()
{
    static PeerDoneCloser *instance = new PeerDoneCloser;
    return *instance;
}

PeerDoneCloser::PeerDoneCloser() : m_thread([this] { run(); }) {}

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
        m_changed.wait(guard, [this] { return !m_held.empty(); });
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
