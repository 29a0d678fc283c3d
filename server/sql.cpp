// SQLite access of the server.
#include "server/sql.h"

#include "log.h"

#include <cstring>

namespace srv
{

namespace
{
const char *kComponent = "aerolith_server";

std::mutex &WriterTurn()
{
    static std::mutex turn;
    return turn;
}
}

SqlDb::~SqlDb()
{
    close();
}

int SqlDb::open(const std::string &path)
{
    close();
    if (sqlite3_open_v2(path.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] sql.cpp(%d): open %s: %s\n", __LINE__,
                       path.c_str(), m_db ? sqlite3_errmsg(m_db) : "out of memory");
        close();
        return -1;
    }
    sqlite3_busy_timeout(m_db, 5000);
    if (exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") < 0) {
        close();
        return -1;
    }
    return 0;
}

void SqlDb::close()
{
    for (auto &kv : m_cache)
        sqlite3_finalize(kv.second);
    m_cache.clear();
    if (m_db != nullptr) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

int SqlDb::exec(const char *sql)
{
    // One statement (BEGIN, COMMIT, a pragma) runs from the cache; a script is parsed.
    if (strchr(sql, ';') == nullptr) {
        SqlStmt s(*this, sql);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) {
        }
        return rc == SQLITE_DONE ? 0 : -1;
    }
    char *err = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] sql.cpp(%d): %s: %s\n", __LINE__, sql,
                       err ? err : "?");
        sqlite3_free(err);
        return -1;
    }
    return 0;
}

sqlite3_stmt *SqlDb::take(const std::string &sql)
{
    auto it = m_cache.find(sql);
    if (it != m_cache.end()) {
        sqlite3_stmt *stmt = it->second;
        m_cache.erase(it);
        return stmt;
    }
    sqlite3_stmt *stmt = nullptr;
    if (m_db == nullptr ||
        sqlite3_prepare_v3(m_db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
            SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] sql.cpp(%d): prepare %s: %s\n",
                       __LINE__, sql.c_str(), m_db ? sqlite3_errmsg(m_db) : "closed");
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return stmt;
}

void SqlDb::give(const std::string &sql, sqlite3_stmt *stmt)
{
    if (stmt == nullptr)
        return;
    // A statement left stepping would hold its read snapshot open.
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (m_db == nullptr || !m_cache.emplace(sql, stmt).second)
        sqlite3_finalize(stmt);
}

SqlStmt::SqlStmt(SqlDb &db, const char *sql) : m_db(db), m_sql(sql)
{
    m_stmt = db.take(m_sql);
}

SqlStmt::~SqlStmt()
{
    m_db.give(m_sql, m_stmt);
}

SqlStmt &SqlStmt::bind(int i, int64_t v)
{
    if (m_stmt)
        sqlite3_bind_int64(m_stmt, i, v);
    return *this;
}

SqlStmt &SqlStmt::bind(int i, const std::string &v)
{
    if (m_stmt)
        sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
}

SqlStmt &SqlStmt::bindNull(int i)
{
    if (m_stmt)
        sqlite3_bind_null(m_stmt, i);
    return *this;
}

int SqlStmt::step()
{
    if (m_stmt == nullptr)
        return SQLITE_ERROR;
    int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] sql.cpp(%d): step %s: %s\n", __LINE__,
                       sqlite3_sql(m_stmt), sqlite3_errmsg(m_db.handle()));
    return rc;
}

int SqlStmt::run()
{
    int rc = step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : -1;
}

void SqlStmt::reset()
{
    if (m_stmt) {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
}

std::string SqlStmt::text(int col) const
{
    const unsigned char *p = sqlite3_column_text(m_stmt, col);
    if (p == nullptr)
        return std::string();
    return std::string(reinterpret_cast<const char *>(p),
                       static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)));
}

SqlWriteTxn::SqlWriteTxn(SqlDb &db, Durability durability) : m_db(db)
{
    if (db.handle() == nullptr)
        return;
    if (!sqlite3_get_autocommit(db.handle())) {
        m_joined = true;
        return;
    }
    m_turn = std::unique_lock<std::mutex>(WriterTurn());
    // In WAL mode the level applies to the commits of this connection only; a durable
    // commit later syncs the whole log, lazy commits before it included.
    m_lazy = durability == Lazy && db.exec("PRAGMA synchronous=NORMAL") == 0;
    m_open = db.exec("BEGIN IMMEDIATE") == 0;
    if (!m_open)
        end();
}

SqlWriteTxn::~SqlWriteTxn()
{
    if (m_open)
        m_db.exec("ROLLBACK");
    end();
}

int SqlWriteTxn::commit()
{
    if (m_joined)
        return 0;
    if (!m_open)
        return -1;
    if (m_db.exec("COMMIT") < 0)
        return -1;
    m_open = false;
    end();
    return 0;
}

void SqlWriteTxn::end()
{
    if (m_lazy)
        m_db.exec("PRAGMA synchronous=FULL");
    m_lazy = false;
    if (m_turn.owns_lock())
        m_turn.unlock();
}

SqlReadTxn::SqlReadTxn(SqlDb &db) : m_db(db)
{
    m_open = db.exec("BEGIN") == 0;
}

SqlReadTxn::~SqlReadTxn()
{
    if (m_open)
        m_db.exec("COMMIT");
}

} // namespace srv
