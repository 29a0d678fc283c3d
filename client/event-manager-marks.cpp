#include "client/event-manager-marks.h"

#include "client/core/settings.h"
#include "client/core/ui-ipc.h"
#include "fstat-db.h"
#include "log.h"

#include <algorithm>
#include <iterator>

namespace
{

const char kComponent[] = "event_manager_debug";

// How long an unreachable user interface is left alone before the next try.
const std::chrono::seconds kUiRetry(1);
// How long the writer lets marks gather before it writes them: at least kGather, and
// kGatherPerWrite times as long as the last batch took to write, up to kGatherMax. A busy
// writer thus spends at most about a fifth of its time writing, leaving the processors
// to the producers and the workers; its batches grow instead, each commit carries more
// rows, and more marks of events finished meanwhile are dropped unwritten.
const std::chrono::milliseconds kGather(20);
const int kGatherPerWrite = 4;
const std::chrono::milliseconds kGatherMax(250);
// How many marks the writer checks per hold of the lock.
const size_t kStretch = 256;
// The most marks one transaction takes: a large sync queues a mark per file at once, and
// the batch, its rows and their full paths are copies of the pending marks.
const size_t kBatchMax = 4096;

// The prefix of every path below `path` ("/" for the session folder).
std::string belowPrefix(const ustring &path)
{
    std::string prefix = path.c_str_utf8();
    if (prefix.empty() || prefix.back() != '/')
        prefix += '/';
    return prefix;
}

} // namespace

SyncingMarks::~SyncingMarks()
{
    Stop();
}

void SyncingMarks::Stop()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_written.notify_all();
    if (m_writer.joinable())
        m_writer.join();
}

void SyncingMarks::Add(const ustring &local_root, const Event &e)
{
    Mark mark;
    mark.sess_id = e.m_sess_id;
    mark.type = e.m_type;
    mark.is_dir = e.isDir();
    mark.path.assign(e.m_path.c_str_utf8(), e.m_path.size());
    bool wake;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stop)
            return;
        mark.root = sharedRoot(mark.sess_id, local_root);
        mark.seq = ++m_added;
        auto it = m_unwritten.find(KeyView(mark.sess_id, mark.path));
        if (it != m_unwritten.end())
            it->second = mark.seq;
        else
            m_unwritten.emplace(Key(mark.sess_id, mark.path), mark.seq);
        // The writer waits for the first mark of a batch only; later ones join that batch.
        wake = m_pending.empty();
        m_pending.push_back(std::move(mark));
        if (!m_writer.joinable())
            m_writer = std::thread(&SyncingMarks::run, this);
    }
    if (wake)
        m_wake.notify_one();
}

std::string SyncingMarks::Mark::fullPath() const
{
    // The session folder's own mark is the folder itself.
    return path == "/" ? *root : *root + path;
}

// The session's folder as the marks share it; a new copy when the folder changed.
std::shared_ptr<const std::string> SyncingMarks::sharedRoot(uint64_t sess_id,
                                                            const ustring &local_root)
{
    std::shared_ptr<const std::string> &root = m_roots[sess_id];
    std::string_view text(local_root.c_str_utf8(), local_root.size());
    if (!root || *root != text)
        root = std::make_shared<const std::string>(text);
    return root;
}

void SyncingMarks::Complete(uint64_t sess_id, const ustring &path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_unwritten.find(KeyView(sess_id, std::string_view(path.c_str_utf8(), path.size())));
    if (it != m_unwritten.end() && it->second > m_taken)
        m_unwritten.erase(it);
}

void SyncingMarks::WaitForTree(uint64_t sess_id, const ustring &path)
{
    std::unique_lock<std::mutex> lock(m_lock);
    uint64_t last = 0;
    auto it = m_unwritten.find(Key(sess_id, path.c_str_utf8()));
    if (it != m_unwritten.end())
        last = it->second;
    std::string prefix = belowPrefix(path);
    for (it = m_unwritten.lower_bound(Key(sess_id, prefix));
         it != m_unwritten.end() && it->first.first == sess_id &&
         it->first.second.compare(0, prefix.size(), prefix) == 0;
         ++it) {
        last = std::max(last, it->second);
    }
    // The writer skips its gathering for every batch until this mark is written: it may
    // take more than one.
    while (m_done < last && !m_stop) {
        m_hurry = true;
        m_wake.notify_one();
        m_written.wait(lock);
    }
}

void SyncingMarks::Clear()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_pending.clear();
    m_unwritten.clear();
    m_roots.clear();
    m_written.wait(lock, [this] { return !m_writing; });
    m_done = m_added;
    m_written.notify_all();
}

void SyncingMarks::run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    Clock::duration gather = kGather;
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_pending.empty(); });
        // Gathers what comes in shortly after: one transaction for all of it, and the marks
        // of events that finish meanwhile are never written at all.
        m_wake.wait_for(lock, gather, [this] { return m_stop || m_hurry; });
        if (m_stop)
            return;
        m_hurry = false;
        m_writing = true;
        lock.unlock();
        std::vector<Mark> batch;
        uint64_t last = 0;
        Clock::time_point began = Clock::now();
        int rc = FileStatusDB::setFileSyncStats(
            [&](std::vector<FileStatusInfo> &rows) { take(batch, last, rows); });
        gather = std::min<Clock::duration>(
            kGatherMax,
            std::max<Clock::duration>(kGather, (Clock::now() - began) * kGatherPerWrite));
        logRows(batch, rc != 0);
        lock.lock();
        finish(lock, batch, last);
        lock.unlock();
        report(batch);
        lock.lock();
    }
}

// Takes the oldest pending marks (at most kBatchMax), keeping only the last mark of each
// path that was not dropped meanwhile: the row and the notification describe the latest
// state of the path. Called by the file-status database inside the batch's transaction.
void SyncingMarks::take(std::vector<Mark> &batch, uint64_t &last, std::vector<FileStatusInfo> &rows)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_pending.empty())
            return;
        // Marks are pending in the order of their numbers, so every mark up to the last
        // one taken is taken.
        size_t n = std::min(m_pending.size(), kBatchMax);
        batch.reserve(n);
        std::move(m_pending.begin(), m_pending.begin() + n, std::back_inserter(batch));
        m_pending.erase(m_pending.begin(), m_pending.begin() + n);
        last = batch.back().seq;
        m_taken = last;
    }
    // From here on Complete leaves the batch's marks alone, so the lock may be let go
    // between stretches of the check: every push and every finished event waits for it.
    size_t kept = 0;
    for (size_t from = 0; from < batch.size(); from += kStretch) {
        std::lock_guard<std::mutex> guard(m_lock);
        size_t to = std::min(batch.size(), from + kStretch);
        for (size_t i = from; i < to; ++i) {
            auto it = m_unwritten.find(KeyView(batch[i].sess_id, batch[i].path));
            if (it == m_unwritten.end() || it->second != batch[i].seq)
                continue;
            if (kept != i)
                batch[kept] = std::move(batch[i]);
            ++kept;
        }
    }
    batch.resize(kept);
    rows.resize(kept);
    for (size_t i = 0; i < kept; ++i) {
        // Paths are stored as they are on this system ('/'-separated).
        rows[i].path = batch[i].fullPath().c_str();
        rows[i].fileType = batch[i].is_dir ? FileStatusDB::FT_DIR : FileStatusDB::FT_FILE;
        rows[i].syncStatus = FileStatusDB::SS_SYNCING;
    }
}

void SyncingMarks::logRows(const std::vector<Mark> &batch, bool failed)
{
    if (Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
        for (const Mark &row : batch) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] event-manager.cpp(%d): Syncing event to fstatdb at path "
                           "[%s].\n",
                           __LINE__, row.fullPath().c_str());
        }
    }
    if (!failed)
        return;
    for (const Mark &row : batch) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] event-manager.cpp(%d): Failed to set syncing event into FStatDB "
                       "at path [%s].\n",
                       __LINE__, row.fullPath().c_str());
    }
}

// The batch's marks count as written; paths marked again meanwhile stay. Entries are
// erased in stretches under the lock; the waiters learn of the batch at the end.
void SyncingMarks::finish(std::unique_lock<std::mutex> &lock, const std::vector<Mark> &batch,
                          uint64_t last)
{
    for (size_t from = 0; from < batch.size(); from += kStretch) {
        if (from != 0) {
            lock.unlock();
            lock.lock();
        }
        size_t to = std::min(batch.size(), from + kStretch);
        for (size_t i = from; i < to; ++i) {
            auto it = m_unwritten.find(KeyView(batch[i].sess_id, batch[i].path));
            if (it != m_unwritten.end() && it->second <= last)
                m_unwritten.erase(it);
        }
    }
    m_done = std::max(m_done, last);
    m_writing = false;
    m_written.notify_all();
}

void SyncingMarks::report(const std::vector<Mark> &batch)
{
    Settings &settings = Settings::getInstance();
    int port = settings.getUIPort();
    ustring socket = settings.getUISocketPath();
    bool same_target = port == m_away_port && socket == m_away_socket;
    if (same_target && Clock::now() < m_away_until)
        return;
    for (const Mark &mark : batch) {
        Event e;
        e.m_type = mark.type;
        e.m_mode = mark.is_dir ? Event::F_DIR : 0;
        e.m_path = mark.path.c_str();
        e.m_sess_id = mark.sess_id;
        if (UI_IPC::ReportFileSyncingEventToUI(e) != 0) {
            m_away_port = port;
            m_away_socket = socket;
            m_away_until = Clock::now() + kUiRetry;
            return;
        }
    }
}
