// The proxy client against a real squid: an open proxy, Basic through basic_ncsa_auth and
// the NTLM message flow through ntlm_fake_auth (which accepts any answer; the responses
// themselves are checked by the NTLM tests and the stand-in NTLM proxy).
#include "zentproxy/lib/zentproxyclient.h"

#include "proxy-test-util.h"
#include "support/process-usage.h"
#include "support/squid-process.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

class SquidTest : public ::testing::Test
{
protected:
    // A machine without squid fails these tests: the proxy client is only proven against
    // a real proxy.
    void StartSquid(SquidProcess::Auth auth)
    {
        ASSERT_NE("", SquidProcess::Binary()) << "squid is not installed (scripts/deps.sh)";
        std::string error;
        ASSERT_TRUE(squid.Start(auth, "User", "Password", error)) << error;
    }

    ProxyLogCapture log;
    EchoTarget target;
    SquidProcess squid;
};

} // namespace

TEST_F(SquidTest, OpenProxyTunnelsToTheTargetWithoutAuthentication)
{
    StartSquid(SquidProcess::OPEN);
    int fd = OpenThroughProxy(squid.port(), target.port(), PROXY_AUTO_AUTH);
    ASSERT_GE(fd, 0) << log.Text() << squid.CacheLog();
    EXPECT_EQ(1, log.Count("Use NO Auth (0) as first result"));
    std::string big(200000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    EXPECT_EQ(big, RoundTrip(fd, big));
    ZENTProxyTunnelClose(fd);
}

TEST_F(SquidTest, BasicAuthenticationChecksThePassword)
{
    StartSquid(SquidProcess::BASIC);
    int fd = OpenThroughProxy(squid.port(), target.port(), PROXY_AUTO_AUTH);
    ASSERT_GE(fd, 0) << log.Text() << squid.CacheLog();
    EXPECT_EQ(1, log.Count("Use BASIC Auth (1) as first result"));
    EXPECT_EQ("basic", RoundTrip(fd, "basic"));
    ZENTProxyTunnelClose(fd);

    ASSERT_TRUE(target.WaitIdle());
    int fds = CountOpenFds(), threads = CountThreads();
    EXPECT_EQ(ZENTPROXY_ERR_AUTH,
              OpenThroughProxy(squid.port(), target.port(), PROXY_AUTO_AUTH, "User", "wrong"));
    EXPECT_EQ(1, log.Count("Basic proxy auth failed, Not support basic auth?"));
    EXPECT_EQ(fds, CountOpenFds());
    EXPECT_EQ(threads, CountThreads());
}

TEST_F(SquidTest, NtlmFlowThroughTheFakeHelper)
{
    StartSquid(SquidProcess::NTLM);
    for (int method : {PROXY_NTLM_AUTH, PROXY_NTLMv2_AUTH}) {
        SCOPED_TRACE(method);
        int fd = OpenThroughProxy(squid.port(), target.port(), method);
        ASSERT_GE(fd, 0) << log.Text() << squid.CacheLog();
        EXPECT_EQ("ntlm", RoundTrip(fd, "ntlm"));
        ZENTProxyTunnelClose(fd);
    }
    // The helper's challenge names target information outside the message: v2 answers
    // without it.
    EXPECT_GE(log.Count("Target info not found"), 1);
    int fd = OpenThroughProxy(squid.port(), target.port(), PROXY_AUTO_AUTH);
    ASSERT_GE(fd, 0);
    ZENTProxyTunnelClose(fd);
    EXPECT_EQ(1, log.Count("Use NTLMv1 Auth (2) as first result"));
}
