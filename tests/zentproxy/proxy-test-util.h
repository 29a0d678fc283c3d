// Shared by the proxy client tests: a log capture for the library's callback, an echo
// target and a call of ZENTProxyTunnelOpen with defaults.
#pragma once

#include "zentproxy/lib/zentproxyclient.h"
#include "support/fake-proxy.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// Collects the library's log lines while alive.
class ProxyLogCapture
{
public:
    ProxyLogCapture()
    {
        std::lock_guard<std::mutex> guard(Lock());
        Lines().clear();
        ZENTProxyInitLogger(&ProxyLogCapture::Collect);
    }
    ~ProxyLogCapture() { ZENTProxyInitLogger(nullptr); }
    // Number of lines that contain text.
    int Count(const std::string &text) const
    {
        std::lock_guard<std::mutex> guard(Lock());
        int n = 0;
        for (const std::string &line : Lines())
            n += line.find(text) != std::string::npos;
        return n;
    }

    // All lines, for failure messages.
    std::string Text() const
    {
        std::lock_guard<std::mutex> guard(Lock());
        std::string all;
        for (const std::string &line : Lines())
            all += line;
        return all;
    }

private:
    static void Collect(int, const char *component, const char *format, va_list args)
    {
        char buf[8192];
        vsnprintf(buf, sizeof(buf), format, args);
        std::lock_guard<std::mutex> guard(Lock());
        Lines().push_back(std::string(component) + " " + buf);
    }
    static std::mutex &Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string> &Lines()
    {
        static std::vector<std::string> lines;
        return lines;
    }
};

inline int OpenThroughProxy(int proxy_port, int target_port, int type, const char *user = "User",
                            const char *password = "Password", const char *domain = "Domain",
                            const char *host = "ws1", const char *proxy_host = "127.0.0.1")
{
    PROXY_SERVER_INFO server = {proxy_host, proxy_port};
    PROXY_TARGET_INFO target = {"127.0.0.1", target_port};
    PROXY_AUTH_INFO auth = {user, password, domain, host, type};
    return ZENTProxyTunnelOpen(&server, &target, &auth);
}

// Opens as above and tells whether the failure was the proxy refusing the credentials
// (1), another failure (0), or a success (-1, the socket is closed again).
inline int RefusedCredentials(int proxy_port, int target_port, int type, const char *user = "User",
                              const char *password = "Password")
{
    PROXY_SERVER_INFO server = {"127.0.0.1", proxy_port};
    PROXY_TARGET_INFO target = {"127.0.0.1", target_port};
    PROXY_AUTH_INFO auth = {user, password, "Domain", "ws1", type};
    bool refused = false;
    int fd = ZENTProxyTunnelOpenChecked(&server, &target, &auth, &refused);
    if (fd >= 0) {
        ZENTProxyTunnelClose(fd);
        return -1;
    }
    return refused ? 1 : 0;
}

// Sends text on a blocking read of the non-blocking tunnel socket and returns the echo.
inline std::string RoundTrip(int fd, const std::string &text)
{
    if (!FakeProxy::Send(fd, text))
        return "";
    std::string got;
    char buf[4096];
    while (got.size() < text.size()) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}
