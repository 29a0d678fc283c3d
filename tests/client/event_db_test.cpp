#include "client/event-db.h"
#include "file-op.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

class EventDBTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        db_file = dir.file("db/event-db.sqlite");
        ASSERT_EQ(0, FSMKDir(dir.file("db").c_str(), true));
        ASSERT_EQ(0, db.initialize(db_file.c_str()));
    }

    DBFileInfo file(const std::string &path, uint64_t sync_id = 1, uint64_t max_id = 1)
    {
        DBFileInfo info;
        info.path = path.c_str();
        info.syncID = sync_id;
        info.maxSyncID = max_id;
        info.fileType = 0;
        info.fileSize = 10;
        info.fileCheckSum = ("hash" + path).c_str();
        info.fileModTime = 1000;
        return info;
    }

    void put(const std::string &path, bool is_dir = false)
    {
        DBFileInfo info = file(path);
        info.fileType = is_dir ? 1 : 0;
        ASSERT_EQ(0, db.setEventInfo(info));
    }

    std::string signature(const std::string &content)
    {
        return dir.write("sig-" + std::to_string(sig_counter++), content);
    }

    std::set<std::string> query(const std::string &sql)
    {
        std::set<std::string> out;
        sqlite3 *conn = nullptr;
        sqlite3_open(db_file.c_str(), &conn);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(conn, sql.c_str(), -1, &stmt, nullptr);
        while (stmt && sqlite3_step(stmt) == SQLITE_ROW)
            out.insert(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        sqlite3_close(conn);
        return out;
    }
    std::set<std::string> paths() { return query("SELECT path FROM event_table"); }

    TempDir dir;
    std::string db_file;
    FileEventDB db;
    int sig_counter = 0;
};

std::set<std::string> listed(const FileList &list)
{
    std::set<std::string> out;
    for (FileList::reverse_iterator it = list.rbegin(); it != list.rend(); ++it)
        out.insert(std::string(it->is_dir() ? "D " : "F ") + it->path.c_str_utf8());
    return out;
}

} // namespace

TEST(EventDBSignature, NamesFromRowIds)
{
    const std::pair<uint64_t, const char *> cases[] = {
        {0, ".00"},           {1, ".01"},
        {5, ".05"},           {255, ".ff"},
        {256, "01/.00"},      {4660, "12/.34"},
        {66051, "01/02/.03"}, {0x0102030405060708ULL, "01/02/03/04/05/06/07/.08"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.second, FileEventDB::signatureName(c.first).c_str_utf8()) << c.first;
}

TEST_F(EventDBTest, FreshDatabaseAndSyncId)
{
    EXPECT_EQ((std::set<std::string>{"0"}),
              query("SELECT value FROM config_table WHERE key = 'sync_id'"));
    EXPECT_EQ((std::set<std::string>{"8"}),
              query("SELECT value FROM config_table WHERE key = 'version'"));
    uint64_t id = 99;
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(0u, id);
    ASSERT_EQ(0, db.setSyncId(18446744073709551615ULL));
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(18446744073709551615ULL, id);
    EXPECT_EQ(0, db.initialize(db_file.c_str())); // already open: no-op

    FileEventDB closed;
    EXPECT_EQ(-1, closed.getSyncId(id));
    EXPECT_EQ(-1, closed.setEventInfo(file("/x")));
    EXPECT_EQ(-1, closed.initialize(dir.file("no/such/dir/db.sqlite").c_str()));
}

TEST_F(EventDBTest, SettingARecordCreatesItsAncestors)
{
    ASSERT_EQ(0, db.setEventInfo(file("/a/b/c.txt", 5, 50)));
    DBFileInfo info;
    for (const char *ancestor : {"/a/b", "/a", "/"}) {
        ASSERT_EQ(1, db.getEventInfo(ancestor, info)) << ancestor;
        EXPECT_TRUE(info.IsDir());
        EXPECT_EQ(0u, info.syncID);
        EXPECT_EQ(50u, info.maxSyncID);
        EXPECT_EQ(493u, info.unixMode);
        EXPECT_EQ(1u, info.execBit);
        EXPECT_EQ(1000u, info.fileModTime);
        EXPECT_TRUE(info.signaturePath.empty());
    }
    ASSERT_EQ(1, db.getEventInfo("/a/b/c.txt", info));
    EXPECT_TRUE(info.IsFile());
    EXPECT_EQ(5u, info.syncID);
    EXPECT_EQ(ustring("hash/a/b/c.txt"), info.fileCheckSum);

    ASSERT_EQ(0, db.setEventInfo(file("/a/b/c.txt", 6, 70)));
    ASSERT_EQ(1, db.getEventInfo("/a", info));
    EXPECT_EQ(70u, info.maxSyncID);
    ASSERT_EQ(0, db.setEventInfo(file("/a/b/c.txt", 7, 60)));
    ASSERT_EQ(1, db.getEventInfo("/a", info));
    EXPECT_EQ(70u, info.maxSyncID);
    ASSERT_EQ(1, db.getEventInfo("/a/b/c.txt", info));
    EXPECT_EQ(7u, info.syncID);
    EXPECT_EQ(4u, paths().size());

    info.path = "kept?";
    EXPECT_EQ(0, db.getEventInfo("/none", info));
    EXPECT_TRUE(info.path.empty());
    EXPECT_EQ(-1, db.getEventInfo("", info));
}

TEST_F(EventDBTest, SignatureFilesComeAndGoWithTheirRows)
{
    DBFileInfo info = file("/a/b/c.txt");
    info.signaturePath = signature("sig-1").c_str();
    ASSERT_EQ(0, db.setEventInfo(info));
    DBFileInfo read;
    ASSERT_EQ(1, db.getEventInfo("/a/b/c.txt", read));
    EXPECT_EQ("sig-1", readFile(read.signaturePath.c_str_utf8()));
    EXPECT_FALSE(fileExists(info.signaturePath.c_str_utf8())); // moved, not copied

    info.signaturePath = signature("sig-2").c_str(); // replaces the stored one
    ASSERT_EQ(0, db.setEventInfo(info));
    EXPECT_EQ("sig-2", readFile(read.signaturePath.c_str_utf8()));

    info.signaturePath = dir.file("missing-signature").c_str(); // lost, record still set
    info.syncID = 9;
    EXPECT_EQ(0, db.setEventInfo(info));

    put("/ab");
    ASSERT_EQ(0, db.rmEventInfo("/a"));
    EXPECT_FALSE(fileExists(read.signaturePath.c_str_utf8()));
    EXPECT_EQ((std::set<std::string>{"/", "/ab"}), paths());
    EXPECT_EQ(0, db.rmEventInfo("/"));
    EXPECT_EQ(2u, paths().size());
}

TEST_F(EventDBTest, SignatureStoreLayoutByRowId)
{
    // Row ids are given out in order; fill up to id 256 to reach a two-level name.
    for (int i = 0; i < 254; ++i)
        put("/f" + std::to_string(i));
    EXPECT_EQ(255u, paths().size()); // "/" took id 2 after /f0
    DBFileInfo info = file("/last");
    info.signaturePath = signature("s").c_str();
    ASSERT_EQ(0, db.setEventInfo(info));
    ASSERT_EQ(1, db.getEventInfo("/last", info));
    EXPECT_EQ(dir.file("db/sign/01/.00"), info.signaturePath.c_str_utf8());
    EXPECT_TRUE(fileExists(dir.file("db/sign/01/.00")));
    ASSERT_EQ(1, db.getEventInfo("/f0", info));
    EXPECT_EQ(dir.file("db/sign/.01"), info.signaturePath.c_str_utf8());
}

// Names holding every pattern character, and case twins: removals and listings must
// reach exactly the path and what lies below it.
TEST_F(EventDBTest, PatternCharactersSelectExactlyTheirOwnRows)
{
    const std::vector<std::string> files = {"/a*/x",  "/abc/y",  "/a_b/c",  "/aXb/d",   "/A_B/e",
                                            "/a%b/f", "/azzb/g", "/a[b]/h", "/ab/i",    "/a?/j",
                                            "/aq/k",  "/a]/l",   "/Ab/m",   "/a_b/s/t", "/a*b/u"};
    auto below = [&](const std::string &prefix, bool direct) {
        std::set<std::string> out;
        for (const std::string &row : paths()) {
            if (row.compare(0, prefix.size() + 1, prefix + "/") != 0)
                continue;
            std::string rest = row.substr(prefix.size() + 1);
            if (!direct || rest.find('/') == std::string::npos)
                out.insert(direct ? rest : row);
        }
        return out;
    };
    const char *prefixes[] = {"/a*", "/a_b", "/A_B", "/a%b", "/a[b]", "/a?", "/a]", "/ab"};
    for (const char *prefix : prefixes) {
        SCOPED_TRACE(prefix);
        for (const std::string &f : files)
            put(f);
        std::set<std::string> all = paths();

        auto kind = [&](const std::string &row) {
            for (const std::string &other : all) {
                if (other.compare(0, row.size() + 1, row + "/") == 0)
                    return "D ";
            }
            return "F ";
        };
        std::set<std::string> descendants = below(prefix, false);

        StringBuffer buf;
        FileList recursive(buf), direct(buf);
        ASSERT_EQ(0, db.getFileList(recursive, prefix));
        ASSERT_EQ(0, db.getFileListWithoutRecursive(direct, prefix));
        std::set<std::string> expected;
        for (const std::string &row : descendants)
            expected.insert(kind(row) + row.substr(strlen(prefix)));
        EXPECT_EQ(expected, listed(recursive));
        std::set<std::string> direct_expected;
        for (const std::string &name : below(prefix, true))
            direct_expected.insert(kind(std::string(prefix) + "/" + name) + ("/" + name));
        EXPECT_EQ(direct_expected, listed(direct));

        ASSERT_EQ(0, db.rmEventInfo(prefix));
        std::set<std::string> kept = all;
        kept.erase(prefix);
        for (const std::string &row : descendants)
            kept.erase(row);
        EXPECT_EQ(kept, paths());
        ASSERT_EQ(0, db.rmAllFolders());
    }
}

TEST_F(EventDBTest, ListingsOfTheTopAndOneLevel)
{
    put("/d/x");
    put("/d/e/y");
    put("/top");
    StringBuffer buf;
    FileList one(buf);
    ASSERT_EQ(0, db.getFileListWithoutRecursive(one, "/d"));
    EXPECT_EQ((std::set<std::string>{"F /x", "D /e"}), listed(one));

    FileList top(buf);
    ASSERT_EQ(0, db.getFileListWithoutRecursive(top, "/"));
    EXPECT_EQ((std::set<std::string>{"D /d", "F /top"}), listed(top));

    FileList all(buf);
    ASSERT_EQ(0, db.getFileList(all, "/"));
    EXPECT_EQ((std::set<std::string>{"D /d", "F /d/x", "D /d/e", "F /d/e/y", "F /top"}),
              listed(all));
    FileList all_empty(buf);
    ASSERT_EQ(0, db.getFileList(all_empty, ""));
    EXPECT_EQ(listed(all), listed(all_empty));

    FileList none(buf);
    EXPECT_EQ(0, db.getFileListWithoutRecursive(none, ""));
    EXPECT_TRUE(none.rbegin() == none.rend());

    DBFileInfo newer = file("/d/z", 80, 80);
    ASSERT_EQ(0, db.setEventInfo(newer));
    FileList old_only(buf);
    ASSERT_EQ(0, db.getFileListWithoutRecursive(old_only, "/d", 10));
    EXPECT_EQ((std::set<std::string>{"F /x", "D /e"}), listed(old_only));

    ASSERT_EQ(0, db.rmAllFolders());
    EXPECT_EQ((std::set<std::string>{"/", "/d", "/top"}), paths());
}

TEST_F(EventDBTest, RecycleBin)
{
    put("/d/x");
    put("/d/e/y");
    put("/dx/z");
    ASSERT_EQ(0, db.dumpDirToRecycleBin("/d_1", "/d"));
    EXPECT_EQ((std::set<std::string>{"/d_1", "/d_1/x", "/d_1/e/y"}),
              query("SELECT path FROM recycle_bin_table"));
    EXPECT_EQ((std::set<std::string>{"/", "/dx", "/dx/z"}), paths());

    ASSERT_EQ(0, db.dumpFileToRecycleBin("/z_1", "/dx/z"));
    EXPECT_EQ((std::set<std::string>{"/", "/dx"}), paths());
    // A name already in the bin fails the move as a whole and leaves no transaction open.
    put("/dx/w");
    EXPECT_EQ(-1, db.dumpFileToRecycleBin("/z_1", "/dx/w"));
    EXPECT_EQ(1u, paths().count("/dx/w"));
    ASSERT_EQ(0, db.addFileToRecycleBin("/n'1", 3, "h", "m"));
    EXPECT_EQ(1u, query("SELECT path FROM recycle_bin_table").count("/n'1"));

    std::set<ustring> rotate;
    ASSERT_EQ(0, db.getRotateList(UINT32_MAX, rotate));
    EXPECT_EQ((std::set<ustring>{"/d_1", "/z_1", "/n'1"}), rotate);
    uint64_t oldest = 0;
    ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
    EXPECT_GT(oldest, 0u);
    ustring found;
    EXPECT_EQ(1, db.getFilePathByHashFromRecycle("hash/d/x", "", found));
    EXPECT_STREQ("/d_1/x", found.c_str_utf8());
    ASSERT_EQ(0, db.rmRecycleByPath("/n'1"));
    ASSERT_EQ(0, db.rmRotateRecords(0));
    EXPECT_EQ(4u, query("SELECT path FROM recycle_bin_table").size());
    ASSERT_EQ(0, db.resetRecycleBin());
    ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
    EXPECT_EQ(0u, oldest);
}

// Hashes come from the server: a hostile one must be taken as a plain value.
TEST_F(EventDBTest, HashLookupsBindTheHash)
{
    put("/f");
    ustring path;
    EXPECT_EQ(1, db.getFilePathByHash("hash/f", "", path));
    EXPECT_STREQ("/f", path.c_str_utf8());
    EXPECT_EQ(0, db.getFilePathByHash("x' OR '1'='1", "", path));
    EXPECT_EQ(0, db.getFilePathByHashFromRecycle("x' OR '1'='1", "", path));
    EXPECT_EQ(0, db.getFilePathByHash("'; DROP TABLE event_table; --", "", path));
    EXPECT_EQ(2u, paths().size());
}

TEST_F(EventDBTest, BulkWritesMatchSingleWrites)
{
    std::vector<DBFileInfo> batch = {file("/b/1", 3, 3), file("/b/c/2", 4, 9), file("/b/1", 5, 5)};
    batch[1].signaturePath = signature("bulk").c_str();
    ASSERT_EQ(0, db.setEventInfos(batch));
    EXPECT_EQ((std::set<std::string>{"/", "/b", "/b/1", "/b/c", "/b/c/2"}), paths());
    DBFileInfo info;
    ASSERT_EQ(1, db.getEventInfo("/b/1", info));
    EXPECT_EQ(5u, info.syncID); // the later record of a path wins
    ASSERT_EQ(1, db.getEventInfo("/b", info));
    EXPECT_EQ(9u, info.maxSyncID);
    ASSERT_EQ(1, db.getEventInfo("/b/c/2", info));
    EXPECT_EQ("bulk", readFile(info.signaturePath.c_str_utf8()));
    EXPECT_EQ(0, db.setEventInfos({}));
    db.destroy();
    EXPECT_EQ(-1, db.setEventInfos(batch));
}

// Workers, the puller and the detector share one connection; each operation must stay
// whole while others run.
TEST_F(EventDBTest, ThreadsShareOneConnection)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t]() {
            for (int i = 0; i < 40; ++i) {
                std::string path = "/t" + std::to_string(t) + "/f" + std::to_string(i);
                EXPECT_EQ(0, db.setEventInfo(file(path, i + 1, i + 1)));
                DBFileInfo info;
                EXPECT_EQ(1, db.getEventInfo(path.c_str(), info));
                if (i % 4 == 0) {
                    EXPECT_EQ(0, db.rmEventInfo(path.c_str()));
                }
                uint64_t id = 0;
                EXPECT_EQ(0, db.setSyncId(static_cast<uint64_t>(i)));
                EXPECT_EQ(0, db.getSyncId(id));
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(1u + 4u + 4u * 30u, paths().size());
}
