#include "client/core/expand-walk.h"
#include "client/core/expand.h"
#include "client/core/working-dir.h"
#include "client/event-db.h"
#include "file-op.h"
#include "log.h"

#include <vector>

namespace
{

const char kComponent[] = "worker_debug";

// Fills a FileList from the disk: files with time and size, directories as nodes that
// hold their contents. The working directory at the top of the session is left out, so
// a rescan never uploads the system's own temporary files and recycle bin.
struct FileListBuilder {
    FileList &list;
    int dir_id;      // node being filled; 0 is the scanned root
    size_t root_len; // length of the scanned root, for the log
    int worker_id;
    ustring working_dir;
    std::vector<int> parents; // nodes of the directories entered above dir_id
    bool debug;

    ustring name(const ustring &path) const { return path.substr(path.rfind('/') + 1); }

    bool visit(const ustring &path, const DIR_ENTRY &entry)
    {
        if (entry.type == FT_FILE) {
            if (debug) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] worker.cpp(%d): Worker (%d): local list: add file '%s'\n",
                               __LINE__, worker_id, path.c_str_utf8() + root_len);
            }
            list.AddFile(dir_id, name(path), entry.mtime, entry.size, ustring());
            return true;
        }
        if (entry.type != FT_DIR || path == working_dir) {
            return false;
        }
        int id = list.AddDirectory(dir_id, name(path), entry.mtime, ustring());
        if (id < 0) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): Worker (%d): local list: add dir '%s'\n",
                           __LINE__, worker_id, path.c_str_utf8() + root_len);
            return false;
        }
        if (debug) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): Worker (%d): local list: add directory '%s'\n",
                           __LINE__, worker_id, path.c_str_utf8() + root_len);
        }
        parents.push_back(dir_id);
        dir_id = id;
        return true;
    }

    void leave(const ustring &)
    {
        dir_id = parents.back();
        parents.pop_back();
    }
};

// Orders two listed paths the way FileList's reverse iteration meets them: component by
// component in byte order, a directory's contents after (greater than) the directory.
// Plain text order would differ where a name holds a byte below '/': "/a.txt" comes
// before the contents of "/a" in the walk but sorts below "/a/x" as text, and the merge
// would then report both as missing on the other side.
int ComparePaths(const ustring &a, const ustring &b)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(a.c_str_utf8());
    const unsigned char *q = reinterpret_cast<const unsigned char *>(b.c_str_utf8());
    size_t n = a.length();
    size_t m = b.length();
    for (size_t i = 0;; ++i) {
        // End of path 0, separator 1, any other byte above both.
        int x = i == n ? 0 : (p[i] == '/' ? 1 : p[i] + 2);
        int y = i == m ? 0 : (q[i] == '/' ? 1 : q[i] + 2);
        if (x != y || x == 0) {
            return x - y;
        }
    }
}

} // namespace

int Expander::Rescan(const Event &ev)
{
    ustring full = FullPath(ev.m_path);
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): Worker (%d): rescaning directory '%s'\n", __LINE__,
                   m_worker_id, full.c_str_utf8());
    StringBuffer names;
    FileList fs_list(names);
    FileList db_list(names);
    FileListBuilder builder{fs_list,
                            0,
                            full.length(),
                            m_worker_id,
                            m_reg.local_path + WORKING_DIR_PATH,
                            {},
                            Logger::IsEnabled(Logger::L_DEBUG, kComponent)};
    int flags = expand_walk::WALK_ATTRIBUTES | (m_reg.isMSDOS ? expand_walk::WALK_FAT_TIME : 0);
    int rc = expand_walk::Walk(full, builder, flags, m_abort);
    if (rc == 0) {
        // A database that cannot be listed would make every local entry look new.
        rc = m_reg.event_db && m_reg.event_db->getFileList(db_list, ev.m_path) == 0 ? 0 : -1;
    }
    if (rc == 0) {
        rc = CompareFileList(ev.m_path, fs_list, db_list, ev.isMerge());
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
    ustring prefix = root == "/" ? ustring() : root;
    auto f = fs_list.rbegin();
    auto d = db_list.rbegin();
    const auto f_end = fs_list.rend();
    const auto d_end = db_list.rend();
    bool debug = Logger::IsEnabled(Logger::L_DEBUG, kComponent);
    while (f != f_end || d != d_end) {
        if (aborted()) {
            Logger::LogMsg(Logger::L_INFO, kComponent,
                           "[INFO] worker.cpp(%d): CompareFileList: user stopped\n", __LINE__);
            return -1;
        }
        if (d == d_end) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): fs_iter: %s\n",
                           __LINE__, f->path.c_str_utf8());
            PushUploadEvent(prefix + f->path, f->is_dir());
            ++f;
            continue;
        }
        if (f == f_end) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): db_iter: %s\n",
                           __LINE__, d->path.c_str_utf8());
            pushMissing(prefix + d->path, d->is_dir(), merge);
            ++d;
            continue;
        }
        int order = ComparePaths(f->path, d->path);
        if (order > 0) { // only on the disk
            PushUploadEvent(prefix + f->path, f->is_dir());
            ++f;
            continue;
        }
        if (order < 0) { // only in the database
            pushMissing(prefix + d->path, d->is_dir(), merge);
            ++d;
            continue;
        }
        if (f->is_dir() != d->is_dir()) {
            PushUploadEvent(prefix + f->path, f->is_dir());
            if (merge) {
                PushDownloadEvent(prefix + d->path, d->is_dir());
            }
        } else if (f->is_dir() || f->attr == d->attr) {
            if (debug) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] worker.cpp(%d): CompareFileList: skipping: %s\n", __LINE__,
                               f->path.c_str_utf8());
            }
        } else {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] worker.cpp(%d): CompareFileList: '%s' is locally modified "
                           "...\n",
                           __LINE__, f->path.c_str_utf8());
            PushUploadEvent(prefix + f->path, f->is_dir());
        }
        ++f;
        ++d;
    }
    return 0;
}
