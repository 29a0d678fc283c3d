// A connection's pooled channels take the route its settings name: directly, through an
// HTTP proxy (a real squid), through the relay tunnel endpoint, or through the proxy to the
// relay endpoint; each carries request exchanges to the server.
#include "client/core/connection.h"

#include "proxy-channel.h"
#include "support/exchange-server.h"
#include "support/fake-tunnel.h"
#include "support/squid-process.h"
#include "tunnel-channel.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

class ConnectionRouteTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE("", SquidProcess::Binary()) << "squid is not installed (scripts/deps.sh)";
        std::string error;
        ASSERT_TRUE(squid.Start(SquidProcess::OPEN, "", "", error)) << error;
        proxy.use_proxy = true;
        proxy.proxy_ip = "127.0.0.1";
        proxy.proxy_port = static_cast<uint16_t>(squid.port());
        tunnel.use_tunnel = true;
        tunnel.tunnel_ip = "127.0.0.1";
        tunnel.tunnel_port = static_cast<uint16_t>(relay.port());
        info.server_ip = "127.0.0.1";
        info.server_port = server.port();
    }

    // Borrows a channel, opens it to the server, runs two exchanges (the second on the
    // kept channel) and gives it back.
    void Borrow(Connection &connection, uint64_t id)
    {
        Connection::ChannelStat stat = connection.pop();
        Channel &channel = stat.getChannel();
        ASSERT_TRUE(stat.isExpired());
        ASSERT_EQ(0, channel.Open(info.server_ip.c_str_utf8(), info.server_port));
        stat.setConnected();
        connection.update(stat);
        EXPECT_EQ(static_cast<int64_t>(id), RunEchoExchange(channel, id));
        stat.setAliveInterval(30);
        connection.push(stat);
        stat = connection.pop();
        EXPECT_FALSE(stat.isExpired());
        EXPECT_EQ(static_cast<int64_t>(id + 1), RunEchoExchange(stat.getChannel(), id + 1));
        connection.push(stat);
    }

    SquidProcess squid;
    FakeTunnel relay;
    ExchangeServer server;
    ConnectionInfo info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
};

template <class Kind> bool PoolChannelIs(Connection &connection)
{
    Connection::ChannelStat stat = connection.pop();
    bool is = dynamic_cast<Kind *>(&stat.getChannel()) != nullptr;
    connection.push(stat);
    return is;
}

} // namespace

TEST_F(ConnectionRouteTest, EveryRouteCarriesExchanges)
{
    Connection direct(info, nullptr, nullptr);
    Borrow(direct, 10);

    Connection through_proxy(info, &proxy, nullptr);
    EXPECT_TRUE(PoolChannelIs<ProxyChannel>(through_proxy));
    Borrow(through_proxy, 20);

    Connection through_relay(info, nullptr, &tunnel);
    EXPECT_TRUE(PoolChannelIs<TunnelChannel>(through_relay));
    Borrow(through_relay, 30);

    Connection both(info, &proxy, &tunnel);
    EXPECT_TRUE(PoolChannelIs<ProxyTunnelChannel>(both));
    Borrow(both, 40);
    EXPECT_EQ(2, relay.valid_tokens());
}
