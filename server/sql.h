// A thin RAII layer over SQLite for the server's database: one connection per thread, one
// prepared statement per query, and write transactions that roll back unless committed.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace srv
{

class SqlStmt;

class SqlDb
{
public:
    SqlDb() = default;
    ~SqlDb();
    SqlDb(const SqlDb &) = delete;
    SqlDb &operator=(const SqlDb &) = delete;

    // Opens (creating) the file in WAL mode with full synchronisation and a 5-second busy
    // timeout. 0, or -1 (logged).
    int open(const std::string &path);
    void close();
    bool isOpen() const { return m_db != nullptr; }
    // Runs statements without results. 0, or -1 (logged).
    int exec(const char *sql);
    sqlite3 *handle() const { return m_db; }
    int64_t lastInsertId() const { return sqlite3_last_insert_rowid(m_db); }
    int changes() const { return sqlite3_changes(m_db); }

private:
    friend class SqlStmt;
    // A prepared statement for sql: a cached one when there is one free, else a new one.
    // nullptr on failure (logged).
    sqlite3_stmt *take(const std::string &sql);
    // Gives a statement back (reset, bindings cleared) for the next use of its text.
    void give(const std::string &sql, sqlite3_stmt *stmt);

    sqlite3 *m_db = nullptr;
    // Statements are prepared once per connection and text: preparing costs more than
    // running most of the server's queries.
    std::unordered_map<std::string, sqlite3_stmt *> m_cache;
};

class SqlStmt
{
public:
    SqlStmt(SqlDb &db, const char *sql);
    ~SqlStmt();
    SqlStmt(const SqlStmt &) = delete;
    SqlStmt &operator=(const SqlStmt &) = delete;

    bool ok() const { return m_stmt != nullptr; }
    // Binds by position, from 1; chains.
    SqlStmt &bind(int i, int64_t v);
    SqlStmt &bind(int i, const std::string &v);
    SqlStmt &bindNull(int i);
    // SQLITE_ROW, SQLITE_DONE or an error code (logged).
    int step();
    // Runs a statement without results: 0, or -1.
    int run();
    void reset();

    int64_t i64(int col) const { return sqlite3_column_int64(m_stmt, col); }
    uint64_t u64(int col) const { return static_cast<uint64_t>(i64(col)); }
    std::string text(int col) const;
    bool isNull(int col) const { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }

private:
    SqlDb &m_db;
    std::string m_sql;
    sqlite3_stmt *m_stmt = nullptr;
};

// BEGIN IMMEDIATE on construction (the writer lock is taken at once, so sync ids are
// assigned in commit order); rolls back on destruction unless commit() succeeded.
// The threads of one process take turns through a mutex before they ask SQLite for its
// writer lock: SQLite's own busy handler waits by sleeping (1, 2, 5, 10 ms ...), which
// would cost every contended write several milliseconds. Other processes (admin) still
// meet the busy timeout.
// Constructed while this connection is already inside a transaction, it joins that one:
// commit() and the destructor then leave it to the outer transaction.
class SqlWriteTxn
{
public:
    enum Durability {
        // The commit reaches the disk before commit() returns.
        Durable,
        // The commit may be lost by a crash of the machine (not of the process); the next
        // durable commit flushes it too. For state whose loss only makes a client start
        // over (resume tokens).
        Lazy,
    };
    explicit SqlWriteTxn(SqlDb &db, Durability durability = Durable);
    ~SqlWriteTxn();
    SqlWriteTxn(const SqlWriteTxn &) = delete;
    SqlWriteTxn &operator=(const SqlWriteTxn &) = delete;
    bool ok() const { return m_open || m_joined; }
    int commit();

private:
    void end();

    SqlDb &m_db;
    std::unique_lock<std::mutex> m_turn;
    bool m_open = false;
    bool m_joined = false;
    bool m_lazy = false;
};

// A read transaction: every query inside sees one snapshot of the database.
class SqlReadTxn
{
public:
    explicit SqlReadTxn(SqlDb &db);
    ~SqlReadTxn();
    SqlReadTxn(const SqlReadTxn &) = delete;
    SqlReadTxn &operator=(const SqlReadTxn &) = delete;
    bool ok() const { return m_open; }

private:
    SqlDb &m_db;
    bool m_open = false;
};

} // namespace srv
