// FilterDB: the process-wide SQLite database of the selective-sync state. Per session it
// keeps the filters in force and since which server sync id, the resume conditions left
// after a filter was loosened, and the local changes a filter held back. Opened at link,
// closed at unlink; one mutex serialises every operation on the connection.
#pragma once

#include "black-list-v2.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <list>
#include <mutex>
#include <set>
#include <utility>

struct sqlite3;
struct sqlite3_stmt;

enum EVENT_OVERFLOW_STAT {
    E_NOT_OVERFLOW = 0,
    E_OVERFLOW = 1,
};

// One filter as stored: its text and the sync id at which it came into force. Ordered and
// compared by the text alone.
struct FilterInfo {
    uint64_t sync_id = 0;
    ustring filter_desc;

    FilterInfo() = default;
    FilterInfo(uint64_t sync, const ustring &desc) : sync_id(sync), filter_desc(desc) {}
    bool operator<(const FilterInfo &other) const { return filter_desc < other.filter_desc; }
};

// A loosened filter whose formerly hidden server events are to be pulled again from
// `sync_id` on.
struct ResumeCondition {
    uint64_t sess_id = 0;
    uint64_t sync_id = 0;
    int32_t filter_type = 0;
    ustring filter_desc;

    void clear() { *this = ResumeCondition(); }
};

// The selective-sync filters of one session in comparable form.
struct SelectiveSyncInfo {
    std::set<FilterInfo> black_prefix;
    std::set<FilterInfo> black_name;
    std::set<FilterInfo> black_ext;
    std::set<FilterInfo> white_ext;
    FilterInfo black_size; // filter_desc: the size limit in decimal
};

// A local change a filter held back. Ordered by path.
struct FilterLocalEvent {
    ustring path;
    ustring file_checksum;
    ustring base_name;
    ustring win_hash;
    ustring mac_hash;
    ustring linux_hash;
    ustring zent_hash;
    uint64_t sess_id = 0;
    uint64_t sync_id = 0;
    uint64_t file_size = 0;
    uint32_t event_type = 0; // not stored
    uint32_t file_mod_time = 0;
    uint64_t inode = 0;
    int32_t file_type = 0;
    int32_t filtered_type = 0;
    int32_t is_exist = 0;

    bool operator<(const FilterLocalEvent &other) const { return path < other.path; }
};

typedef std::list<std::pair<uint64_t, ResumeCondition>> ResumeConditionList;

class FilterDB
{
public:
    static FilterDB &getInstance();

    // Opens (creating when missing) the database at `path`; a no-op when already open.
    int initialize(const ustring &path);
    void destroy();

    // Every operation below fails cleanly (-1) while the database is closed.
    int setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring &desc);
    int rmFilter(uint64_t sess_id, int filter_type, const ustring &desc);
    int setWhiteListFilter(uint64_t sess_id, uint64_t sync_id, int filter_type,
                           const ustring &desc);
    int rmWhiteListFilter(uint64_t sess_id, int filter_type, const ustring &desc);
    int setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size);
    int updateSizeFilter(uint64_t sess_id, uint64_t orig_size, uint64_t new_size);
    int rmSizeFilter(uint64_t sess_id, uint64_t size);
    // 0 and the new condition's row id in `row_id`, or -1.
    int setResumeCondition(const ResumeCondition &condition, uint64_t &row_id);
    int updateResumeSyncId(uint64_t row_id, uint64_t sync_id);
    int rmResumeCondition(uint64_t row_id);
    int setLocalFilteredEvent(const FilterLocalEvent &event);
    // Forgets the record of `path` and of everything below it; an empty path is refused
    // (-1).
    int rmLocalFilteredEventByPath(uint64_t sess_id, const ustring &path);
    int cleanLocalFilteredEventBySession(uint64_t sess_id);
    int setConfigItem(const ustring &key, const ustring &value);

    // 0, with the session's size filter in `finfo` when there is one; -1 on error.
    int getSizeFilter(uint64_t sess_id, FilterInfo &finfo);
    // 1 and the first stored condition of any session, 0 when there is none, -1 on error.
    int getResumeCondition(uint64_t &row_id, ResumeCondition &condition);
    // 0 and the session's conditions appended in row order, or -1.
    int getResumeConditionsBySession(uint64_t sess_id, ResumeConditionList &list);
    // 1 and the record, 0 when there is none, -1 on error.
    int getLocalFilteredEventByPath(uint64_t sess_id, const ustring &path, FilterLocalEvent &event);
    // 0 and every record of the session added to `events`, or -1.
    int dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent> &events);
    // 0 and the session's black filters (path prefixes, names, extensions, size) added to
    // `info`, or -1.
    int ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo &info);
    // 0 and the session's white-list extensions added to `info`, or -1.
    int ConvertWhiteFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo &info);
    // 0 and the stored "event_overflow" item (E_OVERFLOW when absent), or -1.
    int checkEventOverflow(int &overflow);

    FilterDB(const FilterDB &) = delete;
    FilterDB &operator=(const FilterDB &) = delete;

private:
    FilterDB();
    ~FilterDB();

    // The log texts of one operation and the line of its caller.
    struct Op;

    bool isOpen(int line);
    template <typename Run, typename... Args>
    int withSql(const Op &op, Run run, const char *format, Args... args);
    int runWrite(const Op &op, char *sql);
    template <typename... Args> int write(const Op &op, const char *format, Args... args);
    template <typename OnStmt, typename... Args>
    int query(const Op &op, OnStmt onStmt, const char *format, Args... args);
    void addFilterRow(sqlite3_stmt *stmt, SelectiveSyncInfo &info);

    ustring m_filter_db_path;
    std::mutex m_db_mutex;
    sqlite3 *m_db = nullptr;
};
