// aerolithctl against the real daemon: start, send, shortcuts, stop, and its errors.
#include "support/control-fake-ui.h"
#include "support/other-user.h"
#include "support/process-usage.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace
{

const std::string kCtl = std::string(AEROLITH_BINARY_DIR) + "/tools/aerolithctl";

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

pid_t spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err)
{
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> argv{const_cast<char *>(kCtl.c_str())};
        for (const auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(kCtl.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int waitStatus(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class AerolithctlTest : public ::testing::Test
{
protected:
    // What aerolithctl remembers for the daemon goes into this test's directory.
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", dir.file("xdg").c_str(), 1); }

    Result ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--state", state});
        Result r;
        r.status = waitStatus(spawn(args, dir.file("ctl.out"), dir.file("ctl.err")));
        r.out = readFile(dir.file("ctl.out"));
        r.err = readFile(dir.file("ctl.err"));
        return r;
    }

    // Starts the daemon through aerolithctl and waits for the remembered port.
    void startDaemon()
    {
        ui_port = unusedPort();
        std::string conf = dir.write(
            "conf", "is_foreground = true\npid_file_path = " + dir.file("pid") +
                        "\nlog_level_file_path = " + dir.write("levels", "client_debug = 7\n") +
                        "\nfstat_db_path = " + dir.file("fstat.sqlite") + "\nfilter_db_path = " +
                        dir.file("filter.sqlite") + "\nsystem_filter_path = " +
                        dir.write("system.filter", "[Version]\nmajor = 1\nminor = 0\n") +
                        "\nui_port = " + std::to_string(ui_port) + "\n");
        starter = spawn({"--state", state, "start", "--config", conf}, dir.file("start.out"),
                        dir.file("start.err"));
        for (int i = 0; i < 500 && !fileExists(state); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fileExists(state)) << readFile(dir.file("start.err"));
    }

    // What aerolithctl start has printed, once it holds `text` or 10 s have passed.
    std::string waitForOutput(const std::string &text)
    {
        auto start = std::chrono::steady_clock::now();
        std::string out = readFile(dir.file("start.out"));
        while (out.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            out = readFile(dir.file("start.out"));
        }
        return out;
    }

    void TearDown() override
    {
        if (starter > 0) {
            kill(starter, SIGTERM);
            waitStatus(starter);
        }
    }

    TempDir dir;
    std::string state = dir.file("ctl.state");
    int ui_port = 0;
    pid_t starter = -1;
};

TEST_F(AerolithctlTest, StartSendShortcutsAndStop)
{
    startDaemon();
    EXPECT_NE(std::string::npos, readFile(state).find("daemon_port = "));

    Result status = ctl({"status", "--json"});
    EXPECT_EQ(0, status.status) << status.err;
    EXPECT_EQ("{\"ack\":\"ok\",\"connection_list\":null,\"session_list\":null,"
              "\"worker_list\":null}\n",
              status.out);
    Result readable = ctl({"status"});
    EXPECT_EQ("sessions (0):\nworkers busy (0):\nconnections (0):\n", readable.out);
    Result link = ctl({"link"});
    EXPECT_EQ("{\"ack\":\"ok\"}\n", link.out) << link.err;
    Result sent = ctl({"send", "{\"action\":\"probe\",\"n\":-5,\"b\":[true,false,null],"
                               "\"m\":{\"s\":\"\xc3\xa9t\xc3\xa9\"}}"});
    EXPECT_EQ("{\"ack\":\"ok\"}\n", sent.out) << sent.err;
    EXPECT_EQ("{\"ack\":\"ok\"}\n", ctl({"unlink"}).out);

    Result stop = ctl({"stop"});
    EXPECT_EQ(0, stop.status) << stop.err;
    EXPECT_EQ("", stop.out);
    EXPECT_EQ(0, waitStatus(starter));
    starter = -1;
    EXPECT_FALSE(fileExists(state));
    EXPECT_FALSE(fileExists(dir.file("pid")));

    std::string out = readFile(dir.file("start.out"));
    EXPECT_NE(std::string::npos, out.find("{\"daemon_port\":")) << out;
    // The daemon's own log shows how the JSON arrived.
    EXPECT_NE(std::string::npos,
              out.find(">>> {\"action\": \"probe\", \"b\": [1, 0, null], \"m\": {\"s\": "
                       "\"\xc3\xa9t\xc3\xa9\"}, \"n\": 18446744073709551611}"))
        << out;
}

TEST_F(AerolithctlTest, StartSendsTheRememberedStateAgain)
{
    startDaemon();
    EXPECT_EQ("{\"ack\":\"ok\"}\n", ctl({"link"}).out);
    // Refused actions are not remembered.
    Result refused = ctl({"remove-session", "--session-id", "4"});
    EXPECT_NE(std::string::npos, refused.out.find("Invalid session.")) << refused.err;
    std::string remembered = readFile(dir.file("xdg") + "/aerolithctl/remembered.json");
    EXPECT_NE(std::string::npos, remembered.find("\"linked\": true")) << remembered;
    EXPECT_EQ(0, ctl({"stop"}).status);
    EXPECT_EQ(0, waitStatus(starter));

    // A new start links the daemon again without being asked.
    startDaemon();
    std::string out = waitForOutput("remembered messages");
    EXPECT_NE(std::string::npos, out.find("sent 1 remembered messages to the daemon (0 failed)"))
        << out;
    EXPECT_NE(std::string::npos, out.find(">>> {\"action\": \"link\"}")) << out;
}

TEST_F(AerolithctlTest, VerbArgumentsAreCheckedBeforeAnythingIsSent)
{
    const std::vector<std::vector<std::string>> cases = {
        {"add-session", "--session-id", "1"},
        {"add-session", "--session-id", "x", "--view-id", "1", "--folder", "/f", "--config-dir",
         "/c"},
        {"pause", "--session-id"},
        {"reload-session"},
        {"add-event", "--session-id", "1", "--type", "upload"},
        {"wait-idle", "--timeout", "-3"},
    };
    for (const auto &args : cases) {
        Result r = ctl(args);
        EXPECT_EQ(1, r.status) << args[0];
        EXPECT_NE(std::string::npos, r.err.find("aerolithctl: ")) << args[0] << r.err;
    }
}

TEST_F(AerolithctlTest, StartIgnoresAnnouncementsOfAnotherUser)
{
    std::string why = otherUserUnavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    startDaemon();
    std::string before = readFile(state);
    // {"daemon_port": 1} from another user's process.
    std::string wire =
        std::string("\x42\x10\x00\x0b", 4) + "daemon_port" + std::string("\x01\x01\x01\x40", 4);
    int port = ui_port;
    EXPECT_EQ(0, runAsNobody([port, &wire] {
                  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                  struct sockaddr_in addr = {};
                  addr.sin_family = AF_INET;
                  addr.sin_port = htons(static_cast<uint16_t>(port));
                  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
                      return 2;
                  ssize_t n = ::send(fd, wire.data(), wire.size(), MSG_NOSIGNAL);
                  char byte;
                  ::recv(fd, &byte, 1, 0); // until aerolithctl has closed the connection
                  return n == static_cast<ssize_t>(wire.size()) ? 0 : 3;
              }));
    std::string err;
    for (int i = 0; i < 500 && err.find("refused") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        err = readFile(state + ".log");
    }
    EXPECT_NE(std::string::npos, err.find("refused the notification of another user")) << err;
    EXPECT_EQ(before, readFile(state));
    EXPECT_EQ(std::string::npos, readFile(dir.file("start.out")).find("{\"daemon_port\":1}"));
}

// A connection to the port aerolithctl listens on for the daemon's notifications.
int connectTo(int port)
{
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends {"notify": word} on a new connection, left open for the caller to close.
int sendNotify(int port, const std::string &word)
{
    std::string wire = std::string("\x42\x10\x00\x06", 4) + "notify" + std::string("\x10\x00", 2) +
                       static_cast<char>(word.size()) + word + std::string("\x40", 1);
    int fd = connectTo(port);
    if (fd >= 0 &&
        ::send(fd, wire.data(), wire.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(wire.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Senders that connect and then say nothing (each one would hold a lone reader for its
// whole timeout) do not hold up the notifications behind them.
TEST_F(AerolithctlTest, SilentConnectionsDoNotHoldUpLaterNotifications)
{
    startDaemon();
    std::vector<int> silent;
    for (int i = 0; i < 2; ++i) {
        silent.push_back(connectTo(ui_port));
        ASSERT_GE(silent.back(), 0);
    }
    auto sent = std::chrono::steady_clock::now();
    int fd = sendNotify(ui_port, "probe");
    ASSERT_GE(fd, 0);
    std::string out = waitForOutput("{\"notify\":\"probe\"}");
    // One reader after another would have waited 3 s for each silent connection first.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3)) << out;
    EXPECT_NE(std::string::npos, out.find("{\"notify\":\"probe\"}")) << out;
    ::close(fd);
    for (int s : silent) {
        ::close(s);
    }
}

// A flood of connections that say nothing takes a bounded number of descriptors (the rest
// wait in the kernel's backlog), and notifications are read again once it ends.
TEST_F(AerolithctlTest, AFloodOfSilentConnectionsHoldsBoundedDescriptors)
{
    startDaemon();
    int baseline = CountOpenFdsOf(starter);
    ASSERT_GT(baseline, 0);
    // More than the accept queue (64) and the readers (4) hold, fewer than those plus the
    // listen backlog (64), so that every connect completes.
    std::vector<int> silent;
    for (int i = 0; i < 120; ++i) {
        silent.push_back(connectTo(ui_port));
        ASSERT_GE(silent.back(), 0);
    }
    auto start = std::chrono::steady_clock::now();
    while (CountOpenFdsOf(starter) < baseline + 64 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Watched for a while: an unbounded loop would have taken all 120 by now.
    int most = 0;
    for (int i = 0; i < 30; ++i) {
        most = std::max(most, CountOpenFdsOf(starter));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(most, baseline + 64);
    EXPECT_LE(most, baseline + 64 + 4 + 4);

    for (int s : silent) {
        ::close(s);
    }
    int fd = sendNotify(ui_port, "after");
    ASSERT_GE(fd, 0);
    std::string out = waitForOutput("{\"notify\":\"after\"}");
    EXPECT_NE(std::string::npos, out.find("{\"notify\":\"after\"}")) << out;
    ::close(fd);
}

TEST_F(AerolithctlTest, ConnectReconnectAndDisconnectCarryEveryConnectionKey)
{
    startDaemon();
    Result added = ctl({"connect",
                        "--connection-id",
                        "12",
                        "--server-ip=10.1.2.3",
                        "--server-port",
                        "7000",
                        "--session",
                        "tok",
                        "--connection-mode",
                        "2",
                        "--ssl-server-hostname",
                        "files.example.org",
                        "--username",
                        "alice",
                        "--computer-name",
                        "desk",
                        "--use-ssl",
                        "--no-ssl-allow-untrust",
                        "--package-major",
                        "4",
                        "--package-minor",
                        "2",
                        "--package-version",
                        "3301",
                        "--use-proxy=yes",
                        "--use-sys-proxy=0",
                        "--proxy-ip",
                        "10.9.9.9",
                        "--proxy-port",
                        "3128",
                        "--proxy-username",
                        "pu",
                        "--proxy-password",
                        "pw",
                        "--proxy-domain",
                        "CORP",
                        "--proxy-host",
                        "ws1",
                        "--use-tunnel",
                        "--tunnel-ip",
                        "10.8.8.8",
                        "--tunnel-port",
                        "443"});
    EXPECT_EQ("{\"ack\":\"ok\"}\n", added.out) << added.err;
    Result status = ctl({"status", "--json"});
    EXPECT_NE(std::string::npos, status.out.find("\"connection_list\":[{\"connection_id\":12,"
                                                 "\"status\":\"disconnected\"}]"))
        << status.out;
    std::string log = readFile(dir.file("start.out"));
    EXPECT_NE(std::string::npos,
              log.find(">>> {\"action\": \"link_connection\", \"computer_name\": \"desk\", "
                       "\"connection_id\": 12, \"connection_mode\": 2, \"package_major\": 4, "
                       "\"package_minor\": 2, \"package_version\": 3301, \"proxy_domain\": "
                       "\"CORP\", \"proxy_host\": \"ws1\", \"proxy_ip\": \"10.9.9.9\", "
                       "\"proxy_password\": \"pw\", \"proxy_port\": 3128, \"proxy_username\": "
                       "\"pu\", \"server_ip\": \"10.1.2.3\", \"server_port\": 7000, "
                       "\"session\": \"tok\", \"ssl_allow_untrust\": 0, "
                       "\"ssl_server_hostname\": \"files.example.org\", \"tunnel_ip\": "
                       "\"10.8.8.8\", \"tunnel_port\": 443, \"use_proxy\": 1, "
                       "\"use_ssl\": 1, \"use_sys_proxy\": 0, \"use_tunnel\": 1, "
                       "\"username\": \"alice\"}"))
        << log;

    Result reloaded = ctl({"reconnect", "--connection-id", "12", "--server-ip", "10.1.2.4",
                           "--server-port", "7001", "--session", "tok2"});
    EXPECT_EQ("{\"ack\":\"ok\"}\n", reloaded.out) << reloaded.err;
    ctl({"connect", "--reload", "--connection-id", "13", "--server-ip", "10.1.2.5", "--server-port",
         "7002", "--session", "t"}); // unknown id: nothing added
    ctl({"connect", "--connection-id", "14", "--server-ip", "10.1.2.6", "--server-port", "7003",
         "--session", "t"});
    EXPECT_NE(std::string::npos,
              ctl({"status", "--json"})
                  .out.find("\"connection_list\":[{\"connection_id\":12,"
                            "\"status\":\"disconnected\"},{\"connection_id\":14,"));
    EXPECT_EQ("{\"ack\":\"ok\"}\n", ctl({"disconnect", "--connection-id", "12"}).out);
    EXPECT_NE(std::string::npos,
              ctl({"status", "--json"}).out.find("\"connection_list\":[{\"connection_id\":14,"));
    EXPECT_EQ("{\"ack\":\"ok\"}\n", ctl({"disconnect"}).out);
    EXPECT_NE(std::string::npos, ctl({"status", "--json"}).out.find("\"connection_list\":null"));
}

TEST_F(AerolithctlTest, ClearErrorsWhenTheDaemonCannotBeReached)
{
    const struct {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{"status"}, "aerolithctl: no daemon known: no control port in "},
        {{"--port", std::to_string(unusedPort()), "link"},
         "aerolithctl: cannot reach the daemon at 127.0.0.1:"},
        {{"--port", "1", "send", "{\"action\":"}, "aerolithctl: not valid JSON: "},
        {{"--port", "1", "send", "{\"x\":1.5}"}, "aerolithctl: only objects, arrays"},
        {{"--port", "99999", "stop"}, "aerolithctl: not a port number: 99999"},
        {{"start"}, "aerolithctl: start needs --config FILE"},
        {{"--port", "1", "connect", "--connection-id", "1", "--server-ip", "10.0.0.1",
          "--server-port", "7000"},
         "aerolithctl: connect needs --session"},
        {{"--port", "1", "connect", "--server-port", "70000"},
         "aerolithctl: invalid value for --server-port: 70000"},
        {{"--port", "1", "connect", "--use-ssl=maybe"},
         "aerolithctl: invalid value for --use-ssl: maybe"},
        {{"--port", "1", "connect", "--connection-id", "-3"},
         "aerolithctl: invalid value for --connection-id: -3"},
        {{"--port", "1", "reconnect", "--proxy-ip"}, "aerolithctl: --proxy-ip needs a value"},
        {{"--port", "1", "connect", "--colour", "red"},
         "aerolithctl: unknown connection option: --colour"},
        {{"--port", "1", "disconnect", "--server-ip", "10.0.0.1"},
         "aerolithctl: disconnect takes no option but --connection-id"},
    };
    for (const auto &c : cases) {
        Result r = ctl(c.args);
        EXPECT_NE(0, r.status) << c.error;
        EXPECT_EQ(0u, r.err.find(c.error)) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_EQ("", r.out);
    }
}

} // namespace
