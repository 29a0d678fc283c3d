#include "client/event-db.h"

#include "client/event-db-internal.h"
#include "file-op.h"
#include "log.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

using namespace event_db;

const ustring event_db::COMPONENT("event_db_debug");

namespace
{

const char SCHEMA[] =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS event_table ( \tid integer primary key, \tfileType integer NOT "
    "NULL, \tisExist integer NOT NULL, \tsyncID NUMERIC NOT NULL, \tmaxSyncID NUMERIC NOT NULL, "
    "\tfileSize NUMERIC NOT NULL, \tfileModTime NUMERIC NOT NULL, \tfileCheckSum text NOT NULL, "
    "\tpath text unique NOT NULL, \tmacHash text NOT NULL DEFAULT '', \tinode              "
    "INTEGER NOT NULL DEFAULT 0,\texecBit            INTEGER NOT NULL DEFAULT 0, \tunixUid      "
    "      INTEGER NOT NULL DEFAULT 0, \tunixGid            INTEGER NOT NULL DEFAULT 0, "
    "\tunixMode           INTEGER NOT NULL DEFAULT 0, \tunixHash           TEXT NOT NULL "
    "DEFAULT '', \taclAttribute       TEXT NOT NULL DEFAULT '', \taclHash            TEXT NOT "
    "NULL DEFAULT '', \tsharePrivDisabled  INTEGER NOT NULL DEFAULT 0, \tsharePrivDenyList  "
    "TEXT NOT NULL DEFAULT '', \tsharePrivRoList    TEXT NOT NULL DEFAULT '', "
    "\tsharePrivRwList    TEXT NOT NULL DEFAULT '', \tsharePrivHash      TEXT NOT NULL DEFAULT "
    "'' );"
    "CREATE TABLE IF NOT EXISTS config_table ( \tkey    VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "\tvalue  VARCHAR NOT NULL );"
    "CREATE TABLE IF NOT EXISTS recycle_bin_table ( \tid integer primary key, \tpath text "
    "unique NOT NULL, \tfileSize NUMERIC NOT NULL, \tfileCheckSum text NOT NULL, \tmacHash text "
    "default NULL, \ttime NUMERIC NOT NULL);"
    "CREATE INDEX IF NOT EXISTS event_table_syncID_idx on event_table(syncID);"
    "CREATE INDEX IF NOT EXISTS event_table_maxSyncID_idx on event_table(maxSyncID);"
    "CREATE INDEX IF NOT EXISTS event_table_path_idx on event_table(path);"
    "CREATE INDEX IF NOT EXISTS event_table_fileCheckSum_idx on event_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS event_table_macHash_idx on event_table(macHash);"
    "CREATE INDEX IF NOT EXISTS event_table_isExist_idx on event_table(isExist);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_fileCheckSum_idx on "
    "recycle_bin_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_macHash_idx on recycle_bin_table(macHash);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_time_idx on recycle_bin_table(time);"
    "INSERT or IGNORE into config_table VALUES ('sync_id', '0');"
    "INSERT or IGNORE into config_table VALUES ('version', 8);"
    "CREATE TRIGGER IF NOT EXISTS event_table_delete_trigger AFTER DELETE ON event_table BEGIN "
    "\tUPDATE config_table SET value = '' WHERE rowid = remove_signature(OLD.id); END;"
    "COMMIT;";

const char SELECT_ROW[] =
    "SELECT id, isExist, syncID, maxSyncID, fileType, fileSize, fileCheckSum, macHash, "
    "fileModTime, execBit, unixUid, unixGid, unixMode, unixHash, aclAttribute, aclHash, "
    "sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash, "
    "inode, path FROM event_table  where path = %Q";

uint64_t columnU64(sqlite3_stmt *stmt, int col)
{
    return static_cast<uint64_t>(sqlite3_column_int64(stmt, col));
}

uint32_t columnU32(sqlite3_stmt *stmt, int col)
{
    return static_cast<uint32_t>(sqlite3_column_int64(stmt, col));
}

void readRow(sqlite3_stmt *stmt, DBFileInfo &info, uint64_t &row_id)
{
    row_id = columnU64(stmt, 0);
    info.isExist = sqlite3_column_int(stmt, 1);
    info.syncID = columnU64(stmt, 2);
    info.maxSyncID = columnU64(stmt, 3);
    info.fileType = sqlite3_column_int(stmt, 4);
    info.fileSize = columnU64(stmt, 5);
    info.fileCheckSum = columnText(stmt, 6);
    info.macHash = columnText(stmt, 7);
    info.fileModTime = columnU32(stmt, 8);
    info.execBit = columnU32(stmt, 9);
    info.unixUid = columnU32(stmt, 10);
    info.unixGid = columnU32(stmt, 11);
    info.unixMode = columnU32(stmt, 12);
    info.unixHash = columnText(stmt, 13);
    info.aclAttribute = columnText(stmt, 14);
    info.aclHash = columnText(stmt, 15);
    info.sharePrivDisabled = columnU32(stmt, 16);
    info.sharePrivDenyList = columnText(stmt, 17);
    info.sharePrivRoList = columnText(stmt, 18);
    info.sharePrivRwList = columnText(stmt, 19);
    info.sharePrivHash = columnText(stmt, 20);
    info.inode = columnU64(stmt, 21);
    info.path = columnText(stmt, 22);
}

} // namespace

FileEventDB::FileEventDB() : m_db(nullptr)
{
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] event-db.cpp(%d): event db <%p> is created\n", __LINE__,
                   static_cast<void *>(this));
}

FileEventDB::~FileEventDB()
{
    destroy();
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] event-db.cpp(%d): event db <%p> is deleted\n", __LINE__,
                   static_cast<void *>(this));
}

ustring FileEventDB::signatureName(uint64_t row_id)
{
    int bytes = 1;
    while (bytes < 8 && (row_id >> (8 * bytes)) != 0)
        ++bytes;
    ustring name;
    char hex[4];
    for (int i = bytes - 1; i >= 0; --i) {
        snprintf(hex, sizeof(hex), "%02x", static_cast<unsigned>((row_id >> (8 * i)) & 0xff));
        name += i == 0 ? "." : "";
        name += hex;
        if (i > 0)
            name += '/';
    }
    return name;
}

ustring FileEventDB::signatureFile(uint64_t row_id) const
{
    return m_signPath + "/" + signatureName(row_id);
}

// remove_signature(id): the trigger on event_table calls it for every deleted row, so a
// row's signature file goes with the row whatever statement deleted it.
void FileEventDB::removeSignature(sqlite3_context *ctx, int argc, sqlite3_value **argv)
{
    FileEventDB *db = static_cast<FileEventDB *>(sqlite3_user_data(ctx));
    if (argc == 1) {
        uint64_t id = static_cast<uint64_t>(sqlite3_value_int64(argv[0]));
        if (id != 0)
            FSRemove(db->signatureFile(id));
    }
    sqlite3_result_int(ctx, 0);
}

int FileEventDB::initialize(const ustring &location)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (m_db) {
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-db.cpp(%d): FileEventDB has been initialized (no-op)\n",
                       __LINE__);
        return 0;
    }
    int rc = sqlite3_open(location.c_str_utf8(), &m_db);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB: Failed to open database at '%s'. "
                       "[%d] %s\n",
                       __LINE__, location.c_str_utf8(), rc, m_db ? sqlite3_errmsg(m_db) : "");
    } else if ((rc = sqlite3_exec(m_db, SCHEMA, nullptr, nullptr, nullptr)) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB: Failed to initialize database at "
                       "'%s'. [%d] %s\n",
                       __LINE__, location.c_str_utf8(), rc, sqlite3_errmsg(m_db));
    } else if ((rc = sqlite3_create_function(m_db, "remove_signature", 1, SQLITE_UTF8, this,
                                             removeSignature, nullptr, nullptr)) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB: Failed to create function. %s "
                       "(%d)\n",
                       __LINE__, sqlite3_errmsg(m_db), rc);
    } else if ((rc = sqlite3_exec(m_db, "PRAGMA recursive_triggers = true;", nullptr, nullptr,
                                  nullptr)) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): FileEventDB: Failed to enable recursive "
                       "triggers. %s (%d)\n",
                       __LINE__, sqlite3_errmsg(m_db), rc);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return -1;
    }
    // Room for the pages a bulk write dirties (rows, seven indexes, ancestors), so that a
    // transaction does not spill them to the journal before its commit.
    sqlite3_exec(m_db, "PRAGMA cache_size = -16384;", nullptr, nullptr, nullptr);
    m_eventDBPath = location;
    size_t slash = location.rfind('/');
    m_signPath = (slash == ustring::npos ? ustring() : location.substr(0, slash)) + "/sign";
    return 0;
}

void FileEventDB::destroy()
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    m_eventDBPath.clear();
    m_signPath.clear();
    if (!m_db) {
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-db.cpp(%d): FileEventDB has been deinitialzed (no-op)\n",
                       __LINE__);
        return;
    }
    m_write.reset();
    sqlite3_close(m_db);
    m_db = nullptr;
    Logger::LogMsg(Logger::L_INFO, COMPONENT,
                   "[INFO] event-db.cpp(%d): FileEventDB has been deinitialzed\n", __LINE__);
}

int FileEventDB::getEventInfo(const ustring &path, DBFileInfo &info)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    info.path.clear();
    if (path.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): The strpath is empty.\n", __LINE__);
        return -1;
    }
    SqlText sql(sqlite3_mprintf(SELECT_ROW, path.c_str_utf8()));
    sqlite3_stmt *raw = nullptr;
    if (!sql || !m_db || sqlite3_prepare_v2(m_db, sql.get(), -1, &raw, nullptr) != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): sqlite3_prepare_v2 error. event-path: [%s], "
                       "errmsg: [%s]\n",
                       __LINE__, path.c_str_utf8(), m_db ? sqlite3_errmsg(m_db) : "not open");
        return -1;
    }
    Statement stmt(raw);
    int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE) {
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-db.cpp(%d): No record for event-path: [%s]\n", __LINE__,
                       path.c_str_utf8());
        return 0;
    }
    if (rc != SQLITE_ROW) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): sqlite3_step error. event-path: [%s], errmsg: "
                       "[%s]\n",
                       __LINE__, path.c_str_utf8(), sqlite3_errmsg(m_db));
        return -1;
    }
    uint64_t row_id = 0;
    readRow(raw, info, row_id);
    info.signaturePath = info.IsFile() ? signatureFile(row_id) : ustring();
    return 1;
}

int FileEventDB::signatureTarget(const DBFileInfo &info, ustring &target)
{
    EventInfo row;
    if (contains(info.path.c_str_utf8(), row) != 1) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): missing record while updating signature (%s)\n",
                       __LINE__, info.path.c_str_utf8());
        return -1;
    }
    target = signatureFile(row.row_id);
    return 0;
}

int FileEventDB::moveSignature(const ustring &from, const ustring &target)
{
    ustring folder = target.substr(0, target.rfind('/'));
    if (FSMKDir(folder, true) != 0) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): Failed to Create folder at [%s].\n", __LINE__,
                       folder.c_str_utf8());
        return -1;
    }
    if (FSRename(from, target) != 0) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): Failed to rename from [%s] to [%s]\n.", __LINE__,
                       from.c_str_utf8(), target.c_str_utf8());
        return -1;
    }
    return 0;
}

int FileEventDB::contains(const char *utf8_path, EventInfo &info)
{
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT id, syncID FROM event_table WHERE path = ?;", -1, &raw,
                           nullptr) != SQLITE_OK)
        return -1;
    Statement stmt(raw);
    sqlite3_bind_text(raw, 1, utf8_path, -1, SQLITE_STATIC);
    int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE)
        return 0;
    if (rc != SQLITE_ROW)
        return -1;
    info.row_id = columnU64(raw, 0);
    info.sync_id = columnU64(raw, 1);
    return 1;
}

int FileEventDB::getSyncIds(const std::vector<ustring> &paths, std::vector<int> &found,
                            std::vector<uint64_t> &sync_ids)
{
    found.assign(paths.size(), -1);
    sync_ids.assign(paths.size(), 0);
    std::lock_guard<std::mutex> lock(m_dbMutex);
    sqlite3_stmt *raw = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db, "SELECT id, syncID FROM event_table WHERE path = ?;",
                                    -1, &raw, nullptr) != SQLITE_OK)
        return -1;
    Statement stmt(raw);
    // One read transaction: the rows are seen as of one moment and the database is not
    // locked and released once per path.
    bool in_transaction = sqlite3_exec(m_db, "BEGIN;", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (size_t i = 0; i < paths.size(); ++i) {
        sqlite3_bind_text(raw, 1, paths[i].c_str_utf8(), -1, SQLITE_STATIC);
        int rc = sqlite3_step(raw);
        if (rc == SQLITE_ROW) {
            found[i] = 1;
            sync_ids[i] = columnU64(raw, 1);
        } else if (rc == SQLITE_DONE) {
            found[i] = 0;
        }
        sqlite3_reset(raw);
    }
    if (in_transaction)
        sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr);
    return 0;
}

int FileEventDB::getSyncId(uint64_t &id)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    sqlite3_stmt *raw = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db, "SELECT value FROM config_table WHERE key = 'sync_id';",
                                    -1, &raw, nullptr) != SQLITE_OK)
        return -1;
    Statement stmt(raw);
    if (sqlite3_step(raw) != SQLITE_ROW)
        return -1;
    // Read as unsigned text: sync ids may exceed the signed 64-bit range.
    id = strtoull(columnText(raw, 0), nullptr, 10);
    return 0;
}

int FileEventDB::setSyncId(uint64_t id)
{
    std::lock_guard<std::mutex> lock(m_dbMutex);
    char sql[1024];
    snprintf(sql, sizeof(sql), "UPDATE config_table SET value = '%llu' WHERE key = 'sync_id';",
             static_cast<unsigned long long>(id));
    if (!m_db || sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return -1;
    return 0;
}
