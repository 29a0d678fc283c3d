#include "zentproxy/lib/zentproxyclient.h"

#include "proxy-test-util.h"
#include "support/fake-proxy.h"
#include "support/process-usage.h"
#include "zentproxy/lib/zentproxyclient-internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace
{

const std::string kBasicUserPassword = "Basic VXNlcjpQYXNzd29yZA=="; // User:Password

void OpenProxy(int fd)
{
    std::string head;
    if (FakeProxy::ReadHead(fd, head))
        FakeProxy::Establish(fd, head);
}

void BasicProxy(int fd)
{
    std::string head;
    while (FakeProxy::ReadHead(fd, head)) {
        if (FakeProxy::Header(head, "Proxy-Authorization") == kBasicUserPassword) {
            FakeProxy::Establish(fd, head);
            return;
        }
        FakeProxy::Send(fd, FakeProxy::Answer407({"Basic realm=\"test\""}));
    }
}

// Runs one method's handler on a fresh connection to the proxy; the handler's own code.
int RunMethod(int method, int proxy_port, int target_port = 9)
{
    int fd = ZENTProxyConnect("127.0.0.1", proxy_port);
    if (fd < 0)
        return -100;
    PROXY_TARGET_INFO target = {"127.0.0.1", target_port};
    PROXY_AUTH_INFO auth = {"User", "Password", "Domain", "ws1", method};
    int ret = kProxyAuthControl[method].auth_cb(fd, &target, &auth);
    ZENTProxyTunnelClose(fd);
    return ret;
}

} // namespace

TEST(ProxyClientTest, OpenProxyMakesAllFourAttemptsSucceedAndKeepsNoAuth)
{
    ProxyLogCapture log;
    EchoTarget target;
    FakeProxy proxy(OpenProxy);
    int fd = OpenThroughProxy(proxy.port(), target.port(), PROXY_AUTO_AUTH);
    ASSERT_GE(fd, 0);
    EXPECT_EQ("through the tunnel", RoundTrip(fd, "through the tunnel"));
    ZENTProxyTunnelClose(fd);
    EXPECT_EQ(4, proxy.accepted());
    EXPECT_EQ(1, log.Count("Use NO Auth (0) as first result"));
    EXPECT_EQ(3, log.Count("as result and close socket"));
    EXPECT_EQ(1, log.Count("Connect to proxy server success"));
    EXPECT_EQ(log.Count(""), log.Count("proxy_debug ["));
}

TEST(ProxyClientTest, BasicIsUsedWhenTheProxyRefusesNoAuthAndNtlm)
{
    ProxyLogCapture log;
    EchoTarget target;
    FakeProxy proxy(BasicProxy);
    int fd = OpenThroughProxy(proxy.port(), target.port(), PROXY_AUTO_AUTH);
    ASSERT_GE(fd, 0);
    EXPECT_EQ("basic", RoundTrip(fd, "basic"));
    ZENTProxyTunnelClose(fd);
    EXPECT_EQ(1, log.Count("Use BASIC Auth (1) as first result"));
    EXPECT_EQ(1, log.Count("Peer proxy server need authentication"));
    EXPECT_EQ(2, log.Count("No NTLM Proxy-Authenticate, NTLM not supported?"));

    EXPECT_EQ(ZENTPROXY_ERR_AUTH,
              OpenThroughProxy(proxy.port(), target.port(), PROXY_AUTO_AUTH, "User", "wrong"));
    EXPECT_EQ(1, log.Count("Basic proxy auth failed, Not support basic auth?"));
    // The caller learns that the proxy refused the credentials, in both modes.
    EXPECT_EQ(1, RefusedCredentials(proxy.port(), target.port(), PROXY_AUTO_AUTH, "User", "wrong"));
    EXPECT_EQ(1, RefusedCredentials(proxy.port(), target.port(), PROXY_BASIC_AUTH, "User", "wrong"));
    EXPECT_EQ(-1, RefusedCredentials(proxy.port(), target.port(), PROXY_BASIC_AUTH));
    // Without a user name Basic sends nothing.
    EXPECT_EQ(ZENTPROXY_ERR_AUTH,
              OpenThroughProxy(proxy.port(), target.port(), PROXY_BASIC_AUTH, ""));
    EXPECT_EQ(1, log.Count("Need specified user name"));
}

TEST(ProxyClientTest, NtlmExchangesAreVerifiedByTheProxy)
{
    ProxyLogCapture log;
    EchoTarget target;
    FakeNtlmProxy::Options options;
    FakeNtlmProxy proxy(options);

    int fd = OpenThroughProxy(proxy.port(), target.port(), PROXY_NTLM_AUTH);
    ASSERT_GE(fd, 0);
    EXPECT_EQ("v1", RoundTrip(fd, "v1"));
    ZENTProxyTunnelClose(fd);
    EXPECT_EQ(1, proxy.verified_v1());

    fd = OpenThroughProxy(proxy.port(), target.port(), PROXY_NTLMv2_AUTH);
    ASSERT_GE(fd, 0);
    EXPECT_EQ("v2", RoundTrip(fd, "v2"));
    ZENTProxyTunnelClose(fd);
    EXPECT_EQ(1, proxy.verified_v2());
    EXPECT_EQ("User", proxy.last_user());
    EXPECT_EQ("DOMAIN", proxy.last_domain());
    EXPECT_EQ(options.target_info, proxy.last_blob_target_info());

    // Both NTLM attempts work; the first in table order is kept.
    fd = OpenThroughProxy(proxy.port(), target.port(), PROXY_AUTO_AUTH);
    ASSERT_GE(fd, 0);
    ZENTProxyTunnelClose(fd);
    EXPECT_EQ(1, log.Count("Use NTLMv1 Auth (2) as first result"));
    EXPECT_EQ(1, log.Count("Discard NTLMv2 Auth (3) as result"));

    EXPECT_EQ(ZENTPROXY_ERR_AUTH,
              OpenThroughProxy(proxy.port(), target.port(), PROXY_NTLMv2_AUTH, "User", "wrong"));
    EXPECT_EQ(1, log.Count("phase 2 transaction failed"));
    EXPECT_EQ(1, proxy.rejected());
}

TEST(ProxyClientTest, NtlmV2WithoutUsableTargetInfoLeavesItOut)
{
    ProxyLogCapture log;
    EchoTarget target;
    FakeNtlmProxy::Options options;
    options.target_info_outside = true;
    FakeNtlmProxy proxy(options);
    int fd = OpenThroughProxy(proxy.port(), target.port(), PROXY_NTLMv2_AUTH);
    ASSERT_GE(fd, 0);
    ZENTProxyTunnelClose(fd);
    EXPECT_EQ(1, proxy.verified_v2());
    EXPECT_EQ("", proxy.last_blob_target_info());
    EXPECT_EQ(1, log.Count("Target info not found"));
}

TEST(ProxyClientTest, MethodOutcomes)
{
    ProxyLogCapture log;
    FakeProxy basic_only(BasicProxy);
    FakeProxy forbidden([](int fd) {
        std::string head;
        if (FakeProxy::ReadHead(fd, head))
            FakeProxy::Send(fd, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
        FakeProxy::WaitClosed(fd);
    });
    FakeNtlmProxy::Options short_challenge;
    short_challenge.truncate_challenge = 24;
    FakeNtlmProxy ntlm24(short_challenge);

    EXPECT_EQ(ZENTPROXY_ERR_REFUSED, RunMethod(PROXY_NO_AUTH, basic_only.port()));
    EXPECT_EQ(ZENTPROXY_ERR_REFUSED, RunMethod(PROXY_NTLM_AUTH, basic_only.port()));
    EXPECT_EQ(ZENTPROXY_ERR_REFUSED, RunMethod(PROXY_NTLMv2_AUTH, basic_only.port()));
    EXPECT_EQ(ZENTPROXY_ERR_MALFORMED, RunMethod(PROXY_NO_AUTH, forbidden.port()));
    EXPECT_EQ(1, log.Count("Unhandled response code: 403"));
    EXPECT_EQ(ZENTPROXY_ERR_MALFORMED, RunMethod(PROXY_NTLMv2_AUTH, ntlm24.port()));
    EXPECT_EQ(1, log.Count("Proxy server returning invalid challenge!"));
}

TEST(ProxyClientTest, BadParametersAndUnresolvableProxy)
{
    ProxyLogCapture log;
    EXPECT_EQ(ZENTPROXY_ERR_PARAM, OpenThroughProxy(1, 1, PROXY_AUTO_AUTH, nullptr));
    EXPECT_EQ(ZENTPROXY_ERR_PARAM, OpenThroughProxy(1, 1, PROXY_AUTO_AUTH, "u", "p", "d", nullptr));
    EXPECT_EQ(ZENTPROXY_ERR_PARAM,
              OpenThroughProxy(1, 1, PROXY_AUTO_AUTH, "u", "p", "d", "h", ""));
    PROXY_SERVER_INFO server = {"127.0.0.1", 1};
    PROXY_TARGET_INFO target = {"host\r\nX-Injected: 1", 1};
    PROXY_AUTH_INFO auth = {"", "", "", "", PROXY_AUTO_AUTH};
    EXPECT_EQ(ZENTPROXY_ERR_PARAM, ZENTProxyTunnelOpen(&server, &target, &auth));
    EXPECT_EQ(4, log.Count("Bad parameter"));

    EXPECT_EQ(ZENTPROXY_ERR_AUTH, OpenThroughProxy(1, 1, PROXY_AUTO_AUTH, "u", "p", "d", "h",
                                                   "no-such-proxy.invalid"));
    EXPECT_EQ(4, log.Count("Proxy server could not be resolved."));
    EXPECT_EQ(ZENTPROXY_ERR_AUTH, OpenThroughProxy(1, 1, 7));
    EXPECT_EQ(1, log.Count("auth not support"));
}

// Misbehaving proxies: every one ends all four attempts with the failure code within the
// read limits, and leaves no descriptor or thread behind.
TEST(ProxyClientTest, BadProxiesFailCleanly)
{
    using Handler = FakeProxy::Handler;
    std::string big_header = "HTTP/1.1 407 Proxy Authentication Required\r\n";
    while (big_header.size() <= 70 * 1024)
        big_header += "X-Fill: " + std::string(900, 'a') + "\r\n";
    struct Case {
        const char *name;
        Handler handler;
        int max_seconds;
        int refused = 0; // whether the failure counts as refused credentials
    } cases[] = {
        {"garbage",
         [](int fd) {
             std::string head;
             FakeProxy::ReadHead(fd, head);
             FakeProxy::Send(fd, std::string("\x16\x03\x01\x00\xff garbage\r\n\r\n", 17));
             FakeProxy::WaitClosed(fd);
         },
         3},
        {"status line without headers",
         [](int fd) {
             std::string head;
             FakeProxy::ReadHead(fd, head);
             FakeProxy::Send(fd, "HTTP/1.1 200 Connection established\r\n");
             shutdown(fd, SHUT_WR);
             FakeProxy::WaitClosed(fd);
         },
         3},
        {"header block over 64 KiB",
         [big_header](int fd) {
             std::string head;
             FakeProxy::ReadHead(fd, head);
             FakeProxy::Send(fd, big_header);
             FakeProxy::WaitClosed(fd);
         },
         3},
        {"endless 407",
         [](int fd) {
             std::string head;
             while (FakeProxy::ReadHead(fd, head))
                 FakeProxy::Send(fd, FakeProxy::Answer407({"Basic realm=\"x\"",
                                                           "NTLM TlRMTVNTUAACAAAAAAAAADAAAAAFgokAASNFZ4mrze8AAAAAAAAAAAAAAAAAAAAA"}));
         },
         3, 1},
        {"closes mid-answer",
         [](int fd) {
             std::string head;
             FakeProxy::ReadHead(fd, head);
             FakeProxy::Send(fd, "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Le");
             shutdown(fd, SHUT_RDWR);
         },
         3},
        {"closes at once", [](int fd) { shutdown(fd, SHUT_RDWR); }, 3},
        {"endless body",
         [](int fd) {
             std::string head;
             FakeProxy::ReadHead(fd, head);
             FakeProxy::Send(fd, "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: "
                                 "99999999999\r\n\r\n");
             FakeProxy::WaitClosed(fd);
         },
         3},
        {"never answers",
         [](int fd) {
             std::string head;
             FakeProxy::ReadHead(fd, head);
             FakeProxy::WaitClosed(fd);
         },
         kProxyWaitMs * kProxyWaitTries / 1000 + 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int fds = CountOpenFds(), threads = CountThreads();
        auto start = std::chrono::steady_clock::now();
        {
            FakeProxy proxy(c.handler);
            EXPECT_EQ(c.refused, RefusedCredentials(proxy.port(), 9, PROXY_AUTO_AUTH));
            EXPECT_EQ(4, proxy.accepted());
        }
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        EXPECT_LE(seconds, c.max_seconds);
        EXPECT_EQ(fds, CountOpenFds());
        EXPECT_EQ(threads, CountThreads());
    }
}

// Challenges that are cut short or point outside themselves are refused or read without
// the target information, and never read out of bounds.
TEST(ProxyClientTest, MalformedChallengesFailCleanly)
{
    for (size_t cut : {8u, 24u, 31u, 40u, 47u}) {
        SCOPED_TRACE(cut);
        int fds = CountOpenFds(), threads = CountThreads();
        {
            FakeNtlmProxy::Options options;
            options.truncate_challenge = cut;
            options.accept_v1 = options.accept_v2 = false;
            FakeNtlmProxy proxy(options);
            EXPECT_EQ(ZENTPROXY_ERR_AUTH, OpenThroughProxy(proxy.port(), 9, PROXY_AUTO_AUTH));
        }
        EXPECT_EQ(fds, CountOpenFds());
        EXPECT_EQ(threads, CountThreads());
    }
}
