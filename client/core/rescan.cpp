#include "client/core/expand.h"
#include "client/core/working-dir.h"
#include "client/event-db.h"
#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const char kComponent[] = "worker_debug";

// Orders two listed paths the way FileList's reverse iteration meets them: component by
// component in byte order, a directory's contents after (greater than) the directory.
// Plain text order would differ where a name holds a byte below '/': "/a.txt" comes
// before the contents of "/a" in the walk but sorts below "/a/x" as text, and the merge
// would then report both as missing on the other side.
int ComparePaths(const char *a, size_t n, const char *b, size_t m)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *q = reinterpret_cast<const unsigned char *>(b);
    for (size_t i = 0;; ++i) {
        // End of path 0, separator 1, any other byte above both.
        int x = i == n ? 0 : (p[i] == '/' ? 1 : p[i] + 2);
        int y = i == m ? 0 : (q[i] == '/' ? 1 : q[i] + 2);
        if (x != y || x == 0) {
            return x - y;
        }
    }
}

// A FileList read backwards, as a source of the merge walk.
class ListSource
{
public:
    explicit ListSource(const FileList &list) : m_it(list.rbegin()), m_end(list.rend()) {}

    // Steps to the next entry; false past the last one.
    bool next()
    {
        if (m_started) {
            ++m_it;
        }
        m_started = true;
        return m_it != m_end;
    }
    const char *path() const { return m_it->path.c_str_utf8(); }
    size_t length() const { return m_it->path.length(); }
    bool is_dir() const { return m_it->is_dir(); }
    const FileList::Attribute &attr() const { return m_it->attr; }

private:
    FileList::reverse_iterator m_it;
    FileList::reverse_iterator m_end;
    bool m_started = false;
};

// The disk below a directory, read straight into the order of a FileList read backwards
// (names from greatest to smallest, a directory's contents before the directory), so
// that the rescan merges it with the database listing as it goes instead of building a
// second tree. Only regular files and directories are listed, as they are all a rescan
// compares. Each directory is listed once through its open descriptor: its entries are
// typed by the listing, only files are stat'ed (relative to that descriptor), and no
// path is ever resolved from the top again. A directory that cannot be read counts as
// empty, and a listing that breaks off counts as ending there.
class DiskSource
{
public:
    // `top_fd` is an open directory (taken over); `excluded` a name left out directly
    // below it (empty: none). `fat_time` clears the lowest bit of every time.
    DiskSource(int top_fd, std::string excluded, bool fat_time, int worker_id)
        : m_excluded(std::move(excluded)), m_fat_time(fat_time), m_worker_id(worker_id),
          m_debug(Logger::IsEnabled(Logger::L_DEBUG, kComponent))
    {
        enter(top_fd);
    }
    ~DiskSource()
    {
        while (!m_stack.empty()) {
            pop();
        }
    }
    DiskSource(const DiskSource &) = delete;
    DiskSource &operator=(const DiskSource &) = delete;

    bool next();
    const char *path() const { return m_path.data(); }
    size_t length() const { return m_path.size(); }
    bool is_dir() const { return m_is_dir; }
    const FileList::Attribute &attr() const { return m_attr; }

private:
    struct Item {
        std::string name;
        bool is_dir;
        uint32_t mtime;
        uint64_t size;
    };
    struct Frame {
        DIR *dir;                // null for a directory that could not be opened
        std::vector<Item> items; // ascending by name; taken from the back
        size_t path_len;         // length of the directory's path in m_path
    };

    void enter(int fd);
    void list(Frame &frame, bool top);
    void pop();

    std::string m_excluded;
    bool m_fat_time;
    int m_worker_id;
    bool m_debug;
    std::vector<Frame> m_stack;
    bool m_pop_pending = false; // the directory on top of the stack was just yielded
    std::string m_path;         // path of the current entry below the top, from '/'
    bool m_is_dir = false;
    FileList::Attribute m_attr;
};

void DiskSource::enter(int fd)
{
    Frame frame{fd >= 0 ? fdopendir(fd) : nullptr, {}, m_path.size()};
    if (frame.dir == nullptr && fd >= 0) {
        close(fd);
    }
    list(frame, m_stack.empty());
    m_stack.push_back(std::move(frame));
}

void DiskSource::pop()
{
    if (m_stack.back().dir != nullptr) {
        closedir(m_stack.back().dir);
    }
    m_stack.pop_back();
    if (!m_stack.empty()) {
        m_path.resize(m_stack.back().path_len);
    }
}

void DiskSource::list(Frame &frame, bool top)
{
    if (frame.dir == nullptr) {
        return;
    }
    int fd = dirfd(frame.dir);
    for (;;) {
        errno = 0;
        const struct dirent *ent = readdir(frame.dir);
        if (ent == nullptr) {
            break;
        }
        const char *name = ent->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
            (top && !m_excluded.empty() && m_excluded == name)) {
            continue;
        }
        if (ent->d_type != DT_DIR && ent->d_type != DT_REG && ent->d_type != DT_UNKNOWN) {
            continue;
        }
        Item item{name, ent->d_type == DT_DIR, 0, 0};
        if (!item.is_dir) {
            struct stat st;
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) {
                    continue; // gone since it was listed
                }
                break;
            }
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
                continue;
            }
            item.is_dir = S_ISDIR(st.st_mode);
            if (!item.is_dir) {
                item.mtime = st.st_mtime < 0 ? 0
                             : static_cast<unsigned long long>(st.st_mtime) > UINT32_MAX
                                 ? UINT32_MAX
                                 : static_cast<uint32_t>(st.st_mtime);
                if (m_fat_time) {
                    item.mtime &= ~1u;
                }
                item.size = static_cast<uint64_t>(st.st_size);
            }
        }
        frame.items.push_back(std::move(item));
    }
    std::sort(frame.items.begin(), frame.items.end(),
              [](const Item &a, const Item &b) { return a.name < b.name; });
}

bool DiskSource::next()
{
    if (m_pop_pending) {
        pop();
        m_pop_pending = false;
    }
    while (!m_stack.empty()) {
        Frame &frame = m_stack.back();
        if (frame.items.empty()) {
            // Every entry of the directory is done: the directory itself comes next,
            // except for the top, which is never yielded.
            if (m_stack.size() == 1) {
                return false;
            }
            m_path.resize(frame.path_len);
            m_is_dir = true;
            m_attr.clear();
            m_pop_pending = true;
            return true;
        }
        Item item = std::move(frame.items.back());
        frame.items.pop_back();
        m_path.resize(frame.path_len);
        m_path += '/';
        m_path += item.name;
        if (item.is_dir) {
            if (m_debug) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] worker.cpp(%d): Worker (%d): local list: add directory "
                               "'%s'\n",
                               __LINE__, m_worker_id, m_path.c_str());
            }
            enter(openat(dirfd(frame.dir), item.name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            continue;
        }
        if (m_debug) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): Worker (%d): local list: add file '%s'\n",
                           __LINE__, m_worker_id, m_path.c_str());
        }
        m_is_dir = false;
        m_attr.mtime = item.mtime;
        m_attr.size = item.size;
        return true;
    }
    return false;
}

// The database rows below a directory in the order of a FileList read backwards, kept as
// one block of path bytes and a sorted index into it instead of a tree of nodes. The
// listing keeps a FileList's reading of the rows: a directory that only its contents
// name is listed too, the contents of a file row are not, a path listed twice counts
// once, and malformed paths (empty parts, a trailing '/', 4 KiB or longer) are left out.
class RowSource
{
public:
    // Lists the rows below `prefix` ("/" for the whole tree). 0 or -1.
    int load(FileEventDB &db, const ustring &prefix);

    bool next()
    {
        if (m_pos == 0) {
            return false;
        }
        const Row &row = m_rows[--m_pos];
        m_attr.mtime = row.mtime;
        m_attr.size = row.size;
        if (row.acl_len != 0 || !m_attr.acl_hash.empty()) {
            m_attr.acl_hash = ustring(std::string(m_bytes, row.acl_off, row.acl_len));
        }
        return true;
    }
    const char *path() const { return m_bytes.data() + m_rows[m_pos].off; }
    size_t length() const { return m_rows[m_pos].len; }
    bool is_dir() const { return m_rows[m_pos].is_dir; }
    const FileList::Attribute &attr() const { return m_attr; }

private:
    struct Row {
        size_t off;
        size_t len;
        bool is_dir;
        uint32_t mtime;
        uint64_t size;
        size_t acl_off;
        size_t acl_len;
    };
    static bool wellFormed(const char *path, size_t len);
    void complete(std::vector<Row> &sorted);

    std::string m_bytes;
    std::vector<Row> m_rows; // ascending; read from the back
    size_t m_pos = 0;        // one past the current row
    FileList::Attribute m_attr;
};

bool RowSource::wellFormed(const char *path, size_t len)
{
    const size_t kMaxPath = 4096;
    return len > 1 && len < kMaxPath && path[0] == '/' && path[len - 1] != '/' &&
           memmem(path, len, "//", 2) == nullptr;
}

int RowSource::load(FileEventDB &db, const ustring &prefix)
{
    std::vector<Row> rows;
    int rc = db.forEachRowBelow(prefix, [this, &rows](const char *path, bool is_dir, uint32_t mtime,
                                                      uint64_t size, const char *acl_hash) {
        size_t len = strlen(path);
        if (!wellFormed(path, len)) {
            return;
        }
        Row row{m_bytes.size(), len, is_dir, mtime, is_dir ? 0 : size, 0, strlen(acl_hash)};
        m_bytes.append(path, len);
        row.acl_off = m_bytes.size();
        m_bytes.append(acl_hash, row.acl_len);
        rows.push_back(row);
    });
    if (rc != 0) {
        return -1;
    }
    const char *bytes = m_bytes.data();
    std::sort(rows.begin(), rows.end(), [bytes](const Row &a, const Row &b) {
        return ComparePaths(bytes + a.off, a.len, bytes + b.off, b.len) < 0;
    });
    complete(rows);
    m_pos = m_rows.size();
    return 0;
}

// In ascending order every directory comes right before its contents, so one pass with
// the chain of ancestors of the current row finds the directories to add and the rows
// to leave out.
void RowSource::complete(std::vector<Row> &sorted)
{
    const char *bytes = m_bytes.data();
    std::vector<size_t> chain; // rows of m_rows that are ancestors of the current one
    m_rows.reserve(sorted.size());
    for (const Row &row : sorted) {
        const char *path = bytes + row.off;
        if (!m_rows.empty()) {
            const Row &last = m_rows.back();
            if (last.len == row.len && memcmp(bytes + last.off, path, row.len) == 0) {
                continue;
            }
        }
        while (!chain.empty()) {
            const Row &up = m_rows[chain.back()];
            if (up.len < row.len && path[up.len] == '/' &&
                memcmp(bytes + up.off, path, up.len) == 0) {
                break;
            }
            chain.pop_back();
        }
        if (!chain.empty() && !m_rows[chain.back()].is_dir) {
            continue; // below a file
        }
        size_t from = chain.empty() ? 0 : m_rows[chain.back()].len;
        for (size_t i = from + 1; i < row.len; ++i) {
            if (path[i] == '/') {
                chain.push_back(m_rows.size());
                m_rows.push_back(Row{row.off, i, true, 0, 0, 0, 0});
            }
        }
        chain.push_back(m_rows.size());
        m_rows.push_back(row);
    }
}

// The name of the working directory when it lies directly below `dir`, else empty.
std::string ExcludedName(const ustring &dir, const ustring &working_dir)
{
    std::string top = std::string(dir.c_str_utf8()) + "/";
    std::string wd = working_dir.c_str_utf8();
    if (wd.compare(0, top.size(), top) != 0 || wd.find('/', top.size()) != std::string::npos) {
        return std::string();
    }
    return wd.substr(top.size());
}

} // namespace

template <class DiskSide, class DbSide>
int Expander::mergeWalk(const ustring &root, DiskSide &fs, DbSide &db, bool merge)
{
    ustring prefix = root == "/" ? ustring() : root;
    auto session_path = [&prefix](const auto &side) {
        ustring path(prefix);
        path.append(side.path(), side.length());
        return path;
    };
    bool f = fs.next();
    bool d = db.next();
    bool debug = Logger::IsEnabled(Logger::L_DEBUG, kComponent);
    while (f || d) {
        if (aborted()) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): CompareFileList: user stopped\n", __LINE__);
            return -1;
        }
        if (!d) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): fs_iter: %.*s\n",
                           __LINE__, static_cast<int>(fs.length()), fs.path());
            PushUploadEvent(session_path(fs), fs.is_dir());
            f = fs.next();
            continue;
        }
        if (!f) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): db_iter: %.*s\n",
                           __LINE__, static_cast<int>(db.length()), db.path());
            pushMissing(session_path(db), db.is_dir(), merge);
            d = db.next();
            continue;
        }
        int order = ComparePaths(fs.path(), fs.length(), db.path(), db.length());
        if (order > 0) { // only on the disk
            PushUploadEvent(session_path(fs), fs.is_dir());
            f = fs.next();
            continue;
        }
        if (order < 0) { // only in the database
            pushMissing(session_path(db), db.is_dir(), merge);
            d = db.next();
            continue;
        }
        if (fs.is_dir() != db.is_dir()) {
            PushUploadEvent(session_path(fs), fs.is_dir());
            if (merge) {
                PushDownloadEvent(session_path(db), db.is_dir());
            }
        } else if (fs.is_dir() || fs.attr() == db.attr()) {
            if (debug) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] worker.cpp(%d): CompareFileList: skipping: %.*s\n",
                               __LINE__, static_cast<int>(fs.length()), fs.path());
            }
        } else {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): CompareFileList: '%.*s' is locally modified "
                           "...\n",
                           __LINE__, static_cast<int>(fs.length()), fs.path());
            PushUploadEvent(session_path(fs), fs.is_dir());
        }
        f = fs.next();
        d = db.next();
    }
    return 0;
}

int Expander::Rescan(const Event &ev)
{
    ustring full = FullPath(ev.m_path);
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): Worker (%d): rescaning directory '%s'\n", __LINE__,
                   m_worker_id, full.c_str_utf8());
    // A database that cannot be listed would make every local entry look new.
    RowSource rows;
    int rc = m_reg.event_db && rows.load(*m_reg.event_db, ev.m_path) == 0 ? 0 : -1;
    if (rc == 0) {
        // A directory that is gone has no entries left, so its rows are removals. One
        // that exists but cannot be read says nothing about its contents: removing them
        // everywhere would lose files.
        int fd = open(full.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT && errno != ENOTDIR) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] worker.cpp(%d): FSOpenDir(%s)\n", __LINE__,
                           full.c_str_utf8());
            rc = -1;
        } else {
            DiskSource disk(fd, ExcludedName(full, m_reg.local_path + WORKING_DIR_PATH),
                            m_reg.isMSDOS, m_worker_id);
            rc = mergeWalk(ev.m_path, disk, rows, ev.isMerge());
        }
    }
    if (rc != 0) {
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] worker.cpp(%d): interrupted while rescaning '%s'\n", __LINE__,
                       full.c_str_utf8());
        return -1;
    }
    return 0;
}

void Expander::pushMissing(const ustring &path, bool is_dir, bool merge)
{
    if (m_filtered && m_filtered(m_reg.sess_id, path, is_dir) == 1) {
        return;
    }
    if (merge) {
        PushDownloadEvent(path, is_dir);
    } else {
        PushRemoveEvent(path, is_dir);
    }
}

int Expander::CompareFileList(const ustring &root, FileList &fs_list, FileList &db_list, bool merge)
{
    ListSource fs(fs_list);
    ListSource db(db_list);
    return mergeWalk(root, fs, db, merge);
}
