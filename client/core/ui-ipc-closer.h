// PeerDoneCloser: holds the sockets of notifications already sent until the user interface
// has read them, so that the sending thread need not wait for it.
//
// The receiver checks who owns the sending end after it has accepted the connection, and a
// socket whose owner has closed it can no longer be checked, so a sent notification must
// stay open until the receiver closes its end (or a deadline passes). A worker that waited
// for that itself would spend a round trip through the user interface on every file. Here
// one thread closes the held sockets in the order they were sent: the user interface takes
// connections in that order too, so the oldest one is the next to be done.
#pragma once

#include "ipc.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class PeerDoneCloser
{
public:
    // At most this many sockets are held; a sender finding them all taken waits for a slot,
    // so a user interface that stops reading slows the daemon down instead of piling up
    // descriptors. Kept below a listen backlog, so connections are never refused for it.
    static const size_t kMaxHeld = 32;

    static PeerDoneCloser &getInstance();

    // Takes over a connection whose message has been sent; it is closed once the peer has
    // closed its end or `timeout_ms` from now has passed.
    void hand(std::unique_ptr<IPCSender> sender, int timeout_ms);
    // Waits until every held socket is closed (their deadlines bound the wait).
    void drain();

    PeerDoneCloser(const PeerDoneCloser &) = delete;
    PeerDoneCloser &operator=(const PeerDoneCloser &) = delete;

private:
    using Clock = std::chrono::steady_clock;
    struct Held {
        std::unique_ptr<IPCSender> sender;
        Clock::time_point deadline;
    };

    PeerDoneCloser();
    ~PeerDoneCloser() = delete;
    void run();

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Held> m_held;
    bool m_closing = false; // the oldest held socket is being closed outside the lock
    std::thread m_thread;
};
