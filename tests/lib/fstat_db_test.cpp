#include "fstat-db.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>

namespace
{

struct Freed {
    void operator()(char *p) const { free(p); }
};
using Built = std::unique_ptr<char, Freed>;

class FileStatusDBTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        db_file = dir.file("file-status.sqlite");
        ASSERT_EQ(0, FileStatusDB::initialize(db_file.c_str()));
        ASSERT_EQ(0, FileStatusDB::removeAllEntry());
    }
    void TearDown() override { FileStatusDB::destroy(); }

    void put(const std::string &path, int status, int type = 0)
    {
        FileStatusInfo info;
        info.path = path.c_str();
        info.syncStatus = status;
        info.fileType = type;
        ASSERT_EQ(0, FileStatusDB::setFileSyncStat(info));
    }

    // Every stored path, read directly (from the fixture's database by default).
    std::set<std::string> rows(std::string file = std::string())
    {
        std::set<std::string> out;
        sqlite3 *db = nullptr;
        sqlite3_open((file.empty() ? db_file : file).c_str(), &db);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT path FROM fstatinfo", -1, &stmt, nullptr);
        while (stmt && sqlite3_step(stmt) == SQLITE_ROW)
            out.insert(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return out;
    }

    long long idOf(const std::string &path)
    {
        sqlite3 *db = nullptr;
        sqlite3_open(db_file.c_str(), &db);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT id FROM fstatinfo WHERE path = ?", -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, path.c_str(), -1, SQLITE_TRANSIENT);
        long long id = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return id;
    }

    TempDir dir;
    std::string db_file;
};

} // namespace

TEST(FileStatusDBBuilder, PlaceholdersAndEscaping)
{
    struct Case {
        Built built;
        const char *expected;
    };
    const Case cases[] = {
        {Built(ZENTDBEscapeStringEX3("a = '@ZENT:VAR'", "it's")), "a = 'it''s'"},
        {Built(ZENTDBEscapeStringEX3("p like '@ZENT:LVAR' and 1", "50%_a\\b'c")),
         "p like '50\\%\\_a\\\\b''c' escape '\\' and 1"},
        {Built(ZENTDBEscapeStringEX3("p like '@ZENT:LVAR/%%' and q not like '@ZENT:LVAR/%%/%%'",
                                     "/x_", "/y")),
         "p like '/x\\_/%%' escape '\\' and q not like '/y/%%/%%' escape '\\'"},
        {Built(ZENTDBEscapeStringEX3("limit @ZENT:INT, @ZENT:LLINT", -3, 1LL << 40)),
         "limit -3, 1099511627776"},
        {Built(ZENTDBEscapeStringEX3("@ZENT:NEVAR and '@ZENT:VAR'", "a'b", nullptr)), "a'b and ''"},
        {Built(ZENTDBEscapeStringEX3("p like '@ZENT:LVAR'", nullptr)), "p like '' escape '\\'"},
        {Built(ZENTDBEscapeStringEX3("mail@host @ZENT:OTHER")), "mail@host @ZENT:OTHER"},
    };
    for (const Case &c : cases) {
        ASSERT_NE(nullptr, c.built.get());
        EXPECT_STREQ(c.expected, c.built.get());
    }
    EXPECT_EQ(nullptr, ZENTDBEscapeStringEX3(nullptr));

    std::string big(10000, 'q');
    big[5000] = '\'';
    Built grown(ZENTDBEscapeStringEX3("'@ZENT:VAR'", big.c_str()));
    ASSERT_NE(nullptr, grown.get());
    EXPECT_EQ(big.size() + 3, strlen(grown.get()));
}

TEST_F(FileStatusDBTest, InitializeAndRemoveAllGiveAnEmptyTable)
{
    put("/s/a", 2);
    FileStatusDB::destroy();
    ASSERT_EQ(0, FileStatusDB::initialize(db_file.c_str()));
    EXPECT_EQ(1u, rows().size());
    EXPECT_EQ(0, FileStatusDB::removeAllEntry());
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(-1, FileStatusDB::initialize(""));
    EXPECT_EQ(-1, FileStatusDB::initialize(dir.file("missing/dir/db.sqlite").c_str()));
}

TEST_F(FileStatusDBTest, SetTwiceReplacesTheRowUnderANewId)
{
    put("/s/a", 2, 0);
    long long first = idOf("/s/a");
    put("/s/a", 4, 1);
    EXPECT_GT(idOf("/s/a"), first);
    FileStatusInfo out;
    ASSERT_EQ(1, FileStatusDB::getFileSyncStat("/s/a", &out));
    EXPECT_EQ(1, out.fileType);
    EXPECT_EQ(4, out.syncStatus);
    EXPECT_EQ(1u, rows().size());

    EXPECT_EQ(0, FileStatusDB::updateAllSyncingEntry());
    put("/s/b", 2);
    EXPECT_EQ(0, FileStatusDB::updateAllSyncingEntry());
    ASSERT_EQ(1, FileStatusDB::getFileSyncStat("/s/b", &out));
    EXPECT_EQ(1, out.syncStatus);
}

// Names holding pattern characters must only ever reach their own rows.
TEST_F(FileStatusDBTest, RemovalsTouchExactlyThePathAndItsDescendants)
{
    const std::set<std::string> all = {"/s/a",    "/s/a/b",  "/s/a/b/c", "/s/ab",
                                       "/s/a*",   "/s/a*/x", "/s/abc",   "/s/a\\b",
                                       "/s/a?/y", "/s/a[b]", "/s/ab]/z", "/s/A"};
    struct Case {
        const char *removed;
        bool recursive;
        std::set<std::string> gone;
    };
    const Case cases[] = {
        {"/s/a", true, {"/s/a", "/s/a/b", "/s/a/b/c"}},
        {"/s/a*", true, {"/s/a*", "/s/a*/x"}},
        {"/s/a?", true, {"/s/a?/y"}},
        {"/s/a[b]", true, {"/s/a[b]"}},
        {"/s/a", false, {"/s/a"}},
        {"/s/a*", false, {"/s/a*"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.removed);
        ASSERT_EQ(0, FileStatusDB::removeAllEntry());
        for (const std::string &path : all)
            put(path, 2);
        FileStatusInfo info;
        info.path = c.removed;
        EXPECT_EQ(0, c.recursive ? FileStatusDB::rmFileSyncStat(info)
                                 : FileStatusDB::rmFileStatByPath(c.removed));
        std::set<std::string> expected;
        for (const std::string &path : all) {
            if (!c.gone.count(path))
                expected.insert(path);
        }
        EXPECT_EQ(expected, rows());
    }

    // Several exact paths in one transaction; a path without a row is no failure.
    ASSERT_EQ(0, FileStatusDB::removeAllEntry());
    for (const std::string &path : all)
        put(path, 2);
    EXPECT_EQ(0, FileStatusDB::rmFileStatByPaths({}));
    EXPECT_EQ(0, FileStatusDB::rmFileStatByPaths({"/s/a", "/s/a*", "/s/a[b]", "/s/none"}));
    std::set<std::string> expected = all;
    for (const char *gone : {"/s/a", "/s/a*", "/s/a[b]"})
        expected.erase(gone);
    EXPECT_EQ(expected, rows());
}

TEST_F(FileStatusDBTest, LookupOfOnePath)
{
    put("/S/Dir/File.TXT", 2, 0);
    put("/s/x_y", 4, 0);
    FileStatusInfo out;
    ASSERT_EQ(1, FileStatusDB::getFileSyncStat("/s/dir/file.txt", &out));
    EXPECT_STREQ("/S/Dir/File.TXT", out.path.c_str_utf8());
    EXPECT_EQ(2, out.syncStatus);
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat("/s/x_y", &out));
    EXPECT_EQ(0, FileStatusDB::getFileSyncStat("/s/xzy", &out));
    EXPECT_EQ(0, FileStatusDB::getFileSyncStat("/s/x%", &out));
    EXPECT_EQ(0, out.fileType);
    EXPECT_EQ(0, out.syncStatus);
    EXPECT_TRUE(out.path.empty());
    EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("", &out));
    EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("/s/x_y", nullptr));
}

TEST_F(FileStatusDBTest, ListingOneLevel)
{
    put("/s/d/one", 2);
    put("/s/d/two", 2);
    put("/s/d/two/deep", 2);
    put("/s/dx/other", 2);
    int size = -1;
    std::unique_ptr<FileStatusInfo[]> page(FileStatusDB::getFileSyncStats("/s/d", 0, 1, size));
    ASSERT_NE(nullptr, page.get());
    EXPECT_EQ(1, size);
    page.reset(FileStatusDB::getFileSyncStats("/s/d", 0, 10, size));
    ASSERT_NE(nullptr, page.get());
    ASSERT_EQ(2, size);
    std::set<std::string> names = {page[0].path.c_str_utf8(), page[1].path.c_str_utf8()};
    EXPECT_EQ((std::set<std::string>{"/s/d/one", "/s/d/two"}), names);
    EXPECT_EQ(nullptr, FileStatusDB::getFileSyncStats("/s/empty", 0, 10, size));
    EXPECT_EQ(0, size);
    EXPECT_EQ(nullptr, FileStatusDB::getFileSyncStats("", 0, 10, size));
}

TEST_F(FileStatusDBTest, SyncingQueries)
{
    EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
    put("/s/ab", 2);
    EXPECT_TRUE(FileStatusDB::isAnyFileSyncing());
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/s/a"));
    put("/s/a/x", 4);
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/s/a"));
    put("/s/a/x", 2);
    EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("/s/a"));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/s/_"));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(""));
}

// A write that did not happen is reported, never passed off as done.
TEST_F(FileStatusDBTest, FailedWritesAreReported)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db_file.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "DROP TABLE fstatinfo", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    FileStatusInfo info;
    info.path = "/s/a";
    EXPECT_NE(0, FileStatusDB::setFileSyncStat(info));
    EXPECT_NE(0, FileStatusDB::rmFileStatByPath("/s/a"));
    EXPECT_NE(0, FileStatusDB::rmFileStatByPaths({"/s/a", "/s/b"}));
    EXPECT_NE(0, FileStatusDB::rmFileSyncStat(info));
    EXPECT_EQ(-1, FileStatusDB::removeAllEntry());
    FileStatusInfo out;
    EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("/s/a", &out));

    FileStatusDB::destroy();
    EXPECT_NE(0, FileStatusDB::setFileSyncStat(info));
    EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
}

// Batches share one connection kept from batch to batch. It must follow the database when
// the file is replaced behind it, when the database is dropped and when it is set up at
// another path: a row must never land in a file nobody reads any more.
TEST_F(FileStatusDBTest, BatchesFollowTheDatabaseWhereverItIsNow)
{
    auto batch = [](const char *path) {
        return FileStatusDB::setFileSyncStats([&](std::vector<FileStatusInfo> &rows) {
            rows.resize(1);
            rows[0].path = path;
            rows[0].syncStatus = FileStatusDB::SS_SYNCING;
        });
    };
    ASSERT_EQ(0, batch("/s/first"));
    EXPECT_EQ(std::set<std::string>{"/s/first"}, rows());

    // Another program replaces the file at the same path.
    for (const char *suffix : {"", "-wal", "-shm"})
        unlink((db_file + suffix).c_str());
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db_file.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "CREATE TABLE fstatinfo (id INTEGER PRIMARY KEY "
                                      "AUTOINCREMENT, path text unique NOT NULL, fileType "
                                      "integer NOT NULL, syncStatus integer NOT NULL)",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    ASSERT_EQ(0, batch("/s/second"));
    EXPECT_EQ(std::set<std::string>{"/s/second"}, rows());

    FileStatusDB::destroy();
    EXPECT_NE(0, batch("/s/dropped"));
    EXPECT_EQ(std::set<std::string>{"/s/second"}, rows());

    std::string other = dir.file("other.sqlite");
    ASSERT_EQ(0, FileStatusDB::initialize(other.c_str()));
    ASSERT_EQ(0, batch("/s/third"));
    EXPECT_EQ(std::set<std::string>{"/s/third"}, rows(other));
    EXPECT_EQ(std::set<std::string>{"/s/second"}, rows());
}
