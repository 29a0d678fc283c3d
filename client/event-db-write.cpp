// Writing records into the event database: the row itself (insert, or overwrite of an
// existing row), then the directory rows above it, then the signature file. The
// statements are prepared once per connection; every call runs inside one transaction
// so it costs one commit, and a bulk call shares one transaction among many records.
#include "client/event-db.h"

#include "client/event-db-internal.h"
#include "log.h"

#include <algorithm>
#include <cstring>
#include <string>

using namespace event_db;

namespace
{

const char INSERT_ROW[] =
    "INSERT OR IGNORE INTO event_table (isExist, syncID, maxSyncID,  fileType, fileSize, "
    "fileCheckSum,  fileModTime, execBit, macHash,  unixUid, unixGid, unixMode, unixHash,  "
    "aclAttribute, aclHash,  sharePrivDisabled, sharePrivDenyList, sharePrivRoList, "
    "sharePrivRwList, sharePrivHash,  inode, path) VALUES (1, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
    "?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21);";
const char UPDATE_ROW[] =
    "UPDATE event_table SET isExist  = 1, syncID = ?1, maxSyncID = ?2, fileType = ?3, fileSize "
    "= ?4, fileCheckSum = ?5, fileModTime = ?6, execBit = ?7, macHash = ?8, unixUid = ?9, "
    "unixGid = ?10, unixMode = ?11, unixHash = ?12, aclAttribute = ?13, aclHash = ?14, "
    "sharePrivDisabled = ?15, sharePrivDenyList = ?16, sharePrivRoList = ?17, sharePrivRwList "
    "= ?18, sharePrivHash = ?19, inode = ?20, path = ?21 WHERE path = ?21;";
// A missing ancestor becomes a directory row: sync id 0, execBit 1, mode 0755.
const char INSERT_ANCESTOR[] =
    "INSERT OR IGNORE INTO event_table (isExist, syncID, maxSyncID,  fileType, fileSize, "
    "fileCheckSum,  inode, path,  fileModTime, execBit, macHash,  aclAttribute, aclHash,  "
    "unixUid, unixGid, unixMode, unixHash,  sharePrivDisabled, sharePrivDenyList, "
    "sharePrivRoList, sharePrivRwList, sharePrivHash) VALUES (1, 0, ?1,  1, 0, '',  0, ?2,  "
    "?3, 1, '',  '', '',  0, 0, 493, '',  0, '', '', '', '');";
const char RAISE_ANCESTOR[] =
    "UPDATE event_table SET maxSyncID = ?1 WHERE path = ?2 AND maxSyncID < ?1;";

void logLostSignature(const ustring &path)
{
    Logger::LogMsg(Logger::L_WARNING, COMPONENT,
                   "[WARNING] event-db.cpp(%d): signature file of '%s' is lost\n", __LINE__,
                   path.c_str_utf8());
}

void bindText(sqlite3_stmt *stmt, int index, const ustring &text)
{
    sqlite3_bind_text(stmt, index, text.c_str_utf8(), static_cast<int>(text.size()), SQLITE_STATIC);
}

void bindU64(sqlite3_stmt *stmt, int index, uint64_t value)
{
    sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(value));
}

void bindRow(sqlite3_stmt *stmt, const DBFileInfo &i)
{
    bindU64(stmt, 1, i.syncID);
    bindU64(stmt, 2, i.maxSyncID);
    bindU64(stmt, 3, static_cast<uint32_t>(i.fileType));
    bindU64(stmt, 4, i.fileSize);
    bindText(stmt, 5, i.fileCheckSum);
    bindU64(stmt, 6, i.fileModTime);
    bindU64(stmt, 7, i.execBit);
    bindText(stmt, 8, i.macHash);
    bindU64(stmt, 9, i.unixUid);
    bindU64(stmt, 10, i.unixGid);
    bindU64(stmt, 11, i.unixMode);
    bindText(stmt, 12, i.unixHash);
    bindText(stmt, 13, i.aclAttribute);
    bindText(stmt, 14, i.aclHash);
    bindU64(stmt, 15, i.sharePrivDisabled);
    bindText(stmt, 16, i.sharePrivDenyList);
    bindText(stmt, 17, i.sharePrivRoList);
    bindText(stmt, 18, i.sharePrivRwList);
    bindText(stmt, 19, i.sharePrivHash);
    bindU64(stmt, 20, i.inode);
    bindText(stmt, 21, i.path);
}

// Steps a bound statement to its end and makes it ready for the next use.
int run(sqlite3_stmt *stmt)
{
    int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

} // namespace

bool FileEventDB::prepareWrites()
{
    if (m_write)
        return true;
    std::unique_ptr<WriteStatements> w(new WriteStatements);
    struct {
        const char *sql;
        Statement *stmt;
    } all[] = {{INSERT_ROW, &w->insert_row},
               {UPDATE_ROW, &w->update_row},
               {INSERT_ANCESTOR, &w->insert_ancestor},
               {RAISE_ANCESTOR, &w->raise_ancestor}};
    for (auto &one : all) {
        sqlite3_stmt *raw = nullptr;
        if (sqlite3_prepare_v2(m_db, one.sql, -1, &raw, nullptr) != SQLITE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] event-db.cpp(%d): sqlite3_prepare_v2 error. errmsg: [%s]\n",
                           __LINE__, sqlite3_errmsg(m_db));
            return false;
        }
        one.stmt->reset(raw);
    }
    m_write = std::move(w);
    return true;
}

int FileEventDB::execLogged(const char *sql, const char *subject)
{
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): sqlite3_exec(%s) failed. Error code: %d.\n",
                       __LINE__, subject, rc);
        return -1;
    }
    return 0;
}

// Inserts the row of a new path, or overwrites the existing row when the insert changed
// nothing.
int FileEventDB::upsertRow(const DBFileInfo &info)
{
    bindRow(m_write->insert_row.get(), info);
    int rc = run(m_write->insert_row.get());
    if (rc == SQLITE_OK && sqlite3_changes(m_db) == 0) {
        bindRow(m_write->update_row.get(), info);
        rc = run(m_write->update_row.get());
    }
    if (rc != SQLITE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): sqlite3_exec(%s) failed. Error code: %d.\n",
                       __LINE__, info.path.c_str_utf8(), rc);
        return -1;
    }
    return 0;
}

// Creates the missing directories above the row, up to and including "/", and raises
// the maxSyncID of existing ones that are lower.
int FileEventDB::updateAncestors(const DBFileInfo &info)
{
    std::string path(info.path.c_str_utf8(), info.path.size());
    sqlite3_stmt *insert = m_write->insert_ancestor.get();
    sqlite3_stmt *raise = m_write->raise_ancestor.get();
    for (size_t slash = path.rfind('/'); slash != std::string::npos; slash = path.rfind('/')) {
        path = slash == 0 ? std::string("/") : path.substr(0, slash);
        bindU64(insert, 1, info.maxSyncID);
        sqlite3_bind_text(insert, 2, path.c_str(), static_cast<int>(path.size()), SQLITE_STATIC);
        bindU64(insert, 3, info.fileModTime);
        int rc = run(insert);
        if (rc == SQLITE_OK && sqlite3_changes(m_db) == 0) {
            bindU64(raise, 1, info.maxSyncID);
            sqlite3_bind_text(raise, 2, path.c_str(), static_cast<int>(path.size()), SQLITE_STATIC);
            rc = run(raise);
        }
        if (rc != SQLITE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] event-db.cpp(%d): sqlite3_exec(%s) failed. Error code: %d.\n",
                           __LINE__, path.c_str(), rc);
            return -1;
        }
        if (path == "/")
            break;
    }
    return 0;
}

int FileEventDB::writeRecord(const DBFileInfo &info)
{
    if (upsertRow(info) != 0) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): failed to set record of '%s'\n", __LINE__,
                       info.path.c_str_utf8());
        return -1;
    }
    if (updateAncestors(info) != 0) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): failed to update parent folder\n", __LINE__);
        return -1;
    }
    return 0;
}

std::vector<FileEventDB::SignatureMove>
FileEventDB::signatureMoves(const std::vector<const DBFileInfo *> &infos, size_t count)
{
    std::vector<SignatureMove> moves;
    for (size_t i = 0; i < count; ++i) {
        const DBFileInfo &info = *infos[i];
        if (!info.IsFile() || info.signaturePath.empty()) {
            continue;
        }
        SignatureMove move;
        if (signatureTarget(info, move.target) != 0) {
            logLostSignature(info.path);
            continue;
        }
        move.from = info.signaturePath;
        move.path = info.path;
        moves.push_back(std::move(move));
    }
    return moves;
}

void FileEventDB::storeSignatures(const std::vector<SignatureMove> &moves)
{
    for (const SignatureMove &move : moves) {
        if (moveSignature(move.from, move.target) != 0) {
            logLostSignature(move.path);
        }
    }
}

int FileEventDB::setEventInfo(const DBFileInfo &info)
{
    return setEventInfos(std::vector<DBFileInfo>(1, info));
}

// Records are written in path order (the given order among equal paths), so that
// neighbours share index pages and ancestor rows and each page is dirtied once per call.
// The commit runs after a failure too: a failing record keeps the records and ancestor
// rows written before it, as separate statements would.
int FileEventDB::setEventInfos(const std::vector<DBFileInfo> &infos)
{
    std::vector<SignatureMove> moves;
    size_t written = 0;
    {
        std::lock_guard<std::mutex> lock(m_dbMutex);
        if (writeLocked(infos, written, moves) != 0) {
            return -1;
        }
    }
    // The moves sync directories: other threads' database work need not wait for them.
    storeSignatures(moves);
    return written == infos.size() ? 0 : -1;
}

int FileEventDB::writeLocked(const std::vector<DBFileInfo> &infos, size_t &written,
                             std::vector<SignatureMove> &moves)
{
    if (!m_db || !prepareWrites()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): failed to set record of '%s'\n", __LINE__,
                       infos.empty() ? "" : infos[0].path.c_str_utf8());
        return -1;
    }
    std::vector<const DBFileInfo *> order;
    order.reserve(infos.size());
    for (const DBFileInfo &info : infos)
        order.push_back(&info);
    std::stable_sort(order.begin(), order.end(), [](const DBFileInfo *a, const DBFileInfo *b) {
        return strcmp(a->path.c_str_utf8(), b->path.c_str_utf8()) < 0;
    });
    bool in_transaction = sqlite3_exec(m_db, "BEGIN;", nullptr, nullptr, nullptr) == SQLITE_OK;
    written = 0;
    while (written < order.size() && writeRecord(*order[written]) == 0)
        ++written;
    if (in_transaction && sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-db.cpp(%d): failed to set record of '%s'\n", __LINE__,
                       infos.empty() ? "" : infos[0].path.c_str_utf8());
        return -1;
    }
    moves = signatureMoves(order, written);
    return 0;
}
