#include "channel.h"

#include "error-code.h"
#include "support/temp-dir.h"
#include "support/tls-certs.h"
#include "support/tls-loopback.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>
#include <thread>

namespace
{

// One TLS upgrade between a client channel and a server channel on loopback.
struct Upgrade {
    int client_result = 1;
    int server_result = 1;
};

class ChannelSslTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        dir = new TempDir();
        certs = new TlsTestCerts(dir->path());
        ASSERT_TRUE(certs->ok());
        ASSERT_TRUE(certs->issue("trusted", "server.example", {"alt.example", "*.wild.example"},
                                 true, trusted));
        ASSERT_TRUE(certs->issue("untrusted", "server.example", {}, false, untrusted));
        ASSERT_TRUE(certs->issue("wildcard", "*.q.r", {}, true, wildcard));
    }
    static void TearDownTestSuite()
    {
        delete certs;
        delete dir;
    }

    void SetUp() override
    {
        Channel::SetVerifyCAPath(certs->caPath());
        ASSERT_TRUE(MakeLoopbackPair(client, server));
    }

    Upgrade Run(const TlsTestCerts::Leaf &leaf, bool allow_untrust, const std::string &host)
    {
        Channel::SetCERTPath(leaf.cert_path);
        Channel::SetPriKeyPath(leaf.key_path);
        client.SetAllowUntrust(allow_untrust);
        client.SetSSLHostname(host);
        Upgrade result;
        std::thread peer([&] { result.server_result = server.ConvertToSSLChannel(true); });
        result.client_result = client.ConvertToSSLChannel(false);
        peer.join();
        return result;
    }

    static TempDir *dir;
    static TlsTestCerts *certs;
    static TlsTestCerts::Leaf trusted, untrusted, wildcard;
    Channel client, server;
};

TempDir *ChannelSslTest::dir;
TlsTestCerts *ChannelSslTest::certs;
TlsTestCerts::Leaf ChannelSslTest::trusted, ChannelSslTest::untrusted, ChannelSslTest::wildcard;

} // namespace

TEST_F(ChannelSslTest, TrustedChainIsAcceptedAndCarriesData)
{
    Upgrade up = Run(trusted, false, "");
    ASSERT_EQ(0, up.client_result);
    ASSERT_EQ(0, up.server_result);
    EXPECT_TRUE(client.IsSSL());
    EXPECT_TRUE(server.IsSSL());

    // More than both buffers hold, both ways round.
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 31 + 7);
    std::thread writer([&] {
        for (size_t done = 0; done < data.size(); done += 60000)
            ASSERT_EQ(
                0, client.Write(data.data() + done, std::min<size_t>(60000, data.size() - done)));
        ASSERT_EQ(0, client.FlushWrite(0));
    });
    std::string got(data.size(), '\0');
    ASSERT_EQ(0, server.Read(&got[0], got.size()));
    writer.join();
    EXPECT_TRUE(got == data);

    ASSERT_EQ(0, server.WriteInt32(0xCAFE));
    ASSERT_EQ(0, server.FlushWrite(0));
    uint32_t v = 0;
    EXPECT_EQ(0, client.ReadInt32(v));
    EXPECT_EQ(0xCAFEu, v);

    // Upgrading again changes nothing.
    EXPECT_EQ(0, client.ConvertToSSLChannel(false));
    EXPECT_TRUE(client.IsSSL());
    client.Close();
    EXPECT_TRUE(client.IsClosed());
    EXPECT_FALSE(client.IsSSL());
    char c;
    EXPECT_EQ(ERR_IO, server.Read(&c, 1));
}

TEST_F(ChannelSslTest, UntrustedChainIsRefusedAndTheChannelStaysPlain)
{
    Upgrade up = Run(untrusted, false, "");
    EXPECT_EQ(ERR_SSL_VERIFY_FAIL, up.client_result);
    EXPECT_EQ(0, up.server_result);
    EXPECT_FALSE(client.IsSSL());
    EXPECT_FALSE(client.IsClosed());
    // The client's bytes now travel in the clear on the same socket.
    ASSERT_EQ(0, client.Write("plain", 5));
    ASSERT_EQ(0, client.FlushWrite(0));
    char buf[5];
    size_t got = 0;
    while (got < sizeof(buf)) {
        ssize_t n = recv(server.GetSocket(), buf + got, sizeof(buf) - got, 0);
        if (n <= 0 && errno != EAGAIN)
            break;
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    EXPECT_EQ("plain", std::string(buf, got));
}

TEST_F(ChannelSslTest, AllowUntrustAcceptsAnyCertificate)
{
    Upgrade up = Run(untrusted, true, "no.such.name");
    EXPECT_EQ(0, up.client_result);
    EXPECT_TRUE(client.IsSSL());
}

TEST_F(ChannelSslTest, MissingCaFileRefusesTheUpgrade)
{
    Channel::SetVerifyCAPath(dir->file("no-such-ca.pem"));
    Channel::SetCERTPath(trusted.cert_path);
    Channel::SetPriKeyPath(trusted.key_path);
    client.SetAllowUntrust(false);
    int server_result = 1;
    std::thread peer([&] { server_result = server.ConvertToSSLChannel(true); });
    EXPECT_EQ(ERR_IO, client.ConvertToSSLChannel(false));
    EXPECT_FALSE(client.IsSSL());
    EXPECT_FALSE(client.IsClosed());
    client.Close(); // ends the server's handshake
    peer.join();
    EXPECT_EQ(ERR_IO, server_result);
    EXPECT_FALSE(server.IsSSL());
}

TEST_F(ChannelSslTest, HostNameIsCheckedAgainstCommonNameThenAltNames)
{
    struct Case {
        const TlsTestCerts::Leaf *leaf;
        const char *host;
        int expected;
    } cases[] = {
        {&trusted, "server.example", 0}, // common name
        {&trusted, "SERVER.Example", 0}, // ASCII case does not matter
        {&trusted, "alt.example", 0},    // DNS alternative name
        {&trusted, "x.wild.example", 0}, // wildcard alternative name
        {&trusted, "other.example", ERR_SSL_VERIFY_FAIL},
        {&wildcard, "p.q.r", 0},
        {&wildcard, "q.r", 0},
        {&wildcard, "s.p.q.r", ERR_SSL_VERIFY_FAIL},
        {&wildcard, "s.t", ERR_SSL_VERIFY_FAIL},
    };
    for (const Case &c : cases) {
        Channel a, b;
        ASSERT_TRUE(MakeLoopbackPair(a, b));
        Channel::SetCERTPath(c.leaf->cert_path);
        Channel::SetPriKeyPath(c.leaf->key_path);
        a.SetAllowUntrust(false);
        a.SetSSLHostname(c.host);
        std::thread peer([&] { b.ConvertToSSLChannel(true); });
        EXPECT_EQ(c.expected, a.ConvertToSSLChannel(false)) << c.host;
        peer.join();
        EXPECT_EQ(c.expected == 0, a.IsSSL()) << c.host;
    }
}

TEST(ChannelHostnameTest, WildcardRule)
{
    struct Case {
        const char *pattern;
        const char *host;
        bool match;
    } cases[] = {
        {"a.b", "a.b", true},        {"a.b", "A.B", true},
        {"a.b", "x.a.b", false},     {"*", "anything", false},
        {"*.q.r", "p.q.r", true},    {"*.q.r", "q.r", true},
        {"*.q.r", "s.p.q.r", false}, {"*.q.r", "s.t", false},
        {"*.Q.R", "p.q.r", true},    {"", "", false},
        {"*.q.r", "qr", false},      {"\xC3\x84.x", "\xC3\xA4.x", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.match, Channel::MatchHostname(c.pattern, c.host)) << c.pattern << " " << c.host;
}

TEST(ChannelSslSettingsTest, ClassWideDefaultsAndSetters)
{
    ustring cert = Channel::GetCERTPath(), key = Channel::GetPriKeyPath(),
            ca = Channel::GetVerifyCAPath();
    Channel::SetCERTPath("/c");
    Channel::SetPriKeyPath("/k");
    Channel::SetVerifyCAPath("/v");
    EXPECT_EQ(ustring("/c"), Channel::GetCERTPath());
    EXPECT_EQ(ustring("/k"), Channel::GetPriKeyPath());
    EXPECT_EQ(ustring("/v"), Channel::GetVerifyCAPath());
    Channel::SetCERTPath(cert);
    Channel::SetPriKeyPath(key);
    Channel::SetVerifyCAPath(ca);
    Channel ch;
    EXPECT_TRUE(ch.IsAllowingUntrust());
    EXPECT_EQ(60u, ch.GetTimeout());
    EXPECT_EQ(81920u, ch.GetCapacity());
}
