#include "channel.h"

#include "error-code.h"
#include "support/tls-loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class ChannelTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(MakeLoopbackPair(client, server)); }
    Channel client, server;
};

// A port on which nothing listens: bound, then closed.
int UnusedPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

} // namespace

TEST_F(ChannelTest, IntegersTravelBigEndian)
{
    ASSERT_EQ(0, client.WriteByte(0xAB));
    ASSERT_EQ(0, client.WriteInt16(0x1234));
    ASSERT_EQ(0, client.WriteInt32(300));
    ASSERT_EQ(0, client.WriteInt64(0x0102030405060708ull));
    ASSERT_EQ(0, client.FlushWrite(0));
    char raw[15];
    ASSERT_EQ(0, server.Read(raw, sizeof(raw)));
    EXPECT_EQ(std::string("\xAB\x12\x34\x00\x00\x01\x2C\x01\x02\x03\x04\x05\x06\x07\x08", 15),
              std::string(raw, 15));

    ASSERT_TRUE(SendAllRaw(client.GetSocket(), std::string("\x00\x00\x01\x2C\xFF\xFE", 6)));
    uint32_t v32 = 0;
    uint16_t v16 = 0;
    EXPECT_EQ(0, server.ReadInt32(v32));
    EXPECT_EQ(300u, v32);
    EXPECT_EQ(0, server.ReadInt16(v16));
    EXPECT_EQ(0xFFFEu, v16);
    EXPECT_EQ(0x0807060504030201ull, client.Convert(static_cast<uint64_t>(0x0102030405060708ull)));
    EXPECT_EQ(0x2C010000u, client.Convert(static_cast<uint32_t>(300)));
    EXPECT_EQ(0x3412u, client.Convert(static_cast<uint16_t>(0x1234)));
}

TEST_F(ChannelTest, WriteBuffersUpToTheCapacity)
{
    std::string block(client.GetCapacity(), 'x');
    EXPECT_EQ(ERR_INVAL, client.Write(block.data(), block.size() + 1));
    EXPECT_EQ(0u, client.GetWritePending());
    EXPECT_EQ(0, client.Write(block.data(), block.size()));
    EXPECT_EQ(client.GetCapacity(), client.GetWritePending());
    client.ClearWrite();

    // 100 bytes pending and a block that overflows by 50: the pending bytes go out before
    // the block is taken, and the order holds.
    ASSERT_EQ(0, client.Write(std::string(100, 'a').data(), 100));
    std::string tail(client.GetCapacity() - 50, 'b');
    ASSERT_EQ(0, client.Write(tail.data(), tail.size()));
    EXPECT_LE(client.GetWritePending(), client.GetCapacity());
    std::string got(100, '\0');
    server.SetTimeout(2);
    ASSERT_EQ(0, server.Read(&got[0], got.size())) << "sent without an explicit flush";
    EXPECT_EQ(std::string(100, 'a'), got);
    ASSERT_EQ(0, client.FlushWrite(0));
    EXPECT_EQ(0u, client.GetWritePending());
    got.assign(tail.size(), '\0');
    ASSERT_EQ(0, server.Read(&got[0], got.size()));
    EXPECT_EQ(tail, got);
}

TEST_F(ChannelTest, LargeTransfersSurviveBufferWrapping)
{
    // Odd block sizes make both circular buffers wrap at changing places.
    std::string data;
    for (int i = 0; i < 1000000; ++i)
        data += static_cast<char>(i * 7 + i / 251);
    std::thread writer([&] {
        size_t done = 0, step = 1;
        while (done < data.size()) {
            size_t n = std::min(data.size() - done, (step * 7919) % 90000 + 1);
            n = std::min<size_t>(n, client.GetCapacity());
            ASSERT_EQ(0, client.Write(data.data() + done, n));
            done += n;
            ++step;
        }
        ASSERT_EQ(0, client.FlushWrite(0));
    });
    std::string got(data.size(), '\0');
    size_t done = 0, step = 1;
    while (done < got.size()) {
        size_t n = std::min(got.size() - done, (step * 104729) % 200000 + 1);
        ASSERT_EQ(0, server.Read(&got[done], n));
        done += n;
        ++step;
    }
    writer.join();
    EXPECT_TRUE(got == data);
}

TEST_F(ChannelTest, ReadOfNothingIsInvalid)
{
    char c;
    EXPECT_EQ(ERR_INVAL, server.Read(&c, 0));
}

TEST_F(ChannelTest, PeerThatClosesGivesIoError)
{
    ASSERT_TRUE(SendAllRaw(client.GetSocket(), "ab"));
    client.Close();
    char buf[4];
    size_t got = 0;
    EXPECT_EQ(ERR_IO, server.Read(buf, sizeof(buf), got));
    EXPECT_EQ(2u, got);
    EXPECT_EQ("ab", std::string(buf, 2));
}

TEST_F(ChannelTest, SilentPeerTimesOutAfterChannelTimeout)
{
    server.SetTimeout(1);
    char c;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ERR_TIMEOUT, server.Read(&c, 1));
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 4.0);
}

TEST_F(ChannelTest, AbortFlagEndsABlockedReadWithinASecond)
{
    for (bool atomic : {false, true}) {
        int plain_flag = 0;
        std::atomic<int> atomic_flag(0);
        if (atomic)
            server.SetFlag(&atomic_flag);
        else
            server.SetFlag(&plain_flag);
        server.SetTimeout(0);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (atomic)
                atomic_flag = 1;
            else
                __atomic_store_n(&plain_flag, 1, __ATOMIC_RELAXED);
        });
        Clock::time_point start = Clock::now();
        char c;
        EXPECT_EQ(ERR_INT, server.Read(&c, 1));
        EXPECT_LT(SecondsSince(start), 2.5);
        stopper.join();
        server.SetFlag(nullptr);
    }
}

TEST_F(ChannelTest, AbortFlagEndsAStuckFlush)
{
    // Nobody reads: the socket buffers fill and the flush waits until the flag is set.
    std::atomic<int> flag(0);
    client.SetFlag(&flag);
    client.SetTimeout(0);
    std::string block(client.GetCapacity(), 'x');
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        flag = 1;
    });
    int ret = 0;
    for (int i = 0; i < 1000 && ret == 0; ++i)
        ret = client.Write(block.data(), block.size());
    stopper.join();
    EXPECT_EQ(ERR_INT, ret);
    // The flag dies with this test; the unsent bytes need not outlive it either.
    client.SetFlag(nullptr);
    client.ClearWrite();
}

TEST_F(ChannelTest, StuckPeerMakesWriteTimeOut)
{
    // Nobody reads: once the socket buffers are full, a write that must flush gives up after
    // channel_timeout, with nothing buffered beyond the capacity.
    client.SetTimeout(1);
    std::string block(client.GetCapacity() - 1, 'x');
    int ret = 0;
    for (int i = 0; i < 1000 && ret == 0; ++i)
        ret = client.Write(block.data(), block.size());
    EXPECT_EQ(ERR_TIMEOUT, ret);
    EXPECT_LE(client.GetWritePending(), client.GetCapacity());
    client.ClearWrite();
}

TEST(ChannelOpenTest, OpeningRules)
{
    Channel ch;
    EXPECT_TRUE(ch.IsClosed());
    EXPECT_EQ(0, ch.Open("anything"));
    EXPECT_EQ(ERR_INVAL, ch.Open("not.an.address", 80));
    EXPECT_EQ(ERR_INVAL, ch.Open(nullptr, 80));
    EXPECT_EQ(ERR_INVAL, ch.Open("127.0.0.1", -1));
    EXPECT_EQ(ERR_INVAL, ch.Open(static_cast<SOCKET>(-1), false));
    EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", UnusedPort()));
    EXPECT_TRUE(ch.IsClosed());
    char c;
    EXPECT_EQ(ERR_IO, ch.Read(&c, 1));
    EXPECT_EQ(ERR_IO, ch.Write("x", 1));
    ustring ip;
    int port;
    EXPECT_EQ(ERR_SYS, ch.GetPeerInfo(ip, port));

    Channel a, b;
    ASSERT_TRUE(MakeLoopbackPair(a, b));
    int other[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, other));
    EXPECT_EQ(ERR_INVAL, a.Open(other[0], false));
    close(other[0]);
    close(other[1]);
}

TEST(ChannelOpenTest, CloseFlushesPendingBytesAndAllowsReopening)
{
    Channel a, b;
    ASSERT_TRUE(MakeLoopbackPair(a, b));
    ASSERT_EQ(0, a.Write("bye", 3));
    EXPECT_EQ(0, a.Close());
    EXPECT_TRUE(a.IsClosed());
    EXPECT_EQ("bye", RecvAllRaw(b.GetSocket(), 16));
    b.Close();
    EXPECT_TRUE(MakeLoopbackPair(a, b));
    EXPECT_FALSE(a.IsClosed());
}
