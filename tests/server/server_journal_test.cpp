// aerolith-server's journal as the pullers see it: the pull cursor, resume conditions,
// paging under a concurrent writer, removals with max_id, keep-alives and durability
// across kill -9.
#include "server-test-util.h"

#include <chrono>
#include <set>
#include <thread>

namespace
{

using namespace servertest;

std::vector<std::string> Paths(const PObject &pull)
{
    std::vector<std::string> out;
    for (const PObject &e : pull["event_list"].asArray())
        out.push_back(Text(e["path"]) + (e["is_removed"].asBool() ? " (removed)" : ""));
    return out;
}

class ServerJournal : public ServerFixture
{
};

TEST_F(ServerJournal, PullReportsTheLatestStatePerPathInSyncIdOrder)
{
    uint64_t a1 = Upload("/d/a.txt", "one", 0)["sync_id"].asUInt64();
    uint64_t b1 = Upload("/d/b.txt", "b", 0)["sync_id"].asUInt64();
    uint64_t a2 = Upload("/d/a.txt", "two", a1)["sync_id"].asUInt64();
    ASSERT_EQ(AnswerCode(Remove("/d/b.txt", b1, b1)), 0u);
    uint64_t c1 = Upload("/e/c.txt", "c", 0)["sync_id"].asUInt64();

    PObject all = Pull(0);
    EXPECT_EQ(Paths(all), (std::vector<std::string>{"/d", "/d/a.txt", "/e", "/e/c.txt"}));
    uint64_t prev = 0;
    for (const PObject &e : all["event_list"].asArray()) {
        EXPECT_GT(e["sync_id"].asUInt64(), prev);
        prev = e["sync_id"].asUInt64();
        if (!e["is_dir"].asBool()) {
            EXPECT_EQ(e["max_id"].asUInt64(), e["sync_id"].asUInt64());
        }
        EXPECT_FALSE(e.hasMember("exec_bit"));
    }
    // The directory's max_id is the newest change below it, the removal of b.txt included.
    EXPECT_EQ(all["event_list"][0u]["max_id"].asUInt64(), a2 + 1);
    EXPECT_EQ(all["event_list"][1u]["file"]["hash"].asString().length(), 32u);
    EXPECT_EQ(all["next_sync_id"].asUInt64(), c1);
    // From a position, the tombstone is reported.
    EXPECT_EQ(Paths(Pull(b1)), (std::vector<std::string>{"/d/a.txt", "/d/b.txt (removed)",
                                                         "/e", "/e/c.txt"}));
    // Re-created after removal: a new live entry.
    Upload("/d/b.txt", "again", 0);
    EXPECT_EQ(Paths(Pull(c1)), (std::vector<std::string>{"/d/b.txt"}));
    // Non-recursive lists only direct children; a sub-folder pull gives relative paths.
    Upload("/d/sub/deep.txt", "deep", 0);
    EXPECT_EQ(Paths(Pull(0, "/", false)), (std::vector<std::string>{"/d", "/e"}));
    EXPECT_EQ(Paths(Pull(0, "/d", false)),
              (std::vector<std::string>{"/a.txt", "/b.txt", "/sub"}));
    EXPECT_EQ(AnswerCode(Pull(0, "/missing")), 0x3003u);
    EXPECT_EQ(AnswerCode(Pull(0, "/d/a.txt")), 0x3003u);
    // Nothing new: the position comes back even while another view changes.
    uint64_t head = Pull(0)["next_sync_id"].asUInt64();
    ServerAccount bob = server.createAccount("bob", "other");
    server.admin({"put", std::to_string(bob.view_id), "/x", Local("x")});
    EXPECT_EQ(Pull(head)["next_sync_id"].asUInt64(), head);
    EXPECT_TRUE(Pull(head)["event_list"].asArray().empty());
    EXPECT_EQ(Pull(head + 1000)["next_sync_id"].asUInt64(), head + 1000);
}

TEST_F(ServerJournal, ConditionsSelectWhatALoosenedFilterHid)
{
    Upload("/Photos/IMG.JPG", "jpeg", 0);
    Upload("/Photos/raw.cr2", std::string(5000, 'r'), 0);
    Upload("/Photosynth/p.txt", "p", 0);
    Upload("/docs/.hidden", "h", 0);
    Upload("/docs/notes.txt", "n", 0);
    uint64_t s = Upload("/docs/old.txt", "o", 0)["sync_id"].asUInt64();
    ASSERT_EQ(AnswerCode(Remove("/docs/old.txt", s, s)), 0u);
    struct Case {
        const char *name;
        PObject cond;
        uint64_t since;
        std::vector<std::string> expect;
    };
    auto cond = [](std::initializer_list<std::pair<const char *, PObject>> kv) {
        PObject c;
        c.asMap();
        for (auto &p : kv)
            c[p.first] = p.second;
        return c;
    };
    const Case cases[] = {
        {"name, any case", cond({{"name", "img.jpg"}}), 0, {"/Photos/IMG.JPG"}},
        {"extension, any case", cond({{"extension", "jpg"}}), 0, {"/Photos/IMG.JPG"}},
        {"extension *", cond({{"extension", "*"}}), 0,
         {"/Photos/IMG.JPG", "/Photos/raw.cr2", "/Photosynth/p.txt", "/docs/.hidden",
          "/docs/notes.txt"}},
        {"a leading dot is no extension", cond({{"extension", "hidden"}}), 0, {}},
        {"prefix matches itself and below, not siblings", cond({{"prefix", "/photos"}}), 0,
         {"/Photos", "/Photos/IMG.JPG", "/Photos/raw.cr2"}},
        {"size bounds inclusive", cond({{"min_size", 1u}, {"max_size", 4u}}), 0,
         {"/Photos/IMG.JPG", "/Photosynth/p.txt", "/docs/.hidden", "/docs/notes.txt"}},
        {"size without both bounds is ignored", cond({{"min_size", 4000u}}), 0,
         {"/Photos", "/Photos/IMG.JPG", "/Photos/raw.cr2", "/Photosynth", "/Photosynth/p.txt",
          "/docs", "/docs/.hidden", "/docs/notes.txt"}},
        {"tombstones by name", cond({{"name", "old.txt"}}), 1, {"/docs/old.txt (removed)"}},
        {"no tombstones by size", cond({{"min_size", 0u}, {"max_size", 10u}}), s - 1, {}},
        {"kinds combine", cond({{"prefix", "/docs"}, {"extension", "txt"}}), 0,
         {"/docs/notes.txt"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PObject req = PullRequest(c.since);
        req["condition"] = c.cond;
        std::vector<std::string> got = Paths(Send(6, "pull_event", req));
        std::sort(got.begin(), got.end());
        std::vector<std::string> want = c.expect;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
    }
}

TEST_F(ServerJournal, PagingAcrossAConcurrentWriterNeitherLosesNorRepeats)
{
    ASSERT_TRUE(server.stop());
    ServerProcess::Options o;
    o.extra_args = {"--page", "2"};
    ASSERT_TRUE(server.start(o));
    client = NewClient();
    ASSERT_TRUE(client);
    for (int i = 0; i < 6; ++i)
        Upload("/f" + std::to_string(i), "x", 0);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        std::unique_ptr<ServerClient> w = NewClient();
        for (int i = 0; i < 20 && w; ++i)
            Send(23, "upload", UploadRequest("/w" + std::to_string(i), Local("w"), 0), w.get());
        writing = false;
    });
    std::set<uint64_t> seen;
    std::set<std::string> paths;
    uint64_t pos = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        // Read before the pull: a pull that finds nothing new after the writer ended has
        // seen all of its changes.
        bool was_writing = writing;
        PObject page = Pull(pos);
        EXPECT_LE(page["event_list"].asArray().size(), 2u);
        for (const PObject &e : page["event_list"].asArray()) {
            EXPECT_TRUE(seen.insert(e["sync_id"].asUInt64()).second) << "repeated";
            paths.insert(Text(e["path"]));
        }
        uint64_t next = page["next_sync_id"].asUInt64();
        if (next == pos && !was_writing)
            break;
        pos = next;
    }
    writer.join();
    EXPECT_EQ(paths.size(), 26u);
}

TEST_F(ServerJournal, RemoveHonoursSyncIdAndMaxId)
{
    uint64_t f = Upload("/file", "f", 0)["sync_id"].asUInt64();
    uint64_t g = Upload("/file", "g", f)["sync_id"].asUInt64();
    EXPECT_EQ(AnswerCode(Remove("/file", f, f)), 0xA002u);
    EXPECT_EQ(AnswerCode(Remove("/nothing", 1, 1)), 0xA001u);
    EXPECT_EQ(AnswerCode(Remove("/file", g, g)), 0u);
    EXPECT_EQ(AnswerCode(Remove("/file", g, g)), 0xA001u);

    Upload("/top/a/x.txt", "x", 0);
    Upload("/top/a/y.txt", "y", 0);
    Upload("/top/b.txt", "b", 0);
    uint64_t seen_max = Upload("/top/a/z/w.txt", "w", 0)["sync_id"].asUInt64();
    nlohmann::json top, ls = server.adminJson({"ls", "1"});
    for (auto &e : ls["entries"])
        if (e["path"] == "/top")
            top = e;
    // Another client adds below /top after the remover last looked.
    Put("/top/late.txt", "late");
    EXPECT_EQ(AnswerCode(Remove("/top", top["sync_id"].get<uint64_t>(), seen_max)), 0xA002u);
    uint64_t head = Pull(0)["next_sync_id"].asUInt64();
    PObject rm = Remove("/top", top["sync_id"].get<uint64_t>(), head);
    ASSERT_EQ(AnswerCode(rm), 0u);
    // Post-order, consecutive ids, the directory last.
    PObject pulled = Pull(head);
    EXPECT_EQ(Paths(pulled),
              (std::vector<std::string>{"/top/a/x.txt (removed)", "/top/a/y.txt (removed)",
                                        "/top/a/z/w.txt (removed)", "/top/a/z (removed)",
                                        "/top/a (removed)", "/top/b.txt (removed)",
                                        "/top/late.txt (removed)", "/top (removed)"}));
    uint64_t id = head;
    for (const PObject &e : pulled["event_list"].asArray())
        EXPECT_EQ(e["sync_id"].asUInt64(), ++id);
    EXPECT_EQ(rm["sync_id"].asUInt64(), id);
    EXPECT_EQ(pulled["event_list"][7u]["max_id"].asUInt64(), id);
}

class ServerKeepAlive : public ServerFixture
{
protected:
    ServerProcess::Options ServerOptions() override
    {
        ServerProcess::Options o;
        o.extra_args = {"--keepalive", "1"};
        return o;
    }
};

TEST_F(ServerKeepAlive, DelaySendsKeepAlivesAndStallSendsNone)
{
    server.admin({"fault", "add", "delay", "3", "--action", "pull_event"});
    int keepalives = 0;
    PObject ans = Send(6, "pull_event", PullRequest(0), nullptr, &keepalives);
    EXPECT_EQ(AnswerCode(ans), 0u);
    EXPECT_GE(keepalives, 2);
    server.admin({"fault", "add", "stall", "2", "--action", "pull_event"});
    ans = Send(6, "pull_event", PullRequest(0), nullptr, &keepalives);
    EXPECT_EQ(AnswerCode(ans), 0u);
    EXPECT_EQ(keepalives, 0);
}

TEST_F(ServerKeepAlive, FaultKindsAnswerAsInjected)
{
    server.admin({"fault", "add", "error", "0x3002", "--action", "pull_event", "--count", "2"});
    EXPECT_EQ(AnswerCode(Pull(0)), 0x3002u);
    EXPECT_EQ(AnswerCode(Pull(0)), 0x3002u);
    EXPECT_EQ(AnswerCode(Pull(0)), 0u);
    server.admin({"fault", "add", "alive0", "--action", "pull_event"});
    EXPECT_EQ(Pull(0)["alive"].asUInt32(), 0u);
    client = NewClient();
    ASSERT_TRUE(client);
    server.admin({"fault", "add", "close", "--action", "pull_event"});
    PObject ans;
    EXPECT_LT(client->request(6, "pull_event", PullRequest(0), ans), 0);
    server.admin({"fault", "add", "reject", "--action", "accept"});
    ServerClient rejected(server.port());
    ASSERT_EQ(rejected.open(), 0);
    EXPECT_NE(rejected.connect(acct), 0);
    EXPECT_TRUE(NewClient() != nullptr);
    // A bad token still sees its own code before any fault.
    client = NewClient();
    ASSERT_TRUE(client);
    server.admin({"fault", "add", "error", "0x4002"});
    PObject bad = PullRequest(0);
    bad["session"] = "nope";
    EXPECT_EQ(AnswerCode(Send(6, "pull_event", bad)), 0x1001u);
    EXPECT_EQ(AnswerCode(Pull(0)), 0x4002u);
    EXPECT_EQ(server.adminJson({"fault", "list"})["faults"].size(), 0u);
}

TEST_F(ServerJournal, AnsweredChangesSurviveKillNine)
{
    std::string content = RandomBytes(700 * 1024, 12);
    PObject up = Upload("/durable.bin", content, 0);
    ASSERT_EQ(AnswerCode(up), 0u);
    uint64_t sync_id = up["sync_id"].asUInt64();
    server.kill9();
    ASSERT_TRUE(server.start());
    client = NewClient();
    ASSERT_TRUE(client);
    PObject pull = Pull(0);
    ASSERT_EQ(Paths(pull), (std::vector<std::string>{"/durable.bin"}));
    EXPECT_EQ(pull["event_list"][0u]["sync_id"].asUInt64(), sync_id);
    std::string out = tmp.file("after");
    ASSERT_TRUE(server.adminJson({"get", "1", "/durable.bin", out}).is_object());
    EXPECT_TRUE(readFile(out) == content);
    // New changes continue the id sequence.
    EXPECT_GT(Upload("/next", "n", 0)["sync_id"].asUInt64(), sync_id);
}

} // namespace
