// Registry: the process-wide table of sync sessions, keyed by session id. Entries go in
// and out by copy under one mutex; the filters and the event database of a session are
// shared through shared_pointer handles, so a thread's copy keeps them alive.
#pragma once

#include "client/core/shared-pointer.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <list>
#include <map>
#include <mutex>

class BlackList2;
class WhiteListCpp;
class ForceHashCheckListCpp;
class FileEventDB;

// How file permissions are synchronised for a session.
enum PermissionMode {
    PERM_SYNC_EXEC_BIT_ONLY = 0,
    PERM_SYNC_DOMAIN_ONLY = 1,
    PERM_SYNC_ALL = 2,
};

// The mode named by a control message: "sync-all", "domain-only", anything else means
// only the execute bit.
PermissionMode PermissionModeFromText(const ustring &text);

class Registry
{
public:
    struct Entry {
        uint64_t conn_id;
        uint64_t sess_id;
        uint64_t view_id;
        uint64_t node_id;
        uint32_t recycle_time; // oldest item of the recycle bin, seconds since 1970; 0 = none
        bool recursive;
        ustring local_path;
        ustring remote_path;
        ustring config_path;
        bool isMSDOS;
        bool pause;
        bool read_only;
        PermissionMode perm_mode;
        shared_pointer<BlackList2> black_list;
        shared_pointer<WhiteListCpp> white_list;
        shared_pointer<FileEventDB> event_db;
        shared_pointer<ForceHashCheckListCpp> force_hash_check_list;

        Entry();
        // Back to the fresh state, releasing the handles.
        void clear();
    };

    static Registry &getInstance();

    void Set(const Entry &entry);
    bool Find(uint64_t sess_id, Entry &entry);
    // Only the local folder of a registered session: cheaper than a whole copy of its entry
    // for callers that ask on every event.
    bool GetLocalPath(uint64_t sess_id, ustring &local_path);
    // The entry after sess_id in id order, wrapping round; the first entry when sess_id is
    // not registered. False only when the registry is empty.
    bool FindNext(uint64_t sess_id, Entry &entry);
    void GetAll(std::list<Entry> &list);
    void Remove(uint64_t sess_id);
    void Clear(uint64_t sess_id);
    void Clear();
    size_t Size();
    void UpdateRecycleTime(const Entry &entry, uint32_t time);
    // Keeps the earliest non-zero time.
    void InitRecycleTime(const Entry &entry, uint32_t time);

    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }

private:
    std::map<uint64_t, Entry> index;
    std::mutex mutex;
};
