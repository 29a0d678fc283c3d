// The session registry and the shared handles its entries carry.
#include "black-list-v2.h"
#include "client/core/registry.h"
#include "client/core/shared-pointer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <thread>
#include <vector>

namespace
{

struct Counted {
    static std::atomic<int> alive;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};
std::atomic<int> Counted::alive{0};

Registry::Entry entry(uint64_t sess_id, uint64_t conn_id = 1)
{
    Registry::Entry e;
    e.sess_id = sess_id;
    e.conn_id = conn_id;
    return e;
}

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override { reg.Clear(); }
    void TearDown() override { reg.Clear(); }
    Registry &reg = Registry::getInstance();
};

TEST_F(RegistryTest, FindNextVisitsSessionsInTurn)
{
    Registry::Entry found;
    EXPECT_FALSE(reg.FindNext(0, found));

    for (uint64_t id : {9, 3, 5}) {
        reg.Set(entry(id));
    }
    const struct {
        uint64_t from;
        uint64_t next;
    } cases[] = {{3, 5}, {5, 9}, {9, 3}, {4, 3}, {0, 3}, {100, 3}};
    for (const auto &c : cases) {
        ASSERT_TRUE(reg.FindNext(c.from, found)) << c.from;
        EXPECT_EQ(c.next, found.sess_id) << "from " << c.from;
    }

    reg.Clear();
    reg.Set(entry(7));
    for (uint64_t from : {0, 7, 8}) {
        ASSERT_TRUE(reg.FindNext(from, found));
        EXPECT_EQ(7u, found.sess_id);
    }
}

TEST_F(RegistryTest, RecycleTimeKeepsTheEarliestAndIgnoresUnknownSessions)
{
    reg.Set(entry(1));
    const struct {
        bool init; // InitRecycleTime, else UpdateRecycleTime
        uint32_t time;
        uint32_t stored;
    } steps[] = {{true, 100, 100}, {true, 50, 50}, {true, 70, 50}, {false, 80, 80},
                 {true, 0, 80},    {false, 0, 0},  {true, 30, 30}};
    Registry::Entry found;
    for (const auto &s : steps) {
        if (s.init) {
            reg.InitRecycleTime(entry(1), s.time);
        } else {
            reg.UpdateRecycleTime(entry(1), s.time);
        }
        ASSERT_TRUE(reg.Find(1, found));
        EXPECT_EQ(s.stored, found.recycle_time) << (s.init ? "init " : "update ") << s.time;
    }

    reg.InitRecycleTime(entry(2), 10);
    reg.UpdateRecycleTime(entry(2), 10);
    EXPECT_FALSE(reg.Find(2, found));
    EXPECT_EQ(1u, reg.Size());
}

TEST_F(RegistryTest, SetReplacesTheWholeEntryAndReleasesItsHandles)
{
    shared_pointer<BlackList2> first(new BlackList2);
    Registry::Entry e = entry(4);
    e.local_path = "/old";
    e.pause = true;
    e.black_list = first;
    reg.Set(e);
    e.clear();
    EXPECT_EQ(2u, first.use_count()); // ours and the registry's

    Registry::Entry replacement = entry(4, 2);
    replacement.local_path = "/new";
    reg.Set(replacement);
    EXPECT_EQ(1u, first.use_count());

    Registry::Entry found;
    ASSERT_TRUE(reg.Find(4, found));
    EXPECT_EQ("/new", found.local_path);
    EXPECT_EQ(2u, found.conn_id);
    EXPECT_FALSE(found.pause);
    EXPECT_FALSE(found.black_list);
    EXPECT_EQ(PERM_SYNC_ALL, found.perm_mode);
}

TEST_F(RegistryTest, RemoveGetAllAndClear)
{
    for (uint64_t id : {8, 2, 5}) {
        reg.Set(entry(id));
    }
    reg.Remove(42); // unknown: nothing happens
    reg.Clear(5);
    std::list<Registry::Entry> all{entry(99)};
    reg.GetAll(all);
    std::vector<uint64_t> ids;
    for (const auto &e : all) {
        ids.push_back(e.sess_id);
    }
    EXPECT_EQ((std::vector<uint64_t>{2, 8}), ids);
    reg.Clear();
    EXPECT_EQ(0u, reg.Size());
}

TEST(PermissionModeTest, TextToMode)
{
    const struct {
        const char *text;
        PermissionMode mode;
    } cases[] = {{"sync-all", PERM_SYNC_ALL},
                 {"domain-only", PERM_SYNC_DOMAIN_ONLY},
                 {"", PERM_SYNC_EXEC_BIT_ONLY},
                 {"SYNC-ALL", PERM_SYNC_EXEC_BIT_ONLY},
                 {"exec-bit-only", PERM_SYNC_EXEC_BIT_ONLY}};
    for (const auto &c : cases) {
        EXPECT_EQ(c.mode, PermissionModeFromText(c.text)) << c.text;
    }
}

TEST(SharedPointerTest, LastHolderDeletesAndAssignmentReleasesTheOldObject)
{
    {
        shared_pointer<Counted> a(new Counted);
        shared_pointer<Counted> b(a);
        shared_pointer<Counted> empty;
        EXPECT_FALSE(empty);
        EXPECT_TRUE(a == b);
        EXPECT_TRUE(a == a.get());
        a = a; // self-assignment keeps the object
        EXPECT_EQ(1, Counted::alive.load());
        a = new Counted; // b still holds the first
        EXPECT_EQ(2, Counted::alive.load());
        b = empty; // the first loses its last holder
        EXPECT_EQ(1, Counted::alive.load());
        EXPECT_EQ(2u, empty.use_count());
    }
    EXPECT_EQ(0, Counted::alive.load());
}

TEST(SharedPointerTest, CopiesFromManyThreads)
{
    shared_pointer<Counted> origin(new Counted);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([origin] {
            for (int i = 0; i < 2000; ++i) {
                shared_pointer<Counted> copy(origin);
                shared_pointer<Counted> other;
                other = copy;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(1u, origin.use_count());
    origin = shared_pointer<Counted>();
    EXPECT_EQ(0, Counted::alive.load());
}

} // namespace
