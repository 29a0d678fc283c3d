#include "client/linux/detector-linux.h"

#include "client/core/registry.h"
#include "client/core/working-dir.h"
#include "client/event-db.h"
#include "file-op.h"
#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace
{

const char kComponent[] = "detector_debug";

// Everything that names a change of an entry of a watched directory. IN_EXCL_UNLINK
// keeps files that were deleted while open from reporting further writes.
const uint32_t kDirMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                          IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW |
                          IN_EXCL_UNLINK;
// The working directory is only watched for the loss of its recycle bin.
const uint32_t kWorkMask = IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR | IN_DONT_FOLLOW;

// A write is reported when the file is closed, or after this long without more writes
// (a file kept open, or written through a mapping).
const std::chrono::seconds kQuietTime(2);
// The two halves of a rename are queued together; a moved-away item whose partner has
// not followed within this time left the watched trees.
const std::chrono::milliseconds kPairTime(10);
const int kWaitMs = 1000;
const size_t kReadBuffer = 64 * 1024;

std::string JoinPath(const std::string &dir, const char *name)
{
    return dir == "/" ? std::string("/") + name : dir + "/" + name;
}

ustring FullPath(const ustring &root, const std::string &path)
{
    return path == "/" ? root : root + path.c_str();
}

// The session path lies in `dir` or is `dir` itself.
bool IsBelow(const std::string &path, const std::string &dir)
{
    if (dir == "/") {
        return true;
    }
    return path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

std::string Rebase(const std::string &path, const std::string &from, const std::string &to)
{
    return to + path.substr(from.size());
}

bool IsDirEntry(const ustring &parent, const struct dirent *ent)
{
    if (ent->d_type != DT_UNKNOWN) {
        return ent->d_type == DT_DIR;
    }
    struct stat st;
    ustring full = parent + "/" + ent->d_name;
    return lstat(full.c_str_utf8(), &st) == 0 && S_ISDIR(st.st_mode);
}

const char *ActionName(uint32_t mask)
{
    if (mask & IN_CREATE)
        return "IN_CREATE";
    if (mask & IN_DELETE)
        return "IN_DELETE";
    if (mask & IN_MODIFY)
        return "IN_MODIFY";
    if (mask & IN_CLOSE_WRITE)
        return "IN_CLOSE_WRITE";
    if (mask & IN_ATTRIB)
        return "IN_ATTRIB";
    if (mask & IN_MOVED_FROM)
        return "IN_MOVED_FROM";
    if (mask & IN_MOVED_TO)
        return "IN_MOVED_TO";
    return "IN_UNKNOWN";
}

// The user's watch limit as the sysctl shows it; -1 when it cannot be read.
long WatchLimit()
{
    std::ifstream in("/proc/sys/fs/inotify/max_user_watches");
    long value = -1;
    in >> value;
    return in ? value : -1;
}

} // namespace

Detector::Detector(DetectorSink *sink)
    : m_sink(sink != nullptr ? sink : &DefaultDetectorSink()),
      m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_rescan_interval(60), m_next_rescan(Clock::now() + std::chrono::seconds(60)),
      m_buffer(kReadBuffer)
{
    if (m_fd < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] detector-linux.cpp(%d): inotify_init1: Error Code: %d\n", __LINE__,
                       errno);
    }
}

Detector::~Detector()
{
    Stop();
    Join();
    Clear();
    if (m_fd >= 0) {
        close(m_fd);
    }
    if (m_wake >= 0) {
        close(m_wake);
    }
}

// ----------------------------------------------------------------------------------
// Watches

int Detector::AddWatch(const ustring &path, uint64_t sess_id)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] detector-linux.cpp(%d): Detector add watch: %s\n", __LINE__,
                   path.c_str_utf8());
    if (m_fd < 0) {
        return -1;
    }
    CreateWorkingDirectory(path);
    std::lock_guard<std::mutex> guard(lock);
    if (index.count(sess_id) != 0) {
        RemoveSessionLocked(sess_id);
    }
    session_info &info = index[sess_id];
    info.path = path;
    AddTree(sess_id, info, "/");
    if (info.dirs.empty() && info.unwatched.empty()) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] detector-linux.cpp(%d): inotify_add_watch(%s): Error code: %d\n",
                       __LINE__, path.c_str_utf8(), errno);
        index.erase(sess_id);
        return -1;
    }
    WatchWorkingDirectory(sess_id, info);
    return 0;
}

int Detector::RemoveWatch(uint64_t sess_id)
{
    std::lock_guard<std::mutex> guard(lock);
    if (index.count(sess_id) == 0) {
        return -1;
    }
    RemoveSessionLocked(sess_id);
    return 0;
}

void Detector::Clear()
{
    std::lock_guard<std::mutex> guard(lock);
    while (!index.empty()) {
        auto it = index.begin();
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] detector-linux.cpp(%d): session #%llu (%s) down\n", __LINE__,
                       static_cast<unsigned long long>(it->first), it->second.path.c_str_utf8());
        RemoveSessionLocked(it->first);
    }
}

void Detector::RemoveSessionLocked(uint64_t sess_id)
{
    auto it = index.find(sess_id);
    if (it == index.end()) {
        return;
    }
    DropTree(sess_id, it->second, "/");
    for (auto c = cache.begin(); c != cache.end();) {
        c = c->second.sess_id == sess_id ? cache.erase(c) : std::next(c);
    }
    for (auto d = m_dirty.lower_bound(FileKey(sess_id, std::string()));
         d != m_dirty.end() && d->first.first == sess_id;) {
        d = m_dirty.erase(d);
    }
    index.erase(it);
}

void Detector::AddTree(uint64_t sess_id, session_info &info, const std::string &dir)
{
    std::vector<std::string> stack{dir};
    while (!stack.empty()) {
        std::string rel = std::move(stack.back());
        stack.pop_back();
        ustring full = FullPath(info.path, rel);
        int wd = inotify_add_watch(m_fd, full.c_str_utf8(), kDirMask);
        if (wd < 0) {
            if (errno == ENOSPC) {
                // Every further add fails as well: the rest of the walk stays unwatched
                // (the pending entries are disjoint subtrees).
                info.unwatched.insert(rel);
                info.unwatched.insert(stack.begin(), stack.end());
                ReportLimit(sess_id, info, rel);
                return;
            }
            if (errno != ENOENT && errno != ENOTDIR) {
                Logger::LogMsg(Logger::L_ERR, kComponent,
                               "[ERROR] detector-linux.cpp(%d): inotify_add_watch(%s): Error "
                               "code: %d\n",
                               __LINE__, full.c_str_utf8(), errno);
            }
            continue; // gone again: its removal is reported by the parent
        }
        auto old = info.dirs.find(rel);
        if (old != info.dirs.end() && old->second != wd) {
            Unregister(old->second, sess_id); // another directory stood here before
        }
        bool known = false;
        for (WatchRef &ref : m_wd[wd]) {
            if (ref.sess_id == sess_id) {
                if (ref.path != rel) {
                    auto stale = info.dirs.find(ref.path);
                    if (stale != info.dirs.end() && stale->second == wd) {
                        info.dirs.erase(stale); // moved while its events were lost
                    }
                    ref.path = rel;
                }
                known = true;
            }
        }
        if (!known) {
            m_wd[wd].push_back(WatchRef{sess_id, rel});
        }
        info.dirs[rel] = wd;

        DIR *d = opendir(full.c_str_utf8());
        if (d == nullptr) {
            continue;
        }
        while (struct dirent *ent = readdir(d)) {
            if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0 ||
                !IsDirEntry(full, ent)) {
                continue;
            }
            std::string child = JoinPath(rel, ent->d_name);
            if (!IsFromWorkingDirectory(child)) {
                stack.push_back(std::move(child));
            }
        }
        closedir(d);
    }
}

void Detector::Unregister(int wd, uint64_t sess_id)
{
    auto it = m_wd.find(wd);
    if (it == m_wd.end()) {
        return;
    }
    std::vector<WatchRef> &refs = it->second;
    for (size_t i = 0; i < refs.size(); ++i) {
        if (refs[i].sess_id == sess_id) {
            refs.erase(refs.begin() + static_cast<long>(i));
            break;
        }
    }
    if (refs.empty()) {
        inotify_rm_watch(m_fd, wd);
        m_wd.erase(it);
    }
}

void Detector::DropTree(uint64_t sess_id, session_info &info, const std::string &dir)
{
    std::string inside = dir == "/" ? dir : dir + "/";
    for (auto it = info.dirs.lower_bound(inside);
         it != info.dirs.end() && it->first.compare(0, inside.size(), inside) == 0;) {
        Unregister(it->second, sess_id);
        it = info.dirs.erase(it);
    }
    auto self = info.dirs.find(dir);
    if (self != info.dirs.end()) {
        Unregister(self->second, sess_id);
        info.dirs.erase(self);
    }
    for (auto it = info.unwatched.begin(); it != info.unwatched.end();) {
        it = IsBelow(*it, dir) ? info.unwatched.erase(it) : std::next(it);
    }
}

void Detector::RenameTree(uint64_t sess_id, session_info &info, const std::string &from,
                          const std::string &to)
{
    std::vector<std::pair<std::string, int>> moved;
    std::string inside = from + "/";
    for (auto it = info.dirs.lower_bound(inside);
         it != info.dirs.end() && it->first.compare(0, inside.size(), inside) == 0;) {
        moved.emplace_back(Rebase(it->first, from, to), it->second);
        it = info.dirs.erase(it);
    }
    auto self = info.dirs.find(from);
    if (self != info.dirs.end()) {
        moved.emplace_back(to, self->second);
        info.dirs.erase(self);
    }
    for (const auto &entry : moved) {
        info.dirs[entry.first] = entry.second;
        for (WatchRef &ref : m_wd[entry.second]) {
            if (ref.sess_id == sess_id) {
                ref.path = entry.first;
            }
        }
    }
    std::set<std::string> unwatched;
    for (const std::string &top : info.unwatched) {
        unwatched.insert(IsBelow(top, from) ? Rebase(top, from, to) : top);
    }
    info.unwatched.swap(unwatched);
    std::vector<std::pair<FileKey, Clock::time_point>> dirty;
    for (auto it = m_dirty.begin(); it != m_dirty.end();) {
        if (it->first.first == sess_id && IsBelow(it->first.second, from)) {
            dirty.emplace_back(FileKey(sess_id, Rebase(it->first.second, from, to)), it->second);
            it = m_dirty.erase(it);
        } else {
            ++it;
        }
    }
    m_dirty.insert(dirty.begin(), dirty.end());
}

void Detector::WatchWorkingDirectory(uint64_t sess_id, session_info &info)
{
    ustring full = FullPath(info.path, WORKING_DIR_PATH);
    int wd = inotify_add_watch(m_fd, full.c_str_utf8(), kWorkMask);
    if (wd < 0) {
        if (errno == ENOSPC) {
            ReportLimit(sess_id, info, WORKING_DIR_PATH);
        }
        return;
    }
    auto old = info.dirs.find(WORKING_DIR_PATH);
    if (old != info.dirs.end() && old->second != wd) {
        Unregister(old->second, sess_id);
    }
    std::vector<WatchRef> &refs = m_wd[wd];
    bool known = false;
    for (const WatchRef &ref : refs) {
        known = known || ref.sess_id == sess_id;
    }
    if (!known) {
        refs.push_back(WatchRef{sess_id, WORKING_DIR_PATH});
    }
    info.dirs[WORKING_DIR_PATH] = wd;
    info.work_wd = wd;
}

void Detector::ReportLimit(uint64_t sess_id, session_info &info, const std::string &dir)
{
    if (info.limit_reported) {
        return;
    }
    info.limit_reported = true;
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] detector-linux.cpp(%d): session #%llu: the inotify watch limit "
                   "(fs.inotify.max_user_watches = %ld) is reached at '%s'; directories left "
                   "unwatched are rescanned every %d seconds. Raise the limit with 'sysctl "
                   "fs.inotify.max_user_watches=<number>'\n",
                   __LINE__, static_cast<unsigned long long>(sess_id), WatchLimit(),
                   FullPath(info.path, dir).c_str_utf8(), m_rescan_interval);
    m_sink->ReportWatchLimit(sess_id);
}

void Detector::CreateWorkingDirectory(const ustring &root)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] detector-linux.cpp(%d): creating working directory under %s\n",
                   __LINE__, root.c_str_utf8());
    mkdir((root + WORKING_DIR_PATH).c_str_utf8(), 0755);
    mkdir((root + RECYCLE_BIN_PATH).c_str_utf8(), 0755);
}

bool Detector::IsFromWorkingDirectory(const std::string &path)
{
    const size_t n = sizeof(WORKING_DIR_PATH) - 1;
    return path.size() >= n && strncasecmp(path.c_str(), WORKING_DIR_PATH, n) == 0 &&
           (path.size() == n || path[n] == '/');
}

bool Detector::IsRecycleBin(const std::string &path)
{
    return strcasecmp(path.c_str(), WORKING_DIR_PATH) == 0 || path == RECYCLE_BIN_PATH;
}

void Detector::SetUnwatchedRescanInterval(int seconds)
{
    std::lock_guard<std::mutex> guard(lock);
    m_rescan_interval = seconds;
    m_next_rescan = Clock::now() + std::chrono::seconds(seconds);
}

size_t Detector::WatchCount(uint64_t sess_id)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = index.find(sess_id);
    return it == index.end() ? 0 : it->second.dirs.size();
}

size_t Detector::PendingRenames()
{
    std::lock_guard<std::mutex> guard(lock);
    return cache.size();
}

std::set<std::string> Detector::UnwatchedDirs(uint64_t sess_id)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = index.find(sess_id);
    return it == index.end() ? std::set<std::string>() : it->second.unwatched;
}

// ----------------------------------------------------------------------------------
// Task

int Detector::Pause()
{
    int rc = Task::Pause();
    Wake();
    return rc;
}

int Detector::Resume()
{
    int rc = Task::Resume();
    Wake();
    return rc;
}

int Detector::Stop()
{
    int rc = Task::Stop();
    Wake();
    return rc;
}

void Detector::Wake()
{
    if (m_wake >= 0) {
        uint64_t one = 1;
        ssize_t rc = write(m_wake, &one, sizeof(one));
        (void)rc; // a counter already pending wakes the wait just as well
    }
}

void Detector::DoTask()
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] detector-linux.cpp(%d): detector start\n",
                   __LINE__);
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] detector-linux.cpp(%d): detector stop\n", __LINE__);
            return;
        }
        if (state == PAUSE) {
            // The kernel keeps queueing meanwhile; an overflow becomes a rescan later.
            WaitPaused(1);
            continue;
        }
        bool watching;
        int timeout;
        {
            std::lock_guard<std::mutex> guard(lock);
            watching = !index.empty();
            timeout = NextTimeout();
        }
        if (!watching) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] detector-linux.cpp(%d): No watch folder.\n", __LINE__);
            WaitHandle(kWaitMs);
            continue;
        }
        int rc = WaitHandle(timeout);
        if (rc > 0) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] detector-linux.cpp(%d): Events at index %d\n", __LINE__, 0);
            ReadFromHandle();
        } else if (rc == 0 && timeout == kWaitMs) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] detector-linux.cpp(%d): No incoming events\n", __LINE__);
        }
        std::lock_guard<std::mutex> guard(lock);
        Housekeeping();
    }
}

int Detector::WaitHandle(int timeout_ms)
{
    struct pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
    int rc = poll(fds, 2, timeout_ms);
    if (rc < 0) {
        if (errno != EINTR) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] detector-linux.cpp(%d): poll: Error Code: %d\n", __LINE__,
                           errno);
        }
        return -1;
    }
    if (fds[1].revents & POLLIN) {
        uint64_t count;
        ssize_t n = read(m_wake, &count, sizeof(count));
        (void)n;
    }
    return (fds[0].revents & POLLIN) ? 1 : 0;
}

int Detector::NextTimeout()
{
    if (!cache.empty()) {
        return static_cast<int>(kPairTime.count());
    }
    Clock::time_point now = Clock::now();
    Clock::time_point due = now + std::chrono::milliseconds(kWaitMs);
    for (const auto &d : m_dirty) {
        due = std::min(due, d.second + kQuietTime);
    }
    for (const auto &s : index) {
        if (!s.second.unwatched.empty()) {
            due = std::min(due, m_next_rescan);
        }
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
    return ms < 1 ? 1 : static_cast<int>(ms);
}

void Detector::ReadFromHandle()
{
    // A pause or stop is seen between reads: a paused detector leaves the rest queued.
    while (GetState() == RUN) {
        ssize_t n = read(m_fd, m_buffer.data(), m_buffer.size());
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                Logger::LogMsg(Logger::L_ERR, kComponent,
                               "[ERROR] detector-linux.cpp(%d): read: Error Code %d\n", __LINE__,
                               errno);
            }
            return;
        }
        std::lock_guard<std::mutex> guard(lock);
        ReadFromBuffer(m_buffer.data(), static_cast<size_t>(n));
    }
}

void Detector::ReadFromBuffer(const char *buf, size_t len)
{
    size_t pos = 0;
    while (pos + sizeof(struct inotify_event) <= len) {
        struct inotify_event ev;
        memcpy(&ev, buf + pos, sizeof(ev));
        const char *name = ev.len > 0 ? buf + pos + sizeof(ev) : "";
        pos += sizeof(ev) + ev.len;
        if (ev.mask & IN_Q_OVERFLOW) {
            Overflow();
            continue;
        }
        auto it = m_wd.find(ev.wd);
        if (it == m_wd.end()) {
            continue; // a watch dropped before its last notifications were read
        }
        if (ev.mask & IN_IGNORED) {
            // The directory is gone (or was moved off its file system).
            for (const WatchRef &ref : it->second) {
                auto s = index.find(ref.sess_id);
                if (s == index.end()) {
                    continue;
                }
                auto d = s->second.dirs.find(ref.path);
                if (d != s->second.dirs.end() && d->second == ev.wd) {
                    s->second.dirs.erase(d);
                }
            }
            m_wd.erase(it);
            continue;
        }
        if (name[0] == '\0') {
            continue; // the watched directory itself; its parent reports what matters
        }
        std::vector<WatchRef> refs = it->second; // handling may change the table
        for (const WatchRef &ref : refs) {
            HandleNotification(ref.sess_id, ref.path, ev.mask, ev.cookie, name);
        }
    }
}

// ----------------------------------------------------------------------------------
// Translation

void Detector::HandleNotification(uint64_t sess_id, const std::string &dir, uint32_t mask,
                                  uint32_t cookie, const char *name)
{
    auto s = index.find(sess_id);
    if (s == index.end()) {
        return;
    }
    session_info &info = s->second;
    std::string path = JoinPath(dir, name);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] detector-linux.cpp(%d): Notification: mask: %#x, cookie: %u, %s, %s\n",
                   __LINE__, mask, cookie, ActionName(mask), path.c_str());
    if (IsFromWorkingDirectory(path)) {
        if ((mask & (IN_DELETE | IN_MOVED_FROM)) && IsRecycleBin(path)) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] detector-linux.cpp(%d): recreating working directory (%d)\n",
                           __LINE__, static_cast<int>(mask & IN_ALL_EVENTS));
            CreateWorkingDirectory(info.path);
            WatchWorkingDirectory(sess_id, info);
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] detector-linux.cpp(%d): ignoring changes to %s\n", __LINE__,
                       path.c_str());
        return;
    }
    const bool is_dir = (mask & IN_ISDIR) != 0;
    const FileKey key(sess_id, path);
    if (mask & IN_CREATE) {
        if (is_dir) {
            AddTree(sess_id, info, path);
        }
        Emit(Event::EV_CREATE, sess_id, path, std::string());
    } else if (mask & IN_DELETE) {
        m_dirty.erase(key);
        if (is_dir) {
            DropTree(sess_id, info, path);
        }
        Emit(Event::EV_REMOVE, sess_id, path, std::string());
    } else if (mask & IN_MODIFY) {
        m_dirty[key] = Clock::now();
    } else if (mask & IN_CLOSE_WRITE) {
        m_dirty.erase(key);
        Emit(Event::EV_MODIFY, sess_id, path, std::string());
    } else if (mask & IN_ATTRIB) {
        // A time change; a directory's own modification is never an event.
        auto d = m_dirty.find(key);
        if (d != m_dirty.end()) {
            d->second = Clock::now(); // still being written: reported with the writes
        } else if (!is_dir) {
            Emit(Event::EV_MODIFY, sess_id, path, std::string());
        }
    } else if (mask & IN_MOVED_FROM) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] detector-linux.cpp(%d): hide rename event (%s)\n", __LINE__,
                       path.c_str());
        auto watched = is_dir ? info.dirs.find(path) : info.dirs.end();
        int wd = watched != info.dirs.end() ? watched->second : -1;
        cache[MoveKey(cookie, sess_id)] = PendingMove{sess_id, path, is_dir, Clock::now(), wd};
    } else if (mask & IN_MOVED_TO) {
        auto from = cache.find(MoveKey(cookie, sess_id));
        if (from != cache.end()) {
            std::string old = from->second.path;
            cache.erase(from);
            if (is_dir) {
                RenameTree(sess_id, info, old, path);
            } else {
                auto d = m_dirty.find(FileKey(sess_id, old));
                if (d != m_dirty.end()) {
                    m_dirty[key] = d->second;
                    m_dirty.erase(FileKey(sess_id, old));
                }
            }
            Emit(Event::EV_RENAME, sess_id, old, path, is_dir);
            return;
        }
        // Moved in from outside (or from another session, whose half is flushed as a
        // removal on its own).
        if (is_dir) {
            AddTree(sess_id, info, path);
        }
        Emit(Event::EV_CREATE, sess_id, path, std::string());
    } else {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] detector-linux.cpp(%d): invalie file action (%d)\n", __LINE__,
                       static_cast<int>(mask));
    }
}

void Detector::Emit(Event::Type type, uint64_t sess_id, const std::string &path,
                    const std::string &opt, bool renamed_dir)
{
    auto s = index.find(sess_id);
    if (s == index.end()) {
        return;
    }
    Event event;
    event.m_type = type;
    event.m_path = path.c_str();
    event.m_opt = opt.c_str();
    if (Translate(event, sess_id, s->second.path, renamed_dir)) {
        PushEvent(event);
    }
}

bool Detector::Translate(Event &event, uint64_t sess_id, const ustring &watch_path,
                         bool renamed_dir)
{
    // A rename is typed by where the item is now.
    const ustring &where = event.m_type == Event::EV_RENAME ? event.m_opt : event.m_path;
    FILE_INFO info;
    FSStat(watch_path + where, info, false);
    if (!info.isExist && event.m_type == Event::EV_RENAME) {
        // Moved on again before this was read: the old name is gone all the same, and
        // the new one is reported by the notifications that follow.
        event.m_type = Event::EV_REMOVE;
        event.m_opt.clear();
        if (renamed_dir) {
            event.setDir();
        }
    } else if (!info.isExist) {
        // Removed, or gone again: the database knows what it was; an item it never
        // knew was never synced and needs no event.
        Registry::Entry entry;
        if (!Registry::getInstance().Find(sess_id, entry)) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] detector-linux.cpp(%d): can not find registry entry for "
                           "session %llu \n",
                           __LINE__, static_cast<unsigned long long>(sess_id));
            return false;
        }
        DBFileInfo row;
        if (!entry.event_db || entry.event_db->getEventInfo(where, row) != 1) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] detector-linux.cpp(%d): can't find file type of deleted item "
                           "%s\n",
                           __LINE__, where.c_str_utf8());
            return false;
        }
        if (row.IsDir()) {
            event.setDir();
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] detector-linux.cpp(%d): file type of deleted item %s is %d\n",
                       __LINE__, where.c_str_utf8(), static_cast<int>(row.fileType));
    } else if (info.type == FT_DIR) {
        if (event.m_type == Event::EV_MODIFY) {
            return false;
        }
        event.setDir();
    }
    event.m_sess_id = sess_id;
    return true;
}

void Detector::PushEvent(const Event &event)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] detector-linux.cpp(%d): PushEvent: %s at %llu\n", __LINE__,
                   event.m_path.c_str_utf8(), static_cast<unsigned long long>(event.m_sess_id));
    Event created(event);
    if (event.m_type == Event::EV_RENAME) {
        Event removed(event);
        removed.m_type = Event::EV_REMOVE;
        removed.m_opt.clear();
        m_sink->PushLocalEvent(removed);
        created.m_type = Event::EV_CREATE;
        created.m_path = event.m_opt;
        created.m_opt.clear();
    }
    m_sink->PushLocalEvent(created);
    if (created.m_type == Event::EV_CREATE && created.isDir()) {
        // Whatever arrived inside before the new directory's watch was in place.
        m_sink->IssueExpand(created.m_sess_id, created.m_path);
    }
}

// ----------------------------------------------------------------------------------
// Timed work

void Detector::FlushMoves(bool all)
{
    Clock::time_point now = Clock::now();
    for (auto it = cache.begin(); it != cache.end();) {
        if (!all && now - it->second.when < kPairTime) {
            ++it;
            continue;
        }
        // Moved out of every watched tree: a removal.
        PendingMove move = it->second;
        it = cache.erase(it);
        auto s = index.find(move.sess_id);
        if (s == index.end()) {
            continue;
        }
        m_dirty.erase(FileKey(move.sess_id, move.path));
        // A directory created under the same name meanwhile has a watch of its own,
        // which must stay: only the tree that left is dropped.
        auto now_there = s->second.dirs.find(move.path);
        bool replaced = now_there != s->second.dirs.end() && now_there->second != move.wd;
        if (move.is_dir && !replaced) {
            DropTree(move.sess_id, s->second, move.path);
        }
        Emit(Event::EV_REMOVE, move.sess_id, move.path, std::string());
    }
}

void Detector::Overflow()
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] detector-linux.cpp(%d): Event queue overflow, rescan watch\n", __LINE__);
    // Notifications were lost, among them perhaps new directories: watch what is there
    // now and let the rescan find every change.
    FlushMoves(true);
    for (auto &s : index) {
        AddTree(s.first, s.second, "/");
        WatchWorkingDirectory(s.first, s.second);
        m_sink->IssueRescan(s.first, "/", false);
    }
}

void Detector::Housekeeping()
{
    FlushMoves(false);
    Clock::time_point now = Clock::now();
    std::vector<FileKey> quiet;
    for (const auto &d : m_dirty) {
        if (now - d.second >= kQuietTime) {
            quiet.push_back(d.first);
        }
    }
    for (const FileKey &key : quiet) {
        m_dirty.erase(key);
        Emit(Event::EV_MODIFY, key.first, key.second, std::string());
    }
    if (now < m_next_rescan) {
        return;
    }
    m_next_rescan = now + std::chrono::seconds(m_rescan_interval);
    for (auto &s : index) {
        // Watch what can be watched by now; rescan all of it, as changes made while it
        // was unwatched were not reported.
        std::set<std::string> tops;
        tops.swap(s.second.unwatched);
        for (const std::string &top : tops) {
            AddTree(s.first, s.second, top);
        }
        for (const std::string &top : tops) {
            m_sink->IssueRescan(s.first, top.c_str(), false);
        }
    }
}
