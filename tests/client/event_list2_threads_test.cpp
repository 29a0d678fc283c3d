#include "client/event-list2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Producers push, workers pop, work without any lock and complete, while a poller reads
// the counters without the tree lock, with the lock order of the event manager: its own
// lock first, then the tree's.
TEST(EventList2Threads, PushPopCompleteUnderManagerLock)
{
    EventList2 tree;
    std::mutex manager_lock;
    const int producers = 2, workers = 3, per_producer = 1500;
    std::atomic<int> produced_done{0};
    std::atomic<int> completed{0};
    std::atomic<bool> stop_poller{false};

    auto produce = [&](int id) {
        for (int i = 0; i < per_producer; ++i) {
            Event e;
            e.m_type = Event::EV_CREATE;
            e.m_mode = id == 0 ? Event::F_SERVER : 0;
            e.m_sync_id = static_cast<uint64_t>(i + 1);
            // Paths overlap between producers so that merges and RETRY happen.
            e.m_path = ("/d" + std::to_string(i % 7) + "/f" + std::to_string(i % 50)).c_str();
            std::lock_guard<std::mutex> lock(manager_lock);
            ASSERT_EQ(0, tree.Push(e));
        }
        ++produced_done;
    };
    auto work = [&]() {
        for (;;) {
            Event e;
            int rc;
            {
                std::lock_guard<std::mutex> lock(manager_lock);
                rc = tree.Pop(e);
            }
            if (rc != 0) {
                if (produced_done == producers && tree.IsEmpty())
                    return;
                std::this_thread::yield();
                continue;
            }
            for (;;) {
                std::lock_guard<std::mutex> lock(manager_lock);
                // A merge while we worked leaves the node RETRY: take the newer event.
                if (tree.DoneEvent(e) == 0)
                    break;
                ASSERT_EQ(0, tree.Pop(e.m_path, e));
            }
            ++completed;
        }
    };
    auto poll = [&]() {
        while (!stop_poller) {
            int total = tree.GetServerEventCount() + tree.GetLocalEventCount();
            ASSERT_GE(total, 0);
            std::this_thread::yield();
        }
    };

    std::vector<std::thread> threads;
    std::thread poller(poll);
    for (int i = 0; i < producers; ++i)
        threads.emplace_back(produce, i);
    for (int i = 0; i < workers; ++i)
        threads.emplace_back(work);
    for (std::thread &t : threads)
        t.join();
    stop_poller = true;
    poller.join();

    EXPECT_TRUE(tree.IsEmpty());
    Event e;
    EXPECT_EQ(-1, tree.Pop(e));
    EXPECT_GT(completed.load(), 0);
}
