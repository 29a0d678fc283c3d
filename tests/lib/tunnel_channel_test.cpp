#include "tunnel-channel.h"

#include "error-code.h"
#include "proxy-channel.h"
#include "support/fake-proxy.h"
#include "support/fake-tunnel.h"
#include "support/process-usage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace
{

TunnelInfo Relay(int port, const char *ip = "127.0.0.1")
{
    TunnelInfo info;
    info.use_tunnel = true;
    info.tunnel_ip = ip;
    info.tunnel_port = static_cast<uint16_t>(port);
    return info;
}

// Writes text through the channel and reads the echo back.
std::string Echo(Channel &channel, const std::string &text)
{
    if (channel.Write(text.data(), text.size()) != 0 || channel.FlushWrite(0) != 0)
        return "";
    std::string got(text.size(), '\0');
    return channel.Read(&got[0], got.size()) == 0 ? got : "";
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(TunnelChannelTest, HandshakeNamesTheTargetAndThenCarriesItsStreamInTheClear)
{
    EchoTarget target;
    FakeTunnel relay;
    TunnelChannel channel(Relay(relay.port()));
    ASSERT_EQ(0, channel.Open("127.0.0.1", target.port()));
    EXPECT_FALSE(channel.IsSSL());
    EXPECT_EQ("after the handshake", Echo(channel, "after the handshake"));
    EXPECT_EQ(1, relay.valid_tokens());
    std::string head = relay.last_request();
    EXPECT_EQ(0u, head.find("GET /zent-tunnel HTTP/1.1\r\n"));
    EXPECT_NE(std::string::npos, head.find("\r\nHost: 127.0.0.1\r\n"));
    EXPECT_NE(std::string::npos, head.find("\r\nUpgrade: ZentoraTunnel\r\n"));
    EXPECT_NE(std::string::npos, head.find("\r\nX-Target-Host: 127.0.0.1\r\n"));
    EXPECT_NE(std::string::npos,
              head.find("\r\nX-Target-Port: " + std::to_string(target.port()) + "\r\n"));
    // The stream may be upgraded to SSL later, as any channel.
    channel.Close();
    EXPECT_TRUE(channel.IsClosed());
}

TEST(TunnelChannelTest, EndpointAnswers)
{
    EchoTarget target;
    struct Case {
        const char *name;
        FakeTunnel::Behaviour behaviour;
        int status;
        int result;
    } cases[] = {
        {"status 0", FakeTunnel::ANSWER, 0, 0},
        {"status 402", FakeTunnel::ANSWER, 402, ERR_IO},
        {"status 401", FakeTunnel::ANSWER, 401, ERR_IO},
        {"no status, then closed", FakeTunnel::NO_STATUS_CLOSE, 0, 0},
        {"closed after SSL", FakeTunnel::CLOSE_AFTER_SSL, 0, ERR_IO},
        {"garbage", FakeTunnel::GARBAGE, 0, ERR_IO},
    };
    {
        // SSL and the logger keep a descriptor or two from their first use on.
        FakeTunnel relay;
        TunnelChannel channel(Relay(relay.port()));
        channel.Open("127.0.0.1", target.port());
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(target.WaitIdle());
        int fds = CountOpenFds(), threads = CountThreads();
        {
            FakeTunnel relay(c.behaviour, c.status);
            TunnelChannel channel(Relay(relay.port()));
            EXPECT_EQ(c.result, channel.Open("127.0.0.1", target.port()));
            EXPECT_EQ(c.result != 0, channel.IsClosed());
        }
        ASSERT_TRUE(target.WaitIdle());
        EXPECT_EQ(fds, CountOpenFds());
        EXPECT_EQ(threads, CountThreads());
    }
}

TEST(TunnelChannelTest, SilentEndpointEndsWithTheChannelTimeoutOrTheAbortFlag)
{
    int fds = CountOpenFds(), threads = CountThreads();
    {
        FakeTunnel relay(FakeTunnel::NEVER_ANSWER);
        TunnelChannel channel(Relay(relay.port()));
        channel.SetTimeout(2);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ERR_IO, channel.Open("127.0.0.1", 9));
        EXPECT_LT(SecondsSince(start), 4.0);

        std::atomic<int> abort_flag(0);
        channel.SetTimeout(0);
        channel.SetFlag(&abort_flag);
        std::thread stopper([&abort_flag] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            abort_flag = 1;
        });
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(ERR_IO, channel.Open("127.0.0.1", 9));
        EXPECT_LT(SecondsSince(start), 2.5);
        stopper.join();
    }
    EXPECT_EQ(fds, CountOpenFds());
    EXPECT_EQ(threads, CountThreads());
}

TEST(TunnelChannelTest, BadArgumentsAndUnreachableEndpoint)
{
    TunnelChannel named(Relay(1, "relay.example"));
    EXPECT_EQ(ERR_IO, named.Open("127.0.0.1", 1)); // the plain connect needs a dotted address
    TunnelChannel channel(Relay(1));
    EXPECT_EQ(ERR_INVAL, channel.Open(nullptr, 1));
    EXPECT_EQ(ERR_INVAL, channel.Open("127.0.0.1", -1));
}

TEST(ProxyTunnelChannelTest, ProxyCarriesTheConnectionToTheRelay)
{
    EchoTarget target;
    FakeTunnel relay;
    FakeProxy proxy([](int fd) {
        std::string head;
        if (FakeProxy::ReadHead(fd, head))
            FakeProxy::Establish(fd, head);
    });
    ProxyInfo info;
    info.use_proxy = true;
    info.proxy_ip = "127.0.0.1";
    info.proxy_port = static_cast<uint16_t>(proxy.port());
    ProxyTunnelChannel channel(info, Relay(relay.port()));
    ASSERT_EQ(0, channel.Open("127.0.0.1", target.port()));
    EXPECT_EQ("proxy then relay", Echo(channel, "proxy then relay"));
    EXPECT_EQ(1, relay.valid_tokens());
    channel.Close();

    FakeTunnel refusing(FakeTunnel::ANSWER, 403);
    ProxyTunnelChannel refused(info, Relay(refusing.port()));
    EXPECT_EQ(ERR_IO, refused.Open("127.0.0.1", target.port()));
    EXPECT_TRUE(refused.IsClosed());
}
