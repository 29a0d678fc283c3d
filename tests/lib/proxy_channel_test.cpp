// Server channels through a real squid: a request exchange through the CONNECT tunnel,
// through squid to the relay endpoint, and the failure of a wrong Basic password.
#include "proxy-channel.h"

#include "error-code.h"
#include "support/exchange-server.h"
#include "support/fake-tunnel.h"
#include "support/process-usage.h"
#include "support/squid-process.h"

#include <gtest/gtest.h>

namespace
{

ProxyInfo Proxy(int port, const char *user = "", const char *password = "")
{
    ProxyInfo info;
    info.use_proxy = true;
    info.proxy_ip = "127.0.0.1";
    info.proxy_port = static_cast<uint16_t>(port);
    info.user_name = user;
    info.password = password;
    return info;
}

void StartSquid(SquidProcess &squid, SquidProcess::Auth auth)
{
    ASSERT_NE("", SquidProcess::Binary()) << "squid is not installed (scripts/deps.sh)";
    std::string error;
    ASSERT_TRUE(squid.Start(auth, "User", "Password", error)) << error;
}

} // namespace

TEST(ProxyChannelTest, RequestExchangesThroughSquidDirectlyAndToTheRelay)
{
    SquidProcess squid;
    StartSquid(squid, SquidProcess::OPEN);
    ExchangeServer server;

    ProxyChannel channel(Proxy(squid.port()));
    ASSERT_EQ(0, channel.Open("127.0.0.1", server.port()));
    EXPECT_EQ(77, RunEchoExchange(channel, 77));
    channel.Close();
    // A closed proxy channel opens again.
    ASSERT_EQ(0, channel.Open("127.0.0.1", server.port()));
    EXPECT_EQ(78, RunEchoExchange(channel, 78));

    FakeTunnel relay;
    TunnelInfo tunnel;
    tunnel.use_tunnel = true;
    tunnel.tunnel_ip = "127.0.0.1";
    tunnel.tunnel_port = static_cast<uint16_t>(relay.port());
    ProxyTunnelChannel both(Proxy(squid.port()), tunnel);
    ASSERT_EQ(0, both.Open("127.0.0.1", server.port()));
    EXPECT_EQ(79, RunEchoExchange(both, 79));
    EXPECT_EQ(1, relay.valid_tokens());
}

TEST(ProxyChannelTest, WrongBasicPasswordFailsTheOpen)
{
    SquidProcess squid;
    StartSquid(squid, SquidProcess::BASIC);
    ExchangeServer server;
    ProxyChannel good(Proxy(squid.port(), "User", "Password"));
    ASSERT_EQ(0, good.Open("127.0.0.1", server.port()));
    EXPECT_EQ(5, RunEchoExchange(good, 5));
    good.Close();
    ASSERT_TRUE(server.WaitIdle());

    int fds = CountOpenFds(), threads = CountThreads();
    ProxyChannel wrong(Proxy(squid.port(), "User", "wrong"));
    // Refused credentials are an authentication error, which is reported to the user.
    EXPECT_EQ(ERR_AUTH, wrong.Open("127.0.0.1", server.port()));
    EXPECT_TRUE(wrong.IsClosed());
    EXPECT_EQ(fds, CountOpenFds());
    EXPECT_EQ(threads, CountThreads());
    EXPECT_EQ(ERR_INVAL, wrong.Open(nullptr, 1));
    EXPECT_EQ(ERR_INVAL, wrong.Open("127.0.0.1", -1));
}
