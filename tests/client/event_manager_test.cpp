#include "client/event-manager.h"

#include "client/core/registry.h"
#include "client/core/settings.h"
#include "client/task.h"
#include "fstat-db.h"
#include "support/control-fake-ui.h"
#include "support/temp-dir.h"
#include "support/server-process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

// A worker stand-in that only records being asked to abort.
class FakeWorker : public Task
{
public:
    int SetAbort(bool abort) override
    {
        if (abort)
            ++aborts;
        return 0;
    }
    std::atomic<int> aborts{0};
};

Event event(uint64_t sess, Event::Type type, const char *path, uint32_t mode = 0,
            uint64_t sync_id = 0)
{
    Event e;
    e.m_type = type;
    e.m_mode = mode;
    e.m_path = path;
    e.m_sess_id = sess;
    e.m_sync_id = sync_id;
    return e;
}

class EventManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
        for (uint64_t id : {1, 2, 3}) {
            Registry::Entry entry;
            entry.sess_id = id;
            entry.conn_id = 1;
            entry.local_path = ("/local/s" + std::to_string(id)).c_str();
            Registry::getInstance().Set(entry);
        }
    }
    void TearDown() override
    {
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
    }

    EventManager &em = EventManager::getInstance();
};

TEST_F(EventManagerTest, PullsTakeTurnsOverSessionsWithWork)
{
    // Pushes (session, path) in this order; pulls must alternate between the sessions
    // that still have waiting events.
    struct {
        std::vector<std::pair<uint64_t, const char *>> pushes;
        std::vector<std::pair<uint64_t, const char *>> pulls;
    } cases[] = {
        {{{1, "/a"}, {1, "/b"}, {2, "/c"}, {2, "/d"}},
         {{1, "/a"}, {2, "/c"}, {1, "/b"}, {2, "/d"}}},
        {{{1, "/a"}, {1, "/b"}, {1, "/c"}, {2, "/x"}, {3, "/y"}},
         {{1, "/a"}, {2, "/x"}, {3, "/y"}, {1, "/b"}, {1, "/c"}}},
        {{{3, "/only"}}, {{3, "/only"}}},
    };
    for (auto &c : cases) {
        em.Clear();
        for (auto &p : c.pushes)
            ASSERT_EQ(0, em.PushLocalEvent(event(p.first, Event::EV_CREATE, p.second)));
        std::vector<FakeWorker> workers(c.pulls.size());
        for (size_t i = 0; i < c.pulls.size(); ++i) {
            Event e;
            ASSERT_EQ(0, em.PullEvent(&workers[i], e)) << i;
            EXPECT_EQ(c.pulls[i].first, e.m_sess_id) << i;
            EXPECT_EQ(std::string(c.pulls[i].second), e.m_path.c_str_utf8()) << i;
        }
        Event none;
        FakeWorker idle;
        EXPECT_EQ(-1, em.PullEvent(&idle, none));
        for (size_t i = 0; i < workers.size(); ++i) {
            Event e;
            EXPECT_EQ(0, em.DoneEvent(&workers[i], e));
        }
        EXPECT_EQ(0, em.GetAllPendingEventCount(1) + em.GetAllPendingEventCount(2) +
                         em.GetAllPendingEventCount(3));
    }
}

TEST_F(EventManagerTest, BusySessionGivesItsTurnToTheNext)
{
    // Session 1's only event is with a worker; a free worker still gets session 2's event
    // even though session 1 stands first in the queue.
    FakeWorker w1, w2, w3;
    Event e;
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_CREATE, "/a")));
    ASSERT_EQ(0, em.PullEvent(&w1, e));
    ASSERT_EQ(0, em.PushLocalEvent(event(2, Event::EV_CREATE, "/b")));
    ASSERT_EQ(0, em.PullEvent(&w2, e));
    EXPECT_EQ(2u, e.m_sess_id);
    EXPECT_EQ(-1, em.PullEvent(&w3, e));
}

TEST_F(EventManagerTest, SessionThatRanDryAndRefillsGetsOneTurnOnly)
{
    // Session 1's event is finished while session 1 still stands in the queue; its next
    // events must not give it a second place there, ahead of session 2.
    FakeWorker w1, w2, w3;
    Event e;
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_CREATE, "/a")));
    ASSERT_EQ(0, em.PullEvent(&w1, e));
    ASSERT_EQ(0, em.DoneEvent(&w1, e));
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_CREATE, "/b")));
    ASSERT_EQ(0, em.PushLocalEvent(event(2, Event::EV_CREATE, "/c")));
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_CREATE, "/d")));
    std::vector<std::string> order;
    for (FakeWorker *w : {&w1, &w2, &w3}) {
        ASSERT_EQ(0, em.PullEvent(w, e));
        order.push_back(std::to_string(e.m_sess_id) + e.m_path.c_str_utf8());
    }
    EXPECT_EQ((std::vector<std::string>{"1/b", "2/c", "1/d"}), order);
}

TEST_F(EventManagerTest, NewerEventForTheWorkersPathIsHandedOverOnDone)
{
    FakeWorker w;
    Event e;
    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, "/f", 0, 5)));
    ASSERT_EQ(0, em.PullEvent(&w, e));
    EXPECT_TRUE(e.isServerEvent());
    EXPECT_EQ(1, em.GetPendingServerEvent(1));

    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, "/f", 0, 9)));
    Event done = e;
    EXPECT_EQ(-1, em.DoneEvent(&w, done));
    EXPECT_EQ(9u, done.m_sync_id);
    EXPECT_EQ(1, em.GetPendingServerEvent(1));
    EXPECT_EQ(0, em.DoneEvent(&w, done));
    EXPECT_EQ(0, em.GetPendingServerEvent(1));
    // A worker without an entry: nothing to do.
    EXPECT_EQ(0, em.DoneEvent(&w, done));
}

TEST_F(EventManagerTest, LocalRemoveAbortsUploadAndRepeatedExpandAbortsExpander)
{
    FakeWorker uploader, expander;
    Event e;
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_MODIFY, "/up")));
    ASSERT_EQ(0, em.PullEvent(&uploader, e));
    // A server event for the path marks the entry but does not abort.
    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_REMOVE, "/up", 0, 3)));
    EXPECT_EQ(0, uploader.aborts.load());
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_REMOVE, "/up")));
    EXPECT_EQ(1, uploader.aborts.load());

    ASSERT_EQ(0, em.IssueExpand(2, "/d"));
    ASSERT_EQ(0, em.PullEvent(&expander, e));
    ASSERT_TRUE(e.isExpand());
    ASSERT_EQ(0, em.IssueRescan(2, "/d", false)); // another mode: left alone
    EXPECT_EQ(0, expander.aborts.load());
    ASSERT_EQ(0, em.IssueExpand(2, "/d"));
    EXPECT_EQ(1, expander.aborts.load());
}

TEST_F(EventManagerTest, ExpandRequestsWaitBehindTreeEventsAndRootRescanReplacesThem)
{
    FakeWorker w;
    Event e;
    ASSERT_EQ(0, em.IssueExpand(1, "/x"));
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_CREATE, "/file-expand", Event::F_EXPAND)));
    EXPECT_EQ(0, em.GetAllPendingEventCount(1)); // expand requests are not counted

    ASSERT_EQ(0, em.IssueRescan(1, "/", true));
    EXPECT_EQ(1, em.GetAllPendingEventCount(1)); // the EV_MODIFY of "/"

    ASSERT_EQ(0, em.PullEvent(&w, e));
    EXPECT_EQ(Event::EV_MODIFY, e.m_type);
    EXPECT_EQ(std::string("/"), e.m_path.c_str_utf8());
    ASSERT_EQ(0, em.DoneEvent(&w, e));

    // "/x" was discarded by the rescan of "/"; the file expand was never queued.
    ASSERT_EQ(0, em.PullEvent(&w, e));
    EXPECT_EQ(Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN | Event::F_MERGE, e.m_mode);
    EXPECT_EQ(std::string("/"), e.m_path.c_str_utf8());
    EXPECT_EQ(-1, em.PullEvent(&w, e));
    ASSERT_EQ(0, em.DoneEvent(&w, e));
    EXPECT_EQ(0, em.GetAllPendingEventCount(1));
}

TEST_F(EventManagerTest, RedoGivesTheEventBackAndAnExpandIsQueuedAgain)
{
    FakeWorker w;
    Event e;
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_CREATE, "/r")));
    ASSERT_EQ(0, em.PullEvent(&w, e));
    ASSERT_EQ(0, em.RedoEvent(&w, e));
    EXPECT_EQ(0, em.DoneEvent(&w, e)); // no entry left
    ASSERT_EQ(0, em.PullEvent(&w, e));
    EXPECT_EQ(std::string("/r"), e.m_path.c_str_utf8());
    ASSERT_EQ(0, em.DoneEvent(&w, e));

    ASSERT_EQ(0, em.IssueExpand(1, "/dir"));
    ASSERT_EQ(0, em.PullEvent(&w, e));
    ASSERT_EQ(0, em.RedoEvent(&w, e));
    ASSERT_EQ(0, em.PullEvent(&w, e));
    EXPECT_TRUE(e.isExpand());
    ASSERT_EQ(0, em.DoneEvent(&w, e));

    EXPECT_EQ(-1, em.RedoEvent(&w, event(7, Event::EV_CREATE, "/nopool")));
    EXPECT_EQ(-1, em.RedoEvent(&w, event(1, Event::EV_CREATE, "/gone")));
}

TEST_F(EventManagerTest, DroppedPushesAndCountsOfUnknownSessions)
{
    EXPECT_EQ(-1, em.PushServerEvent(event(42, Event::EV_CREATE, "/a", 0, 1)));
    EXPECT_EQ(0, em.GetPendingServerEvent(42));
    EXPECT_EQ(0, em.GetAllPendingEventCount(42));
    Event bad = event(1, Event::EV_CREATE, "/x");
    bad.m_path = std::string("/\xff\xfe");
    EXPECT_EQ(-1, em.PushServerEvent(bad));
    EXPECT_EQ(0, em.GetAllPendingEventCount(1));
}

TEST_F(EventManagerTest, QueuedPathsAreMarkedSyncingAndReported)
{
    TempDir dir;
    FakeUI ui;
    std::string conf = dir.write("conf", "ui_port = " + std::to_string(ui.port()) + "\n");
    ASSERT_EQ(0, Settings::getInstance().loadConfigSettings(conf));
    ASSERT_EQ(0, FileStatusDB::initialize(dir.file("fstat.sqlite").c_str()));

    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, "/a.txt", 0, 4)));
    ASSERT_EQ(0, em.PushLocalEvent(event(1, Event::EV_MODIFY, "/", Event::F_DIR)));
    ASSERT_EQ(0, em.IssueExpand(1, "/sub")); // requests are not marked
    ASSERT_TRUE(ui.waitFor(2, 5000));

    FileStatusInfo info;
    ASSERT_EQ(1, FileStatusDB::getFileSyncStat("/local/s1/a.txt", &info));
    EXPECT_EQ(FileStatusDB::SS_SYNCING, info.syncStatus);
    EXPECT_EQ(FileStatusDB::FT_FILE, info.fileType);
    ASSERT_EQ(1, FileStatusDB::getFileSyncStat("/local/s1", &info));
    EXPECT_EQ(FileStatusDB::FT_DIR, info.fileType);
    EXPECT_EQ(0, FileStatusDB::getFileSyncStat("/local/s1/sub", &info));
    std::vector<PObject> got = ui.messages();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(std::string("syncing_file"), got[0]["notify"].asString().c_str_utf8());
    FileStatusDB::destroy();
}

// Marks are written behind the pushes; a path whose event finished (and whose row its
// worker cleared) or that a directory removal made obsolete must not come back as syncing.
TEST_F(EventManagerTest, FinishedAndSupersededPathsDoNotComeBackAsSyncing)
{
    TempDir dir;
    std::string conf = dir.write("conf", "ui_port = 1\n");
    ASSERT_EQ(0, Settings::getInstance().loadConfigSettings(conf));
    ASSERT_EQ(0, FileStatusDB::initialize(dir.file("fstat.sqlite").c_str()));
    FakeWorker w;
    const int files = 200;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < files; ++i) {
            std::string path = "/done/f" + std::to_string(i);
            ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, path.c_str(), 0, 1)));
            Event e;
            ASSERT_EQ(0, em.PullEvent(&w, e));
            ASSERT_EQ(0, em.DoneEvent(&w, e));
            // What the worker does with the row of a finished event.
            FileStatusDB::rmFileStatByPath(("/local/s1" + path).c_str());
        }
    }
    for (int i = 0; i < files; ++i) {
        std::string path = "/gone/f" + std::to_string(i);
        ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, path.c_str(), 0, 2)));
    }
    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_REMOVE, "/gone", Event::F_DIR, 9)));
    EXPECT_EQ(1, em.GetPendingServerEvent(1)); // the removal superseded the files
    // Marks are written in order: once the last one is in, every earlier one is.
    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, "/last", 0, 10)));
    FileStatusInfo info;
    ASSERT_TRUE(WaitFor([&] { return FileStatusDB::getFileSyncStat("/local/s1/last", &info) == 1; },
                        5000));
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(0, FileStatusDB::getFileSyncStat(("/local/s1/done/f" + std::to_string(i)).c_str(),
                                                   &info))
            << i;
        EXPECT_EQ(0, FileStatusDB::getFileSyncStat(("/local/s1/gone/f" + std::to_string(i)).c_str(),
                                                   &info))
            << i;
    }
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat("/local/s1/gone", &info));
    em.Clear();
    FileStatusDB::destroy();
}

// A large sync queues more marks than one transaction takes: every batch is written, each
// session's rows carry its own folder, and the marks of paths that a directory removal
// superseded do not come back.
TEST_F(EventManagerTest, MarksBeyondOneTransactionKeepTheirSessionAndOrder)
{
    TempDir dir;
    std::string conf = dir.write("conf", "ui_port = 1\n");
    ASSERT_EQ(0, Settings::getInstance().loadConfigSettings(conf));
    ASSERT_EQ(0, FileStatusDB::initialize(dir.file("fstat.sqlite").c_str()));
    const int files = 10000;
    std::vector<Event> big;
    for (int i = 0; i < files; ++i) {
        big.push_back(event(1, Event::EV_CREATE, ("/big/f" + std::to_string(i)).c_str(), 0, 1));
    }
    ASSERT_EQ(size_t(files), em.PushServerEvents(big));
    ASSERT_EQ(0, em.PushServerEvent(event(2, Event::EV_CREATE, "/other", 0, 1)));
    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_REMOVE, "/big", Event::F_DIR, 9)));
    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, "/last", 0, 10)));
    FileStatusInfo info;
    ASSERT_TRUE(WaitFor([&] { return FileStatusDB::getFileSyncStat("/local/s1/last", &info) == 1; },
                        10000));
    for (int i = 0; i < files; i += 97) {
        EXPECT_EQ(0, FileStatusDB::getFileSyncStat(("/local/s1/big/f" + std::to_string(i)).c_str(),
                                                   &info))
            << i;
    }
    EXPECT_EQ(0, FileStatusDB::getFileSyncStat(
                     ("/local/s1/big/f" + std::to_string(files - 1)).c_str(), &info));
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat("/local/s1/big", &info));
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat("/local/s2/other", &info));
    EXPECT_EQ(0, FileStatusDB::getFileSyncStat("/local/s1/other", &info));
    em.Clear();
    FileStatusDB::destroy();
}

TEST_F(EventManagerTest, WaitingForServerEventsEndsWhenTheWorkerIsDone)
{
    FakeWorker w;
    Event e;
    ASSERT_EQ(0, em.PushServerEvent(event(1, Event::EV_CREATE, "/w", 0, 1)));
    EXPECT_EQ(1, em.WaitServerEventsDone(1, 10)); // times out with the count
    ASSERT_EQ(0, em.PullEvent(&w, e));
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Event done = e;
        em.DoneEvent(&w, done);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, em.WaitServerEventsDone(1, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    worker.join();
}

// Producers push overlapping paths of several sessions while workers pull and complete
// and a poller reads the counts; every event ends done and nothing is left behind.
TEST_F(EventManagerTest, ProducersWorkersAndPollersConcurrently)
{
    const int producers = 3, workers = 4, per_producer = 600;
    std::atomic<int> producing{producers};
    std::atomic<bool> stop_poll{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i) {
                std::string path = "/d" + std::to_string(i % 5) + "/f" + std::to_string(i % 40);
                Event e = event(1 + static_cast<uint64_t>(i % 3), Event::EV_CREATE, path.c_str(),
                                0, static_cast<uint64_t>(i + 1));
                if (p == 0)
                    em.PushServerEvent(e);
                else
                    em.PushLocalEvent(e);
                if (i % 97 == 0)
                    em.IssueExpand(e.m_sess_id, "/d1");
            }
            --producing;
        });
    }
    std::vector<FakeWorker> pool(workers);
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            for (;;) {
                Event e;
                if (em.PullEvent(&pool[w], e) != 0) {
                    if (producing == 0 && em.GetAllPendingEventCount(1) == 0 &&
                        em.GetAllPendingEventCount(2) == 0 && em.GetAllPendingEventCount(3) == 0)
                        break;
                    std::this_thread::yield();
                    continue;
                }
                while (em.DoneEvent(&pool[w], e) == -1) {
                }
            }
        });
    }
    std::thread poller([&] {
        while (!stop_poll)
            em.GetPendingServerEvent(2);
    });
    for (auto &t : threads)
        t.join();
    stop_poll = true;
    poller.join();
    // Expand requests may still be queued: take them out.
    FakeWorker last;
    Event e;
    while (em.PullEvent(&last, e) == 0)
        em.DoneEvent(&last, e);
    for (uint64_t s : {1, 2, 3})
        EXPECT_EQ(0, em.GetAllPendingEventCount(s));
}

} // namespace
