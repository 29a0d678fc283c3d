#include "client/core/filter-db.h"

#include "log.h"
#include "sql-pattern.h"

#include <sqlite3.h>

#include <memory>

namespace
{

const ustring &component()
{
    static const ustring name("filter_db_debug");
    return name;
}

#define FDB_LOG(level, ...) Logger::LogMsg(Logger::level, component(), __VA_ARGS__)

typedef unsigned long long ull;

const int BUSY_TIMEOUT_MS = 300000;

const char SCHEMA_SCRIPT[] =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS config_table ("
    " key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS white_list_table ("
    " sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL,"
    " filter_desc TEXT NOT NULL,"
    " PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_table ("
    " sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL,"
    " filter_desc TEXT NOT NULL,"
    " PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_range_table ("
    " sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL,"
    " filter_desc TEXT NOT NULL,"
    " PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_resume_table ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, sess_id INTEGER NOT NULL,"
    " sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS filtered_local_event_table ("
    " sess_id INTEGER NOT NULL, file_type INTEGER NOT NULL, is_exist INTEGER NOT NULL,"
    " path TEXT NOT NULL, sync_id NUMERIC NOT NULL, file_size NUMERIC NOT NULL,"
    " file_mod_time NUMERIC NOT NULL, file_checksum TEXT NOT NULL, base_name TEXT NOT NULL,"
    " win_hash TEXT DEFAULT NULL, mac_hash TEXT DEFAULT NULL, linux_hash TEXT DEFAULT NULL,"
    " zent_hash TEXT DEFAULT NULL, inode INTEGER, filtered_type NUMERIC NOT NULL,"
    " PRIMARY KEY (sess_id, path));"
    "CREATE INDEX IF NOT EXISTS white_list_table_sess_id_idx ON white_list_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS white_list_table_type_idx ON white_list_table (filter_type);"
    "CREATE INDEX IF NOT EXISTS white_list_table_desc_idx ON white_list_table (filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_table_sess_id_idx ON filter_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_table_type_idx ON filter_table (filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_table_desc_idx ON filter_table (filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_sess_id_idx ON filter_range_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_type_idx ON filter_range_table (filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_desc_idx ON filter_range_table (filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_resume_table_sess_id_idx ON filter_resume_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_sess_id_idx"
    " ON filtered_local_event_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_path_idx"
    " ON filtered_local_event_table (path);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_filtered_type_idx"
    " ON filtered_local_event_table (filtered_type);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_file_size_idx"
    " ON filtered_local_event_table (file_size);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_base_name_idx"
    " ON filtered_local_event_table (base_name);"
    "INSERT or IGNORE into config_table values ('version', 2);"
    "COMMIT;";

struct StmtFinalizer {
    void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
typedef std::unique_ptr<sqlite3_stmt, StmtFinalizer> Statement;

ustring columnText(sqlite3_stmt *stmt, int col)
{
    const unsigned char *text = sqlite3_column_text(stmt, col);
    return text != nullptr ? ustring(reinterpret_cast<const char *>(text)) : ustring();
}

uint64_t columnU64(sqlite3_stmt *stmt, int col)
{
    return static_cast<uint64_t>(sqlite3_column_int64(stmt, col));
}

int32_t columnI32(sqlite3_stmt *stmt, int col)
{
    return sqlite3_column_int(stmt, col);
}

// NULL for an empty text, for the columns that may hold none.
const char *orNull(const ustring &text)
{
    return text.empty() ? nullptr : text.c_str_utf8();
}

// Fills the fields that follow `path` in the SELECTs of the filtered-event table.
void readLocalEvent(sqlite3_stmt *stmt, int first, FilterLocalEvent &event)
{
    event.file_type = columnI32(stmt, first);
    event.sync_id = columnU64(stmt, first + 1);
    event.file_size = columnU64(stmt, first + 2);
    event.file_mod_time = static_cast<uint32_t>(columnU64(stmt, first + 3));
    event.file_checksum = columnText(stmt, first + 4);
    event.base_name = columnText(stmt, first + 5);
    event.win_hash = columnText(stmt, first + 6);
    event.mac_hash = columnText(stmt, first + 7);
    event.linux_hash = columnText(stmt, first + 8);
    event.zent_hash = columnText(stmt, first + 9);
    event.inode = columnU64(stmt, first + 10);
    event.filtered_type = columnI32(stmt, first + 11);
    event.is_exist = columnI32(stmt, first + 12);
}

int logStepError(sqlite3_stmt *stmt, int rc, int line)
{
    FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): sqlite3_step: %s (%d)\n", line,
            sqlite3_errmsg(sqlite3_db_handle(stmt)), rc);
    return -1;
}

// Steps through every row, calling onRow(stmt); 0 at the end, -1 (logged) on a step error.
template <typename OnRow> int forEachRow(sqlite3_stmt *stmt, int line, OnRow onRow)
{
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        onRow(stmt);
    }
    return rc == SQLITE_DONE ? 0 : logStepError(stmt, rc, line);
}

// 1 after onRow(stmt) on the first row, 0 when there is none, -1 (logged) on a step error.
template <typename OnRow> int firstRow(sqlite3_stmt *stmt, int line, OnRow onRow)
{
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW)
        return logStepError(stmt, rc, line);
    onRow(stmt);
    return 1;
}

} // namespace

FilterDB::FilterDB()
{
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): FilterDB constructed\n", __LINE__);
}

FilterDB::~FilterDB()
{
    if (m_db != nullptr) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): FilterDB deconstructed\n", __LINE__);
}

FilterDB &FilterDB::getInstance()
{
    static FilterDB instance;
    return instance;
}

int FilterDB::initialize(const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (m_db != nullptr) {
        FDB_LOG(L_INFO, "[INFO] filter-db.cpp(%d): FilterDB has been initialized (no-op)\n",
                __LINE__);
        return 0;
    }
    sqlite3 *db = nullptr;
    int rc = sqlite3_open(path.c_str_utf8(), &db);
    if (rc != SQLITE_OK) {
        FDB_LOG(L_ERR,
                "[ERROR] filter-db.cpp(%d): FilterDB: Failed to open database at '%s'. [%d] %s\n",
                __LINE__, path.c_str_utf8(), rc,
                db != nullptr ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return -1;
    }
    char *error = nullptr;
    rc = sqlite3_exec(db, SCHEMA_SCRIPT, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        const char *message = error != nullptr ? error : sqlite3_errmsg(db);
        FDB_LOG(
            L_ERR,
            "[ERROR] filter-db.cpp(%d): FilterDB: Failed to initialize database at '%s'. [%d] %s\n",
            __LINE__, path.c_str_utf8(), rc, message);
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB init fail %s\n", __LINE__, message);
        sqlite3_free(error);
        sqlite3_close(db);
        return -1;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    m_db = db;
    m_filter_db_path = path;
    FDB_LOG(L_INFO, "[INFO] filter-db.cpp(%d): FilterDB has been initialized with location '%s'\n",
            __LINE__, path.c_str_utf8());
    return 0;
}

void FilterDB::destroy()
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (m_db == nullptr) {
        FDB_LOG(L_INFO, "[INFO] filter-db.cpp(%d): FilterDB has been deinitialzed (no-op)\n",
                __LINE__);
        return;
    }
    sqlite3_close(m_db);
    m_db = nullptr;
    m_filter_db_path.clear();
    FDB_LOG(L_INFO, "[INFO] filter-db.cpp(%d): FilterDB has been deinitialzed\n", __LINE__);
}

bool FilterDB::isOpen(int line)
{
    if (m_db == nullptr) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB is not initialized.\n", line);
        return false;
    }
    return true;
}

// What one operation prints about its statement. Every line carries the caller's line.
struct FilterDB::Op {
    int line;
    // "<sql_label> : <sql>" at debug level; nullptr when the statement is not logged.
    const char *sql_label;
    // "<failure>: <error> (<rc>)." for a write, "<failure> : <error> (<rc>)." for a query.
    const char *failure;
    const char *mprintf_failure = "FilterDB: Failed to sqlite3_mprintf.";
};

// Under the lock and with the database open, formats the statement, logs it and hands it
// to run(sql), which owns it from then on; -1 (logged) when any of this fails.
template <typename Run, typename... Args>
int FilterDB::withSql(const Op &op, Run run, const char *format, Args... args)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(op.line))
        return -1;
    char *sql = sqlite3_mprintf(format, args...);
    if (sql == nullptr) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): %s\n", op.line, op.mprintf_failure);
        return -1;
    }
    if (op.sql_label != nullptr)
        FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): %s : %s\n", op.line, op.sql_label, sql);
    return run(sql);
}

// Runs and frees a formatted statement; 0, or -1 (logged).
int FilterDB::runWrite(const Op &op, char *sql)
{
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    sqlite3_free(sql);
    if (rc == SQLITE_OK)
        return 0;
    FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): %s: %s (%d).\n", op.line, op.failure,
            sqlite3_errmsg(m_db), rc);
    return -1;
}

// Formats and runs a statement that returns no rows; 0, or -1 (logged).
template <typename... Args> int FilterDB::write(const Op &op, const char *format, Args... args)
{
    auto run = [&](char *sql) { return runWrite(op, sql); };
    return withSql(op, run, format, args...);
}

// Prepares the formatted statement and passes it to onStmt(stmt), whose result is the
// operation's; -1 (logged) when it cannot be prepared.
template <typename OnStmt, typename... Args>
int FilterDB::query(const Op &op, OnStmt onStmt, const char *format, Args... args)
{
    auto run = [&](char *sql) {
        sqlite3_stmt *raw = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr);
        sqlite3_free(sql);
        Statement stmt(raw);
        if (rc == SQLITE_OK && stmt)
            return onStmt(stmt.get());
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): %s : %s (%d).\n", op.line, op.failure,
                sqlite3_errmsg(m_db), rc);
        return -1;
    };
    return withSql(op, run, format, args...);
}

int FilterDB::setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring &desc)
{
    return write({__LINE__, "setFilter sql", "FilterDB setFilter fail"},
                 "INSERT INTO filter_table  (sess_id, sync_id, filter_type, "
                 "filter_desc) VALUES (%llu, %llu, %d, %Q)",
                 ull(sess_id), ull(sync_id), filter_type, desc.c_str_utf8());
}

int FilterDB::rmFilter(uint64_t sess_id, int filter_type, const ustring &desc)
{
    return write(
        {__LINE__, "rmFilter sql", "FilterDB rmFilter fail"},
        "DELETE FROM filter_table WHERE (sess_id = %llu AND filter_type = %d AND filter_desc = %Q)",
        ull(sess_id), filter_type, desc.c_str_utf8());
}

int FilterDB::setWhiteListFilter(uint64_t sess_id, uint64_t sync_id, int filter_type,
                                 const ustring &desc)
{
    return write({__LINE__, "setWhiteListFilter sql", "FilterDB setWhiteListFilter fail",
                  "FilterDB: Failed to setWhiteListFilter sqlite3_mprintf."},
                 "INSERT INTO white_list_table  (sess_id, sync_id, filter_type, "
                 "filter_desc) VALUES (%llu, %llu, %d, %Q)",
                 ull(sess_id), ull(sync_id), filter_type, desc.c_str_utf8());
}

int FilterDB::rmWhiteListFilter(uint64_t sess_id, int filter_type, const ustring &desc)
{
    return write({__LINE__, "rmWhiteListFilter sql", "FilterDB rmWhiteListFilter fail",
                  "FilterDB: Failed to rmWhiteListFilter sqlite3_mprintf."},
                 "DELETE FROM white_list_table WHERE (sess_id = %llu AND "
                 "filter_type = %d AND filter_desc = %Q)",
                 ull(sess_id), filter_type, desc.c_str_utf8());
}

int FilterDB::setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size)
{
    return write({__LINE__, "setSizeFilter sql", "FilterDB setSizeFilter fail"},
                 "INSERT INTO filter_range_table  (sess_id, sync_id, filter_type, "
                 "filter_desc) VALUES (%llu, %llu, %d, %llu)",
                 ull(sess_id), ull(sync_id), FILTER_FILE_SIZE_SELECTIVE_SYNC, ull(size));
}

int FilterDB::updateSizeFilter(uint64_t sess_id, uint64_t orig_size, uint64_t new_size)
{
    return write({__LINE__, "updateSizeFilter sql", "FilterDB updateSizeFilter fail"},
                 "UPDATE filter_range_table SET filter_desc = %llu WHERE sess_id = "
                 "%llu AND filter_type = %d AND filter_desc = %llu",
                 ull(new_size), ull(sess_id), FILTER_FILE_SIZE_SELECTIVE_SYNC, ull(orig_size));
}

int FilterDB::rmSizeFilter(uint64_t sess_id, uint64_t size)
{
    return write({__LINE__, "rmSizeFilter sql", "FilterDB rmSizeFilter fail"},
                 "DELETE FROM filter_range_table WHERE sess_id = %llu AND "
                 "filter_type = %d AND filter_desc = %llu;",
                 ull(sess_id), FILTER_FILE_SIZE_SELECTIVE_SYNC, ull(size));
}

int FilterDB::setResumeCondition(const ResumeCondition &condition, uint64_t &row_id)
{
    const Op op{__LINE__, "setResumeCondition sql", "FilterDB setResumeCondition fail"};
    auto run = [&](char *sql) {
        if (runWrite(op, sql) != 0)
            return -1;
        row_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
        return 0;
    };
    return withSql(op, run,
                   "INSERT INTO filter_resume_table (sess_id, sync_id, filter_type, "
                   "filter_desc) VALUES (%llu, %llu, %d, %Q);",
                   ull(condition.sess_id), ull(condition.sync_id), condition.filter_type,
                   condition.filter_desc.c_str_utf8());
}

int FilterDB::updateResumeSyncId(uint64_t row_id, uint64_t sync_id)
{
    return write({__LINE__, "updateResumeSyncId sql", "FilterDB updateResumeSyncId fail"},
                 "UPDATE filter_resume_table SET sync_id = %llu WHERE id = %llu;", ull(sync_id),
                 ull(row_id));
}

int FilterDB::rmResumeCondition(uint64_t row_id)
{
    return write({__LINE__, "rmResumeCondition sql", "FilterDB rmResumeCondition fail"},
                 "DELETE FROM filter_resume_table WHERE id = %llu;", ull(row_id));
}

int FilterDB::setLocalFilteredEvent(const FilterLocalEvent &event)
{
    return write(
        {__LINE__, "setLocalFilteredEvent sql", "FilterDB setLocalFilteredEvent fail"},
        "INSERT OR REPLACE INTO filtered_local_event_table  (sess_id, file_type, is_exist, "
        "sync_id, path, file_size, file_mod_time, file_checksum, base_name, win_hash, mac_hash, "
        "linux_hash, zent_hash, inode, filtered_type) VALUES (%llu, %d, %d, %llu, %Q, %llu, %u, "
        "%Q, %Q, %Q, %Q, %Q, %Q, %llu, %d)",
        ull(event.sess_id), event.file_type, event.is_exist, ull(event.sync_id),
        event.path.c_str_utf8(), ull(event.file_size), static_cast<unsigned>(event.file_mod_time),
        event.file_checksum.c_str_utf8(), event.base_name.c_str_utf8(), orNull(event.win_hash),
        orNull(event.mac_hash), orNull(event.linux_hash), orNull(event.zent_hash), ull(event.inode),
        event.filtered_type);
}

int FilterDB::rmLocalFilteredEventByPath(uint64_t sess_id, const ustring &path)
{
    // An empty path would match every record of the session through the GLOB below.
    if (path.empty()) {
        FDB_LOG(L_ERR,
                "[ERROR] filter-db.cpp(%d): rmLocalFilteredEventByPath: empty path refused.\n",
                __LINE__);
        return -1;
    }
    // The path's wildcard characters are escaped, so that a folder named "a*" takes only
    // itself and its own contents, never the records of "abc".
    std::string below = EscapeGlobPattern(path.c_str_utf8());
    return write(
        {__LINE__, "rmLocalFilteredEventByPath sql", "FilterDB rmLocalFilteredEventByPath fail"},
        "DELETE FROM filtered_local_event_table WHERE sess_id = %llu AND "
        "(path = %Q OR path GLOB '%q/*');",
        ull(sess_id), path.c_str_utf8(), below.c_str());
}

int FilterDB::cleanLocalFilteredEventBySession(uint64_t sess_id)
{
    return write({__LINE__, nullptr, "FilterDB cleanLocalFilteredEventBySession fail",
                  "FilterDB: sqlite3_mprintf failed."},
                 "DELETE FROM filtered_local_event_table WHERE sess_id = %llu;", ull(sess_id));
}

int FilterDB::setConfigItem(const ustring &key, const ustring &value)
{
    return write({__LINE__, nullptr, "setConfigItem fail", "FilterDB: sqlite3_mprintf failed."},
                 "INSERT OR REPLACE INTO config_table  (key, value) VALUES(%Q, %Q);",
                 key.c_str_utf8(), value.c_str_utf8());
}

int FilterDB::getSizeFilter(uint64_t sess_id, FilterInfo &finfo)
{
    auto onRow = [&](sqlite3_stmt *row) {
        finfo = FilterInfo(columnU64(row, 1), columnText(row, 0));
    };
    auto onStmt = [&](sqlite3_stmt *stmt) { return firstRow(stmt, __LINE__, onRow) < 0 ? -1 : 0; };
    return query({__LINE__, "getSizeFilter sql", "getSizeFilter failed"}, onStmt,
                 "SELECT filter_desc, sync_id FROM filter_range_table WHERE sess_id "
                 "= %llu AND filter_type = %d;",
                 ull(sess_id), FILTER_FILE_SIZE_SELECTIVE_SYNC);
}

int FilterDB::getResumeCondition(uint64_t &row_id, ResumeCondition &condition)
{
    auto onRow = [&](sqlite3_stmt *row) {
        row_id = columnU64(row, 0);
        condition.sess_id = columnU64(row, 1);
        condition.sync_id = columnU64(row, 2);
        condition.filter_type = columnI32(row, 3);
        condition.filter_desc = columnText(row, 4);
    };
    return query(
        {__LINE__, "getResumeCondition sql", "getResumeCondition failed"},
        [&](sqlite3_stmt *stmt) { return firstRow(stmt, __LINE__, onRow); },
        "SELECT id, sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table LIMIT 1;");
}

int FilterDB::getResumeConditionsBySession(uint64_t sess_id, ResumeConditionList &list)
{
    auto onRow = [&](sqlite3_stmt *row) {
        ResumeCondition condition;
        condition.sess_id = sess_id;
        condition.sync_id = columnU64(row, 1);
        condition.filter_type = columnI32(row, 2);
        condition.filter_desc = columnText(row, 3);
        list.emplace_back(columnU64(row, 0), condition);
    };
    return query(
        {__LINE__, "getResumeConditionBySession sql", "getResumeConditionBySession failed"},
        [&](sqlite3_stmt *stmt) { return forEachRow(stmt, __LINE__, onRow); },
        "SELECT id, sync_id, filter_type, filter_desc FROM "
        "filter_resume_table WHERE sess_id = %llu;",
        ull(sess_id));
}

int FilterDB::getLocalFilteredEventByPath(uint64_t sess_id, const ustring &path,
                                          FilterLocalEvent &event)
{
    auto onRow = [&](sqlite3_stmt *row) {
        readLocalEvent(row, 0, event);
        event.sess_id = sess_id;
        event.path = path;
    };
    return query(
        {__LINE__, "getLocalFilteredEventByPath sql", "getLocalFilteredEventByPath failed"},
        [&](sqlite3_stmt *stmt) { return firstRow(stmt, __LINE__, onRow); },
        "SELECT file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, win_hash, "
        "mac_hash, linux_hash, zent_hash, inode, filtered_type, is_exist FROM "
        "filtered_local_event_table WHERE sess_id = %llu AND path = %Q;",
        ull(sess_id), path.c_str_utf8());
}

int FilterDB::dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent> &events)
{
    auto onRow = [&](sqlite3_stmt *row) {
        FilterLocalEvent event;
        event.sess_id = sess_id;
        event.path = columnText(row, 0);
        readLocalEvent(row, 1, event);
        events.insert(event);
    };
    return query(
        {__LINE__, "getLocalFilteredEvent query_sql", "getLocalFilteredEvent failed"},
        [&](sqlite3_stmt *stmt) { return forEachRow(stmt, __LINE__, onRow); },
        "SELECT path, file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, "
        "win_hash, mac_hash, linux_hash, zent_hash, inode, filtered_type, is_exist FROM "
        "filtered_local_event_table WHERE sess_id = %llu;",
        ull(sess_id));
}

// Files one row (filter_type, sync_id, filter_desc) of the black filters into `info`.
void FilterDB::addFilterRow(sqlite3_stmt *row, SelectiveSyncInfo &info)
{
    int type = columnI32(row, 0);
    FilterInfo finfo(columnU64(row, 1), columnText(row, 2));
    switch (type) {
    case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
        info.black_prefix.insert(finfo);
        break;
    case FILTER_NAME_SELECTIVE_SYNC:
        info.black_name.insert(finfo);
        break;
    case FILTER_EXT_SELECTIVE_SYNC:
        info.black_ext.insert(finfo);
        break;
    case FILTER_FILE_SIZE_SELECTIVE_SYNC:
        info.black_size = finfo;
        break;
    default:
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): Unknow filter_type: %llu\n", __LINE__,
                static_cast<ull>(static_cast<long long>(type)));
        break;
    }
}

int FilterDB::ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo &info)
{
    auto onRow = [&](sqlite3_stmt *row) { addFilterRow(row, info); };
    return query(
        {__LINE__, "ConvertFilterDBToSelectiveSyncInfo sql",
         "ConvertFilterDBToSelectiveSyncInfo failed1"},
        [&](sqlite3_stmt *stmt) { return forEachRow(stmt, __LINE__, onRow); },
        "SELECT filter_type, sync_id, filter_desc FROM filter_table WHERE "
        "sess_id = %llu  UNION ALL SELECT filter_type, sync_id, "
        "filter_desc FROM filter_range_table WHERE sess_id = %llu;",
        ull(sess_id), ull(sess_id));
}

int FilterDB::ConvertWhiteFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo &info)
{
    auto onRow = [&](sqlite3_stmt *row) {
        int type = columnI32(row, 0);
        if (type != FILTER_EXT_SELECTIVE_SYNC) {
            FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): Unknow filter_type: %llu\n", __LINE__,
                    static_cast<ull>(static_cast<long long>(type)));
            return;
        }
        info.white_ext.insert(FilterInfo(columnU64(row, 1), columnText(row, 2)));
    };
    return query(
        {__LINE__, "ConvertWhiteFilterDBToSelectiveSyncInfo sql",
         "ConvertWhiteFilterDBToSelectiveSyncInfo failed1"},
        [&](sqlite3_stmt *stmt) { return forEachRow(stmt, __LINE__, onRow); },
        "SELECT filter_type, sync_id, filter_desc FROM white_list_table WHERE sess_id = %llu;",
        ull(sess_id));
}

int FilterDB::checkEventOverflow(int &overflow)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(
        m_db, "SELECT value FROM config_table WHERE key = 'event_overflow';", -1, &raw, nullptr);
    Statement stmt(raw);
    if (rc != SQLITE_OK) {
        FDB_LOG(L_ERR,
                "[ERROR] filter-db.cpp(%d): checkEventOverflow: sqlite3_prepare_v2: %s (%d)\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) {
        overflow = sqlite3_column_int(stmt.get(), 0);
        return 0;
    }
    if (rc == SQLITE_DONE) {
        overflow = E_OVERFLOW;
        return 0;
    }
    FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): checkEventOverflow: sqlite3_step: %s (%d)\n",
            __LINE__, sqlite3_errmsg(m_db), rc);
    return -1;
}
