#include "client/core/progress-cache.h"

#include <gtest/gtest.h>

#include <list>
#include <thread>
#include <vector>

namespace
{

ResumeCondition condition(uint64_t sess_id, uint64_t sync_id, const char *desc)
{
    ResumeCondition c;
    c.sess_id = sess_id;
    c.sync_id = sync_id;
    c.filter_type = -14;
    c.filter_desc = desc;
    return c;
}

class ProgressCacheTest : public testing::Test
{
protected:
    void SetUp() override { cache.clear(); }
    void TearDown() override { cache.clear(); }
    ProgressCache &cache = ProgressCache::getInstance();
};

TEST_F(ProgressCacheTest, OldestFirstAndRemovalByRowOrSession)
{
    ProgressCache::Entry entry;
    EXPECT_FALSE(cache.getProgressEntry(entry));
    EXPECT_FALSE(cache.isInProgrssCache(1));

    cache.addProgressEntry(11, condition(1, 100, "a"));
    cache.addProgressEntry(12, condition(2, 200, "b"));
    cache.addProgressEntry(13, condition(1, 300, "c"));
    ASSERT_TRUE(cache.getProgressEntry(entry));
    EXPECT_EQ(11u, entry.row_id);
    EXPECT_STREQ("a", entry.condition.filter_desc.c_str_utf8());

    cache.updateProgressSyncId(13, 333);
    cache.updateProgressSyncId(99, 1); // absent: nothing happens

    // Only the session's older entry goes.
    EXPECT_EQ(0, cache.rmProgressEntryBySessionId(1));
    ASSERT_TRUE(cache.getProgressEntry(entry));
    EXPECT_EQ(12u, entry.row_id);
    EXPECT_TRUE(cache.isInProgrssCache(1));
    EXPECT_EQ(-1, cache.rmProgressEntryBySessionId(3));

    EXPECT_EQ(0, cache.rmProgressEntry(12));
    EXPECT_EQ(-1, cache.rmProgressEntry(12));
    EXPECT_FALSE(cache.isInProgrssCache(2));
    ASSERT_TRUE(cache.getProgressEntry(entry));
    EXPECT_EQ(13u, entry.row_id);
    EXPECT_EQ(333u, entry.condition.sync_id);

    cache.clear();
    EXPECT_FALSE(cache.getProgressEntry(entry));
}

TEST_F(ProgressCacheTest, RemovingASessionDropsAllItsEntries)
{
    cache.addProgressEntry(1, condition(7, 10, "a"));
    cache.addProgressEntry(2, condition(8, 10, "b"));
    cache.addProgressEntry(3, condition(7, 20, "c"));
    EXPECT_EQ(2, cache.rmProgressEntriesBySessionId(7));
    EXPECT_EQ(0, cache.rmProgressEntriesBySessionId(7));
    EXPECT_FALSE(cache.isInProgrssCache(7));
    std::list<ProgressCache::Entry> left;
    cache.getProgressEntries(left);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(2u, left.front().row_id);
}

TEST_F(ProgressCacheTest, ConcurrentProducersAndConsumer)
{
    const int per_thread = 200;
    std::vector<std::thread> producers;
    for (int t = 0; t < 2; ++t) {
        producers.emplace_back([this, t] {
            for (int i = 0; i < per_thread; ++i) {
                uint64_t row = static_cast<uint64_t>(t * per_thread + i + 1);
                cache.addProgressEntry(row, condition(static_cast<uint64_t>(t), row, "x"));
            }
        });
    }
    int removed = 0;
    while (removed < 2 * per_thread) {
        ProgressCache::Entry entry;
        if (cache.getProgressEntry(entry)) {
            cache.updateProgressSyncId(entry.row_id, 0);
            ASSERT_EQ(0, cache.rmProgressEntry(entry.row_id));
            ++removed;
        } else {
            std::this_thread::yield();
        }
    }
    for (std::thread &t : producers)
        t.join();
    EXPECT_FALSE(cache.isInProgrssCache(0));
    EXPECT_FALSE(cache.isInProgrssCache(1));
}

} // namespace
