// Queries and updates of the server database.
#include "server/store.h"

#include <openssl/crypto.h>

#include <sys/stat.h>

#include <utility>

namespace srv
{

namespace
{

const char *kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL,
                                 token TEXT UNIQUE NOT NULL);
CREATE TABLE IF NOT EXISTS views(id INTEGER PRIMARY KEY, name TEXT NOT NULL,
                                 quota INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS grants(view_id INTEGER NOT NULL, user_id INTEGER NOT NULL,
                                  mode TEXT NOT NULL, PRIMARY KEY(view_id, user_id));
CREATE TABLE IF NOT EXISTS content(id INTEGER PRIMARY KEY, md4 TEXT NOT NULL,
                                   sha256 TEXT UNIQUE NOT NULL, size INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS content_md4 ON content(md4, size);
CREATE TABLE IF NOT EXISTS journal(sync_id INTEGER PRIMARY KEY AUTOINCREMENT,
    view_id INTEGER NOT NULL, path TEXT NOT NULL, is_dir INTEGER NOT NULL,
    is_removed INTEGER NOT NULL, content_id INTEGER NOT NULL, mtime INTEGER NOT NULL,
    origin TEXT NOT NULL, time INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS journal_view_content ON journal(view_id, content_id);
CREATE TABLE IF NOT EXISTS current(view_id INTEGER NOT NULL, path TEXT NOT NULL,
    parent TEXT NOT NULL, sync_id INTEGER NOT NULL, max_id INTEGER NOT NULL,
    is_dir INTEGER NOT NULL, is_removed INTEGER NOT NULL, content_id INTEGER NOT NULL,
    mtime INTEGER NOT NULL, origin TEXT NOT NULL, PRIMARY KEY(view_id, path));
CREATE INDEX IF NOT EXISTS current_sync ON current(view_id, sync_id);
CREATE INDEX IF NOT EXISTS current_parent ON current(view_id, parent, sync_id);
CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
    view_id INTEGER NOT NULL, kind TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,
    hash TEXT NOT NULL, is_delta INTEGER NOT NULL, held TEXT NOT NULL,
    has_answer INTEGER NOT NULL, ans_sync_id INTEGER NOT NULL, ans_max_id INTEGER NOT NULL,
    ans_hash TEXT NOT NULL, ans_size INTEGER NOT NULL, ans_is_delta INTEGER NOT NULL,
    ans_mtime INTEGER NOT NULL, ans_data TEXT NOT NULL, ans_data_len INTEGER NOT NULL,
    last_use INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS tokens_user ON tokens(user_id, last_use);
CREATE INDEX IF NOT EXISTS tokens_last_use ON tokens(last_use);
CREATE TABLE IF NOT EXISTS faults(id INTEGER PRIMARY KEY, kind TEXT NOT NULL,
    arg INTEGER NOT NULL, action TEXT NOT NULL, command INTEGER NOT NULL,
    view_id INTEGER NOT NULL, path TEXT NOT NULL, count INTEGER NOT NULL);
)SQL";
// Stored in the database's user_version once the script above has run; raise it whenever
// the script changes, so that databases made by an older server get the additions.
const int kSchemaVersion = 2;

const char *kEntryColumns =
    "c.sync_id, c.max_id, c.path, c.is_dir, c.is_removed, c.content_id, c.mtime, c.origin, "
    "k.md4, k.sha256, k.size";

void ReadEntry(SqlStmt &s, Entry &e)
{
    e.sync_id = s.u64(0);
    e.max_id = s.u64(1);
    e.path = s.text(2);
    e.is_dir = s.i64(3) != 0;
    e.is_removed = s.i64(4) != 0;
    e.content_id = s.u64(5);
    e.mtime = static_cast<uint32_t>(s.u64(6));
    e.origin = s.text(7);
    e.md4 = s.text(8);
    e.sha256 = s.text(9);
    e.size = s.u64(10);
}

std::string Select(const char *from_where)
{
    return std::string("SELECT ") + kEntryColumns + " " + from_where;
}

const char *kTokenColumns =
    "token, user_id, view_id, kind, path, size, hash, is_delta, held, has_answer, ans_sync_id, "
    "ans_max_id, ans_hash, ans_size, ans_is_delta, ans_mtime, ans_data, ans_data_len, last_use";

void BindToken(SqlStmt &s, const TokenRow &t)
{
    s.bind(1, t.token)
        .bind(2, static_cast<int64_t>(t.user_id))
        .bind(3, static_cast<int64_t>(t.view_id))
        .bind(4, t.kind)
        .bind(5, t.path)
        .bind(6, static_cast<int64_t>(t.size))
        .bind(7, t.hash)
        .bind(8, t.is_delta ? 1 : 0)
        .bind(9, t.held)
        .bind(10, t.has_answer ? 1 : 0)
        .bind(11, static_cast<int64_t>(t.ans_sync_id))
        .bind(12, static_cast<int64_t>(t.ans_max_id))
        .bind(13, t.ans_hash)
        .bind(14, static_cast<int64_t>(t.ans_size))
        .bind(15, t.ans_is_delta ? 1 : 0)
        .bind(16, static_cast<int64_t>(t.ans_mtime))
        .bind(17, t.ans_data)
        .bind(18, static_cast<int64_t>(t.ans_data_len))
        .bind(19, t.last_use);
}

void ReadToken(SqlStmt &s, TokenRow &t)
{
    t.token = s.text(0);
    t.user_id = s.u64(1);
    t.view_id = s.u64(2);
    t.kind = s.text(3);
    t.path = s.text(4);
    t.size = s.u64(5);
    t.hash = s.text(6);
    t.is_delta = s.i64(7) != 0;
    t.held = s.text(8);
    t.has_answer = s.i64(9) != 0;
    t.ans_sync_id = s.u64(10);
    t.ans_max_id = s.u64(11);
    t.ans_hash = s.text(12);
    t.ans_size = s.u64(13);
    t.ans_is_delta = s.i64(14) != 0;
    t.ans_mtime = static_cast<uint32_t>(s.u64(15));
    t.ans_data = s.text(16);
    t.ans_data_len = s.u64(17);
    t.last_use = s.i64(18);
}

void ReadFault(SqlStmt &s, FaultRow &f)
{
    f.id = s.u64(0);
    f.kind = s.text(1);
    f.arg = s.i64(2);
    f.action = s.text(3);
    f.command = s.i64(4);
    f.view_id = s.i64(5);
    f.path = s.text(6);
    f.count = s.i64(7);
}

bool PathAtOrBelow(const std::string &path, const std::string &top)
{
    if (top == "/" || path == top)
        return true;
    return path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
           path[top.size()] == '/';
}

bool FaultMatches(const FaultRow &f, const FaultProbe &p)
{
    if (!f.action.empty() && f.action != p.action)
        return false;
    if (f.command >= 0 && f.command != p.command)
        return false;
    if (f.view_id >= 0 && f.view_id != p.view_id)
        return false;
    if (!f.path.empty() && !PathAtOrBelow(p.path, f.path))
        return false;
    return true;
}

} // namespace

std::vector<std::string> Ancestors(const std::string &path)
{
    std::vector<std::string> out;
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        out.push_back(path.substr(0, pos));
    return out;
}

std::string ParentPath(const std::string &path)
{
    size_t pos = path.rfind('/');
    if (pos == 0 || pos == std::string::npos)
        return "/";
    return path.substr(0, pos);
}

int Store::open(const std::string &root)
{
    m_root = root;
    if (m_db.open(root + "/server.sqlite") < 0)
        return -1;
    // Every connection opens the database; only the first one after an upgrade needs the
    // script.
    {
        SqlStmt v(m_db, "PRAGMA user_version");
        if (v.step() == SQLITE_ROW && v.i64(0) >= kSchemaVersion)
            return 0;
    }
    SqlWriteTxn txn(m_db);
    if (!txn.ok() || m_db.exec(kSchema) < 0 ||
        m_db.exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str()) < 0)
        return -1;
    return txn.commit();
}

int Store::addUser(const std::string &name, const std::string &token, uint64_t &id)
{
    SqlStmt s(m_db, "INSERT INTO users(name, token) VALUES(?, ?)");
    if (s.bind(1, name).bind(2, token).run() < 0)
        return -1;
    id = static_cast<uint64_t>(m_db.lastInsertId());
    return 0;
}

int Store::setToken(const std::string &name, const std::string &token)
{
    SqlStmt s(m_db, "UPDATE users SET token = ? WHERE name = ?");
    if (s.bind(1, token).bind(2, name).run() < 0)
        return -1;
    return m_db.changes() == 1 ? 0 : -1;
}

uint64_t Store::userByToken(const std::string &token)
{
    // Every token is compared in full, so the time taken tells nothing about how much of
    // a guessed token was right.
    SqlStmt s(m_db, "SELECT id, token FROM users");
    uint64_t found = 0;
    while (s.step() == SQLITE_ROW) {
        std::string t = s.text(1);
        if (t.size() == token.size() && !token.empty() &&
            CRYPTO_memcmp(t.data(), token.data(), t.size()) == 0)
            found = s.u64(0);
    }
    return found;
}

uint64_t Store::userByName(const std::string &name)
{
    SqlStmt s(m_db, "SELECT id FROM users WHERE name = ?");
    s.bind(1, name);
    return s.step() == SQLITE_ROW ? s.u64(0) : 0;
}

int Store::addView(const std::string &name, uint64_t id, uint64_t quota, uint64_t &out_id)
{
    SqlStmt s(m_db, "INSERT INTO views(id, name, quota) VALUES(?, ?, ?)");
    if (id == 0)
        s.bindNull(1);
    else
        s.bind(1, static_cast<int64_t>(id));
    if (s.bind(2, name).bind(3, static_cast<int64_t>(quota)).run() < 0)
        return -1;
    out_id = static_cast<uint64_t>(m_db.lastInsertId());
    return 0;
}

bool Store::viewExists(uint64_t view_id)
{
    SqlStmt s(m_db, "SELECT 1 FROM views WHERE id = ?");
    s.bind(1, static_cast<int64_t>(view_id));
    return s.step() == SQLITE_ROW;
}

uint64_t Store::viewQuota(uint64_t view_id)
{
    SqlStmt s(m_db, "SELECT quota FROM views WHERE id = ?");
    s.bind(1, static_cast<int64_t>(view_id));
    return s.step() == SQLITE_ROW ? s.u64(0) : 0;
}

int Store::setQuota(uint64_t view_id, uint64_t quota)
{
    SqlStmt s(m_db, "UPDATE views SET quota = ? WHERE id = ?");
    if (s.bind(1, static_cast<int64_t>(quota)).bind(2, static_cast<int64_t>(view_id)).run() < 0)
        return -1;
    return m_db.changes() == 1 ? 0 : -1;
}

int Store::grant(uint64_t view_id, uint64_t user_id, const std::string &mode)
{
    if (mode == "none") {
        SqlStmt s(m_db, "DELETE FROM grants WHERE view_id = ? AND user_id = ?");
        return s.bind(1, static_cast<int64_t>(view_id)).bind(2, static_cast<int64_t>(user_id)).run();
    }
    SqlStmt s(m_db, "INSERT OR REPLACE INTO grants(view_id, user_id, mode) VALUES(?, ?, ?)");
    return s.bind(1, static_cast<int64_t>(view_id))
        .bind(2, static_cast<int64_t>(user_id))
        .bind(3, mode)
        .run();
}

std::string Store::grantMode(uint64_t view_id, uint64_t user_id)
{
    SqlStmt s(m_db, "SELECT g.mode FROM grants g JOIN views v ON v.id = g.view_id "
                    "WHERE g.view_id = ? AND g.user_id = ?");
    s.bind(1, static_cast<int64_t>(view_id)).bind(2, static_cast<int64_t>(user_id));
    return s.step() == SQLITE_ROW ? s.text(0) : std::string();
}

bool Store::current(uint64_t view_id, const std::string &path, Entry &out)
{
    std::string sql =
        Select("FROM current c LEFT JOIN content k ON k.id = c.content_id "
               "WHERE c.view_id = ? AND c.path = ?");
    SqlStmt s(m_db, sql.c_str());
    s.bind(1, static_cast<int64_t>(view_id)).bind(2, path);
    if (s.step() != SQLITE_ROW)
        return false;
    ReadEntry(s, out);
    return true;
}

bool Store::journalRow(uint64_t sync_id, uint64_t &view_id, Entry &out)
{
    SqlStmt s(m_db, "SELECT c.sync_id, c.sync_id, c.path, c.is_dir, c.is_removed, c.content_id, "
                    "c.mtime, c.origin, k.md4, k.sha256, k.size, c.view_id FROM journal c "
                    "LEFT JOIN content k ON k.id = c.content_id WHERE c.sync_id = ?");
    s.bind(1, static_cast<int64_t>(sync_id));
    if (s.step() != SQLITE_ROW)
        return false;
    ReadEntry(s, out);
    view_id = s.u64(11);
    return true;
}

int Store::liveBelow(uint64_t view_id, const std::string &dir, std::vector<Entry> &out)
{
    // Paths below dir lie between dir + "/" and dir + "0" ('0' follows '/').
    std::string lo = dir == "/" ? "/" : dir + "/";
    std::string hi = dir == "/" ? "0" : dir + "0";
    std::string sql = Select("FROM current c LEFT JOIN content k ON k.id = c.content_id "
                             "WHERE c.view_id = ? AND c.path > ? AND c.path < ? "
                             "AND c.is_removed = 0 ORDER BY c.path");
    SqlStmt s(m_db, sql.c_str());
    s.bind(1, static_cast<int64_t>(view_id)).bind(2, lo).bind(3, hi);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        out.emplace_back();
        ReadEntry(s, out.back());
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

int Store::listCurrent(uint64_t view_id, bool with_removed, std::vector<Entry> &out)
{
    std::string sql = Select("FROM current c LEFT JOIN content k ON k.id = c.content_id "
                             "WHERE c.view_id = ? AND (? OR c.is_removed = 0) ORDER BY c.path");
    SqlStmt s(m_db, sql.c_str());
    s.bind(1, static_cast<int64_t>(view_id)).bind(2, with_removed ? 1 : 0);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        out.emplace_back();
        ReadEntry(s, out.back());
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

int Store::listJournal(uint64_t view_id, uint64_t since, std::vector<Entry> &out)
{
    SqlStmt s(m_db, "SELECT c.sync_id, c.sync_id, c.path, c.is_dir, c.is_removed, c.content_id, "
                    "c.mtime, c.origin, k.md4, k.sha256, k.size FROM journal c "
                    "LEFT JOIN content k ON k.id = c.content_id "
                    "WHERE c.view_id = ? AND c.sync_id > ? ORDER BY c.sync_id");
    s.bind(1, static_cast<int64_t>(view_id)).bind(2, static_cast<int64_t>(since));
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        out.emplace_back();
        ReadEntry(s, out.back());
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

uint64_t Store::quotaUse(uint64_t view_id)
{
    SqlStmt s(m_db, "SELECT COALESCE(SUM(k.size), 0) FROM current c JOIN content k "
                    "ON k.id = c.content_id WHERE c.view_id = ? AND c.is_removed = 0 "
                    "AND c.is_dir = 0");
    s.bind(1, static_cast<int64_t>(view_id));
    return s.step() == SQLITE_ROW ? s.u64(0) : 0;
}

uint64_t Store::writeRow(uint64_t view_id, const Entry &e)
{
    SqlStmt j(m_db, "INSERT INTO journal(view_id, path, is_dir, is_removed, content_id, mtime, "
                    "origin, time) VALUES(?, ?, ?, ?, ?, ?, ?, strftime('%s','now'))");
    j.bind(1, static_cast<int64_t>(view_id))
        .bind(2, e.path)
        .bind(3, e.is_dir ? 1 : 0)
        .bind(4, e.is_removed ? 1 : 0)
        .bind(5, static_cast<int64_t>(e.content_id))
        .bind(6, static_cast<int64_t>(e.mtime))
        .bind(7, e.origin);
    if (j.run() < 0)
        return 0;
    uint64_t sync_id = static_cast<uint64_t>(m_db.lastInsertId());
    SqlStmt c(m_db, "INSERT OR REPLACE INTO current(view_id, path, parent, sync_id, max_id, "
                    "is_dir, is_removed, content_id, mtime, origin) "
                    "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    c.bind(1, static_cast<int64_t>(view_id))
        .bind(2, e.path)
        .bind(3, ParentPath(e.path))
        .bind(4, static_cast<int64_t>(sync_id))
        .bind(5, static_cast<int64_t>(sync_id))
        .bind(6, e.is_dir ? 1 : 0)
        .bind(7, e.is_removed ? 1 : 0)
        .bind(8, static_cast<int64_t>(e.content_id))
        .bind(9, static_cast<int64_t>(e.mtime))
        .bind(10, e.origin);
    if (c.run() < 0)
        return 0;
    SqlStmt up(m_db, "UPDATE current SET max_id = ? WHERE view_id = ? AND path = ?");
    for (const std::string &a : Ancestors(e.path)) {
        up.reset();
        if (up.bind(1, static_cast<int64_t>(sync_id))
                .bind(2, static_cast<int64_t>(view_id))
                .bind(3, a)
                .run() < 0)
            return 0;
    }
    return sync_id;
}

bool Store::contentById(uint64_t id, ContentRow &out)
{
    SqlStmt s(m_db, "SELECT id, md4, sha256, size FROM content WHERE id = ?");
    s.bind(1, static_cast<int64_t>(id));
    if (s.step() != SQLITE_ROW)
        return false;
    out.id = s.u64(0);
    out.md4 = s.text(1);
    out.sha256 = s.text(2);
    out.size = s.u64(3);
    return true;
}

bool Store::contentBySha(const std::string &sha, ContentRow &out)
{
    SqlStmt s(m_db, "SELECT id, md4, sha256, size FROM content WHERE sha256 = ?");
    s.bind(1, sha);
    if (s.step() != SQLITE_ROW)
        return false;
    out.id = s.u64(0);
    out.md4 = s.text(1);
    out.sha256 = s.text(2);
    out.size = s.u64(3);
    return true;
}

uint64_t Store::addContent(const std::string &md4, const std::string &sha, uint64_t size)
{
    ContentRow row;
    if (contentBySha(sha, row))
        return row.id;
    SqlStmt s(m_db, "INSERT INTO content(md4, sha256, size) VALUES(?, ?, ?)");
    if (s.bind(1, md4).bind(2, sha).bind(3, static_cast<int64_t>(size)).run() < 0)
        return 0;
    return static_cast<uint64_t>(m_db.lastInsertId());
}

uint64_t Store::contentInView(uint64_t view_id, const std::string &md4, uint64_t size)
{
    SqlStmt s(m_db, "SELECT k.id FROM content k WHERE k.md4 = ? AND k.size = ? AND EXISTS "
                    "(SELECT 1 FROM journal j WHERE j.view_id = ? AND j.content_id = k.id) "
                    "ORDER BY k.id LIMIT 1");
    s.bind(1, md4).bind(2, static_cast<int64_t>(size)).bind(3, static_cast<int64_t>(view_id));
    return s.step() == SQLITE_ROW ? s.u64(0) : 0;
}

bool Store::contentReferencedInView(uint64_t view_id, uint64_t content_id)
{
    SqlStmt s(m_db, "SELECT 1 FROM journal WHERE view_id = ? AND content_id = ? LIMIT 1");
    s.bind(1, static_cast<int64_t>(view_id)).bind(2, static_cast<int64_t>(content_id));
    return content_id != 0 && s.step() == SQLITE_ROW;
}

// Token rows are written without waiting for the disk: after a crash of the machine a
// token may be missing or hold an older state, which only makes the client start its
// transfer over (held upload data is fsynced before its row names it).
int Store::addToken(const TokenRow &t)
{
    std::string sql = std::string("INSERT INTO tokens(") + kTokenColumns +
                      ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    SqlWriteTxn txn(m_db, SqlWriteTxn::Lazy);
    SqlStmt s(m_db, sql.c_str());
    BindToken(s, t);
    return txn.ok() && s.run() == 0 ? txn.commit() : -1;
}

bool Store::token(const std::string &token, TokenRow &out)
{
    std::string sql = std::string("SELECT ") + kTokenColumns + " FROM tokens WHERE token = ?";
    SqlStmt s(m_db, sql.c_str());
    s.bind(1, token);
    if (s.step() != SQLITE_ROW)
        return false;
    ReadToken(s, out);
    return true;
}

int Store::saveToken(const TokenRow &t)
{
    std::string sql = std::string("INSERT OR REPLACE INTO tokens(") + kTokenColumns +
                      ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    SqlWriteTxn txn(m_db, SqlWriteTxn::Lazy);
    SqlStmt s(m_db, sql.c_str());
    BindToken(s, t);
    return txn.ok() && s.run() == 0 ? txn.commit() : -1;
}

int Store::deleteToken(const std::string &token)
{
    SqlWriteTxn txn(m_db, SqlWriteTxn::Lazy);
    SqlStmt s(m_db, "DELETE FROM tokens WHERE token = ?");
    return txn.ok() && s.bind(1, token).run() == 0 ? txn.commit() : -1;
}

int Store::expireTokens(int64_t now, int64_t ttl, size_t per_user, std::vector<std::string> &files)
{
    std::vector<std::string> doomed;
    SqlWriteTxn txn(m_db, SqlWriteTxn::Lazy);
    if (!txn.ok())
        return -1;
    {
        SqlStmt s(m_db, "SELECT token, held, ans_data, ans_is_delta FROM tokens WHERE last_use < ?");
        s.bind(1, now - ttl);
        while (s.step() == SQLITE_ROW) {
            doomed.push_back(s.text(0));
            files.push_back(s.text(1));
            if (s.i64(3) != 0)
                files.push_back(s.text(2));
        }
    }
    // Beyond the bound per user, the least recently used go first. Only the surplus of each
    // user over the bound is read, oldest first through the (user_id, last_use) index, so a
    // user who stays at the bound pays for one token per new one, not for ranking them all.
    std::vector<std::pair<int64_t, int64_t>> surplus;
    {
        SqlStmt over(m_db, "SELECT user_id, COUNT(*) - ? FROM tokens GROUP BY user_id "
                           "HAVING COUNT(*) > ?");
        over.bind(1, static_cast<int64_t>(per_user)).bind(2, static_cast<int64_t>(per_user));
        while (over.step() == SQLITE_ROW)
            surplus.emplace_back(over.i64(0), over.i64(1));
    }
    for (const auto &user : surplus) {
        SqlStmt s(m_db, "SELECT token, held, ans_data, ans_is_delta FROM tokens WHERE user_id = ? "
                        "ORDER BY last_use ASC, rowid ASC LIMIT ?");
        s.bind(1, user.first).bind(2, user.second);
        while (s.step() == SQLITE_ROW) {
            doomed.push_back(s.text(0));
            files.push_back(s.text(1));
            if (s.i64(3) != 0)
                files.push_back(s.text(2));
        }
    }
    SqlStmt d(m_db, "DELETE FROM tokens WHERE token = ?");
    for (const std::string &t : doomed) {
        d.reset();
        d.bind(1, t).run();
    }
    return txn.commit();
}

int Store::tokenFiles(std::vector<std::string> &files)
{
    SqlStmt s(m_db, "SELECT held, ans_data, ans_is_delta FROM tokens");
    while (s.step() == SQLITE_ROW) {
        files.push_back(s.text(0));
        if (s.i64(2) != 0)
            files.push_back(s.text(1));
    }
    return 0;
}

int Store::addFault(const FaultRow &f, uint64_t &id)
{
    SqlStmt s(m_db, "INSERT INTO faults(kind, arg, action, command, view_id, path, count) "
                    "VALUES(?, ?, ?, ?, ?, ?, ?)");
    if (s.bind(1, f.kind)
            .bind(2, f.arg)
            .bind(3, f.action)
            .bind(4, f.command)
            .bind(5, f.view_id)
            .bind(6, f.path)
            .bind(7, f.count)
            .run() < 0)
        return -1;
    id = static_cast<uint64_t>(m_db.lastInsertId());
    return 0;
}

int Store::listFaults(std::vector<FaultRow> &out)
{
    SqlStmt s(m_db, "SELECT id, kind, arg, action, command, view_id, path, count FROM faults "
                    "ORDER BY id");
    while (s.step() == SQLITE_ROW) {
        out.emplace_back();
        ReadFault(s, out.back());
    }
    return 0;
}

int Store::clearFaults(uint64_t id)
{
    if (id == 0)
        return m_db.exec("DELETE FROM faults");
    SqlStmt s(m_db, "DELETE FROM faults WHERE id = ?");
    return s.bind(1, static_cast<int64_t>(id)).run();
}

bool Store::fireFault(const FaultProbe &probe, const std::vector<std::string> &kinds,
                      FaultRow &out)
{
    // Most requests find the table empty; a plain read avoids taking the writer lock.
    {
        SqlStmt any(m_db, "SELECT 1 FROM faults LIMIT 1");
        if (any.step() != SQLITE_ROW)
            return false;
    }
    SqlWriteTxn txn(m_db);
    if (!txn.ok())
        return false;
    std::vector<FaultRow> all;
    listFaults(all);
    for (const FaultRow &f : all) {
        bool kind_ok = false;
        for (const std::string &k : kinds)
            kind_ok = kind_ok || k == f.kind;
        if (!kind_ok || f.count == 0 || !FaultMatches(f, probe))
            continue;
        if (f.count > 0) {
            SqlStmt s(m_db, f.count == 1 ? "DELETE FROM faults WHERE id = ?"
                                         : "UPDATE faults SET count = count - 1 WHERE id = ?");
            if (s.bind(1, static_cast<int64_t>(f.id)).run() < 0)
                return false;
        }
        if (txn.commit() < 0)
            return false;
        out = f;
        return true;
    }
    return false;
}

bool Store::consumeFault(uint64_t id)
{
    SqlWriteTxn txn(m_db);
    SqlStmt q(m_db, "SELECT count FROM faults WHERE id = ?");
    q.bind(1, static_cast<int64_t>(id));
    if (!txn.ok() || q.step() != SQLITE_ROW)
        return false;
    int64_t count = q.i64(0);
    q.reset();
    if (count > 0) {
        SqlStmt s(m_db, count == 1 ? "DELETE FROM faults WHERE id = ?"
                                   : "UPDATE faults SET count = count - 1 WHERE id = ?");
        if (s.bind(1, static_cast<int64_t>(id)).run() < 0)
            return false;
    }
    return count != 0 && txn.commit() == 0;
}

bool Store::peekFault(const std::string &kind, int command, FaultRow &out)
{
    SqlStmt s(m_db, "SELECT id, kind, arg, action, command, view_id, path, count FROM faults "
                    "WHERE kind = ? AND (command < 0 OR command = ?) AND count != 0 "
                    "ORDER BY id LIMIT 1");
    s.bind(1, kind).bind(2, command);
    if (s.step() != SQLITE_ROW)
        return false;
    ReadFault(s, out);
    return true;
}

} // namespace srv
