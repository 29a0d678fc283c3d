// Pooled channels against the real stand-in server over TLS: a borrowed channel is opened,
// upgraded ("encrypt_channel") and logged in ("connect") once, reused without a new login
// while its keep-alive lasts, and logged in again after the server has gone away.
#include "client/core/connection.h"
#include "proto-common.h"
#include "protocol/stream.h"
#include "support/server-process.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Connection 1 to the running server for the account.
ConnectionInfo serverConnection(const ServerProcess &server, const ServerAccount &account, bool tls)
{
    ConnectionInfo ci;
    ci.conn_id = 1;
    ci.server_ip = "127.0.0.1";
    ci.server_port = server.port();
    ci.session = account.token;
    ci.use_ssl = tls;
    ci.server_name = "localhost"; // the name in the server's test certificate
    return ci;
}

class PooledServerSession
{
public:
    PooledServerSession(const ConnectionInfo &ci, uint64_t view_id) : view_id(view_id)
    {
        EXPECT_EQ(0, ConnectionManager::getInstance().add(ci, nullptr, nullptr));
    }
    ~PooledServerSession() { ConnectionManager::getInstance().clear(); }

    // One "pull_event" in the borrowing protocol. 0, or the failing step's code.
    int pull(PObject &answer)
    {
        Connection conn;
        if (ConnectionManager::getInstance().get(1, conn) != 0) {
            return -100;
        }
        Connection::ChannelStat stat = conn.pop();
        Channel &ch = stat.getChannel();
        int rc = 0;
        logged_in_seen = false;
        if (stat.isExpired()) {
            rc = login(ch, conn.getConnectionInfo());
            if (rc != 0) {
                stat.setExpired();
                conn.push(stat);
                return rc;
            }
            stat.setConnected();
            conn.update(stat);
            logged_in_seen = conn.isConnected2();
        }
        PObject request;
        request["session"] = conn.getConnectionInfo().session;
        request["view_id"] = view_id;
        request["sync_id"] = static_cast<uint64_t>(0);
        request["path"] = "/";
        request["recursive"] = static_cast<uint64_t>(1);
        rc = exchange(ch, SCMD_EVT_PULL, "pull_event", request, answer);
        if (rc != 0 || answer.hasMember("error")) {
            stat.setExpired();
            rc = rc != 0 ? rc : -101;
        } else {
            stat.setAliveInterval(answer["alive"].asUInt32());
        }
        conn.push(stat);
        return rc;
    }

    bool logged_in_seen = false;

private:
    int exchange(Channel &ch, uint8_t command, const char *action, PObject request, PObject &answer)
    {
        InitRequest(request, ustring(action));
        answer = PObject();
        ProtoExchangeOptions options;
        ProtoExchangeHooks hooks;
        return ProtoRunExchange(ch, stream, command, request, answer, options, hooks);
    }

    int login(Channel &ch, const ConnectionInfo &ci)
    {
        ch.Close();
        int rc = ch.Open(ci.server_ip.c_str_utf8(), ci.server_port);
        if (rc != 0) {
            return rc;
        }
        PObject answer;
        if (ci.use_ssl) {
            rc = exchange(ch, SCMD_REQUEST_SSL_2, "encrypt_channel", PObject(), answer);
            if (rc != 0 || answer.hasMember("error")) {
                return rc != 0 ? rc : -102;
            }
            ch.SetAllowUntrust(ci.ssl_allow_untrust);
            ch.SetSSLHostname(ci.server_name);
            rc = ch.ConvertToSSLChannel(false);
            if (rc != 0) {
                return rc;
            }
        }
        PObject request;
        request["session"] = ci.session;
        request["view_id"] = view_id;
        rc = exchange(ch, SCMD_REQUEST_CONNECT, "connect", request, answer);
        if (rc != 0 || answer.hasMember("error") || answer["alive"].asUInt32() == 0) {
            return rc != 0 ? rc : -103;
        }
        return 0;
    }

    uint64_t view_id;
    PStream stream;
};

TEST(ConnectionServerTest, PooledChannelLogsInOnceOverTlsAndAgainAfterTheServerWentAway)
{
    ServerProcess server;
    ServerProcess::Options options;
    options.tls = true;
    ASSERT_TRUE(server.start(options));
    ServerAccount account = server.createAccount("alice", "docs");
    ASSERT_FALSE(account.token.empty());
    Channel::SetVerifyCAPath(server.caPath());

    ConnectionInfo ci = serverConnection(server, account, true);
    PooledServerSession session(ci, account.view_id);

    PObject answer;
    ASSERT_EQ(0, session.pull(answer)) << server.log();
    EXPECT_TRUE(session.logged_in_seen);
    EXPECT_GT(answer["alive"].asUInt32(), 0u);
    EXPECT_EQ(0, session.pull(answer)) << server.log();
    ASSERT_TRUE(server.waitForLog("action=pull_event"));
    EXPECT_EQ(1u, countOf(server.log(), "action=connect"));
    EXPECT_EQ(1u, countOf(server.log(), "action=encrypt_channel"));

    // The server restarts on another port; the reload rebuilds the pool and the next
    // borrower opens, upgrades and logs in anew.
    ASSERT_TRUE(server.restart());
    ci.server_port = server.port();
    ASSERT_EQ(0, ConnectionManager::getInstance().reload(ci, nullptr, nullptr));
    EXPECT_EQ(0, session.pull(answer)) << server.log();
    EXPECT_TRUE(session.logged_in_seen);
}

TEST(ConnectionServerTest, AKeptChannelFailsOnUseOnceTheServerIsGone)
{
    ServerProcess server;
    ASSERT_TRUE(server.start());
    ServerAccount account = server.createAccount("bob", "docs");
    PooledServerSession session(serverConnection(server, account, false), account.view_id);

    PObject answer;
    ASSERT_EQ(0, session.pull(answer)) << server.log();
    ASSERT_TRUE(server.stop());
    // The kept channel still counts as alive and fails on use.
    EXPECT_NE(0, session.pull(answer));
    Connection conn;
    ASSERT_EQ(0, ConnectionManager::getInstance().get(1, conn));
    EXPECT_FALSE(conn.isConnected());
    EXPECT_NE(0, session.pull(answer)); // reopening fails too: nobody listens
}

} // namespace
