// ProgressCache: the in-memory mirror of the resume conditions still to be worked off,
// oldest first. The message thread adds to it; the resume puller takes conditions out by
// copy; the server event puller asks whether a session still has any.
#pragma once

#include "client/core/filter-db.h"

#include <cstdint>
#include <list>
#include <mutex>

class ProgressCache
{
public:
    struct Entry {
        uint64_t row_id = 0; // the condition's row in the filter database
        ResumeCondition condition;
    };

    static ProgressCache &getInstance();

    void addProgressEntry(uint64_t row_id, const ResumeCondition &condition);
    // Copies the oldest entry; false when there is none.
    bool getProgressEntry(Entry &entry);
    void updateProgressSyncId(uint64_t row_id, uint64_t sync_id);
    // 0, or -1 when no entry has that row id.
    int rmProgressEntry(uint64_t row_id);
    // Removes the session's oldest entry; 0, or -1 when it has none.
    int rmProgressEntryBySessionId(uint64_t sess_id);
    // Removes every entry of the session (a removed session leaves none behind); the number
    // removed.
    int rmProgressEntriesBySessionId(uint64_t sess_id);
    // Copies of every entry, oldest first.
    void getProgressEntries(std::list<Entry> &entries);
    bool isInProgrssCache(uint64_t sess_id);
    void clear();

    ProgressCache(const ProgressCache &) = delete;
    ProgressCache &operator=(const ProgressCache &) = delete;

private:
    ProgressCache() = default;

    std::list<Entry> cache_list;
    std::mutex m_mutex;
};
