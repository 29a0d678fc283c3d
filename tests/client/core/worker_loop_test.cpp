// The worker loop with the real event manager: events that only need settling are
// finished without an operation, a paused session's events go back, and an interrupt
// waits for exactly the workers that hold matching work.
#include "client/core/connection.h"
#include "client/event-manager.h"
#include "connection-info.h"
#include "support/server-process.h"
#include "worker_fixture.h"

#include <chrono>
#include <thread>

namespace
{

class QuickWorker : public Worker
{
public:
    QuickWorker()
    {
        retry_wait_seconds = 0;
        redo_wait_seconds = 0;
    }
};

// Its timed waits are longer than any test: only a wake-up ends them in time.
class SlowTimerWorker : public QuickWorker
{
public:
    SlowTimerWorker() { idle_wait_seconds = 60; }
};

class WorkerLoop : public WorkerSessionFixture
{
protected:
    void SetUp() override
    {
        WorkerSessionFixture::SetUp();
        ConnectionInfo info;
        info.conn_id = entry.conn_id;
        info.server_ip = "127.0.0.1";
        info.server_port = 1; // nothing listens: these events never reach the server
        ConnectionManager::getInstance().add(info, nullptr, nullptr);
    }
    void TearDown() override
    {
        loop.Stop();
        loop.Join();
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
        ConnectionManager::getInstance().clear();
        WorkerSessionFixture::TearDown();
    }

    void push(const Event &event)
    {
        Event e = event;
        e.m_sess_id = entry.sess_id;
        ASSERT_EQ(0, EventManager::getInstance().PushServerEvent(e));
    }
    int pending() { return EventManager::getInstance().GetAllPendingEventCount(entry.sess_id); }

    QuickWorker loop;
};

TEST_F(WorkerLoop, EventsOutsideTheSessionsScopeAreFinishedWithoutAction)
{
    entry.recursive = false;
    Registry::getInstance().Set(entry);
    push(serverEvent("/sub/deep.txt"));
    push(serverEvent("/", true));
    push(serverEvent("/folder", true));
    ASSERT_EQ(0, loop.Run());
    EXPECT_TRUE(WaitFor([this] { return pending() == 0; }));
    EXPECT_FALSE(fileExists(local + "/sub"));
    EXPECT_FALSE(fileExists(local + "/folder"));
}

TEST_F(WorkerLoop, RemovedSessionFinishesItsEventsAndPausedSessionKeepsThem)
{
    entry.pause = true;
    Registry::getInstance().Set(entry);
    push(serverEvent("/a.txt"));
    ASSERT_EQ(0, loop.Run());
    // Given back again and again while paused, never lost.
    EXPECT_TRUE(loop.GetState() == Task::RUN);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1, pending());

    Registry::getInstance().Remove(entry.sess_id);
    EXPECT_TRUE(WaitFor([this] { return pending() == 0; }));
}

// An idle worker is woken by the next push (and by a stop), not by its timer.
TEST_F(WorkerLoop, IdleWorkerTakesNewWorkAndStopsWithoutWaitingForItsTimer)
{
    entry.recursive = false;
    Registry::getInstance().Set(entry);
    SlowTimerWorker idle;
    ASSERT_EQ(0, idle.Run());
    for (const char *path : {"/one", "/two"}) {
        // Time for the worker to find nothing and start waiting.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        push(serverEvent(path, true)); // out of a non-recursive scope: just finished
        EXPECT_TRUE(WaitFor([this] { return pending() == 0; }, 5000)) << path;
    }
    auto begun = std::chrono::steady_clock::now();
    idle.Stop();
    idle.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
}

TEST_F(WorkerLoop, InterruptRegistersOnlyWorkersWithMatchingWork)
{
    Worker::Barrier barrier;
    Worker::AbortFilter other;
    other.setSession(entry.sess_id + 1);
    worker.SetCurrentProcessEventInfo(entry.conn_id, entry.sess_id, "/x", Worker::W_TYPE_NONE);
    worker.SetAbort(other, &barrier);
    EXPECT_FALSE(worker.IsAborting());
    barrier.wait(); // nothing registered: returns at once

    Worker::AbortFilter by_conn;
    by_conn.setConnection(entry.conn_id);
    worker.SetAbort(by_conn, &barrier);
    EXPECT_TRUE(worker.IsAborting());
    std::thread leaves([this] { worker.NotifyAbortDone(); }); // the loop's next round
    barrier.wait();
    leaves.join();
}

} // namespace
