// The daemon binary end to end over loopback sockets: port announcement, control
// messages and their replies, link and unlink, stop, and hostile clients.
#include "ipc.h"
#include "support/control-fake-ui.h"
#include "support/other-user.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace
{

std::string render(const PObject &obj)
{
    return obj.toString().c_str_utf8();
}

PObject ackOnly()
{
    PObject reply;
    reply["ack"] = "ok";
    return reply;
}

int connectRaw(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Binds 127.0.0.1:port so that nobody else can; -1 when it is taken already.
int occupy(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class DaemonControlTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.output(); }
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

    TempDir dir;
    FakeUI ui;
    DaemonProcess daemon{dir, ui};
};

TEST_F(DaemonControlTest, AnnouncesItsPortOnceAndAnswersStatusWithThreeNulls)
{
    EXPECT_GT(daemon.controlPort(), ui.port());
    PObject status = request(action("get_status"));
    PObject expected = ackOnly();
    expected["connection_list"] = PObject();
    expected["session_list"] = PObject();
    expected["worker_list"] = PObject();
    EXPECT_EQ(render(expected), render(status));

    ASSERT_EQ(1u, ui.messages().size());
    PObject announcement;
    announcement["daemon_port"] = static_cast<uint64_t>(daemon.controlPort());
    EXPECT_EQ(render(announcement), render(ui.messages()[0]));
}

TEST_F(DaemonControlTest, UnknownActionsAndMessagesWithoutActionGetAckOnly)
{
    PObject no_action;
    no_action["session_id"] = static_cast<uint64_t>(7);
    PObject number_action;
    number_action["action"] = static_cast<uint64_t>(3);
    const PObject cases[] = {
        action("reload_setting"), action(""), action("Link"), no_action, number_action,
        PObject("not a map"),     PObject()};
    for (const PObject &msg : cases) {
        EXPECT_EQ(render(ackOnly()), render(request(msg))) << render(msg);
    }
    EXPECT_NE(std::string::npos, daemon.output().find("<<< Unknown IPC action: reload_setting\n"));
}

TEST_F(DaemonControlTest, LinkFailsWithoutSystemFilterThenLinksAndUnlinksTwice)
{
    PObject failed = request(action("link"));
    PObject expected = ackOnly();
    expected["error"] = "Failed to initialize environment";
    EXPECT_EQ(render(expected), render(failed));
    EXPECT_NE(std::string::npos, daemon.output().find("Failed to load system filter from " +
                                                      dir.file("system.filter") + ".\n"));

    daemon.writeSystemFilter();
    EXPECT_EQ(render(ackOnly()), render(request(action("link"))));
    EXPECT_NE(std::string::npos, daemon.output().find("): totally 6 tasks\n"));
    EXPECT_EQ(render(ackOnly()), render(request(action("link")))); // already linked
    EXPECT_EQ(render(ackOnly()), render(request(action("unlink"))));
    EXPECT_EQ(render(ackOnly()), render(request(action("unlink"))));
    EXPECT_EQ(render(ackOnly()), render(request(action("link"))));
    EXPECT_TRUE(daemon.running());
}

TEST_F(DaemonControlTest, StopGetsNoReplyAndTheDaemonExitsCleanly)
{
    daemon.writeSystemFilter();
    request(action("link"));
    PObject none;
    EXPECT_EQ(-2, controlRequest(daemon.controlPort(), action("stop"), none));
    EXPECT_EQ(0, daemon.waitExit());
    EXPECT_FALSE(fileExists(daemon.pidPath()));
    std::string out = daemon.output();
    EXPECT_NE(std::string::npos, out.find("): unlink daemon\n"));
    EXPECT_NE(std::string::npos, out.find("): main thread down\n"));
}

TEST_F(DaemonControlTest, TermAndIntSignalsStopInOrder)
{
    for (int sig : {SIGTERM, SIGINT}) {
        if (sig == SIGINT) {
            ASSERT_TRUE(daemon.start());
        }
        daemon.writeSystemFilter();
        request(action("link"));
        ASSERT_EQ(0, ::kill(daemon.pid(), sig));
        EXPECT_EQ(0, daemon.waitExit()) << sig;
        EXPECT_FALSE(fileExists(daemon.pidPath())) << sig;
        EXPECT_NE(std::string::npos, daemon.output().find("): unlink daemon\n")) << sig;
    }
}

TEST_F(DaemonControlTest, HostileClientsDoNotStopWellFormedMessages)
{
    // Garbage bytes: an unknown tag.
    int fd = connectRaw(daemon.controlPort());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, ::write(fd, "\x77\x01\x02\x03\x04", 5));
    // A truncated map: the peer closes in the middle of a string.
    int cut = connectRaw(daemon.controlPort());
    ASSERT_EQ(6, ::write(cut,
                         "\x42\x10\x00\x06"
                         "ac",
                         6));
    ::close(cut);
    // A client that connects and says nothing, and one that never reads its reply.
    int idle = connectRaw(daemon.controlPort());
    int deaf = connectRaw(daemon.controlPort());
    IPCSender sender;
    ASSERT_EQ(0, sender.assign(deaf));
    ASSERT_EQ(0, sender.send(action("get_status")));

    EXPECT_EQ(render(ackOnly()), render(request(action("unknown"))));
    ::close(fd);
    ::close(idle);
    EXPECT_TRUE(daemon.running());
    EXPECT_NE(std::string::npos, daemon.output().find("Failed to recieve message from channel.\n"));
}

TEST_F(DaemonControlTest, EndlessMessagesAreCutOffAtTheirBoundsWithoutAnAnswer)
{
    // An array of nulls without end, and a map of 60000-byte strings without end: the
    // daemon must close each long before the peer runs out of patience.
    std::string nulls(1 << 16, '\0');
    std::string strings;
    for (int i = 0; i < 4; ++i) {
        strings += std::string("\x10\xea\x60", 3) + std::string(60000, 'k'); // key
        strings += std::string("\x10\xea\x60", 3) + std::string(60000, 'v'); // value
    }
    const struct {
        const char *name;
        std::string head;
        std::string chunk;
    } peers[] = {{"array", "\x41", nulls},
                 {"map", "\x42", strings},
                 // A binary item announced at 2^62 bytes: refused before anything is stored.
                 {"binary", std::string("\x30\x40\0\0\0\0\0\0\0", 9), nulls}};
    for (const auto &peer : peers) {
        int fd = connectRaw(daemon.controlPort());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(peer.head.size()),
                  ::send(fd, peer.head.data(), peer.head.size(), MSG_NOSIGNAL));
        size_t sent = 0;
        const size_t give_up = size_t(256) << 20;
        while (sent < give_up) {
            ssize_t n = ::send(fd, peer.chunk.data(), peer.chunk.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        EXPECT_LT(sent, give_up) << peer.name << ": the daemon kept reading";
        char byte;
        EXPECT_LE(::recv(fd, &byte, 1, 0), 0) << peer.name << ": no answer";
        ::close(fd);
    }
    EXPECT_EQ(render(ackOnly()), render(request(action("unknown"))));
    std::string out = daemon.output();
    EXPECT_NE(std::string::npos, out.find("receive limit: items above 100000")) << out;
    EXPECT_NE(std::string::npos, out.find("receive limit: bytes above 1048576")) << out;
    EXPECT_NE(std::string::npos, out.find("receive limit: binary length above 1048576")) << out;
    EXPECT_EQ(std::string::npos, out.find("Failed to recieve message from channel.\n")) << out;
}

TEST_F(DaemonControlTest, AnotherUsersConnectionGetsNoAnswerAndOwnUserIsStillServed)
{
    std::string why = otherUserUnavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    // The other user sends a complete "get_status" and waits for the connection to end:
    // exit 0 when it ended without a byte of answer.
    std::string wire;
    wire += std::string("\x42\x10\x00\x06", 4) + "action";
    wire += std::string("\x10\x00\x0a", 3) + "get_status";
    wire += '\x40';
    int port = daemon.controlPort();
    EXPECT_EQ(0, runAsNobody([port, &wire] {
                  int fd = connectRaw(port);
                  if (fd < 0 || ::send(fd, wire.data(), wire.size(), MSG_NOSIGNAL) !=
                                    static_cast<ssize_t>(wire.size()))
                      return 2;
                  struct pollfd pfd = {fd, POLLIN, 0};
                  if (::poll(&pfd, 1, 10000) <= 0)
                      return 3;
                  char byte;
                  return ::recv(fd, &byte, 1, 0) <= 0 ? 0 : 1;
              }));
    PObject status = request(action("get_status"));
    EXPECT_EQ("ok", status["ack"].asString());
    EXPECT_TRUE(daemon.running());
    EXPECT_NE(std::string::npos,
              daemon.output().find("refused the control connection of another user (uid "))
        << daemon.output();
}

TEST_F(DaemonControlTest, BinaryItemsInControlMessagesLeaveNoFilesBehind)
{
    PObject msg = action("get_status");
    PObject::binary_type blob;
    blob.path = dir.write("blob", "hello");
    blob.length = 5;
    msg["list"].asArray().push_back(PObject());
    msg["list"][size_t(0)] = blob;
    PObject reply = request(msg);
    EXPECT_EQ("ok", reply["ack"].asString());
    EXPECT_TRUE(reply.hasMember("worker_list"));

    std::string out = daemon.output();
    const std::string mark = "dropped a binary item stored at '";
    size_t at = out.find(mark);
    ASSERT_NE(std::string::npos, at) << out;
    std::string stored =
        out.substr(at + mark.size(), out.find('\'', at + mark.size()) - at - mark.size());
    EXPECT_FALSE(stored.empty());
    EXPECT_FALSE(fileExists(stored)) << stored;
}

TEST_F(DaemonControlTest, ThousandConnectionsInARowAreAllAnswered)
{
    int answered = 0;
    for (int i = 0; i < 1000; ++i) {
        PObject reply;
        if (controlRequest(daemon.controlPort(), action("get_status"), reply) == 0 &&
            reply["ack"].asString() == "ok") {
            ++answered;
        }
    }
    EXPECT_EQ(1000, answered);
    EXPECT_TRUE(daemon.running());
}

TEST(DaemonBindTest, WalksPastTakenPorts)
{
    TempDir dir;
    FakeUI ui;
    std::vector<int> held;
    for (int p = ui.port() + 1; p <= ui.port() + 3; ++p) {
        held.push_back(occupy(p));
    }
    for (int fd : held) {
        if (fd < 0) {
            GTEST_SKIP() << "a port right above the stand-in UI is in use";
        }
    }
    DaemonProcess daemon(dir, ui);
    ASSERT_TRUE(daemon.start());
    EXPECT_EQ(ui.port() + 4, daemon.controlPort());
    std::string out = daemon.output();
    for (int p = ui.port() + 1; p <= ui.port() + 3; ++p) {
        EXPECT_NE(std::string::npos,
                  out.find("Bind port " + std::to_string(p) + " failed, try next one\n"));
    }
    ::kill(daemon.pid(), SIGTERM);
    EXPECT_EQ(0, daemon.waitExit());
    for (int fd : held) {
        ::close(fd);
    }
}

TEST(DaemonBindTest, WithoutAUserInterfaceTheDaemonEndsInOrder)
{
    TempDir dir;
    int port = unusedPort();
    FakeUI ui; // hears nothing: the later ui_port line points the daemon elsewhere
    DaemonProcess daemon(dir, ui, "ui_port = " + std::to_string(port) + "\n");
    EXPECT_FALSE(daemon.start(300));
    EXPECT_EQ(0, daemon.waitExit());
    EXPECT_FALSE(fileExists(daemon.pidPath()));
    EXPECT_NE(std::string::npos, daemon.output().find("failed to send daemon port back to ui\n"));
}

TEST(DaemonBindTest, AnotherUsersListenerOnTheUIPortHearsNothing)
{
    std::string why = otherUserUnavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    TempDir dir;
    int port = unusedPort();
    int ready[2], done[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(done));
    // The other user's listener counts what reaches it until told to stop.
    std::thread other([&] {
        EXPECT_EQ(0, runAsNobody([&] {
                      int fd = occupy(port);
                      char ok = fd >= 0 && ::listen(fd, 8) == 0 ? 1 : 0;
                      if (::write(ready[1], &ok, 1) != 1 || !ok)
                          return 2;
                      long heard = 0;
                      for (;;) {
                          struct pollfd pfds[2] = {{fd, POLLIN, 0}, {done[0], POLLIN, 0}};
                          if (::poll(pfds, 2, 20000) <= 0 || pfds[1].revents != 0)
                              return heard == 0 ? 0 : 1;
                          int conn = ::accept(fd, nullptr, nullptr);
                          char buf[256];
                          ssize_t n;
                          while (conn >= 0 && (n = ::read(conn, buf, sizeof(buf))) > 0)
                              heard += n;
                          if (conn >= 0)
                              ::close(conn);
                      }
                  }));
    });
    char ok = 0;
    ASSERT_EQ(1, ::read(ready[0], &ok, 1));
    ASSERT_EQ(1, ok);
    FakeUI ui; // hears nothing: the later ui_port line points the daemon at the other user
    DaemonProcess daemon(dir, ui, "ui_port = " + std::to_string(port) + "\n");
    EXPECT_FALSE(daemon.start(300));
    EXPECT_EQ(0, daemon.waitExit());
    ASSERT_EQ(1, ::write(done[1], "x", 1));
    other.join();
    EXPECT_NE(std::string::npos, daemon.output().find("refused the listener of another user (uid "))
        << daemon.output();
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        ::close(fd);
}

TEST(DaemonBindTest, LocalSocketTransportServesTheOwner)
{
    TempDir dir;
    std::string path = dir.file("control.sock");
    FakeUI ui;
    DaemonProcess daemon(dir, ui, "socket_path = " + path + "\n");
    EXPECT_FALSE(daemon.start(300)); // nothing is announced on this transport
    struct stat st;
    for (int i = 0; i < 500 && ::stat(path.c_str(), &st) != 0 && daemon.running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(0, ::stat(path.c_str(), &st)) << daemon.output();
    EXPECT_EQ(0600u, st.st_mode & 0777);
    IPCSender sender;
    ASSERT_EQ(0, sender.connect(ustring(path.c_str())));
    PObject reply;
    ASSERT_EQ(0, sender.send(action("get_status"), true, reply));
    EXPECT_EQ("ok", reply["ack"].asString());
    IPCSender stopper;
    ASSERT_EQ(0, stopper.connect(ustring(path.c_str())));
    ASSERT_EQ(0, stopper.send(action("stop")));
    EXPECT_EQ(0, daemon.waitExit());
    EXPECT_FALSE(fileExists(path));
    EXPECT_NE(std::string::npos, daemon.output().find("daemon is listening on socket " + path));
}

} // namespace
