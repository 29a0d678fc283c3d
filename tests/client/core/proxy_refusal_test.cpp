// A daemon whose connection goes through a real squid with a wrong Basic password: the user
// interface learns of it as a connection error, the puller retries at its own pace rather
// than hammering the proxy, and once the right password arrives by "reload_connection" the
// session syncs.
#include "support/control-fake-ui.h"
#include "support/server-process.h"
#include "support/squid-process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

const int kAuthError = -6;

PObject connectionMessage(const char *name, int server_port, const std::string &token,
                          int proxy_port, const char *password)
{
    PObject msg = action(name);
    msg["connection_id"] = static_cast<uint64_t>(1);
    msg["server_ip"] = "127.0.0.1";
    msg["server_port"] = static_cast<uint64_t>(server_port);
    msg["session"] = ustring(token);
    msg["use_proxy"] = true;
    msg["proxy_ip"] = "127.0.0.1";
    msg["proxy_port"] = static_cast<uint64_t>(proxy_port);
    msg["proxy_username"] = "User";
    msg["proxy_password"] = password;
    return msg;
}

// Arrival times of the authentication errors of connection 1 reported to the interface.
std::vector<Clock::time_point> authErrors(FakeUI &ui)
{
    std::vector<PObject> messages = ui.messages();
    std::vector<Clock::time_point> times = ui.arrivals(), found;
    for (size_t i = 0; i < messages.size() && i < times.size(); ++i) {
        PObject &m = messages[i];
        if (m["notify"].asString() == ustring("error") && m["error_type"].asInt64() == kAuthError &&
            m["conn_id"].asUInt64() == 1 && m["sess_id"].asUInt64() == 1)
            found.push_back(times[i]);
    }
    return found;
}

template <typename Pred> bool waitUntil(Pred pred, int seconds)
{
    Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}

} // namespace

TEST(ProxyRefusalTest, WrongPasswordIsReportedAndRetriedAtThePullersPace)
{
    ASSERT_NE("", SquidProcess::Binary()) << "squid is not installed (scripts/deps.sh)";
    SquidProcess squid;
    std::string error;
    ASSERT_TRUE(squid.Start(SquidProcess::BASIC, "User", "Password", error)) << error;
    ServerProcess server;
    ASSERT_TRUE(server.start());
    ServerAccount acct = server.createAccount("alice", "docs");

    TempDir dir;
    ::setenv("XDG_DATA_HOME", (dir.path() + "/data-home").c_str(), 1);
    FakeUI ui;
    DaemonProcess daemon(dir, ui, "worker_count = 1\n");
    daemon.writeSystemFilter();
    ASSERT_TRUE(daemon.start()) << daemon.output();
    auto request = [&](const PObject &msg) {
        PObject reply;
        EXPECT_EQ(0, controlRequest(daemon.controlPort(), msg, reply));
        EXPECT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
    };
    request(action("link"));
    request(connectionMessage("link_connection", server.port(), acct.token, squid.port(), "wrong"));
    std::string base = dir.path() + "/s1";
    ::mkdir(base.c_str(), 0700);
    ::mkdir((base + "/folder").c_str(), 0700);
    writeSessionFilterFiles(base + "/config");
    PObject add = action("add_session");
    add["connection_id"] = static_cast<uint64_t>(1);
    add["session_id"] = static_cast<uint64_t>(1);
    add["view_id"] = acct.view_id;
    add["config_path"] = ustring(base + "/config");
    add["sync_folder"] = ustring(base + "/folder");
    request(add);
    PObject resume = action("resume");
    resume["session_id"] = static_cast<uint64_t>(1);
    request(resume);

    // Every failed pull is reported as an authentication error of the connection, and the
    // puller rests 3 seconds between attempts.
    ASSERT_TRUE(waitUntil([&] { return authErrors(ui).size() >= 3; }, 30)) << daemon.output();
    std::vector<Clock::time_point> errors = authErrors(ui);
    for (size_t i = 1; i < errors.size(); ++i) {
        double gap = std::chrono::duration<double>(errors[i] - errors[i - 1]).count();
        EXPECT_GE(gap, 2.5) << "attempt " << i;
    }

    // The right password: the next pull goes through and a server file arrives.
    std::string content = "through the proxy";
    std::ofstream(dir.path() + "/content") << content;
    ASSERT_EQ(0, server.admin({"put", std::to_string(acct.view_id), "/a.txt", dir.path() + "/content"}));
    request(connectionMessage("reload_connection", server.port(), acct.token, squid.port(),
                              "Password"));
    std::string synced = base + "/folder/a.txt";
    ASSERT_TRUE(waitUntil([&] { return readFile(synced) == content; }, 60)) << daemon.output();
    size_t after_sync = authErrors(ui).size();
    // No error is reported once the credentials are right; one that was already on its way
    // when the connection was reloaded is all there may be.
    EXPECT_LE(after_sync, errors.size() + 1);

    ::kill(daemon.pid(), SIGTERM);
    EXPECT_EQ(0, daemon.waitExit());
}
