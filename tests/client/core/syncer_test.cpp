// The server event puller and the resume puller against the real stand-in server: changes
// made on the server become server events of the right session, the stored position moves
// only after a worker stand-in reports the events done, faults of the server are retried
// without losing or repeating events, and sessions with resume conditions are served by
// the resume puller.
#include "black-list-v2.h"
#include "client/core/connection.h"
#include "client/core/filter-db.h"
#include "client/core/progress-cache.h"
#include "client/core/progress-syncer.h"
#include "client/core/puller-channel.h"
#include "client/core/registry.h"
#include "client/core/settings.h"
#include "client/core/syncer.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "error-code.h"
#include "client/task.h"
#include "support/control-fake-ui.h"
#include "support/server-process.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

// A worker stand-in: takes events from the manager while open, records them, reports them
// done at once.
class WorkerStandIn : public Task
{
public:
    WorkerStandIn() : m_thread([this] { loop(); }) {}
    ~WorkerStandIn() override
    {
        m_quit = true;
        m_thread.join();
    }
    void open() { m_open = true; }
    void close() { m_open = false; }
    std::vector<Event> taken()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_taken;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_taken.size();
    }

private:
    void loop()
    {
        EventManager &em = EventManager::getInstance();
        while (!m_quit) {
            Event e;
            if (!m_open || em.PullEvent(this, e) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            do {
                std::lock_guard<std::mutex> g(m_lock);
                m_taken.push_back(e);
            } while (em.DoneEvent(this, e) != 0);
        }
    }
    std::atomic<bool> m_open{true};
    std::atomic<bool> m_quit{false};
    std::mutex m_lock;
    std::vector<Event> m_taken;
    std::thread m_thread;
};

class PullerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config("");
        ASSERT_TRUE(server.start({false, {"--keepalive", "1"}}));
        acct = server.createAccount("alice", "docs");
        ASSERT_NE(0u, acct.view_id);
        ConnectionInfo info;
        info.conn_id = 1;
        info.server_ip = "127.0.0.1";
        info.server_port = server.port();
        info.session = acct.token.c_str();
        info.use_ssl = false;
        ASSERT_EQ(0, ConnectionManager::getInstance().add(info, nullptr, nullptr));
        ASSERT_EQ(0, FilterDB::getInstance().initialize(dir.file("filter.sqlite").c_str()));
    }
    void TearDown() override
    {
        workers.reset();
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
        ConnectionManager::getInstance().clear();
        ProgressCache::getInstance().clear();
        FilterDB::getInstance().destroy();
    }

    // Settings of the pullers: a short rest, no user interface listening.
    void config(const std::string &extra)
    {
        std::string text = "ui_port = " + std::to_string(unusedPort()) +
                           "\npull_interval = 1\n" + extra;
        ASSERT_EQ(0, Settings::getInstance().loadConfigSettings(dir.write("conf", text).c_str()));
    }

    Registry::Entry addSession(uint64_t sess_id, uint64_t view_id, const char *remote = "/")
    {
        std::string name = "s" + std::to_string(sess_id);
        mkdir(dir.file(name).c_str(), 0700);
        FileEventDB *db = new FileEventDB;
        EXPECT_EQ(0, db->initialize(dir.file(name + ".sqlite").c_str()));
        Registry::Entry entry;
        entry.sess_id = sess_id;
        entry.conn_id = 1;
        entry.view_id = view_id;
        entry.recursive = true;
        entry.remote_path = remote;
        entry.local_path = dir.file(name).c_str();
        entry.event_db = db;
        Registry::getInstance().Set(entry);
        return entry;
    }

    uint64_t position(const Registry::Entry &entry)
    {
        uint64_t id = 0;
        entry.event_db->getSyncId(id);
        return id;
    }

    void put(uint64_t view, const std::string &path, const std::string &content)
    {
        ASSERT_EQ(0, server.admin({"put", std::to_string(view), path,
                                   dir.write("content", content)}));
    }

    uint64_t lastServerSyncId(uint64_t view)
    {
        nlohmann::json j = server.adminJson({"journal", std::to_string(view)});
        uint64_t last = 0;
        for (auto &row : j["entries"])
            last = row["sync_id"].get<uint64_t>();
        return last;
    }

    size_t takenCount(uint64_t sess)
    {
        size_t n = 0;
        for (const Event &e : workers->taken())
            n += e.m_sess_id == sess ? 1 : 0;
        return n;
    }

    std::map<std::string, uint64_t> takenPaths(uint64_t sess)
    {
        std::map<std::string, uint64_t> paths;
        for (const Event &e : workers->taken())
            if (e.m_sess_id == sess)
                paths[e.m_path.c_str_utf8()] = e.m_sync_id;
        return paths;
    }

    TempDir dir;
    ServerProcess server;
    ServerAccount acct;
    std::unique_ptr<WorkerStandIn> workers{new WorkerStandIn};
};

TEST_F(PullerTest, ServerChangesBecomeEventsAndThePositionMovesOnlyWhenTheyAreDone)
{
    workers->close();
    Registry::Entry s1 = addSession(1, acct.view_id);
    ASSERT_EQ(0, server.admin({"mkdir", std::to_string(acct.view_id), "/d"}));
    put(acct.view_id, "/d/a.txt", "aaa");
    put(acct.view_id, "/b.txt", "bb");
    put(acct.view_id, "/b.txt", "bbb"); // a second version: one event with the latest
    uint64_t last = lastServerSyncId(acct.view_id);

    Syncer syncer;
    ASSERT_EQ(0, syncer.Run());
    EventManager &em = EventManager::getInstance();
    ASSERT_TRUE(WaitFor([&] { return em.GetPendingServerEvent(1) == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(0u, position(s1)); // nothing done yet

    workers->open();
    ASSERT_TRUE(WaitFor([&] { return position(s1) == last; }));
    std::vector<Event> taken = workers->taken();
    ASSERT_EQ(3u, taken.size());
    std::map<std::string, uint64_t> paths = takenPaths(1);
    EXPECT_EQ(last, paths["/b.txt"]);
    EXPECT_EQ(1u, paths.count("/d"));
    EXPECT_EQ(1u, paths.count("/d/a.txt"));
    for (const Event &e : taken) {
        EXPECT_TRUE(e.isServerEvent());
        EXPECT_EQ(Event::EV_CREATE, e.m_type);
    }
    // The directory's own event goes before what lies inside it.
    size_t dir_at = 0, file_at = 0;
    for (size_t i = 0; i < taken.size(); ++i) {
        if (taken[i].m_path == ustring("/d"))
            dir_at = i;
        if (taken[i].m_path == ustring("/d/a.txt"))
            file_at = i;
    }
    EXPECT_LT(dir_at, file_at);
    ASSERT_TRUE(WaitFor([&] { return syncer.IdlePullCount(1) > 0; }));
    // The pull that found nothing new is numbered after the one that brought the files.
    Syncer::PullCounts counts = syncer.PullCountsOf(1);
    EXPECT_GT(counts.last_idle_round, 1u);
    EXPECT_LE(counts.last_idle_round, counts.begun);

    // A removal on the server of a synced file arrives as a server removal.
    DBFileInfo row;
    row.path = "/b.txt";
    row.syncID = last;
    row.maxSyncID = last;
    row.isExist = 1;
    ASSERT_EQ(0, s1.event_db->setEventInfo(row));
    ASSERT_EQ(0, server.admin({"rm", std::to_string(acct.view_id), "/b.txt"}));
    ASSERT_TRUE(WaitFor([&] { return position(s1) == lastServerSyncId(acct.view_id); }));
    EXPECT_EQ(Event::EV_REMOVE, workers->taken().back().m_type);
    syncer.Stop();
    syncer.Join();
}

TEST_F(PullerTest, EchoesOfTheClientsOwnChangesAreDropped)
{
    Registry::Entry s1 = addSession(1, acct.view_id);
    put(acct.view_id, "/mine.txt", "m");
    put(acct.view_id, "/theirs.txt", "t");
    uint64_t last = lastServerSyncId(acct.view_id);
    // The client itself uploaded /mine.txt: its row holds the server's sync id and the file
    // is there.
    DBFileInfo row;
    row.path = "/mine.txt";
    row.syncID = last - 1;
    row.maxSyncID = last - 1;
    row.isExist = 1;
    ASSERT_EQ(0, s1.event_db->setEventInfo(row));
    dir.write("s1/mine.txt", "m");

    Syncer syncer;
    ASSERT_EQ(0, syncer.Run());
    ASSERT_TRUE(WaitFor([&] { return position(s1) == last; }));
    std::map<std::string, uint64_t> paths = takenPaths(1);
    EXPECT_EQ(0u, paths.count("/mine.txt"));
    EXPECT_EQ(1u, paths.count("/theirs.txt"));
    syncer.Stop();
    syncer.Join();
}

TEST_F(PullerTest, DroppedAnswersAndEndlessKeepAlivesAreRetriedWithoutLossOrRepeats)
{
    config("pull_answer_timeout = 2\n");
    Registry::Entry s1 = addSession(1, acct.view_id);
    for (int i = 0; i < 5; ++i)
        put(acct.view_id, "/f" + std::to_string(i), "x");
    uint64_t last = lastServerSyncId(acct.view_id);
    // First pull: the connection drops in the middle of the answer. Second: the server
    // only sends keep-alives for longer than the answer deadline.
    ASSERT_EQ(0, server.admin({"fault", "add", "drop_send", "40", "--action", "pull_event"}));
    ASSERT_EQ(0, server.admin({"fault", "add", "delay", "6", "--action", "pull_event"}));

    Syncer syncer;
    ASSERT_EQ(0, syncer.Run());
    ASSERT_TRUE(WaitFor([&] { return position(s1) == last; }, 30000));
    EXPECT_EQ(5u, takenCount(1)); // each once
    EXPECT_EQ(5u, takenPaths(1).size());
    syncer.Stop();
    syncer.Join();
}

TEST_F(PullerTest, AnErrorAnswerNeverMovesThePositionAndAFailingSessionHoldsUpNoOther)
{
    FakeUI ui;
    config("");
    ASSERT_EQ(0, Settings::getInstance().loadConfigSettings(
                     dir.write("conf2", "ui_port = " + std::to_string(ui.port()) + "\n").c_str()));
    Registry::Entry s1 = addSession(1, acct.view_id);
    addSession(2, acct.view_id, "/missing"); // refused with 0x3003 on every pull
    put(acct.view_id, "/a", "1");
    uint64_t first = lastServerSyncId(acct.view_id);

    Syncer syncer;
    ASSERT_EQ(0, syncer.Run());
    ASSERT_TRUE(WaitFor([&] { return position(s1) == first; }));
    // A server error that maps to "no error" ends the pull all the same.
    ASSERT_EQ(0, server.admin({"fault", "add", "error", std::to_string(0x7001), "--action",
                               "pull_event", "--view", std::to_string(acct.view_id), "--count",
                               "3"}));
    put(acct.view_id, "/b", "2");
    uint64_t second = lastServerSyncId(acct.view_id);
    ASSERT_TRUE(WaitFor([&] { return position(s1) == second; }, 30000));
    EXPECT_EQ(2u, takenCount(1)); // "/a" was not pulled a second time
    EXPECT_EQ(0u, takenCount(2));

    // The refused session was reported as a session error.
    ASSERT_TRUE(WaitFor([&] {
        for (const PObject &m : ui.messages())
            if (m["session_id"].asUInt64() == 2 && m["notify"].asString() == ustring("error"))
                return true;
        return false;
    }));
    syncer.Stop();
    syncer.Join();
}

TEST_F(PullerTest, TwoSessionsOnTwoViewsAreBothServed)
{
    ServerAccount other;
    other.view_id = server.adminJson({"add-view", "photos"})["view_id"].get<uint64_t>();
    ASSERT_EQ(0, server.admin({"grant", std::to_string(other.view_id), "alice", "rw"}));
    ASSERT_NE(acct.view_id, other.view_id);
    Registry::Entry s1 = addSession(1, acct.view_id);
    Registry::Entry s2 = addSession(2, other.view_id);
    put(acct.view_id, "/doc.txt", "d");
    put(other.view_id, "/img.jpg", "i");
    uint64_t last = lastServerSyncId(other.view_id);

    Syncer syncer;
    ASSERT_EQ(0, syncer.Run());
    ASSERT_TRUE(WaitFor([&] { return position(s2) == last && position(s1) > 0; }));
    EXPECT_EQ((std::map<std::string, uint64_t>{{"/doc.txt", position(s1)}}), takenPaths(1));
    EXPECT_EQ((std::map<std::string, uint64_t>{{"/img.jpg", last}}), takenPaths(2));
    syncer.Stop();
    syncer.Join();
}

// A session with resume conditions is left to the resume puller, which pulls with the
// condition, advances it and deletes it when nothing new comes; conditions of a paused
// or removed session never hold up the others.
TEST_F(PullerTest, ResumeConditionsAreWorkedOffByTheResumePuller)
{
    Registry::Entry paused = addSession(1, acct.view_id);
    paused.pause = true;
    Registry::getInstance().Set(paused);
    Registry::Entry s2 = addSession(2, acct.view_id);
    put(acct.view_id, "/a.txt", "a");
    put(acct.view_id, "/b.jpg", "b");
    uint64_t last = lastServerSyncId(acct.view_id);
    s2.event_db->setSyncId(last); // the session is up to date except for what a filter hid

    auto addCondition = [&](uint64_t sess, const char *ext) {
        ResumeCondition c;
        c.sess_id = sess;
        c.sync_id = 0;
        c.filter_type = FILTER_EXT_SELECTIVE_SYNC;
        c.filter_desc = ext;
        uint64_t row = 0;
        EXPECT_EQ(0, FilterDB::getInstance().setResumeCondition(c, row));
        ProgressCache::getInstance().addProgressEntry(row, c);
        return row;
    };
    addCondition(1, "txt"); // first in line, but its session is paused
    addCondition(9, "txt"); // a session that is gone
    addCondition(2, "txt");

    Syncer syncer;
    ProgressSyncer progress;
    ASSERT_EQ(0, syncer.Run());
    ASSERT_EQ(0, progress.Run());
    // The pullers rest between rounds; under ThreadSanitizer a round takes a few seconds more.
    const int kRounds = 30000;
    ASSERT_TRUE(WaitFor([&] { return !ProgressCache::getInstance().isInProgrssCache(2); },
                        kRounds));
    EXPECT_EQ((std::map<std::string, uint64_t>{{"/a.txt", last - 1}}), takenPaths(2));
    ResumeConditionList left;
    ASSERT_EQ(0, FilterDB::getInstance().getResumeConditionsBySession(2, left));
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(last, position(s2)); // the session's own position is not the condition's

    // Back with the server puller.
    put(acct.view_id, "/c.txt", "c");
    ASSERT_TRUE(
        WaitFor([&] { return position(s2) == lastServerSyncId(acct.view_id); }, kRounds));
    EXPECT_EQ(2u, takenPaths(2).size());
    EXPECT_EQ(0u, takenPaths(1).size());

    // Removing a session drops every one of its conditions.
    addCondition(1, "jpg");
    EXPECT_EQ(2, ProgressCache::getInstance().rmProgressEntriesBySessionId(1));
    EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(1));
    progress.Stop();
    syncer.Stop();
    progress.Join();
    syncer.Join();
}

// With SSL the puller upgrades the channel before it logs in, and pulls inside TLS.
TEST_F(PullerTest, SslConnectionsUpgradeBeforeConnect)
{
    ASSERT_TRUE(server.stop());
    ASSERT_TRUE(server.start({true, {}}));
    Channel::SetVerifyCAPath(server.caPath().c_str());
    ConnectionManager::getInstance().clear();
    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = server.port();
    info.session = acct.token.c_str();
    info.use_ssl = true;
    info.server_name = "localhost";
    ASSERT_EQ(0, ConnectionManager::getInstance().add(info, nullptr, nullptr));
    Registry::Entry s1 = addSession(1, acct.view_id);
    put(acct.view_id, "/secret.txt", "s");

    Syncer syncer;
    ASSERT_EQ(0, syncer.Run());
    ASSERT_TRUE(WaitFor([&] { return position(s1) == lastServerSyncId(acct.view_id); }));
    EXPECT_EQ(1u, takenPaths(1).count("/secret.txt"));
    syncer.Stop();
    syncer.Join();
}

TEST(PullerChannelTest, ServerErrorCodesMapToTheSystemsCodes)
{
    std::atomic<int> flag{0};
    PullerChannel channel(false, &flag);
    struct {
        uint32_t server;
        int mapped;
    } cases[] = {
        {0x3002, ERR_PERMISS}, {0x3003, ERR_VIEW_PATH}, {0x3004, ERR_PERMISS_READ_ONLY},
        {0x4001, ERR_QUOTA},   {0x4002, ERR_DISKFULL},  {0x7000, 0},
        {0x7fff, 0},           {0x1001, ERR_AUTH},      {0x2005, ERR_AUTH},
        {0x3001, ERR_VIEW},    {0x5001, ERR_VERSION},   {0x0001, 0},
        {0x4003, 0},           {0x6001, 0},             {0x8001, 0},
        {0xF000, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.mapped, channel.ProtoResp2ErrorCode(c.server)) << std::hex << c.server;
}

} // namespace
