#include "fstat-db.h"

#include "log.h"
#include "sql-pattern.h"

#include <sqlite3.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>

std::string FileStatusDB::db_path;

// The path is set and cleared by the control thread while workers and the mark writer
// read it.
static std::mutex &pathLock()
{
    static std::mutex lock;
    return lock;
}

namespace
{

const ustring COMPONENT("fstat_db_debug");
const int BUSY_TIMEOUT_MS = 300000;

const char SCHEMA_TABLE[] =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = OFF; CREATE TABLE IF NOT EXISTS "
    "fstatinfo (        id   INTEGER PRIMARY KEY AUTOINCREMENT, \t\tpath text unique NOT "
    "NULL,  \t\tfileType integer NOT NULL,  \t\tsyncStatus integer NOT NULL  ); ";
const char SCHEMA_INDEX[] = "CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);";
const char CONNECTION_PRAGMAS[] = "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF;";

struct SqliteFree {
    void operator()(void *p) const { sqlite3_free(p); }
};
struct CFree {
    void operator()(char *p) const { free(p); }
};
using SqlText = std::unique_ptr<char, SqliteFree>;
using BuiltText = std::unique_ptr<char, CFree>;

// One connection, closed when the owner goes out of scope.
class Connection
{
public:
    Connection() : db(nullptr), code(SQLITE_OK) {}
    ~Connection() { sqlite3_close(db); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Opens `path`; an empty path (no database configured) counts as a failed open
    // rather than silently writing into a private temporary database.
    int open(const std::string &path)
    {
        code = path.empty() ? SQLITE_CANTOPEN : sqlite3_open(path.c_str(), &db);
        return code;
    }
    const char *errmsg() const { return db ? sqlite3_errmsg(db) : "no database path"; }
    void prepare(bool with_pragmas)
    {
        if (with_pragmas)
            sqlite3_exec(db, CONNECTION_PRAGMAS, nullptr, nullptr, nullptr);
        sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    }

    sqlite3 *db;
    int code;
};

void logOpenFailure(int line, const std::string &path, const Connection &conn)
{
    Logger::LogMsg(Logger::L_ERR, COMPONENT,
                   "[ERROR] file-status-db.cpp(%d): open db failed. db-path:[%s] errCode:[%d] "
                   "errmsg:[%s]\n",
                   line, path.c_str(), conn.code, conn.errmsg());
}

// A statement that failed to build or to run, with SQLite's message for it.
void logStatementError(int line, int rc, const char *message)
{
    Logger::LogMsg(Logger::L_ERR, COMPONENT,
                   "[ERROR] file-status-db.cpp(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n",
                   line, rc, message);
}

// Runs a statement that changes rows; returns 0 or the SQLite code of the failure.
int execWrite(Connection &conn, const char *sql)
{
    char *err = nullptr;
    int rc = sqlite3_exec(conn.db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK)
        logStatementError(__LINE__, rc, err ? err : sqlite3_errmsg(conn.db));
    sqlite3_free(err);
    return rc;
}

// Opens a connection and runs one statement that changes rows. `sql` is null when
// building it failed.
int writeStatement(const std::string &path, const char *sql, const ustring &subject)
{
    Connection conn;
    if (conn.open(path) != SQLITE_OK) {
        logOpenFailure(__LINE__, path, conn);
        return conn.code;
    }
    conn.prepare(true);
    if (!sql) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error. filename:(%s)\n",
                       __LINE__, subject.c_str_utf8());
        return SQLITE_NOMEM;
    }
    return execWrite(conn, sql);
}

// Fills `out` from one result row of sqlite3_get_table (id, path, fileType, syncStatus).
void readRow(char **row, int columns, int row_number, FileStatusInfo &out, bool log_extra)
{
    for (int col = 1; col < columns; ++col) {
        const char *value = row[col] ? row[col] : "";
        switch (col) {
        case 1:
            out.path = value;
            break;
        case 2:
            out.fileType = atoi(value);
            break;
        case 3:
            out.syncStatus = atoi(value);
            break;
        default:
            if (log_extra) {
                Logger::LogMsg(Logger::L_ERR, COMPONENT,
                               "[ERROR] file-status-db.cpp(%d): mismatched db output index. "
                               "row-idx:[%d] col-idx:[%d]\n",
                               __LINE__, row_number, col);
            }
            break;
        }
    }
}

// Result of sqlite3_get_table, released with the owner.
struct Table {
    char **cells = nullptr;
    int rows = 0;
    int columns = 0;
    ~Table() { sqlite3_free_table(cells); }
    char **row(int i) const { return cells + (i + 1) * columns; }
};

// Runs a query for the two lookups; false after logging when it fails.
bool queryTable(Connection &conn, const std::string &path, const char *sql, Table &table)
{
    char *err = nullptr;
    int rc = sqlite3_get_table(conn.db, sql, &table.cells, &table.rows, &table.columns, &err);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): get fstat info failed. file-path:[%s] "
                       "errCode:[%d] errmsg:[%s]\n",
                       __LINE__, path.c_str(), rc, err ? err : "");
    }
    sqlite3_free(err);
    return rc == SQLITE_OK;
}

// Opens a connection (timeout only) and tells whether `sql` returns any row.
bool anyRow(const std::string &path, const char *sql)
{
    Connection conn;
    if (conn.open(path) != SQLITE_OK) {
        logOpenFailure(__LINE__, path, conn);
        return false;
    }
    conn.prepare(false);
    if (!sql) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error.\n", __LINE__);
        return false;
    }
    Table table;
    char *err = nullptr;
    int rc = sqlite3_get_table(conn.db, sql, &table.cells, &table.rows, &table.columns, &err);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): get_table error. sql:[%s] errCode:[%d] "
                       "errmsg:[%s]\n",
                       __LINE__, sql, rc, err ? err : "");
    }
    sqlite3_free(err);
    return rc == SQLITE_OK && table.rows > 0;
}

// The batch writer's connection, kept open from one batch to the next with its insert
// statement prepared: a batch then pays neither for opening the database and reading its
// schema nor for warming a fresh page cache, which at a few hundred rows per batch cost
// more than the rows themselves. It is opened again when the database is set up anew
// (initialize or destroy) or the file at the path is no longer the one it has open, and
// after any failure.
class BatchConnection
{
public:
    // Makes sure the connection is open on `path` as it is now; 0 or the SQLite code.
    int ensure(const std::string &path, uint64_t generation)
    {
        struct stat st;
        bool same_file = stat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino;
        if (conn.db && generation == opened_generation && path == opened_path && same_file)
            return SQLITE_OK;
        close();
        if (conn.open(path) != SQLITE_OK)
            return conn.code;
        conn.prepare(true);
        int rc = sqlite3_prepare_v2(conn.db,
                                    "insert or replace into fstatinfo  (id, path, fileType, "
                                    "syncStatus)  values(NULL, ?, ?, ?);",
                                    -1, &insert, nullptr);
        if (rc != SQLITE_OK) {
            conn.code = rc;
            return rc;
        }
        if (stat(path.c_str(), &st) == 0) {
            dev = st.st_dev;
            ino = st.st_ino;
        }
        opened_path = path;
        opened_generation = generation;
        return SQLITE_OK;
    }

    void close()
    {
        sqlite3_finalize(insert);
        insert = nullptr;
        sqlite3_close(conn.db);
        conn.db = nullptr;
        conn.code = SQLITE_OK;
        opened_path.clear();
        dev = 0;
        ino = 0;
    }

    Connection conn;
    sqlite3_stmt *insert = nullptr;

private:
    std::string opened_path;
    uint64_t opened_generation = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};

// One batch at a time uses the kept connection. Neither is ever destroyed: the writer of
// the syncing marks belongs to a process-wide singleton and may be in the middle of a batch
// while the process exits, after this file's statics were torn down. The exit lets go of
// the open connection; SQLite needs no close to keep the file whole.
std::mutex &batchLock()
{
    static std::mutex *lock = new std::mutex;
    return *lock;
}

BatchConnection &batchConnection()
{
    static BatchConnection *conn = new BatchConnection;
    return *conn;
}

// Bumped whenever the database is set up or dropped, so that the kept connection is
// opened again even when the path stays the same.
std::atomic<uint64_t> g_generation{1};

// Runs the prepared statement `stmt` once per row i < `rows`, after `bind(i)` bound that
// row's values; stops at the first failure, which it logs. The bindings are cleared
// afterwards, so that no row's text is referred to past the call. 0 or the SQLite code.
int stepEachRow(sqlite3 *db, sqlite3_stmt *stmt, size_t rows,
                const std::function<void(size_t)> &bind)
{
    int rc = SQLITE_OK;
    for (size_t i = 0; rc == SQLITE_OK && i < rows; ++i) {
        bind(i);
        rc = sqlite3_step(stmt) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
        sqlite3_reset(stmt);
    }
    sqlite3_clear_bindings(stmt);
    if (rc != SQLITE_OK) {
        logStatementError(__LINE__, rc, sqlite3_errmsg(db));
    }
    return rc;
}

// Writes `rows` inside the open transaction; 0 or the SQLite code of the failure.
int insertRows(BatchConnection &batch, const std::vector<FileStatusInfo> &rows)
{
    return stepEachRow(batch.conn.db, batch.insert, rows.size(), [&](size_t i) {
        sqlite3_bind_text(batch.insert, 1, rows[i].path.c_str_utf8(), -1, SQLITE_STATIC);
        sqlite3_bind_int(batch.insert, 2, rows[i].fileType);
        sqlite3_bind_int(batch.insert, 3, rows[i].syncStatus);
    });
}

} // namespace

FileStatusDB::FileStatusDB(const ustring &path)
{
    initialize(path);
}

int FileStatusDB::initialize(const ustring &location)
{
    if (location.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): fstat-db path is empty.\n", __LINE__);
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(pathLock());
        db_path = location.c_str_utf8();
        ++g_generation;
    }
    Connection conn;
    if (conn.open(location.c_str_utf8()) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): open db failed. db-path:[%s] "
                       "errmsg:[%s]\n",
                       __LINE__, location.c_str_utf8(), conn.errmsg());
        return -1;
    }
    conn.prepare(false);
    for (const char *batch : {SCHEMA_TABLE, SCHEMA_INDEX}) {
        char *err = nullptr;
        if (sqlite3_exec(conn.db, batch, nullptr, nullptr, &err) != SQLITE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] file-status-db.cpp(%d): sqlite3_exec error. cmd:(%s)  "
                           "error:(%s)\n",
                           __LINE__, batch, err ? err : "");
            sqlite3_free(err);
            return -1;
        }
    }
    return 0;
}

void FileStatusDB::destroy()
{
    {
        std::lock_guard<std::mutex> guard(pathLock());
        db_path.clear();
        ++g_generation;
    }
    // The kept connection lets go of the file now rather than at the next batch.
    std::lock_guard<std::mutex> guard(batchLock());
    batchConnection().close();
}

std::string FileStatusDB::dbPath()
{
    std::lock_guard<std::mutex> guard(pathLock());
    return db_path;
}

static int runMaintenance(const std::string &path, const char *sql, bool with_pragmas)
{
    Connection conn;
    if (conn.open(path) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): FileStatusDB: failed to open database "
                       "(%s)\n",
                       __LINE__, conn.errmsg());
        return -1;
    }
    conn.prepare(with_pragmas);
    char *err = nullptr;
    int rc = sqlite3_exec(conn.db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): FileStatusDB: sqlite3_exec: %s  (%d)\n",
                       __LINE__, err ? err : "", rc);
    }
    sqlite3_free(err);
    return rc == SQLITE_OK ? 0 : -1;
}

int FileStatusDB::removeAllEntry()
{
    return runMaintenance(dbPath(), "DELETE FROM fstatinfo;ANALYZE;VACUUM;", false);
}

int FileStatusDB::updateAllSyncingEntry()
{
    return runMaintenance(dbPath(), "UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2",
                          true);
}

int FileStatusDB::setFileSyncStat(const FileStatusInfo &info)
{
    SqlText sql(sqlite3_mprintf("insert or replace into fstatinfo  (id, path, fileType, "
                                "syncStatus)  values(NULL, '%q', %d, %d);",
                                info.path.c_str_utf8(), info.fileType, info.syncStatus));
    return writeStatement(dbPath(), sql.get(), info.path);
}

int FileStatusDB::setFileSyncStats(const std::function<void(std::vector<FileStatusInfo> &)> &take)
{
    std::vector<FileStatusInfo> rows;
    std::lock_guard<std::mutex> guard(batchLock());
    BatchConnection &batch = batchConnection();
    const std::string db = dbPath();
    if (batch.ensure(db, g_generation.load()) != SQLITE_OK) {
        take(rows);
        int code = batch.conn.code;
        if (!rows.empty())
            logOpenFailure(__LINE__, db, batch.conn);
        batch.close();
        return rows.empty() ? 0 : code;
    }
    int rc = execWrite(batch.conn, "BEGIN IMMEDIATE;");
    take(rows);
    if (rc != SQLITE_OK || rows.empty()) {
        if (rc == SQLITE_OK)
            sqlite3_exec(batch.conn.db, "ROLLBACK;", nullptr, nullptr, nullptr);
        else
            batch.close();
        return rows.empty() ? 0 : rc;
    }
    rc = insertRows(batch, rows);
    if (rc == SQLITE_OK)
        rc = execWrite(batch.conn, "COMMIT;");
    if (rc != SQLITE_OK) {
        sqlite3_exec(batch.conn.db, "ROLLBACK;", nullptr, nullptr, nullptr);
        batch.close();
    }
    return rc;
}

int FileStatusDB::rmFileStatByPath(const ustring &path)
{
    return rmFileStatByPaths(std::vector<ustring>{path});
}

int FileStatusDB::rmFileStatByPaths(const std::vector<ustring> &paths)
{
    if (paths.empty())
        return 0;
    Connection conn;
    const std::string db = dbPath();
    if (conn.open(db) != SQLITE_OK) {
        logOpenFailure(__LINE__, db, conn);
        return conn.code;
    }
    conn.prepare(true);
    int rc = execWrite(conn, "BEGIN IMMEDIATE;");
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_stmt *remove = nullptr;
    rc = sqlite3_prepare_v2(conn.db, "delete from fstatinfo where path = ?;", -1, &remove, nullptr);
    if (rc == SQLITE_OK) {
        rc = stepEachRow(conn.db, remove, paths.size(), [&](size_t i) {
            sqlite3_bind_text(remove, 1, paths[i].c_str_utf8(), -1, SQLITE_STATIC);
        });
    } else {
        logStatementError(__LINE__, rc, sqlite3_errmsg(conn.db));
    }
    sqlite3_finalize(remove);
    if (rc == SQLITE_OK)
        rc = execWrite(conn, "COMMIT;");
    if (rc != SQLITE_OK)
        sqlite3_exec(conn.db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return rc;
}

// Removes the row of the path and of everything below it. The path goes into the GLOB
// pattern with its wildcard characters neutralised, so that "/a*" never reaches "/abc".
int FileStatusDB::rmFileSyncStat(const FileStatusInfo &info)
{
    // An empty path would match the rows of every session through the GLOB below.
    if (info.path.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): rmFileSyncStat: empty path refused.\n",
                       __LINE__);
        return -1;
    }
    std::string pattern = EscapeGlobPattern(info.path.c_str_utf8());
    SqlText sql(sqlite3_mprintf("delete from fstatinfo where (path = %Q OR path GLOB '%q/*');",
                                info.path.c_str_utf8(), pattern.c_str()));
    return writeStatement(dbPath(), sql.get(), info.path);
}

int FileStatusDB::getFileSyncStat(const ustring &path, FileStatusInfo *out)
{
    if (path.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): filepath is empty.\n", __LINE__);
        return -1;
    }
    if (!out) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): FileStatusInfo  is NULL.\n", __LINE__);
        return -1;
    }
    Connection conn;
    const std::string db = dbPath();
    if (conn.open(db) != SQLITE_OK) {
        logOpenFailure(__LINE__, db, conn);
        return -1;
    }
    conn.prepare(true);
    BuiltText sql(ZENTDBEscapeStringEX3("select * from fstatinfo where path like '@ZENT:LVAR'",
                                        path.c_str_utf8()));
    if (!sql) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error. path:[%s]\n",
                       __LINE__, path.c_str_utf8());
        return -1;
    }
    Table table;
    if (!queryTable(conn, db, sql.get(), table))
        return -1;
    out->clear();
    for (int i = 0; i < table.rows; ++i)
        readRow(table.row(i), table.columns, i + 1, *out, true);
    return table.rows > 0 ? 1 : 0;
}

FileStatusInfo *FileStatusDB::getFileSyncStats(const ustring &dir, int start, int limit, int &size)
{
    if (dir.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): dirpath is empty.\n", __LINE__);
        return nullptr;
    }
    size = 0;
    Connection conn;
    const std::string db = dbPath();
    if (conn.open(db) != SQLITE_OK) {
        logOpenFailure(__LINE__, db, conn);
        return nullptr;
    }
    conn.prepare(true);
    BuiltText sql(ZENTDBEscapeStringEX3(
        "select * from fstatinfo where path like '@ZENT:LVAR/%%' and path not like "
        "'@ZENT:LVAR/%%/%%' limit @ZENT:INT, @ZENT:INT ",
        dir.c_str_utf8(), dir.c_str_utf8(), start, limit));
    if (!sql) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error. path:[%s]\n",
                       __LINE__, dir.c_str_utf8());
        return nullptr;
    }
    Table table;
    if (!queryTable(conn, db, sql.get(), table) || table.rows == 0)
        return nullptr;
    FileStatusInfo *infos = new FileStatusInfo[table.rows];
    for (int i = 0; i < table.rows; ++i)
        readRow(table.row(i), table.columns, i + 1, infos[i], false);
    size = table.rows;
    return infos;
}

bool FileStatusDB::isAnySubFileDirSyncing(const ustring &dir)
{
    if (dir.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] file-status-db.cpp(%d): prefix dirpath is empty.\n", __LINE__);
        return false;
    }
    // Rows hold native paths, so what lies below `dir` starts with `dir` and a '/'.
    ustring prefix = dir + '/';
    BuiltText sql(ZENTDBEscapeStringEX3(
        "select * from fstatinfo where path like '@ZENT:LVAR%' and syncStatus=@ZENT:INT limit 2",
        prefix.c_str_utf8(), static_cast<int>(SS_SYNCING)));
    return anyRow(dbPath(), sql.get());
}

bool FileStatusDB::isAnyFileSyncing()
{
    SqlText sql(sqlite3_mprintf("select * from fstatinfo where syncStatus=%d limit 2",
                                static_cast<int>(SS_SYNCING)));
    return anyRow(dbPath(), sql.get());
}
