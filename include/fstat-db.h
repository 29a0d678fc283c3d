// FileStatusDB: the file-status database shared by all sessions. It holds one row per
// local path that has work queued or in progress (or that the server refused to change),
// for the desktop shell to show. The daemon only writes and deletes rows; the queries are
// for readers. Every call opens its own connection and closes it again, so any thread may
// call any operation; SQLite (WAL journal, long busy timeout) serialises them.
#pragma once

#include "ustring/ustring.h"

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct FileStatusInfo {
    int32_t fileType;   // 1 directory, 0 file
    int32_t syncStatus; // 1 synced, 2 syncing, 4 read-only
    ustring path;       // full native path

    FileStatusInfo() : fileType(0), syncStatus(0) {}
    void clear()
    {
        fileType = 0;
        syncStatus = 0;
        path.clear();
    }
};

class FileStatusDB
{
public:
    enum { FT_FILE = 0, FT_DIR = 1 };
    enum { SS_SYNCED = 1, SS_SYNCING = 2, SS_READ_ONLY = 4 };

    explicit FileStatusDB(const ustring &path);

    static int initialize(const ustring &location);
    static void destroy();

    static int removeAllEntry();
    static int updateAllSyncingEntry();

    // The three writers return 0 when the row was written (or deleted) and a non-zero
    // SQLite code when it was not. rmFileSyncStat removes the row of the path and of
    // everything below it, and refuses an empty path (-1).
    static int setFileSyncStat(const FileStatusInfo &info);
    // The same upsert for many rows in one transaction, for writers that mark many paths
    // at once. Unlike the other calls it keeps its connection and statement open from one
    // batch to the next (until destroy, a new initialize or a failure, or until the file at
    // the path is replaced). `take` fills the rows; it is called once the transaction
    // holds the database's write lock, so that any write that starts after `take` returned
    // lands after these rows (it is called even when the database cannot be opened). 0, or
    // the SQLite code of the failure (then no row of the batch is written).
    static int setFileSyncStats(const std::function<void(std::vector<FileStatusInfo> &)> &take);
    static int rmFileStatByPath(const ustring &path);
    // Removes the rows of exactly these paths (not of what is below them) in one
    // transaction: all of them or, on a failure, none. 0, or the SQLite code of the failure.
    static int rmFileStatByPaths(const std::vector<ustring> &paths);
    static int rmFileSyncStat(const FileStatusInfo &info);

    static int getFileSyncStat(const ustring &path, FileStatusInfo *out);
    // The rows one level below `dir`, as a new[] array of `size` elements that the
    // caller deletes with delete[]; nullptr (size 0) when there are none or on error.
    static FileStatusInfo *getFileSyncStats(const ustring &dir, int start, int limit, int &size);
    static bool isAnySubFileDirSyncing(const ustring &dir);
    static bool isAnyFileSyncing();

private:
    // A copy of the database path, taken under its lock.
    static std::string dbPath();
    static std::string db_path;
};

// Builds an SQL statement from `format`, replacing each placeholder with the next
// argument: "@ZENT:VAR" (text, quotes doubled), "@ZENT:LVAR" (text for a LIKE literal:
// quotes doubled, '%' and '_' escaped with '\', '\' doubled; the next quote of the format
// gets " escape '\'"), "@ZENT:INT" (int), "@ZENT:LLINT" (long long), "@ZENT:NEVAR" (text
// as is). Returns a malloc'ed text the caller releases with free(); nullptr when `format`
// is missing or memory runs out.
char *ZENTDBEscapeStringEX3(const char *format, ...);
char *SQLITEEscapeStringEX3(const char *format, va_list args);
