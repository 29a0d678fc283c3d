// The application object in process: its message thread, the status reply and the
// pieces the control thread uses to interrupt workers.
#include "client/core/app.h"
#include "client/core/registry.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace
{

std::string render(const PObject &obj)
{
    return obj.toString().c_str_utf8();
}

TEST(AppThreadTest, ConcurrentSendersEachGetTheirOwnReply)
{
    AerolithApp app;
    ASSERT_EQ(0, app.run());
    EXPECT_EQ(-1, app.run());
    std::vector<std::thread> senders;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&app, &good, t] {
            for (int i = 0; i < 200; ++i) {
                PObject request;
                request["action"] = (i % 2) != 0 ? "get_status" : "no_such_action";
                PObject reply;
                reply["mine"] = static_cast<uint64_t>(t); // the reply object is the sender's
                if (app.send_message(request, reply) == 0 && reply["ack"].asString() == "ok" &&
                    reply["mine"].asUInt64() == static_cast<uint64_t>(t) &&
                    reply.hasMember("worker_list") == ((i % 2) != 0)) {
                    ++good[t];
                }
            }
        });
    }
    for (auto &s : senders) {
        s.join();
    }
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(200, good[t]) << t;
    }
    app.kill();
    app.kill(); // a second kill finds nothing to stop
}

TEST(AppThreadTest, AfterStopNothingWaitsForever)
{
    AerolithApp unstarted;
    unstarted.kill(); // never ran: returns at once

    AerolithApp app;
    ASSERT_EQ(0, app.run());
    PObject stop;
    stop["action"] = "stop";
    PObject reply;
    EXPECT_EQ(0, app.send_message(stop, reply));
    EXPECT_EQ(-1, app.send_message(stop)); // the message thread has ended
    app.kill();
}

TEST(AppThreadTest, StatusListsRegisteredSessions)
{
    Registry &reg = Registry::getInstance();
    reg.Clear();
    Registry::Entry paused;
    paused.sess_id = 9;
    paused.conn_id = 2;
    paused.pause = true;
    Registry::Entry idle;
    idle.sess_id = 4;
    idle.conn_id = 2;
    reg.Set(paused);
    reg.Set(idle);

    AerolithApp app;
    PObject reply;
    app.get_status(PObject(), reply);
    EXPECT_EQ("{\"connection_list\": null, \"session_list\": [{\"connection_id\": 2, "
              "\"idle_pulls\": 0, \"last_idle_pull\": 0, \"pulls_begun\": 0, "
              "\"session_id\": 4, \"status\": \"uptodate\", \"unfinished_files\": 0}, "
              "{\"connection_id\": 2, \"idle_pulls\": 0, \"last_idle_pull\": 0, "
              "\"pulls_begun\": 0, \"session_id\": 9, \"status\": \"pause\", \"unfinished_files\": 0}], "
              "\"worker_list\": null}",
              render(reply));
    reg.Clear();
}

TEST(WorkerInterruptTest, BarrierWaitsForEveryRegisteredWorker)
{
    Worker::Barrier barrier;
    barrier.wait(); // nobody registered
    for (int id = 0; id < 3; ++id) {
        barrier.increase(id);
    }
    std::vector<std::thread> workers;
    for (int id = 0; id < 3; ++id) {
        workers.emplace_back([&barrier, id] { barrier.signal(id); });
    }
    barrier.wait();
    for (auto &w : workers) {
        w.join();
    }

    AerolithApp app;
    app.interrupt_worker(Worker::AbortFilter()); // no workers: returns at once
}

TEST(WorkerInterruptTest, AbortFilterSelectsBySessionFirstThenConnection)
{
    Worker::AbortFilter none;
    Worker::AbortFilter session5;
    session5.setSession(5);
    Worker::AbortFilter all_sessions;
    all_sessions.setSession(0);
    Worker::AbortFilter conn2;
    conn2.setConnection(2);
    Worker::AbortFilter session5_conn2 = session5;
    session5_conn2.setConnection(2);
    const struct {
        const Worker::AbortFilter *filter;
        uint64_t sess;
        uint64_t conn;
        bool match;
    } cases[] = {
        {&none, 5, 2, false},           {&session5, 5, 9, true},       {&session5, 6, 2, false},
        {&all_sessions, 6, 9, true},    {&conn2, 7, 2, true},          {&conn2, 7, 3, false},
        {&session5_conn2, 6, 2, false}, {&session5_conn2, 5, 3, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.match, c.filter->matches(c.sess, c.conn)) << c.sess << "/" << c.conn;
    }
}

} // namespace
