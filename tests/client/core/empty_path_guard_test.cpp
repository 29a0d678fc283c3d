// The removals that take a path and everything below it: an empty path would match every
// row (of the session, or of all sessions) and must be refused without touching any.
#include "client/core/filter-db.h"
#include "client/event-db.h"
#include "fstat-db.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <string>

namespace
{

int countRows(const std::string &db_file, const std::string &table)
{
    sqlite3 *db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(db_file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        std::string sql = "SELECT count(*) FROM " + table;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            count = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return count;
}

class EmptyPathGuardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, events.initialize(dir.file("event-db.sqlite").c_str()));
        ASSERT_EQ(0, FilterDB::getInstance().initialize(dir.file("filter-db.sqlite").c_str()));
        ASSERT_EQ(0, FileStatusDB::initialize(dir.file("fstat.sqlite").c_str()));
        for (const char *path : {"/a", "/b", "/b/c"}) {
            DBFileInfo info;
            info.path = path;
            info.fileType = std::string(path) == "/b" ? 1 : 0;
            ASSERT_EQ(0, events.setEventInfo(info));
            FilterLocalEvent filtered;
            filtered.sess_id = 7;
            filtered.path = path;
            ASSERT_EQ(0, FilterDB::getInstance().setLocalFilteredEvent(filtered));
            FileStatusInfo status;
            status.path = (std::string("/home/u/one") + path).c_str();
            ASSERT_EQ(0, FileStatusDB::setFileSyncStat(status));
            status.path = (std::string("/home/u/two") + path).c_str();
            ASSERT_EQ(0, FileStatusDB::setFileSyncStat(status));
        }
    }
    void TearDown() override
    {
        FileStatusDB::destroy();
        FilterDB::getInstance().destroy();
        events.destroy();
    }

    TempDir dir;
    FileEventDB events;
};

} // namespace

TEST_F(EmptyPathGuardTest, EmptyPathIsRefusedAndNoRowGoes)
{
    const ustring empty;
    struct Case {
        const char *name;
        std::function<int()> call;
        std::string db_file;
        std::string table;
    } cases[] = {
        {"rmEventInfo", [&] { return events.rmEventInfo(empty); }, dir.file("event-db.sqlite"),
         "event_table"},
        {"dumpDirToRecycleBin", [&] { return events.dumpDirToRecycleBin("/bin-name", empty); },
         dir.file("event-db.sqlite"), "event_table"},
        {"rmLocalFilteredEventByPath",
         [&] { return FilterDB::getInstance().rmLocalFilteredEventByPath(7, empty); },
         dir.file("filter-db.sqlite"), "filtered_local_event_table"},
        {"rmFileSyncStat",
         [&] {
             FileStatusInfo info;
             return FileStatusDB::rmFileSyncStat(info);
         },
         dir.file("fstat.sqlite"), "fstatinfo"},
    };
    for (const Case &c : cases) {
        int before = countRows(c.db_file, c.table);
        ASSERT_GE(before, 3) << c.name;
        EXPECT_EQ(-1, c.call()) << c.name;
        EXPECT_EQ(before, countRows(c.db_file, c.table)) << c.name;
    }
    EXPECT_EQ(0, countRows(dir.file("event-db.sqlite"), "recycle_bin_table"));
}
