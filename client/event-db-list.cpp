// Listings of the event database into a FileList, and removals by path. Paths go into
// GLOB patterns with their wildcard characters neutralised, so a listing or removal of
// "/a*" or "/a_b" selects exactly that path and its descendants, case-sensitively.
#include "client/event-db.h"

#include "client/event-db-internal.h"
#include "log.h"
#include "sql-pattern.h"

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

} // namespace

int FileEventDB::listInto(FileList &flist, const char *sql, const ustring &prefix, bool by_path)
{
    sqlite3_stmt *raw = nullptr;
    if (!sql || !m_db || sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        Logger::LogMsg(
            Logger::L_ERR, COMPONENT, "[ERROR] event-db.cpp(%d): sqlite3_step: [%d] %s\n", __LINE__,
            m_db ? sqlite3_errcode(m_db) : SQLITE_MISUSE, m_db ? sqlite3_errmsg(m_db) : "not open");
        return -1;
    }
    Statement stmt(raw);
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
    if (rc != SQLITE_DONE) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): sqlite3_step: [%d] %s\n", __LINE__, rc,
                       sqlite3_errmsg(m_db));
        return -1;
    }
    return 0;
}

int FileEventDB::getFileList(FileList &flist, const ustring &prefix)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    SqlText sql;
    if (prefix.empty() || prefix == "/") {
        sql.reset(sqlite3_mprintf("%sWHERE isExist = 1;", COLUMNS));
    } else {
        sql.reset(sqlite3_mprintf("%sWHERE path GLOB '%q/*' and isExist = 1;", COLUMNS,
                                  patternBase(prefix).c_str()));
    }
    return listInto(flist, sql.get(), prefix, true);
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
