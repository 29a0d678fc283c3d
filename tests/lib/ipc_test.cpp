// Loopback control sockets: listener port search, readiness, and one message each way.
#include "ipc.h"
#include "support/control-fake-ui.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

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

TEST(IpcSenderTest, ConnectFailsWhereNobodyListens)
{
    IPCSender sender;
    EXPECT_EQ(-1, sender.connect(unusedPort()));
    EXPECT_EQ(-1, sender.connect(ustring("/tmp/some.sock")));
}

} // namespace
