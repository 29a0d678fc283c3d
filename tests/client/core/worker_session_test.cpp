// Workers carrying out server events end to end: the event manager hands the event to a
// running worker, which downloads from the real stand-in server and commits the row. An
// interrupt leaves no partial file in the synced folder; a pause mid-transfer keeps the
// transfer for resuming; either way the event is carried out afterwards.
#include "client/core/connection.h"
#include "client/core/resume-mgr.h"
#include "client/event-manager.h"
#include "connection-info.h"
#include "support/server-process.h"
#include "worker_fixture.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

class WorkerSession : public WorkerSessionFixture
{
protected:
    void SetUp() override
    {
        WorkerSessionFixture::SetUp();
        ASSERT_TRUE(server.start());
        account = server.createAccount("alice", "docs");
        entry.view_id = account.view_id;
        Registry::getInstance().Set(entry);
        ConnectionInfo info;
        info.conn_id = entry.conn_id;
        info.server_ip = "127.0.0.1";
        info.server_port = server.port();
        info.session = account.token.c_str();
        info.use_ssl = false;
        ConnectionManager::getInstance().add(info, nullptr, nullptr);
        ResumeTransMgr::GetInstance().Clear();
    }
    void TearDown() override
    {
        loop.Stop();
        loop.Join();
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
        ConnectionManager::getInstance().clear();
        ResumeTransMgr::GetInstance().Clear();
        WorkerSessionFixture::TearDown();
    }

    // Puts content on the server side and queues the event the puller would make of it.
    Event announce(const std::string &path, const std::string &content, bool queue = true)
    {
        std::string src = dir.write("src", content);
        EXPECT_EQ(0, server.admin({"put", std::to_string(account.view_id), path, src,
                                   "--mtime", "1700000000"}));
        nlohmann::json ls = server.adminJson({"ls", std::to_string(account.view_id)});
        Event e;
        for (const auto &item : ls["entries"]) {
            if (item["path"] == path) {
                e.m_type = Event::EV_MODIFY;
                e.m_path = path.c_str();
                e.m_sync_id = item["sync_id"].get<uint64_t>();
                e.m_max_id = e.m_sync_id;
                e.m_data_size = item["size"].get<uint64_t>();
                e.m_data_hash = item["hash"].get<std::string>().c_str();
                e.m_time = item["mtime"].get<uint32_t>();
                e.m_sess_id = entry.sess_id;
            }
        }
        if (queue) {
            EXPECT_EQ(0, EventManager::getInstance().PushServerEvent(e));
        }
        return e;
    }

    int pending() { return EventManager::getInstance().GetAllPendingEventCount(entry.sess_id); }

    // Entries of the synced folder, the working directory aside.
    std::vector<std::string> folder()
    {
        std::vector<std::string> names;
        DIR *d = opendir(local.c_str());
        while (struct dirent *ent = readdir(d)) {
            std::string n = ent->d_name;
            if (n != "." && n != ".." && n != ".ZentoraWorkingDirectory") {
                names.push_back(n);
            }
        }
        closedir(d);
        return names;
    }

    bool downloading()
    {
        Worker::ProcessEvent_T info;
        loop.GetCurrentProcessEventInfo(info);
        return info.working_type == Worker::W_TYPE_DOWNLOAD;
    }

    // What the control thread does to leave a session's running work.
    void interrupt()
    {
        Worker::Barrier barrier;
        Worker::AbortFilter filter;
        filter.setSession(entry.sess_id);
        loop.SetAbort(filter, &barrier);
        barrier.wait();
    }

    ServerProcess server;
    ServerAccount account;
    QuickWorker loop;
};

TEST_F(WorkerSession, EventIsTakenCarriedOutAndCommitted)
{
    Event e = announce("/hello.txt", "hello from the server");
    ASSERT_EQ(0, loop.Run());
    ASSERT_TRUE(WaitFor([this] { return pending() == 0; }, 20000));
    EXPECT_EQ("hello from the server", readFile(local + "/hello.txt"));
    DBFileInfo row;
    ASSERT_EQ(1, db().getEventInfo("/hello.txt", row));
    EXPECT_EQ(e.m_sync_id, row.syncID);
    EXPECT_EQ(e.m_data_hash, row.fileCheckSum);
}

TEST_F(WorkerSession, InterruptedDownloadLeavesNoPartialFileAndRunsAgain)
{
    ASSERT_EQ(0, server.admin({"fault", "add", "delay", "5", "--action", "resume_download"}));
    announce("/big.bin", std::string(1 << 20, 'x'));
    ASSERT_EQ(0, loop.Run());
    ASSERT_TRUE(WaitFor([this] { return downloading(); }, 20000));
    interrupt();
    EXPECT_TRUE(folder().empty());
    EXPECT_EQ(1, pending()); // given back, not lost

    ASSERT_TRUE(WaitFor([this] { return pending() == 0; }, 30000));
    EXPECT_EQ(std::string(1 << 20, 'x'), readFile(local + "/big.bin"));
}

TEST_F(WorkerSession, PausedMidTransferKeepsAResumableJob)
{
    ASSERT_EQ(0, server.admin({"fault", "add", "delay", "5", "--action", "resume_download"}));
    announce("/big.bin", std::string(1 << 20, 'y'));
    ASSERT_EQ(0, loop.Run());
    ASSERT_TRUE(WaitFor([this] { return downloading(); }, 20000));
    loop.Pause();
    interrupt();
    EXPECT_TRUE(folder().empty());
    EXPECT_EQ(1u, ResumeTransMgr::GetInstance().Size());

    loop.Resume();
    ASSERT_TRUE(WaitFor([this] { return pending() == 0; }, 30000));
    EXPECT_EQ(std::string(1 << 20, 'y'), readFile(local + "/big.bin"));
    EXPECT_TRUE(ResumeTransMgr::GetInstance().IsEmpty()); // taken back by the retry
}

TEST_F(WorkerSession, KillDuringWorkThenRestartLosesAndDuplicatesNothing)
{
    const int kFiles = 12;
    std::vector<Event> events;
    for (int i = 0; i < kFiles; ++i) {
        events.push_back(announce("/f" + std::to_string(i), std::string(20000 + i, 'a' + i % 26),
                                  false));
    }
    const std::string db_path = config + "/db/event-db.sqlite";
    const std::string filter_path = dir.path() + "/filter.sqlite";
    // The child opens the databases itself, as a daemon would.
    db().destroy();
    FilterDB::getInstance().destroy();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        db().initialize(db_path.c_str());
        FilterDB::getInstance().initialize(filter_path.c_str());
        for (const Event &e : events) {
            EventManager::getInstance().PushServerEvent(e);
        }
        loop.Run();
        for (;;) {
            pause();
        }
    }
    // Killed while files arrive: some are committed, one may be in flight.
    EXPECT_TRUE(WaitFor([this] { return folder().size() >= 3; }, 30000));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    ASSERT_EQ(0, db().initialize(db_path.c_str()));
    ASSERT_EQ(0, FilterDB::getInstance().initialize(filter_path.c_str()));
    for (const Event &e : events) {
        ASSERT_EQ(0, EventManager::getInstance().PushServerEvent(e));
    }
    ASSERT_EQ(0, loop.Run());
    ASSERT_TRUE(WaitFor([this] { return pending() == 0; }, 60000));
    EXPECT_EQ(static_cast<size_t>(kFiles), folder().size()); // no conflict copies, no strays
    for (int i = 0; i < kFiles; ++i) {
        std::string path = "/f" + std::to_string(i);
        EXPECT_EQ(std::string(20000 + i, 'a' + i % 26), readFile(local + path)) << path;
        DBFileInfo row;
        ASSERT_EQ(1, db().getEventInfo(path.c_str(), row)) << path;
        EXPECT_EQ(events[i].m_sync_id, row.syncID) << path;
    }
}

} // namespace
