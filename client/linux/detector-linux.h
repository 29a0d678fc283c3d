// Detector: the task that watches the local folders of all sessions through one inotify
// descriptor and turns the notifications into local events. inotify is not recursive:
// every directory of a session tree has a watch of its own, added when the session is
// watched and for every directory that appears later (created or moved in). Rename
// halves are paired by their cookie; the stream of modifications of one write becomes
// one modified event when the file is closed (or after two quiet seconds); the hidden
// working directory is ignored and recreated when the user deletes it; a lost
// notification queue is answered with a rescan of every session. Directories that
// cannot be watched because the user's watch limit is reached are rescanned
// periodically instead.
#pragma once

#include "client/task.h"
#include "event.h"
#include "ustring/ustring.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// Where the detector's results go. The default sends them to the event manager and the
// user interface; tests give their own.
class DetectorSink
{
public:
    virtual ~DetectorSink() = default;
    virtual void PushLocalEvent(const Event &e) = 0;
    virtual void IssueRescan(uint64_t sess_id, const ustring &path, bool merge) = 0;
    virtual void IssueExpand(uint64_t sess_id, const ustring &path) = 0;
    // Part of the session's tree cannot be watched (the watch limit is reached). Called
    // once per watched session.
    virtual void ReportWatchLimit(uint64_t sess_id) = 0;
};

// The sink that feeds the event manager and the user interface.
DetectorSink &DefaultDetectorSink();

class Detector : public Task
{
public:
    typedef std::chrono::steady_clock Clock;

    // One watched session.
    struct session_info {
        ustring path;                    // the session folder
        std::map<std::string, int> dirs; // session path of each watched directory -> wd
        std::set<std::string> unwatched; // tops of subtrees without watches (limit reached)
        int work_wd = -1;                // watch on the working directory (deletions only)
        bool limit_reported = false;
    };

    // `sink` must outlive the detector; null means the event manager.
    explicit Detector(DetectorSink *sink = nullptr);
    ~Detector() override;

    // Starts watching `path` for the session; a watch stored before for the same session
    // is replaced. 0, or -1 when the folder cannot be watched at all.
    int AddWatch(const ustring &path, uint64_t sess_id);
    // Stops watching the session's folder. 0, or -1 for a session without watch.
    int RemoveWatch(uint64_t sess_id);
    // Removes every watch.
    void Clear();

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    // How often directories that could not be watched are rescanned (seconds; 60).
    void SetUnwatchedRescanInterval(int seconds);
    // Directories of the session that have a watch (0 for an unknown session).
    size_t WatchCount(uint64_t sess_id);
    // Halves of renames still waiting for their partner.
    size_t PendingRenames();
    // Subtrees of the session left without watches.
    std::set<std::string> UnwatchedDirs(uint64_t sess_id);

    // "<folder>/.ZentoraWorkingDirectory" and its recycle bin, created hidden (their
    // names start with a dot on this platform). Existing directories stay; errors are
    // not reported.
    static void CreateWorkingDirectory(const ustring &root);
    // True when the session path lies in the working directory (the name compared
    // without regard to case).
    static bool IsFromWorkingDirectory(const std::string &path);
    // True for the session path of the working directory itself or its recycle bin.
    static bool IsRecycleBin(const std::string &path);

private:
    struct WatchRef {
        uint64_t sess_id;
        std::string path; // session path of the watched directory
    };
    // A moved-away item whose arrival (same cookie) has not been seen yet.
    struct PendingMove {
        uint64_t sess_id;
        std::string path;
        bool is_dir;
        Clock::time_point when;
        int wd; // the directory's watch when it left, -1 for none
    };
    typedef std::pair<uint64_t, std::string> FileKey;
    typedef std::pair<uint32_t, uint64_t> MoveKey; // cookie, session

    int WaitHandle(int timeout_ms);
    void ReadFromHandle();
    void ReadFromBuffer(const char *buf, size_t len);
    void HandleNotification(uint64_t sess_id, const std::string &dir, uint32_t mask,
                            uint32_t cookie, const char *name);
    // Types the event from the disk (or, for what is gone, from the event database);
    // false when it is no event. `renamed_dir` types a rename whose new name is gone.
    bool Translate(Event &event, uint64_t sess_id, const ustring &watch_path, bool renamed_dir);
    void PushEvent(const Event &event);
    void Emit(Event::Type type, uint64_t sess_id, const std::string &path, const std::string &opt,
              bool renamed_dir = false);
    void Overflow();
    void Housekeeping();
    int NextTimeout();

    // Watches the directory at session path `dir` and every directory below it.
    void AddTree(uint64_t sess_id, session_info &info, const std::string &dir);
    // Forgets the watches of the session at `dir` and below (rm_watch where no other
    // session shares the directory).
    void DropTree(uint64_t sess_id, session_info &info, const std::string &dir);
    void RenameTree(uint64_t sess_id, session_info &info, const std::string &from,
                    const std::string &to);
    void Unregister(int wd, uint64_t sess_id);
    void WatchWorkingDirectory(uint64_t sess_id, session_info &info);
    void ReportLimit(uint64_t sess_id, session_info &info, const std::string &dir);
    void FlushMoves(bool all);
    void RemoveSessionLocked(uint64_t sess_id);
    void Wake();

    DetectorSink *m_sink;
    int m_fd;   // the inotify descriptor of all sessions
    int m_wake; // eventfd that ends a wait early (state changes)
    std::mutex lock;
    std::map<uint64_t, session_info> index;
    std::unordered_map<int, std::vector<WatchRef>> m_wd; // wd -> watched directories
    std::map<MoveKey, PendingMove> cache;                // moved-away items
    std::map<FileKey, Clock::time_point> m_dirty;        // written, not yet closed
    int m_rescan_interval;
    Clock::time_point m_next_rescan;
    std::vector<char> m_buffer;
};
