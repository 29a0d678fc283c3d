// FileEventDB: the per-session record of the synced state. For every path known to be in
// sync it keeps the attributes of its last synced version and, for files, the signature
// of that content in a file store beside the database. It also keeps the session's
// position in the server's change stream (sync_id) and the index of the session's local
// recycle bin. One connection per session, shared by all its threads; m_dbMutex makes
// every operation atomic with respect to the others.
#pragma once

#include "client/file-list.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

struct sqlite3;

class DBFileInfo
{
public:
    int32_t isExist = 0;
    uint64_t syncID = 0;
    uint64_t maxSyncID = 0;
    int32_t fileType = 0; // 0 file, 1 directory
    uint64_t fileSize = 0;
    ustring fileCheckSum;
    uint32_t fileModTime = 0;
    uint32_t execBit = 0;
    ustring macHash;
    uint32_t unixUid = 0;
    uint32_t unixGid = 0;
    uint32_t unixMode = 0;
    ustring unixHash;
    ustring aclAttribute;
    ustring aclHash;
    uint32_t sharePrivDisabled = 0;
    ustring sharePrivDenyList;
    ustring sharePrivRoList;
    ustring sharePrivRwList;
    ustring sharePrivHash;
    uint64_t inode = 0;
    ustring path;
    // On read: the row's signature file (empty for directories). On write: a file with a
    // fresh signature that the write moves into the store (empty: keep the stored one).
    ustring signaturePath;

    void Clear() { *this = DBFileInfo(); }
    bool IsFile() const { return fileType == 0; }
    bool IsDir() const { return fileType == 1; }
};

class FileEventDB
{
public:
    struct EventInfo {
        uint64_t row_id = 0;
        uint64_t sync_id = 0;
    };

    FileEventDB();
    ~FileEventDB();
    FileEventDB(const FileEventDB &) = delete;
    FileEventDB &operator=(const FileEventDB &) = delete;

    int initialize(const ustring &location);
    void destroy();

    // 1 found (info filled), 0 no row, -1 error.
    int getEventInfo(const ustring &path, DBFileInfo &info);
    // The stored sync id of many paths in one read transaction, for callers that look up a
    // whole page of server changes: found[i] is 1 (sync_ids[i] set), 0 (no row) or -1
    // (error) for paths[i]. 0, or -1 when the database cannot be read at all.
    int getSyncIds(const std::vector<ustring> &paths, std::vector<int> &found,
                   std::vector<uint64_t> &sync_ids);
    int setEventInfo(const DBFileInfo &info);
    // Writes many records in one transaction (one commit for all), for bulk writers.
    // Records go in path order; the later of two records for one path wins. Stops at the
    // first failing record; what was written before it stays. 0 or -1.
    int setEventInfos(const std::vector<DBFileInfo> &infos);
    // Removes the record of path and of everything below it; "/" is left alone, an empty
    // path is refused (-1).
    int rmEventInfo(const ustring &path);
    int rmAllFolders();

    int getSyncId(uint64_t &id);
    int setSyncId(uint64_t id);

    int getFileList(FileList &flist, const ustring &prefix);
    int getFileListWithoutRecursive(FileList &flist, const ustring &prefix);
    int getFileListWithoutRecursive(FileList &flist, const ustring &prefix, uint64_t syncID);
    // The rows getFileList lists, unordered and without building a tree, for listings too
    // large to build one cheaply: `row` gets each one's path below `prefix` (starting with
    // '/'; the whole path for "/" or an empty prefix), its type and its attributes.
    typedef std::function<void(const char *path, bool is_dir, uint32_t mtime, uint64_t size,
                               const char *acl_hash)>
        RowVisitor;
    int forEachRowBelow(const ustring &prefix, const RowVisitor &row);

    // 1 with `path`, 0 none, -1 error. `macHash` is not used.
    int getFilePathByHash(const ustring &hash, const ustring &macHash, ustring &path);
    int getFilePathByHashFromRecycle(const ustring &hash, const ustring &macHash, ustring &path);

    int addFileToRecycleBin(const ustring &name, uint64_t size, const ustring &hash,
                            const ustring &macHash);
    int dumpFileToRecycleBin(const ustring &name, const ustring &path);
    // Moves the records of the directory path and its files into the recycle bin under
    // name; an empty path is refused (-1).
    int dumpDirToRecycleBin(const ustring &name, const ustring &path);
    int rmRecycleByPath(const ustring &name);
    int getRotateList(uint64_t criteria_time, std::set<ustring> &set);
    int getOldestRecyleTime(uint64_t &time);
    int rmRotateRecords(uint64_t criteria_time);
    int resetRecycleBin();

    // Name of a row's signature file below the store: the row id in hexadecimal bytes,
    // '/'-separated, the last one behind a '.' (5 -> ".05", 0x1234 -> "12/.34").
    static ustring signatureName(uint64_t row_id);
    ustring signatureFile(uint64_t row_id) const;

private:
    int contains(const char *utf8_path, EventInfo &info);
    struct WriteStatements;
    bool prepareWrites();
    int writeRecord(const DBFileInfo &info);
    int upsertRow(const DBFileInfo &info);
    int updateAncestors(const DBFileInfo &info);
    // A signature file is stored in two steps: its place is looked up under the database
    // lock, the move (which syncs the directories) runs outside it.
    struct SignatureMove {
        ustring from;
        ustring target;
        ustring path;
    };
    int signatureTarget(const DBFileInfo &info, ustring &target);
    static int moveSignature(const ustring &from, const ustring &target);
    std::vector<SignatureMove> signatureMoves(const std::vector<const DBFileInfo *> &infos,
                                              size_t count);
    static void storeSignatures(const std::vector<SignatureMove> &moves);
    // The part of setEventInfos under the lock: rows, commit, signature places.
    int writeLocked(const std::vector<DBFileInfo> &infos, size_t &written,
                    std::vector<SignatureMove> &moves);
    int execLogged(const char *sql, const char *subject);
    int listInto(FileList &flist, const char *sql, const ustring &prefix, bool by_path);
    int pathByHash(const char *sql, const ustring &hash, ustring &path);
    static void removeSignature(struct sqlite3_context *ctx, int argc, struct sqlite3_value **argv);

    ustring m_eventDBPath;
    ustring m_signPath;
    std::mutex m_dbMutex;
    sqlite3 *m_db;
    std::unique_ptr<WriteStatements> m_write; // prepared on first write, with m_db
};
