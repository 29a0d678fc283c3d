// Loopback control sockets: listener port search, readiness, and one message each way.
#include "ipc.h"
#include "support/control-fake-ui.h"

#include "utility.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

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
    EXPECT_EQ(-1, listener.prepare(ustring("/tmp/some.sock")));
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
    IPCSender sender;
    EXPECT_EQ(-1, sender.connect(unusedPort()));
    EXPECT_EQ(-1, sender.connect(ustring("/tmp/some.sock")));
}

} // namespace
