// Listings of the event database into a FileList, and removals by path. Paths go into
// GLOB patterns with their wildcard characters neutralised, so a listing or removal of
// "/a*" or "/a_b" selects exactly that path and its descendants, case-sensitively.
#include "client/event-db.h"

#include "client/event-db-internal.h"
#include "log.h"
#include "sql-pattern.h"

#include <cstring>
#include <string>

using namespace event_db;

namespace
{

const char COLUMNS[] = "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table ";

// The row path relative to the listed prefix.
std::string relativePath(const char *path, const ustring &prefix)
{
    std::string full(path);
    if (prefix == "/")
        return full;
    size_t drop = prefix.empty() ? 1 : prefix.size() + 1;
    return drop <= full.size() ? full.substr(drop) : std::string();
}

// Base of the GLOB patterns below `prefix`: the escaped prefix, empty for the top.
std::string patternBase(const ustring &prefix)
{
    return prefix == "/" ? std::string() : EscapeGlobPattern(prefix.c_str_utf8());
}

// Every existing row below `prefix`, the whole table for "/" or an empty prefix.
SqlText treeQuery(const ustring &prefix)
{
    if (prefix.empty() || prefix == "/")
        return SqlText(sqlite3_mprintf("%sWHERE isExist = 1;", COLUMNS));
    return SqlText(sqlite3_mprintf("%sWHERE path GLOB '%q/*' and isExist = 1;", COLUMNS,
                                   patternBase(prefix).c_str()));
}

// The prepared listing `sql`, or null (logged) when it cannot be prepared.
sqlite3_stmt *prepareListing(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *raw = nullptr;
    if (!sql || !db || sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        Logger::LogMsg(
            Logger::L_ERR, COMPONENT, "[ERROR] event-db.cpp(%d): sqlite3_step: [%d] %s\n", __LINE__,
            db ? sqlite3_errcode(db) : SQLITE_MISUSE, db ? sqlite3_errmsg(db) : "not open");
        sqlite3_finalize(raw);
        return nullptr;
    }
    return raw;
}

// The result of a listing whose last step gave `rc`: 0 when every row was read, -1
// (logged) when the step failed part way.
int listingEnd(sqlite3 *db, int rc)
{
    if (rc == SQLITE_DONE)
        return 0;
    Logger::LogMsg(Logger::L_ERR, COMPONENT, "[ERROR] event-db.cpp(%d): sqlite3_step: [%d] %s\n",
                   __LINE__, rc, sqlite3_errmsg(db));
    return -1;
}

} // namespace

int FileEventDB::listInto(FileList &flist, const char *sql, const ustring &prefix, bool by_path)
{
    Statement stmt(prepareListing(m_db, sql));
    sqlite3_stmt *raw = stmt.get();
    if (!raw)
        return -1;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        FileList::Attribute attr;
        attr.mtime = static_cast<uint32_t>(sqlite3_column_int64(raw, 1));
        attr.size = static_cast<uint64_t>(sqlite3_column_int64(raw, 2));
        attr.acl_hash = columnText(raw, 3);
        std::string rel = relativePath(columnText(raw, 4), prefix);
        // A non-recursive listing adds plain names under the top directory.
        if (!by_path)
            rel = rel.substr(rel.rfind('/') == std::string::npos ? 0 : rel.rfind('/') + 1);
        bool is_dir = sqlite3_column_int(raw, 0) != 0;
        if (is_dir) {
            Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                           "[DEBUG] event-db.cpp(%d): getFileList: AddDirectory '%s'\n", __LINE__,
                           rel.c_str());
            if (by_path)
                flist.AddDirectory(ustring(rel), attr);
            else
                flist.AddDirectory(0, ustring(rel), attr);
        } else {
            Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                           "[DEBUG] event-db.cpp(%d): getFileList: AddFile '%s'\n", __LINE__,
                           rel.c_str());
            if (by_path)
                flist.AddFile(ustring(rel), attr);
            else
                flist.AddFile(0, ustring(rel), attr);
        }
    }
    return listingEnd(m_db, rc);
}

int FileEventDB::getFileList(FileList &flist, const ustring &prefix)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    return listInto(flist, treeQuery(prefix).get(), prefix, true);
}

int FileEventDB::forEachRowBelow(const ustring &prefix, const RowVisitor &row)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    bool top = prefix.empty() || prefix == "/";
    Statement stmt(prepareListing(m_db, treeQuery(prefix).get()));
    sqlite3_stmt *raw = stmt.get();
    if (!raw)
        return -1;
    // The pattern selects paths that start with the prefix and a '/'.
    size_t drop = top ? 0 : prefix.size();
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const char *path = columnText(raw, 4);
        if (strlen(path) < drop)
            continue;
        row(path + drop, sqlite3_column_int(raw, 0) != 0,
            static_cast<uint32_t>(sqlite3_column_int64(raw, 1)),
            static_cast<uint64_t>(sqlite3_column_int64(raw, 2)), columnText(raw, 3));
    }
    return listingEnd(m_db, rc);
}

// The direct children of `prefix`; the row of `prefix` itself is not among them.
int FileEventDB::getFileListWithoutRecursive(FileList &flist, const ustring &prefix)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (prefix.empty())
        return 0;
    std::string base = patternBase(prefix);
    SqlText sql(sqlite3_mprintf("%sWHERE isExist = 1 AND path GLOB '%q/?*' AND path NOT GLOB "
                                "'%q/*/*';",
                                COLUMNS, base.c_str(), base.c_str()));
    return listInto(flist, sql.get(), prefix, false);
}

int FileEventDB::getFileListWithoutRecursive(FileList &flist, const ustring &prefix,
                                             uint64_t syncID)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (prefix.empty())
        return 0;
    std::string base = patternBase(prefix);
    SqlText sql(sqlite3_mprintf("%sWHERE isExist = 1 AND syncID <= %llu AND path GLOB '%q/?*' "
                                "AND path NOT GLOB '%q/*/*';",
                                COLUMNS, static_cast<unsigned long long>(syncID), base.c_str(),
                                base.c_str()));
    return listInto(flist, sql.get(), prefix, false);
}

int FileEventDB::rmEventInfo(const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (path == "/")
        return 0;
    // An empty path would match every row through the GLOB below.
    if (path.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): rmEventInfo: empty path refused.\n", __LINE__);
        return -1;
    }
    if (!m_db)
        return -1;
    SqlText sql(sqlite3_mprintf("DELETE FROM event_table WHERE (path = %Q OR path GLOB '%q/*');",
                                path.c_str_utf8(), EscapeGlobPattern(path.c_str_utf8()).c_str()));
    if (!sql) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): sqlite3_mprintf failed\n", __LINE__);
        return -1;
    }
    return execLogged(sql.get(), path.c_str_utf8());
}

int FileEventDB::rmAllFolders()
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (!m_db)
        return -1;
    return execLogged("DELETE FROM event_table WHERE path GLOB '/*/*';", "/*/*");
}
