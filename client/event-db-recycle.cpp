// The recycle-bin index of the event database and the look-ups by content hash.
#include "client/event-db.h"

#include "client/event-db-internal.h"
#include "log.h"
#include "sql-pattern.h"

#include <ctime>
#include <string>

using namespace event_db;

namespace
{

typedef unsigned long long ull;

ull now()
{
    return static_cast<ull>(time(nullptr));
}

// Runs a statement and gives SQLite's code, with its message in `error`. A batch that
// opened a transaction and failed halfway is rolled back, so the connection is not left
// inside it.
int execOrRollback(sqlite3 *db, const char *sql, std::string &error)
{
    if (!db || !sql) {
        error = db ? "out of memory" : "not open";
        return db ? SQLITE_NOMEM : SQLITE_MISUSE;
    }
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        if (!sqlite3_get_autocommit(db))
            sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    return rc;
}

const char *errorText(sqlite3 *db)
{
    return db ? sqlite3_errmsg(db) : "not open";
}

} // namespace

// The hash comes from the server: it is bound as a parameter, never pasted into the SQL.
int FileEventDB::pathByHash(const char *sql, const ustring &hash, ustring &path)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    sqlite3_stmt *raw = nullptr;
    int rc = m_db ? sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr) : SQLITE_MISUSE;
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): getFilePathByHash failed : %s (%d).\n", __LINE__,
                       errorText(m_db), rc);
        return -1;
    }
    Statement stmt(raw);
    sqlite3_bind_text(raw, 1, hash.c_str_utf8(), static_cast<int>(hash.size()), SQLITE_STATIC);
    rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): sqlite3_step: %s (%d)\n", __LINE__,
                       sqlite3_errmsg(m_db), rc);
        return -1;
    }
    path = columnText(raw, 0);
    return 1;
}

int FileEventDB::getFilePathByHash(const ustring &hash, const ustring & /*macHash*/, ustring &path)
{
    return pathByHash("SELECT path FROM event_table WHERE fileCheckSum = ? AND isExist = 1 "
                      "LIMIT 1;",
                      hash, path);
}

int FileEventDB::getFilePathByHashFromRecycle(const ustring &hash, const ustring & /*macHash*/,
                                              ustring &path)
{
    return pathByHash("SELECT path FROM recycle_bin_table WHERE fileCheckSum = ? LIMIT 1;", hash,
                      path);
}

int FileEventDB::addFileToRecycleBin(const ustring &name, uint64_t size, const ustring &hash,
                                     const ustring &macHash)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    SqlText sql(sqlite3_mprintf("INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, "
                                "macHash, time) VALUES ('%q', %llu, '%q', '%q', %llu);",
                                name.c_str_utf8(), static_cast<ull>(size), hash.c_str_utf8(),
                                macHash.c_str_utf8(), now()));
    std::string error;
    int rc = execOrRollback(m_db, sql.get(), error);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB addFileToRecycleBin fail: %s (%d).\n",
                       __LINE__, error.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::dumpFileToRecycleBin(const ustring &name, const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    SqlText sql(sqlite3_mprintf(
        "BEGIN TRANSACTION;INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, "
        "time) SELECT (%Q), fileSize, fileCheckSum, macHash, strftime('%%s','now') FROM "
        "event_table WHERE path = %Q;DELETE FROM event_table WHERE path = %Q;END TRANSACTION;",
        name.c_str_utf8(), path.c_str_utf8(), path.c_str_utf8()));
    std::string error;
    int rc = execOrRollback(m_db, sql.get(), error);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(
            Logger::L_ERR, COMPONENT,
            "[ERROR] event-db.cpp(%d): FileEventDB dumpFileToRecycleBin fail: %s (%d).\n", __LINE__,
            error.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::dumpDirToRecycleBin(const ustring &name, const ustring &path)
{
    // An empty path would move every row of the session through the GLOB below.
    if (path.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): dumpDirToRecycleBin: empty path refused.\n",
                       __LINE__);
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_dbMutex);
    ull t = now();
    const char *n = name.c_str_utf8();
    const char *p = path.c_str_utf8();
    std::string below = EscapeGlobPattern(p);
    SqlText sql(sqlite3_mprintf(
        "BEGIN TRANSACTION;INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, "
        "time) VALUES (%Q, 0, '', '', %llu);INSERT INTO recycle_bin_table (path, fileSize, "
        "fileCheckSum, macHash, time) SELECT (%Q || substr(path, length(%Q)+1)), fileSize, "
        "fileCheckSum, macHash, %llu FROM event_table WHERE fileType = 0 AND (path GLOB '%q/*') "
        ";DELETE FROM event_table WHERE (path = %Q OR path GLOB '%q/*');END TRANSACTION;",
        n, t, n, p, t, below.c_str(), p, below.c_str()));
    std::string error;
    int rc = execOrRollback(m_db, sql.get(), error);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB dumpDirToRecycleBin fail: %s (%d).\n",
                       __LINE__, error.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::rmRecycleByPath(const ustring &name)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    SqlText sql(
        sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE path = '%q';", name.c_str_utf8()));
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] event-db.cpp(%d): rmRecycleByPath sql : %s\n", __LINE__,
                   sql ? sql.get() : "");
    std::string error;
    int rc = execOrRollback(m_db, sql.get(), error);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FilterDB rmRecycleByPath fail: %s (%d).\n",
                       __LINE__, error.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::getRotateList(uint64_t criteria_time, std::set<ustring> &set)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    SqlText sql(sqlite3_mprintf("SELECT path FROM recycle_bin_table WHERE path NOT LIKE '/%%/%%' "
                                "AND time <= %llu;",
                                static_cast<ull>(criteria_time)));
    sqlite3_stmt *raw = nullptr;
    if (!m_db || !sql || sqlite3_prepare_v2(m_db, sql.get(), -1, &raw, nullptr) != SQLITE_OK)
        return -1;
    Statement stmt(raw);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
        set.insert(ustring(columnText(raw, 0)));
    return rc == SQLITE_DONE ? 0 : -1;
}

int FileEventDB::getOldestRecyleTime(uint64_t &time_out)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    sqlite3_stmt *raw = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db, "SELECT MIN(time) FROM recycle_bin_table;", -1, &raw,
                                    nullptr) != SQLITE_OK)
        return -1;
    Statement stmt(raw);
    if (sqlite3_step(raw) != SQLITE_ROW)
        return -1;
    time_out = static_cast<uint64_t>(sqlite3_column_int64(raw, 0)); // NULL (empty bin) -> 0
    return 0;
}

int FileEventDB::rmRotateRecords(uint64_t criteria_time)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    SqlText sql(sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE time <= %llu;",
                                static_cast<ull>(criteria_time)));
    std::string error;
    int rc = execOrRollback(m_db, sql.get(), error);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB : rmRotateRecords fail: %s (%d).\n",
                       __LINE__, error.c_str(), rc);
        return -1;
    }
    return 0;
}

int FileEventDB::resetRecycleBin()
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    std::string error;
    int rc = execOrRollback(m_db, "DELETE FROM recycle_bin_table;", error);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB resetRecycleBin fail: %s (%d).\n",
                       __LINE__, error.c_str(), rc);
        return -1;
    }
    return 0;
}
