// SyncingMarks: the "syncing" marks of queued paths in the file-status database and the
// matching notifications to the user interface, written by a thread of their own. The event
// manager adds a mark while it holds its lock (memory only); the writer takes every pending
// mark at once, writes them in one transaction and then tells the user interface once per
// path of the batch. A push therefore never waits for the database or for the user
// interface, and a burst of pushes costs one transaction instead of one per event.
//
// Order with the removal of a row: the row of a finished event is set or cleared by its
// worker right after the event manager let it go, and the tree clears the rows of queued
// events that a directory removal supersedes. A late mark must never bring such a path back
// as "syncing":
//  - Complete (called when the worker lets go of the event) drops the path's mark when the
//    writer has not taken it yet; the worker's own write gives the row its final state.
//    A mark already taken is in a transaction that took the database's write lock before
//    taking it, so the worker's write waits for it and lands after it.
//  - WaitForTree returns once every mark under a directory is written.
#pragma once

#include "event.h"
#include "fstat-db.h"
#include "ustring/ustring.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

class SyncingMarks
{
public:
    SyncingMarks() = default;
    // Stops the writer; marks still pending are not written.
    ~SyncingMarks();
    // Stops the writer (as the destructor does) for a process that is ending: a writer left
    // running would send notifications while the process's statics are being destroyed.
    // Marks added afterwards are dropped.
    void Stop();

    // Queues the mark of event `e`'s path below the session folder `local_root` and the
    // notification of e.
    void Add(const ustring &local_root, const Event &e);
    // The session's event for `path` is finished: a mark of the path not yet taken by the
    // writer is dropped, and so is its notification.
    void Complete(uint64_t sess_id, const ustring &path);
    // Returns once every mark added so far for the path and everything below it is written.
    void WaitForTree(uint64_t sess_id, const ustring &path);
    // Drops the marks not yet taken by the writer and waits for the batch in progress.
    void Clear();

    SyncingMarks(const SyncingMarks &) = delete;
    SyncingMarks &operator=(const SyncingMarks &) = delete;

private:
    // What the row and the notification need of an event, without the rest of it. The
    // session folder is shared by the marks of a session rather than copied into each: a
    // large sync queues a mark per file at once.
    struct Mark {
        uint64_t seq;
        uint64_t sess_id;
        Event::Type type;
        bool is_dir;
        std::string path;
        std::shared_ptr<const std::string> root;

        std::string fullPath() const;
    };
    using Key = std::pair<uint64_t, std::string>;
    using KeyView = std::pair<uint64_t, std::string_view>;
    // Orders keys and lets a lookup by session and path build no string.
    struct KeyLess {
        using is_transparent = void;
        template <typename A, typename B> bool operator()(const A &a, const B &b) const
        {
            return a.first != b.first ? a.first < b.first
                                      : std::string_view(a.second) < std::string_view(b.second);
        }
    };
    using Clock = std::chrono::steady_clock;

    void run();
    std::shared_ptr<const std::string> sharedRoot(uint64_t sess_id, const ustring &local_root);
    void take(std::vector<Mark> &batch, uint64_t &last, std::vector<FileStatusInfo> &rows);
    static void logRows(const std::vector<Mark> &batch, bool failed);
    void report(const std::vector<Mark> &batch);
    void finish(std::unique_lock<std::mutex> &lock, const std::vector<Mark> &batch,
                uint64_t last);

    std::mutex m_lock;
    std::condition_variable m_wake;    // the writer: marks arrived, or stop
    std::condition_variable m_written; // the waiters: a batch is written
    // Marks not taken by the writer yet, oldest first. A deque grows without copying and
    // gives its memory back as the writer takes from it.
    std::deque<Mark> m_pending;
    // The folder of each session that has marks, as the marks share it.
    std::map<uint64_t, std::shared_ptr<const std::string>> m_roots;
    // The last mark of every path that is not written yet, by session and path.
    std::map<Key, uint64_t, KeyLess> m_unwritten;
    uint64_t m_added = 0; // last mark added
    uint64_t m_taken = 0; // last mark taken by the writer
    uint64_t m_done = 0;  // last mark written (or dropped)
    bool m_writing = false;
    bool m_hurry = false; // someone waits: write without gathering first
    bool m_stop = false;
    std::thread m_writer;

    // The user interface that was last found unreachable, and until when the writer does
    // not try it again (writer thread only). A notification that cannot be delivered is
    // dropped anyway; this spares a refused connection and two log lines per path while
    // nobody listens.
    int m_away_port = 0;
    ustring m_away_socket;
    Clock::time_point m_away_until;
};
