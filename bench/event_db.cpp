// Write and listing speed of the event database. setEventInfo for N files in a 5-deep
// tree (each call writes the row and walks its four ancestors), then getFileList of the
// whole session. References measured in the same run on the same machine:
//  - writes: one prepared INSERT per row into an identical table, one commit per row;
//  - listing: stepping through the same rows with a bare SELECT, building nothing.
// Usage: bench_event_db [files]
#include "client/event-db.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string pathOf(int i)
{
    char path[96];
    // Depth-first order, as a directory scan or a server listing produces them: ten files
    // per directory, ten directories per level.
    snprintf(path, sizeof(path), "/l1-%d/l2-%d/l3-%d/l4-%d/file-%06d.dat", i / 10000,
             (i / 1000) % 10, (i / 100) % 10, (i / 10) % 10, i);
    return path;
}

double referenceWrites(const std::string &dir, int files)
{
    std::string path = dir + "/reference.sqlite";
    sqlite3 *db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; CREATE TABLE t (id "
                 "integer primary key, fileType integer, syncID NUMERIC, fileSize NUMERIC, "
                 "fileCheckSum text, path text unique NOT NULL);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO t (fileType, syncID, fileSize, fileCheckSum, path) "
                       "VALUES (0, ?, 4096, 'hash', ?)",
                       -1, &stmt, nullptr);
    Clock::time_point start = Clock::now();
    for (int i = 0; i < files; ++i) {
        std::string p = pathOf(i);
        sqlite3_bind_int64(stmt, 1, i + 1);
        sqlite3_bind_text(stmt, 2, p.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    double seconds = secondsSince(start);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return seconds;
}

double referenceScan(const std::string &db_path)
{
    sqlite3 *db = nullptr;
    sqlite3_open(db_path.c_str(), &db);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT fileType, fileModTime, fileSize, aclHash, path FROM "
                       "event_table WHERE isExist = 1;",
                       -1, &stmt, nullptr);
    Clock::time_point start = Clock::now();
    size_t bytes = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW)
        bytes += static_cast<size_t>(sqlite3_column_bytes(stmt, 4));
    double seconds = secondsSince(start);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return bytes ? seconds : seconds;
}

DBFileInfo record(int i)
{
    DBFileInfo info;
    info.path = pathOf(i).c_str();
    info.syncID = static_cast<uint64_t>(i + 1);
    info.maxSyncID = info.syncID;
    info.fileSize = 4096;
    info.fileCheckSum = "0123456789abcdef0123456789abcdef";
    info.fileModTime = 1700000000;
    return info;
}

} // namespace

int main(int argc, char **argv)
{
    int files = argc > 1 ? atoi(argv[1]) : 100000;
    char dir_template[] = "/tmp/bench-event-db-XXXXXX";
    if (!mkdtemp(dir_template))
        return 1;
    std::string dir = dir_template;
    std::string db_path = dir + "/event-db.sqlite";

    // Half the files one call each (one commit per record), the other half in bulk
    // calls of 1000 records (one commit per call).
    FileEventDB db;
    if (db.initialize(db_path.c_str()) != 0)
        return 1;
    int single = files / 2;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < single; ++i) {
        if (db.setEventInfo(record(i)) != 0) {
            fprintf(stderr, "setEventInfo failed at %d\n", i);
            return 1;
        }
    }
    double single_s = secondsSince(start);
    start = Clock::now();
    std::vector<DBFileInfo> batch;
    for (int i = single; i < files; ++i) {
        batch.push_back(record(i));
        if (batch.size() == 1000 || i == files - 1) {
            if (db.setEventInfos(batch) != 0) {
                fprintf(stderr, "setEventInfos failed near %d\n", i);
                return 1;
            }
            batch.clear();
        }
    }
    double bulk_s = secondsSince(start);

    StringBuffer buf;
    FileList list(buf);
    start = Clock::now();
    if (db.getFileList(list, "/") != 0)
        return 1;
    double list_s = secondsSince(start);
    size_t entries = 0;
    for (FileList::reverse_iterator it = list.rbegin(); it != list.rend(); ++it)
        ++entries;

    double ref_write_s = referenceWrites(dir, single);
    double ref_scan_s = referenceScan(db_path);
    db.destroy();
    std::string cleanup = "rm -rf '" + dir + "'";
    if (system(cleanup.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());

    double ref_rate = single / ref_write_s;
    printf("setEventInfo: %d files, 5 deep (reference: one bare insert per commit, %.0f rows/s)\n",
           files, ref_rate);
    printf("  one record per call:      %8.0f rows/s  (%.2fx the reference)\n", single / single_s,
           single / single_s / ref_rate);
    printf("  1000 records per call:    %8.0f rows/s  (%.2fx the reference)\n",
           (files - single) / bulk_s, (files - single) / bulk_s / ref_rate);
    printf("getFileList of the whole session: %zu entries\n", entries);
    printf("  listing:  %10.3f s  (%.2fx the bare-scan reference, %.3f s)\n", list_s,
           list_s / ref_scan_s, ref_scan_s);
    return 0;
}
