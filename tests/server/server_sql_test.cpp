// The server's write transactions: a write made inside a transaction belongs to it, and
// the writers of one process take turns without losing a commit or leaving a lazy commit's
// setting behind for the durable ones.
#include "server/sql.h"
#include "server/store.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace
{

int64_t Count(srv::SqlDb &db)
{
    srv::SqlStmt s(db, "SELECT COUNT(*) FROM t");
    return s.step() == SQLITE_ROW ? s.i64(0) : -1;
}

int64_t Synchronous(srv::SqlDb &db)
{
    srv::SqlStmt s(db, "PRAGMA synchronous");
    return s.step() == SQLITE_ROW ? s.i64(0) : -1;
}

class ServerSql : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, m_db.open(m_dir.file("t.sqlite")));
        ASSERT_EQ(0, m_db.exec("CREATE TABLE t(v INTEGER)"));
    }
    TempDir m_dir;
    srv::SqlDb m_db;
};

TEST_F(ServerSql, AWriteInsideATransactionIsRolledBackWithIt)
{
    {
        srv::SqlWriteTxn outer(m_db);
        ASSERT_TRUE(outer.ok());
        srv::SqlWriteTxn inner(m_db, srv::SqlWriteTxn::Lazy);
        ASSERT_TRUE(inner.ok());
        ASSERT_EQ(0, srv::SqlStmt(m_db, "INSERT INTO t VALUES(1)").run());
        EXPECT_EQ(0, inner.commit());
        // outer ends without a commit
    }
    srv::SqlDb other;
    ASSERT_EQ(0, other.open(m_dir.file("t.sqlite")));
    EXPECT_EQ(0, Count(other));
    EXPECT_EQ(0, Count(m_db));
    EXPECT_EQ(2, Synchronous(m_db));
}

TEST_F(ServerSql, WritersOfOneProcessAllCommitAndDurableCommitsStayFull)
{
    const int kThreads = 4, kRows = 40;
    std::vector<std::thread> writers;
    std::vector<int> failures(kThreads, 0);
    for (int w = 0; w < kThreads; ++w)
        writers.emplace_back([&, w] {
            srv::SqlDb db;
            if (db.open(m_dir.file("t.sqlite")) < 0) {
                failures[w] = kRows;
                return;
            }
            for (int i = 0; i < kRows; ++i) {
                bool lazy = i % 2 == 0;
                srv::SqlWriteTxn txn(db, lazy ? srv::SqlWriteTxn::Lazy : srv::SqlWriteTxn::Durable);
                // FULL (2) is what every durable commit must run under.
                if (!txn.ok() || Synchronous(db) != (lazy ? 1 : 2) ||
                    srv::SqlStmt(db, "INSERT INTO t VALUES(1)").run() < 0 || txn.commit() < 0)
                    ++failures[w];
            }
        });
    for (std::thread &t : writers)
        t.join();
    EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
    srv::SqlDb reopened;
    ASSERT_EQ(0, reopened.open(m_dir.file("t.sqlite")));
    EXPECT_EQ(kThreads * kRows, Count(reopened));
}

} // namespace

// Beyond the bound of tokens per user the least recently used go, with their spool files;
// users within the bound keep all of theirs.
TEST(ServerStoreTokens, BeyondTheBoundPerUserTheOldestGo)
{
    TempDir dir;
    srv::Store store;
    ASSERT_EQ(0, store.open(dir.path()));
    auto add = [&](const std::string &name, uint64_t user, int64_t last_use) {
        srv::TokenRow t;
        t.token = name;
        t.user_id = user;
        t.held = "spool-" + name;
        t.last_use = last_use;
        ASSERT_EQ(0, store.addToken(t));
    };
    // Equal times fall back to the order of insertion.
    for (int i = 0; i < 7; ++i)
        add("a" + std::to_string(i), 1, i < 2 ? 100 : 100 + i);
    for (int i = 0; i < 3; ++i)
        add("b" + std::to_string(i), 2, 50 + i);

    std::vector<std::string> files;
    ASSERT_EQ(0, store.expireTokens(200, 1000, 4, files));
    srv::TokenRow row;
    for (const char *gone : {"a0", "a1", "a2"})
        EXPECT_FALSE(store.token(gone, row)) << gone;
    for (const char *kept : {"a3", "a4", "a5", "a6", "b0", "b1", "b2"})
        EXPECT_TRUE(store.token(kept, row)) << kept;
    EXPECT_EQ((std::vector<std::string>{"spool-a0", "spool-a1", "spool-a2"}), files);
}
