// aerolith-server request by request, over loopback with the project's own channel and
// stream: connect, pull cursor, uploads, downloads and removals.
#include "support/server-process.h"
#include "support/temp-dir.h"

#include "rsapi-cpp/api.h"

#include <gtest/gtest.h>

namespace
{

std::string Md4Of(const std::string &path)
{
    ustring hash;
    SimpleFileReader reader;
    reader.setFile(ustring(path));
    reader.setHashString(&hash);
    if (reader.readFile() < 0)
        return std::string();
    return std::string(hash.c_str_utf8(), hash.length());
}

class ServerRequests : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        acct = server.createAccount("alice", "docs");
        ASSERT_EQ(acct.view_id, 1u);
        client.reset(new ServerClient(server.port()));
        ASSERT_EQ(client->open(), 0);
        client->setRecvDir(tmp.path());
        ASSERT_EQ(client->connect(acct), 0);
    }

    PObject Base(const std::string &path = std::string())
    {
        PObject req;
        req["session"] = acct.token;
        req["view_id"] = acct.view_id;
        if (!path.empty())
            req["path"] = path;
        return req;
    }

    // A whole-content upload of text to path based on sync_id.
    PObject Upload(const std::string &path, const std::string &text, uint64_t sync_id)
    {
        std::string local = tmp.write("up-" + std::to_string(counter++), text);
        PObject req = Base(path);
        req["sync_id"] = sync_id;
        req["is_dir"] = false;
        req["file"]["size"] = static_cast<uint64_t>(text.size());
        req["file"]["hash"] = Md4Of(local);
        req["file"]["refer"] = false;
        req["file"]["is_delta"] = false;
        PObject::binary_type bin;
        bin.path = local;
        bin.length = text.size();
        req["file"]["data"] = bin;
        req["mtime"]["refer"] = false;
        req["mtime"]["mtime"] = 1700000000u;
        PObject ans;
        EXPECT_EQ(client->request(23, "upload", req, ans), 0);
        return ans;
    }

    PObject Pull(uint64_t since, const std::string &path = "/", bool recursive = true)
    {
        PObject req = Base(path);
        req["sync_id"] = since;
        req["recursive"] = recursive;
        req["node_id"] = 0u;
        req["file"]["offset"] = 0u;
        req["mtime"]["offset"] = 0u;
        PObject ans;
        EXPECT_EQ(client->request(6, "pull_event", req, ans), 0);
        return ans;
    }

    PObject Download(const std::string &path, uint64_t basis)
    {
        PObject req = Base(path);
        req["sync_id"] = basis;
        req["file"]["offset"] = 0u;
        PObject ans;
        EXPECT_EQ(client->request(24, "download", req, ans), 0);
        return ans;
    }

    PObject Remove(const std::string &path, uint64_t sync_id, uint64_t max_id)
    {
        PObject req = Base(path);
        req["sync_id"] = sync_id;
        req["max_id"] = max_id;
        PObject ans;
        EXPECT_EQ(client->request(15, "remove", req, ans), 0);
        return ans;
    }

    ServerProcess server;
    ServerAccount acct;
    TempDir tmp;
    std::unique_ptr<ServerClient> client;
    int counter = 0;
};

TEST_F(ServerRequests, ConnectAnswersAliveAndBuild)
{
    PObject ans;
    ASSERT_EQ(client->request(14, "connect", Base(), ans), 0);
    EXPECT_EQ(AnswerCode(ans), 0u);
    EXPECT_EQ(ans["alive"].asUInt32(), 60u);
    EXPECT_EQ(ans["type"].asString(), ustring("response"));
    EXPECT_EQ(ans["server"]["package_version"]["build"].asUInt32(), 1u);
}

TEST_F(ServerRequests, UploadPullDownloadRemoveRoundTrip)
{
    PObject up = Upload("/Docs/a.txt", "hello world\n", 0);
    ASSERT_EQ(AnswerCode(up), 0u) << up.toString().c_str_utf8();
    uint64_t file_sync = up["sync_id"].asUInt64();
    EXPECT_EQ(up["max_id"].asUInt64(), file_sync);
    EXPECT_NE(up["file"]["file_id"].asUInt64(), 0u);

    // The parent was created first, as its own entry.
    PObject pull = Pull(0);
    ASSERT_EQ(pull["event_list"].asArray().size(), 2u) << pull.toString().c_str_utf8();
    EXPECT_EQ(pull["event_list"][0u]["path"].asString(), ustring("/Docs"));
    EXPECT_EQ(pull["event_list"][0u]["max_id"].asUInt64(), file_sync);
    EXPECT_EQ(pull["event_list"][1u]["path"].asString(), ustring("/Docs/a.txt"));
    EXPECT_EQ(pull["event_list"][1u]["file"]["size"].asUInt64(), 12u);
    EXPECT_EQ(pull["next_sync_id"].asUInt64(), file_sync);
    // Nothing new: the position comes back unchanged.
    EXPECT_EQ(Pull(file_sync)["next_sync_id"].asUInt64(), file_sync);
    // A sub-folder pull reports paths relative to it.
    PObject sub = Pull(0, "/Docs");
    ASSERT_EQ(sub["event_list"].asArray().size(), 1u);
    EXPECT_EQ(sub["event_list"][0u]["path"].asString(), ustring("/a.txt"));

    PObject down = Download("/Docs/a.txt", 0);
    ASSERT_EQ(AnswerCode(down), 0u);
    EXPECT_EQ(down["file"]["is_delta"].asBool(), false);
    EXPECT_EQ(readFile(down["file"]["data"].asBinary().path.c_str_utf8()), "hello world\n");
    EXPECT_EQ(Download("/Docs/a.txt", file_sync).hasMember("file"), false);

    EXPECT_EQ(AnswerCode(Remove("/Docs/a.txt", file_sync - 1, file_sync)), 0xA002u);
    PObject rm = Remove("/Docs/a.txt", file_sync, file_sync);
    ASSERT_EQ(AnswerCode(rm), 0u);
    EXPECT_EQ(AnswerCode(Remove("/Docs/a.txt", file_sync, file_sync)), 0xA001u);
    EXPECT_EQ(AnswerCode(Download("/Docs/a.txt", 0)), 0x8001u);

    std::string out = tmp.file("got");
    EXPECT_TRUE(server.adminJson({"get", "1", "/Docs/a.txt", out, "--sync-id",
                                  std::to_string(file_sync)})
                    .is_object());
    EXPECT_EQ(readFile(out), "hello world\n");
}

} // namespace
