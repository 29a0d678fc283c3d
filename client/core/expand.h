// Expander: the directory-wide work of a worker. An expand lists a new local directory
// and queues an upload for everything in it; a rescan compares a local tree with the
// event database and queues what differs; the sub-directory rescans compare one
// directory level in the local or the server direction. All of them end in new events
// pushed through the event-generation functions.
//
// An Expander is a short-lived view of one worker's event: the session's registry entry,
// the worker's id (for the log) and the flag that interrupts it. A worker builds one per
// directory-wide event, or per removal that has to expand a directory.
#pragma once

#include "client/core/registry.h"
#include "event.h"
#include "client/file-list.h"
#include "ustring/ustring.h"

#include <atomic>
#include <cstdint>
#include <functional>

class Expander
{
public:
    // Answers 1 when a database row missing locally is excluded by a selective-sync
    // path rule (and has been recorded as a filtered event): no removal or download is
    // generated for it. The worker supplies its own filter test; without one nothing is
    // excluded.
    typedef std::function<int(uint64_t sess_id, const ustring &path, bool is_dir)>
        FilteredDeleteTest;

    // `abort_flag` (may be null) interrupts every walk and comparison when non-zero.
    Expander(const Registry::Entry &reg, int worker_id, const std::atomic<int> *abort_flag);

    void SetFilteredDeleteTest(FilteredDeleteTest test) { m_filtered = std::move(test); }

    // An event with F_RESCAN: compares the event's directory tree with the database.
    // 0, or -1 when interrupted. The caller reports the event done either way.
    int Rescan(const Event &ev);
    // An event with F_EXPAND: an upload for every file and directory below the event's
    // directory, directories before their contents. 0, or -1 when interrupted.
    int Expand(const Event &ev);
    // An event with a sub-directory rescan flag: the local or the server direction
    // below the event's directory. 0, or -1.
    int ExpandDeleteEvent(const Event &ev);
    // Compares one directory level of the database with the disk (no merge). 0 or -1.
    int ExpandLocalDeleteEvent(const ustring &path);
    // A server removal for every row directly below `path` whose sync id is not above
    // `sync_id`, greatest name first. 0, or -1 when interrupted.
    int ExpandServerDeleteEvent(const ustring &path, uint64_t sess_id, uint64_t sync_id);
    // After a sub-directory rescan event is done: the directory's own event again.
    void CreateDirSelfEvent(const Event &ev);

    // The merge walk of a disk listing against a database listing, both rooted at
    // `root` (a session path). 0, or -1 when interrupted.
    int CompareFileList(const ustring &root, FileList &fs_list, FileList &db_list, bool merge);
    // One level of the local directory `path` (a session path) into `list`. 0, or -1
    // when interrupted; a directory that cannot be opened gives an empty list.
    int BuildLocalFileListWithoutResursive(const ustring &path, FileList &list);

    // The full local path of a session path.
    ustring FullPath(const ustring &path) const;

    // Follow-up events of this session (session paths): a local upload, a local removal,
    // a forced download.
    void PushUploadEvent(const ustring &path, bool is_dir);
    void PushRemoveEvent(const ustring &path, bool is_dir);
    void PushDownloadEvent(const ustring &path, bool is_dir);

private:
    // The merge walk of any disk and database sources that yield their entries in the
    // order of a FileList read backwards (see rescan.cpp).
    template <class DiskSide, class DbSide>
    int mergeWalk(const ustring &root, DiskSide &fs, DbSide &db, bool merge);
    bool aborted() const { return m_abort != nullptr && m_abort->load() != 0; }
    // A database row with no local counterpart: a download when merging, else a
    // removal, unless a selective-sync rule hides the path.
    void pushMissing(const ustring &path, bool is_dir, bool merge);

    Registry::Entry m_reg;
    int m_worker_id;
    const std::atomic<int> *m_abort;
    FilteredDeleteTest m_filtered;
};
