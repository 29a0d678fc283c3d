// Session actions against the daemon binary: add, pause and resume by selector, reload
// (recursion, read-only), inject events and remove. No server is needed: a new session is
// registered paused, and these tests never resume it into a pull.
#include "support/control-fake-ui.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>

namespace
{

std::string render(const PObject &obj)
{
    return obj.toString().c_str_utf8();
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

class SessionActionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::setenv("XDG_DATA_HOME", (dir.path() + "/data-home").c_str(), 1);
        daemon.writeSystemFilter();
        ASSERT_TRUE(daemon.start()) << daemon.output();
        ASSERT_FALSE(request(action("link")).hasMember("error")) << daemon.output();
    }
    void TearDown() override
    {
        if (daemon.running()) {
            ::kill(daemon.pid(), SIGTERM);
            EXPECT_EQ(0, daemon.waitExit());
        }
    }

    PObject request(const PObject &msg)
    {
        PObject reply;
        EXPECT_EQ(0, controlRequest(daemon.controlPort(), msg, reply)) << render(msg);
        return reply;
    }

    // Adds session `id` of connection `conn` with its own folder and configuration.
    PObject addSession(uint64_t id, uint64_t conn)
    {
        std::string base = dir.path() + "/s" + std::to_string(id);
        ::mkdir(base.c_str(), 0700);
        ::mkdir((base + "/folder").c_str(), 0700);
        writeSessionFilterFiles(base + "/config");
        PObject msg = action("add_session");
        msg["connection_id"] = conn;
        msg["session_id"] = id;
        msg["view_id"] = static_cast<uint64_t>(40 + id);
        msg["config_path"] = ustring(base + "/config");
        msg["sync_folder"] = ustring(base + "/folder");
        return request(msg);
    }

    std::string folder(uint64_t id) { return dir.path() + "/s" + std::to_string(id) + "/folder"; }

    // session id -> status text of get_status.
    std::map<uint64_t, std::string> states()
    {
        std::map<uint64_t, std::string> out;
        PObject status = request(action("get_status"));
        if (status["session_list"].isArray()) {
            for (const PObject &s : status["session_list"].asArray()) {
                out[s["session_id"].asUInt64()] = s["status"].asString().c_str_utf8();
            }
        }
        return out;
    }

    PObject selector(const char *name, const char *key, uint64_t value)
    {
        PObject msg = action(name);
        msg[key] = value;
        return msg;
    }

    TempDir dir;
    FakeUI ui;
    DaemonProcess daemon{dir, ui, "worker_count = 1\n"};
};

TEST_F(SessionActionTest, AddNeedsEveryRequiredMemberAndPreparesTheFolders)
{
    PObject missing = action("add_session");
    missing["connection_id"] = 1;
    missing["session_id"] = 1;
    missing["view_id"] = 1;
    missing["config_path"] = ustring(dir.path());
    PObject reply = request(missing);
    EXPECT_EQ("Invalid parameters.", std::string(reply["error"].asString().c_str_utf8()));

    // A stale working directory is emptied when the session is added.
    std::string base = dir.path() + "/s1";
    ::mkdir(base.c_str(), 0700);
    ::mkdir((base + "/folder").c_str(), 0700);
    ::mkdir((base + "/folder/.ZentoraWorkingDirectory").c_str(), 0700);
    writeSessionFilterFiles(base + "/config");
    writeFile(base + "/folder/.ZentoraWorkingDirectory/stale.tmp", "old");
    reply = addSession(1, 1);
    EXPECT_FALSE(reply.hasMember("error")) << render(reply) << daemon.output();
    EXPECT_FALSE(exists(folder(1) + "/.ZentoraWorkingDirectory/stale.tmp"));
    EXPECT_TRUE(exists(folder(1) + "/.ZentoraWorkingDirectory/#ZentRecycle"));
    EXPECT_TRUE(exists(base + "/config/db/sign"));
    EXPECT_TRUE(exists(base + "/config/db/event-db.sqlite"));
    EXPECT_EQ("pause", states()[1]);

    // A folder that does not exist is refused and nothing is registered.
    PObject bad = action("add_session");
    bad["connection_id"] = 1;
    bad["session_id"] = 2;
    bad["view_id"] = 1;
    bad["config_path"] = ustring(base + "/config");
    bad["sync_folder"] = ustring(dir.path() + "/no-such-folder");
    reply = request(bad);
    EXPECT_EQ("Failed to create registry entry.",
              std::string(reply["error"].asString().c_str_utf8()));
    EXPECT_EQ(0u, states().count(2));
}

TEST_F(SessionActionTest, PauseAndResumeSelectBySessionOrConnection)
{
    ASSERT_FALSE(addSession(1, 7).hasMember("error"));
    ASSERT_FALSE(addSession(2, 7).hasMember("error"));
    ASSERT_FALSE(addSession(3, 8).hasMember("error"));

    request(selector("resume", "session_id", 0));
    EXPECT_NE("pause", states()[1]);
    EXPECT_NE("pause", states()[3]);

    request(selector("pause", "connection_id", 7));
    auto s = states();
    EXPECT_EQ("pause", s[1]);
    EXPECT_EQ("pause", s[2]);
    EXPECT_NE("pause", s[3]);

    request(action("pause")); // no selector: nothing changes
    EXPECT_NE("pause", states()[3]);

    request(selector("resume", "session_id", 2));
    s = states();
    EXPECT_EQ("pause", s[1]);
    EXPECT_NE("pause", s[2]);
}

TEST_F(SessionActionTest, RemoveOneOrAllAndUnknownSessions)
{
    ASSERT_FALSE(addSession(1, 1).hasMember("error"));
    ASSERT_FALSE(addSession(2, 1).hasMember("error"));
    ASSERT_FALSE(addSession(3, 1).hasMember("error"));

    PObject reply = request(selector("remove_session", "session_id", 9));
    EXPECT_EQ("Invalid session.", std::string(reply["error"].asString().c_str_utf8()));

    request(selector("remove_session", "session_id", 2));
    auto s = states();
    EXPECT_EQ(2u, s.size());
    EXPECT_EQ(0u, s.count(2));
    // The folder and its databases stay on disk.
    EXPECT_TRUE(exists(dir.path() + "/s2/config/db/event-db.sqlite"));

    request(selector("remove_session", "session_id", 0));
    EXPECT_TRUE(states().empty());
}

TEST_F(SessionActionTest, ReloadValidatesAndNonRecursiveMovesSubFoldersToTrash)
{
    PObject reply = request(action("reload_session"));
    EXPECT_EQ("Invalid parameter", std::string(reply["error"].asString().c_str_utf8()));
    reply = request(selector("reload_session", "session_id", 5));
    EXPECT_EQ("Invalid session.", std::string(reply["error"].asString().c_str_utf8()));

    ASSERT_FALSE(addSession(1, 1).hasMember("error"));
    ::mkdir((folder(1) + "/sub").c_str(), 0700);
    writeFile(folder(1) + "/sub/unsynced.txt", "never uploaded");
    writeFile(folder(1) + "/top.txt", "stays");

    PObject msg = selector("reload_session", "session_id", 1);
    msg["recursive"] = 0;
    reply = request(msg);
    EXPECT_FALSE(reply.hasMember("error")) << render(reply);
    EXPECT_FALSE(exists(folder(1) + "/sub"));
    EXPECT_TRUE(exists(folder(1) + "/top.txt"));
    EXPECT_TRUE(exists(folder(1) + "/.ZentoraWorkingDirectory"));
    // Nothing the user wrote is destroyed: the folder went to the Trash.
    EXPECT_TRUE(exists(dir.path() + "/data-home/Trash/files/sub/unsynced.txt")) << daemon.output();
}

TEST_F(SessionActionTest, AddEventIgnoresUnknownSessionsAndTypesAndRefusesUnsafePaths)
{
    ASSERT_FALSE(addSession(1, 1).hasMember("error"));
    PObject msg = selector("add_event", "session_id", 1);
    msg["type"] = "download";
    msg["path"] = "/x";
    msg["is_dir"] = 0;
    PObject reply = request(msg);
    EXPECT_FALSE(reply.hasMember("error"));
    EXPECT_EQ(0u, request(action("get_status"))["session_list"][0]["unfinished_files"].asUInt64());
    msg["session_id"] = 4;
    msg["type"] = "upload";
    request(msg);
    EXPECT_NE(std::string::npos, daemon.output().find("invalid session id 4"));

    // Paths that could leave the session folder or reach the working directory are refused
    // at intake and never become events.
    msg["session_id"] = 1;
    for (const char *path : {"", "x", "../x", "/a/../../x", "/a/./b", "/a//b", "/a\\b",
                             "/.ZentoraWorkingDirectory/x"}) {
        for (const char *type : {"upload", "remove"}) {
            SCOPED_TRACE(std::string(type) + " " + path);
            msg["type"] = type;
            msg["path"] = path;
            EXPECT_EQ("Invalid parameters.", std::string(request(msg)["error"].asString().c_str_utf8()));
        }
    }
    EXPECT_EQ(0u, request(action("get_status"))["session_list"][0]["unfinished_files"].asUInt64());
    EXPECT_NE(std::string::npos, daemon.output().find("add_event: refused path '../x'"));
}

} // namespace
