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

int mprintfFailed(int line)
{
    FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB: Failed to sqlite3_mprintf.\n", line);
    return -1;
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

// Runs and frees a formatted statement; 0, or -1 with SQLite's code in `rc`.
int FilterDB::runWrite(char *sql, int &rc)
{
    rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    sqlite3_free(sql);
    return rc == SQLITE_OK ? 0 : -1;
}

// Prepares and frees a formatted statement; nullptr with SQLite's code in `rc`.
sqlite3_stmt *FilterDB::prepare(char *sql, int &rc)
{
    sqlite3_stmt *stmt = nullptr;
    rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
    sqlite3_free(sql);
    return rc == SQLITE_OK ? stmt : nullptr;
}

int FilterDB::logStepError(int rc, int line)
{
    FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): sqlite3_step: %s (%d)\n", line, sqlite3_errmsg(m_db),
            rc);
    return -1;
}

// Steps through every row, calling onRow(stmt); 0 at the end, -1 (logged) on a step error.
template <typename OnRow> static int forEachRow(sqlite3_stmt *stmt, OnRow onRow, int &rc)
{
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        onRow(stmt);
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

int FilterDB::setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring &desc)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("INSERT INTO filter_table  (sess_id, sync_id, filter_type, "
                                "filter_desc) VALUES (%llu, %llu, %d, %Q)",
                                ull(sess_id), ull(sync_id), filter_type, desc.c_str_utf8());
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): setFilter sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB setFilter fail: %s (%d).\n", __LINE__,
                sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::rmFilter(uint64_t sess_id, int filter_type, const ustring &desc)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf(
        "DELETE FROM filter_table WHERE (sess_id = %llu AND filter_type = %d AND filter_desc = %Q)",
        ull(sess_id), filter_type, desc.c_str_utf8());
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): rmFilter sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB rmFilter fail: %s (%d).\n", __LINE__,
                sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::setWhiteListFilter(uint64_t sess_id, uint64_t sync_id, int filter_type,
                                 const ustring &desc)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("INSERT INTO white_list_table  (sess_id, sync_id, filter_type, "
                                "filter_desc) VALUES (%llu, %llu, %d, %Q)",
                                ull(sess_id), ull(sync_id), filter_type, desc.c_str_utf8());
    if (sql == nullptr) {
        FDB_LOG(
            L_ERR,
            "[ERROR] filter-db.cpp(%d): FilterDB: Failed to setWhiteListFilter sqlite3_mprintf.\n",
            __LINE__);
        return -1;
    }
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): setWhiteListFilter sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB setWhiteListFilter fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::rmWhiteListFilter(uint64_t sess_id, int filter_type, const ustring &desc)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("DELETE FROM white_list_table WHERE (sess_id = %llu AND "
                                "filter_type = %d AND filter_desc = %Q)",
                                ull(sess_id), filter_type, desc.c_str_utf8());
    if (sql == nullptr) {
        FDB_LOG(
            L_ERR,
            "[ERROR] filter-db.cpp(%d): FilterDB: Failed to rmWhiteListFilter sqlite3_mprintf.\n",
            __LINE__);
        return -1;
    }
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): rmWhiteListFilter sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB rmWhiteListFilter fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql =
        sqlite3_mprintf("INSERT INTO filter_range_table  (sess_id, sync_id, filter_type, "
                        "filter_desc) VALUES (%llu, %llu, %d, %llu)",
                        ull(sess_id), ull(sync_id), FILTER_FILE_SIZE_SELECTIVE_SYNC, ull(size));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): setSizeFilter sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB setSizeFilter fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::updateSizeFilter(uint64_t sess_id, uint64_t orig_size, uint64_t new_size)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("UPDATE filter_range_table SET filter_desc = %llu WHERE sess_id = "
                                "%llu AND filter_type = %d AND filter_desc = %llu",
                                ull(new_size), ull(sess_id), FILTER_FILE_SIZE_SELECTIVE_SYNC,
                                ull(orig_size));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): updateSizeFilter sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB updateSizeFilter fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::rmSizeFilter(uint64_t sess_id, uint64_t size)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("DELETE FROM filter_range_table WHERE sess_id = %llu AND "
                                "filter_type = %d AND filter_desc = %llu;",
                                ull(sess_id), FILTER_FILE_SIZE_SELECTIVE_SYNC, ull(size));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): rmSizeFilter sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB rmSizeFilter fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::setResumeCondition(const ResumeCondition &condition, uint64_t &row_id)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("INSERT INTO filter_resume_table (sess_id, sync_id, filter_type, "
                                "filter_desc) VALUES (%llu, %llu, %d, %Q);",
                                ull(condition.sess_id), ull(condition.sync_id),
                                condition.filter_type, condition.filter_desc.c_str_utf8());
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): setResumeCondition sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB setResumeCondition fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    row_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
    return 0;
}

int FilterDB::updateResumeSyncId(uint64_t row_id, uint64_t sync_id)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("UPDATE filter_resume_table SET sync_id = %llu WHERE id = %llu;",
                                ull(sync_id), ull(row_id));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): updateResumeSyncId sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB updateResumeSyncId fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::rmResumeCondition(uint64_t row_id)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("DELETE FROM filter_resume_table WHERE id = %llu;", ull(row_id));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): rmResumeCondition sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB rmResumeCondition fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::setLocalFilteredEvent(const FilterLocalEvent &event)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf(
        "INSERT OR REPLACE INTO filtered_local_event_table  (sess_id, file_type, is_exist, "
        "sync_id, path, file_size, file_mod_time, file_checksum, base_name, win_hash, mac_hash, "
        "linux_hash, zent_hash, inode, filtered_type) VALUES (%llu, %d, %d, %llu, %Q, %llu, %u, "
        "%Q, %Q, %Q, %Q, %Q, %Q, %llu, %d)",
        ull(event.sess_id), event.file_type, event.is_exist, ull(event.sync_id),
        event.path.c_str_utf8(), ull(event.file_size), static_cast<unsigned>(event.file_mod_time),
        event.file_checksum.c_str_utf8(), event.base_name.c_str_utf8(), orNull(event.win_hash),
        orNull(event.mac_hash), orNull(event.linux_hash), orNull(event.zent_hash), ull(event.inode),
        event.filtered_type);
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): setLocalFilteredEvent sql : %s\n", __LINE__, sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB setLocalFilteredEvent fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::rmLocalFilteredEventByPath(uint64_t sess_id, const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    // The path's wildcard characters are escaped, so that a folder named "a*" takes only
    // itself and its own contents, never the records of "abc".
    std::string below = EscapeGlobPattern(path.c_str_utf8());
    char *sql = sqlite3_mprintf("DELETE FROM filtered_local_event_table WHERE sess_id = %llu AND "
                                "(path = %Q OR path GLOB '%q/*');",
                                ull(sess_id), path.c_str_utf8(), below.c_str());
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): rmLocalFilteredEventByPath sql : %s\n", __LINE__,
            sql);
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR,
                "[ERROR] filter-db.cpp(%d): FilterDB rmLocalFilteredEventByPath fail: %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::cleanLocalFilteredEventBySession(uint64_t sess_id)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("DELETE FROM filtered_local_event_table WHERE sess_id = %llu;",
                                ull(sess_id));
    if (sql == nullptr) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB: sqlite3_mprintf failed.\n", __LINE__);
        return -1;
    }
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(
            L_ERR,
            "[ERROR] filter-db.cpp(%d): FilterDB cleanLocalFilteredEventBySession fail: %s (%d).\n",
            __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::setConfigItem(const ustring &key, const ustring &value)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("INSERT OR REPLACE INTO config_table  (key, value) VALUES(%Q, %Q);",
                                key.c_str_utf8(), value.c_str_utf8());
    if (sql == nullptr) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): FilterDB: sqlite3_mprintf failed.\n", __LINE__);
        return -1;
    }
    int rc;
    if (runWrite(sql, rc) != 0) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): setConfigItem fail: %s (%d).\n", __LINE__,
                sqlite3_errmsg(m_db), rc);
        return -1;
    }
    return 0;
}

int FilterDB::getSizeFilter(uint64_t sess_id, FilterInfo &finfo)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("SELECT filter_desc, sync_id FROM filter_range_table WHERE sess_id "
                                "= %llu AND filter_type = %d;",
                                ull(sess_id), FILTER_FILE_SIZE_SELECTIVE_SYNC);
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): getSizeFilter sql : %s\n", __LINE__, sql);
    int rc;
    Statement stmt(prepare(sql, rc));
    if (!stmt) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): getSizeFilter failed : %s (%d).\n", __LINE__,
                sqlite3_errmsg(m_db), rc);
        return -1;
    }
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) {
        finfo = FilterInfo(columnU64(stmt.get(), 1), columnText(stmt.get(), 0));
        return 0;
    }
    return rc == SQLITE_DONE ? 0 : logStepError(rc, __LINE__);
}

int FilterDB::getResumeCondition(uint64_t &row_id, ResumeCondition &condition)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf(
        "SELECT id, sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table LIMIT 1;");
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): getResumeCondition sql : %s\n", __LINE__, sql);
    int rc;
    Statement stmt(prepare(sql, rc));
    if (!stmt) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): getResumeCondition failed : %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW)
        return logStepError(rc, __LINE__);
    row_id = columnU64(stmt.get(), 0);
    condition.sess_id = columnU64(stmt.get(), 1);
    condition.sync_id = columnU64(stmt.get(), 2);
    condition.filter_type = columnI32(stmt.get(), 3);
    condition.filter_desc = columnText(stmt.get(), 4);
    return 1;
}

int FilterDB::getResumeConditionsBySession(uint64_t sess_id, ResumeConditionList &list)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("SELECT id, sync_id, filter_type, filter_desc FROM "
                                "filter_resume_table WHERE sess_id = %llu;",
                                ull(sess_id));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): getResumeConditionBySession sql : %s\n", __LINE__,
            sql);
    int rc;
    Statement stmt(prepare(sql, rc));
    if (!stmt) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): getResumeConditionBySession failed : %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    auto onRow = [&](sqlite3_stmt *row) {
        ResumeCondition condition;
        condition.sess_id = sess_id;
        condition.sync_id = columnU64(row, 1);
        condition.filter_type = columnI32(row, 2);
        condition.filter_desc = columnText(row, 3);
        list.emplace_back(columnU64(row, 0), condition);
    };
    return forEachRow(stmt.get(), onRow, rc) == 0 ? 0 : logStepError(rc, __LINE__);
}

int FilterDB::getLocalFilteredEventByPath(uint64_t sess_id, const ustring &path,
                                          FilterLocalEvent &event)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf(
        "SELECT file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, win_hash, "
        "mac_hash, linux_hash, zent_hash, inode, filtered_type, is_exist FROM "
        "filtered_local_event_table WHERE sess_id = %llu AND path = %Q;",
        ull(sess_id), path.c_str_utf8());
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): getLocalFilteredEventByPath sql : %s\n", __LINE__,
            sql);
    int rc;
    Statement stmt(prepare(sql, rc));
    if (!stmt) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): getLocalFilteredEventByPath failed : %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW)
        return logStepError(rc, __LINE__);
    readLocalEvent(stmt.get(), 0, event);
    event.sess_id = sess_id;
    event.path = path;
    return 1;
}

int FilterDB::dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent> &events)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf(
        "SELECT path, file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, "
        "win_hash, mac_hash, linux_hash, zent_hash, inode, filtered_type, is_exist FROM "
        "filtered_local_event_table WHERE sess_id = %llu;",
        ull(sess_id));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): getLocalFilteredEvent query_sql : %s\n", __LINE__,
            sql);
    int rc;
    Statement stmt(prepare(sql, rc));
    if (!stmt) {
        FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): getLocalFilteredEvent failed : %s (%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    auto onRow = [&](sqlite3_stmt *row) {
        FilterLocalEvent event;
        event.sess_id = sess_id;
        event.path = columnText(row, 0);
        readLocalEvent(row, 1, event);
        events.insert(event);
    };
    return forEachRow(stmt.get(), onRow, rc) == 0 ? 0 : logStepError(rc, __LINE__);
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
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf("SELECT filter_type, sync_id, filter_desc FROM filter_table WHERE "
                                "sess_id = %llu  UNION ALL SELECT filter_type, sync_id, "
                                "filter_desc FROM filter_range_table WHERE sess_id = %llu;",
                                ull(sess_id), ull(sess_id));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG, "[DEBUG] filter-db.cpp(%d): ConvertFilterDBToSelectiveSyncInfo sql : %s\n",
            __LINE__, sql);
    int rc;
    Statement stmt(prepare(sql, rc));
    if (!stmt) {
        FDB_LOG(
            L_ERR,
            "[ERROR] filter-db.cpp(%d): ConvertFilterDBToSelectiveSyncInfo failed1 : %s (%d).\n",
            __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    auto onRow = [&](sqlite3_stmt *row) { addFilterRow(row, info); };
    return forEachRow(stmt.get(), onRow, rc) == 0 ? 0 : logStepError(rc, __LINE__);
}

int FilterDB::ConvertWhiteFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo &info)
{
    std::lock_guard<std::mutex> lock(m_db_mutex);
    if (!isOpen(__LINE__))
        return -1;
    char *sql = sqlite3_mprintf(
        "SELECT filter_type, sync_id, filter_desc FROM white_list_table WHERE sess_id = %llu;",
        ull(sess_id));
    if (sql == nullptr)
        return mprintfFailed(__LINE__);
    FDB_LOG(L_DEBUG,
            "[DEBUG] filter-db.cpp(%d): ConvertWhiteFilterDBToSelectiveSyncInfo sql : %s\n",
            __LINE__, sql);
    int rc;
    Statement stmt(prepare(sql, rc));
    if (!stmt) {
        FDB_LOG(L_ERR,
                "[ERROR] filter-db.cpp(%d): ConvertWhiteFilterDBToSelectiveSyncInfo failed1 : %s "
                "(%d).\n",
                __LINE__, sqlite3_errmsg(m_db), rc);
        return -1;
    }
    auto onRow = [&](sqlite3_stmt *row) {
        int type = columnI32(row, 0);
        if (type != FILTER_EXT_SELECTIVE_SYNC) {
            FDB_LOG(L_ERR, "[ERROR] filter-db.cpp(%d): Unknow filter_type: %llu\n", __LINE__,
                    static_cast<ull>(static_cast<long long>(type)));
            return;
        }
        info.white_ext.insert(FilterInfo(columnU64(row, 1), columnText(row, 2)));
    };
    return forEachRow(stmt.get(), onRow, rc) == 0 ? 0 : logStepError(rc, __LINE__);
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
