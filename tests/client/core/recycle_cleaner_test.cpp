// The recycle-bin cleaner: expired items leave the bin and its table, younger ones stay,
// and the session's oldest-item time follows. Ages are set in the bin's table, so no
// test waits for the retention time.
#include "client/core/recycle-cleaner.h"
#include "client/event-db.h"
#include "support/local-session.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <set>
#include <string>

namespace
{

const uint64_t kSess = 11;

class RecycleCleanerTest : public ::testing::Test
{
protected:
    RecycleCleanerTest() : session(kSess), now(static_cast<uint32_t>(time(nullptr))) {}

    std::string bin() const { return session.full("/.ZentoraWorkingDirectory/#ZentRecycle"); }

    // An item in the bin (a file, or a directory holding one file) recorded `age`
    // seconds ago.
    void recycle(const std::string &name, uint32_t age, bool is_dir = false)
    {
        std::string path = bin() + name;
        if (is_dir) {
            ASSERT_EQ(0, mkdir(path.c_str(), 0755));
            std::ofstream(path + "/inner") << "x";
            ASSERT_EQ(0, session.db().addFileToRecycleBin((name + "/inner").c_str(), 1, "h", ""));
        } else {
            std::ofstream(path) << "x";
        }
        ASSERT_EQ(0, session.db().addFileToRecycleBin(name.c_str(), 1, "h", ""));
        setAge(name, now - age);
        Registry::getInstance().InitRecycleTime(session.entry(), now - age);
    }
    void setAge(const std::string &name, uint32_t when)
    {
        sqlite3 *conn = nullptr;
        ASSERT_EQ(SQLITE_OK,
                  sqlite3_open(session.scratch().file("config/db/event-db.sqlite").c_str(), &conn));
        char *sql = sqlite3_mprintf("UPDATE recycle_bin_table SET time = %u WHERE path = %Q "
                                    "OR path GLOB '%q/*';",
                                    when, name.c_str(), name.c_str());
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(conn, sql, nullptr, nullptr, nullptr));
        sqlite3_free(sql);
        sqlite3_close(conn);
    }
    std::set<std::string> rows()
    {
        std::set<ustring> all;
        session.db().getRotateList(now + 100000, all);
        std::set<std::string> out;
        for (const ustring &s : all) {
            out.insert(s.c_str_utf8());
        }
        return out;
    }
    bool inBin(const std::string &name) const
    {
        struct stat st;
        return lstat((bin() + name).c_str(), &st) == 0;
    }

    LocalSession session;
    uint32_t now;
};

TEST_F(RecycleCleanerTest, ExpiredItemsGoYoungerOnesStay)
{
    ASSERT_EQ(0, mkdir(session.full("/.ZentoraWorkingDirectory").c_str(), 0755));
    ASSERT_EQ(0, mkdir(bin().c_str(), 0755));
    recycle("/young", 10 * 60);
    RecycleCleaner cleaner;
    ASSERT_EQ(0, cleaner.UpdateContext());
    EXPECT_EQ(kSess, cleaner.CurrentSession());
    EXPECT_EQ(bin(), cleaner.GetRecycleBinDir().c_str_utf8());
    ASSERT_EQ(0, cleaner.Rotate(now));
    EXPECT_TRUE(inBin("/young")); // only young items: left alone

    recycle("/old", 40 * 60);
    recycle("/olddir", 40 * 60, true);
    recycle("/edge", RecycleCleaner::RETENTION); // exactly the retention: goes as well
    ASSERT_EQ(0, cleaner.UpdateContext());
    ASSERT_EQ(0, cleaner.Rotate(now));
    EXPECT_FALSE(inBin("/old"));
    EXPECT_FALSE(inBin("/olddir"));
    EXPECT_FALSE(inBin("/edge"));
    EXPECT_TRUE(inBin("/young"));
    EXPECT_EQ((std::set<std::string>{"/young"}), rows());
    EXPECT_EQ(now - 10 * 60, session.entry().recycle_time);
}

TEST_F(RecycleCleanerTest, NamesLeadingOutOfTheBinAreNeverDeleted)
{
    ASSERT_EQ(0, mkdir(session.full("/.ZentoraWorkingDirectory").c_str(), 0755));
    ASSERT_EQ(0, mkdir(bin().c_str(), 0755));
    std::ofstream(session.full("/keep")) << "user data";
    ASSERT_EQ(0, session.db().addFileToRecycleBin("/../../keep", 1, "h", ""));
    setAge("/../../keep", now - 3600);
    Registry::getInstance().InitRecycleTime(session.entry(), now - 3600);
    RecycleCleaner cleaner;
    ASSERT_EQ(0, cleaner.UpdateContext());
    EXPECT_EQ(0, cleaner.Rotate(now));
    EXPECT_TRUE(fileExists(session.full("/keep")));
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(0u, session.entry().recycle_time);
}

TEST(RecycleCleanerNoSession, UpdateContextFailsWithoutSessions)
{
    RecycleCleaner cleaner;
    EXPECT_EQ(-1, cleaner.UpdateContext());
    EXPECT_EQ(0u, cleaner.CurrentSession());
}

} // namespace
