// Control sockets: listener port search, readiness, one message each way, the owner-only
// local-domain transport, and the check of who is at the other end.
#include "ipc.h"
#include "support/control-fake-ui.h"
#include "support/other-user.h"
#include "support/temp-dir.h"

#include "utility.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace
{

// The bytes of a literal that holds NULs.
template <size_t N> std::string bytes(const char (&text)[N])
{
    return std::string(text, N - 1);
}

TEST(IpcListenerTest, GivesUpAbovePort65535AndWithoutSocket)
{
    IPCListener listener;
    EXPECT_FALSE(listener.isReady());
    EXPECT_EQ(-1, listener.accept());
    EXPECT_EQ(-1, listener.prepare(65536));
    EXPECT_EQ(-1, listener.getFd());
    EXPECT_EQ(-1, listener.prepare(ustring("/nonexistent-dir/some.sock")));
    EXPECT_EQ(-1, listener.prepare(ustring(("/tmp/" + std::string(200, 'x')).c_str())));
    EXPECT_EQ(-1, listener.getFd());
}

TEST(IpcListenerTest, SearchesUpwardsAndServesOneExchange)
{
    int base = unusedPort();
    IPCListener first;
    IPCListener second;
    ASSERT_EQ(base, first.prepare(base));
    int port = second.prepare(base);
    ASSERT_GT(port, base);

    second.setTimeout({0, 100 * 1000});
    EXPECT_FALSE(second.isReady()); // nobody connects: the wait ends with the timeout

    std::thread client([port] {
        IPCSender sender;
        PObject request;
        request["action"] = "ping";
        PObject reply;
        EXPECT_EQ(0, sender.connect(port));
        EXPECT_EQ(0, sender.send(request, true, reply));
        EXPECT_EQ("pong", reply["answer"].asString());
    });
    second.setTimeout({5, 0});
    ASSERT_TRUE(second.isReady());
    IPCSender server_side;
    ASSERT_EQ(0, server_side.assign(second.accept()));
    PObject got;
    ASSERT_EQ(0, server_side.recv(got));
    EXPECT_EQ("ping", got["action"].asString());
    PObject reply;
    reply["answer"] = "pong";
    EXPECT_EQ(0, server_side.send(reply));
    client.join();

    second.close();
    EXPECT_FALSE(second.isReady());
}

TEST(IpcSenderTest, ReceivedBinaryItemsLeaveNoFilesBehind)
{
    TempDir dir;
    ustring saved = TempFile::defaultPrefix();
    TempFile::initialize(dir.path());
    // A map whose key "b" first holds a 3-byte binary item and then, repeated, a null;
    // then a well-formed map with a binary in an array; then a binary cut short.
    const std::string inputs[] = {
        bytes("\x42\x10\x00\x01"
              "b"
              "\x30\0\0\0\0\0\0\0\x03"
              "abc"
              "\x10\x00\x01"
              "b"
              "\x00\x00"
              "\x40"),
        bytes("\x42\x10\x00\x01"
              "a"
              "\x41\x30\0\0\0\0\0\0\0\x02"
              "xy"
              "\x40\x40"),
        bytes("\x42\x10\x00\x01"
              "c"
              "\x30\0\0\0\0\0\0\0\x09"
              "abc"),
    };
    const int results[] = {0, 0, -1};
    for (size_t i = 0; i < 3; ++i) {
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        ASSERT_EQ(static_cast<ssize_t>(inputs[i].size()),
                  write(fds[0], inputs[i].data(), inputs[i].size()));
        close(fds[0]);
        IPCSender conn;
        ASSERT_EQ(0, conn.assign(fds[1]));
        PObject msg;
        EXPECT_EQ(results[i], conn.recv(msg)) << i;
        EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << i;
        if (results[i] == 0) {
            EXPECT_FALSE(msg.toString().empty());
            EXPECT_EQ(std::string::npos, std::string(msg.toString().c_str_utf8()).find("offset"))
                << msg.toString().c_str_utf8();
        }
    }
    TempFile::initialize(saved);
}

TEST(IpcSenderTest, ConnectFailsWhereNobodyListens)
{
    TempDir dir;
    IPCSender sender;
    EXPECT_EQ(-1, sender.connect(unusedPort()));
    EXPECT_EQ(-1, sender.connect(ustring(dir.file("none.sock").c_str())));
}

TEST(IpcLocalSocketTest, OwnerOnlySocketServesAnExchangeAndGoesWithTheListener)
{
    TempDir dir;
    std::string path = dir.file("control.sock");
    IPCListener listener;
    ASSERT_EQ(0, listener.prepare(ustring(path.c_str())));
    struct stat st;
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    std::thread client([&path] {
        IPCSender sender;
        PObject request;
        request["action"] = "ping";
        PObject reply;
        EXPECT_EQ(0, sender.connect(ustring(path.c_str())));
        EXPECT_EQ(0, sender.send(request, true, reply));
        EXPECT_EQ("pong", reply["answer"].asString());
    });
    listener.setTimeout({5, 0});
    ASSERT_TRUE(listener.isReady());
    int sock = listener.accept();
    EXPECT_TRUE(IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "test connection"));
    IPCSender server_side;
    ASSERT_EQ(0, server_side.assign(sock));
    PObject got;
    ASSERT_EQ(0, server_side.recv(got));
    PObject reply;
    reply["answer"] = "pong";
    EXPECT_EQ(0, server_side.send(reply));
    client.join();

    listener.close();
    EXPECT_FALSE(fileExists(path));
    // A socket left behind is replaced; a live one and a file of another kind are not.
    int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    ::close(stale);
    ASSERT_EQ(0, listener.prepare(ustring(path.c_str())));
    IPCListener again;
    EXPECT_EQ(-1, again.prepare(ustring(path.c_str())));
    EXPECT_TRUE(fileExists(path));
    std::string plain = dir.write("plain", "user data");
    EXPECT_EQ(-1, again.prepare(ustring(plain.c_str())));
    EXPECT_EQ("user data", readFile(plain));
}

TEST(IpcPeerTest, OwnUserIsFoundAtBothEndsOfALoopbackConnection)
{
    IPCListener listener;
    int port = listener.prepare(unusedPort());
    ASSERT_GT(port, 0);
    IPCSender sender;
    ASSERT_EQ(0, sender.connect(port)); // the listener's owner was checked
    listener.setTimeout({5, 0});
    ASSERT_TRUE(listener.isReady());
    int sock = listener.accept();
    uid_t uid = 12345;
    EXPECT_EQ(0, IPCPeerUid(sock, IPC_PEER_CONNECTION, "test connection", uid));
    EXPECT_EQ(::geteuid(), uid);
    EXPECT_TRUE(IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "test connection"));
    // Once the peer has closed its socket, nobody owns it any more: refused.
    sender.close();
    EXPECT_FALSE(IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "test connection"));
    ::close(sock);
}

// A notification is checked after it was sent: the sender's end must still have its owner
// when a slow receiver accepts it, so the sender closes only once the receiver is done.
TEST(IpcPeerTest, SenderStaysIdentifiableUntilTheReceiverIsDone)
{
    IPCListener listener;
    int port = listener.prepare(unusedPort());
    ASSERT_GT(port, 0);
    std::atomic<bool> sent{false}, closed{false};
    std::thread sender_thread([&] {
        IPCSender sender;
        PObject msg;
        msg["daemon_port"] = 4242;
        if (sender.connect(port) == 0 && sender.send(msg) == 0) {
            sent = true;
            sender.closeWhenPeerDone(10000);
        }
        closed = true;
    });
    listener.setTimeout({5, 0});
    ASSERT_TRUE(listener.isReady());
    while (!sent && !closed) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(sent);
    // However late the receiver looks, the sender is still there to be identified.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(closed);
    int sock = listener.accept();
    EXPECT_TRUE(IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "test connection"));
    {
        IPCSender receiver;
        ASSERT_EQ(0, receiver.assign(sock));
        PObject got;
        ASSERT_EQ(0, receiver.recv(got));
        EXPECT_EQ(4242, got["daemon_port"].asInt32());
    }
    sender_thread.join(); // returns at once now that the receiver has closed
    EXPECT_TRUE(closed);
}

int connectLoopback(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
        return -1;
    return fd;
}

// Bytes read from fd until the other end closes; -1 when nothing closed within 10 s.
long drain(int fd)
{
    long total = 0;
    char buf[256];
    for (;;) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0)
            return -1;
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0)
            return total;
        total += n;
    }
}

TEST(IpcPeerTest, AnotherUsersPeerIsRefusedBothWays)
{
    std::string why = otherUserUnavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    const struct passwd *nobody = ::getpwnam("nobody");
    uid_t nobody_uid = nobody != nullptr ? nobody->pw_uid : 65534;

    // Another user connects to our listener.
    IPCListener listener;
    int port = listener.prepare(unusedPort());
    ASSERT_GT(port, 0);
    std::thread judge([&] {
        listener.setTimeout({10, 0});
        ASSERT_TRUE(listener.isReady());
        int sock = listener.accept();
        uid_t uid = 0;
        EXPECT_EQ(0, IPCPeerUid(sock, IPC_PEER_CONNECTION, "test connection", uid));
        EXPECT_EQ(nobody_uid, uid);
        EXPECT_FALSE(IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "test connection"));
        ::close(sock);
    });
    EXPECT_EQ(0, runAsNobody([port] {
                  int fd = connectLoopback(port);
                  return fd >= 0 && drain(fd) == 0 ? 0 : 1;
              }));
    judge.join();

    // Another user listens where we would send: nothing reaches it.
    int theirs = unusedPort();
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    std::thread other([&] {
        EXPECT_EQ(0, runAsNobody([theirs, &ready] {
                      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                      struct sockaddr_in addr = {};
                      addr.sin_family = AF_INET;
                      addr.sin_port = htons(static_cast<uint16_t>(theirs));
                      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                      bool ok =
                          ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
                          ::listen(fd, 4) == 0;
                      char byte = ok ? 1 : 0;
                      if (::write(ready[1], &byte, 1) != 1 || !ok)
                          return 2;
                      int conn = ::accept(fd, nullptr, nullptr);
                      return conn >= 0 && drain(conn) == 0 ? 0 : 1;
                  }));
    });
    char byte = 0;
    ASSERT_EQ(1, ::read(ready[0], &byte, 1));
    ASSERT_EQ(1, byte);
    IPCSender sender;
    EXPECT_EQ(-1, sender.connect(theirs));
    PObject msg;
    msg["notify"] = "secret file names";
    EXPECT_NE(0, sender.send(msg));
    other.join();
    ::close(ready[0]);
    ::close(ready[1]);
}

} // namespace
