#include "libzenttunnelclient/zent-tunnel-client.h"

#include "libzenttunnelclient/zent-crypto.h"
#include "libzenttunnelclient/zent-tunnel-answer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

typedef std::chrono::steady_clock Clock;

// Waits for the SSL connection's socket within the handshake's time budget.
class Waiter
{
public:
    Waiter(SSL *ssl, struct timeval wait, unsigned int timeout, const std::function<bool()> &aborted)
        : m_fd(SSL_get_fd(ssl)), m_aborted(aborted), m_start(Clock::now()), m_timeout(timeout)
    {
        long ms = wait.tv_sec * 1000L + wait.tv_usec / 1000L;
        m_step_ms = ms > 0 ? static_cast<int>(ms) : 1000;
    }
    // 1 ready, 0 out of time (or aborted), -1 failed.
    int Wait(bool for_write)
    {
        for (;;) {
            if (m_aborted && m_aborted())
                return 0;
            if (m_timeout != 0 && Clock::now() - m_start >= std::chrono::seconds(m_timeout))
                return 0;
            struct pollfd pfd = {m_fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
            int ret = poll(&pfd, 1, m_step_ms);
            if (ret > 0)
                return 1;
            if (ret < 0 && errno != EINTR)
                return -1;
        }
    }

private:
    int m_fd;
    const std::function<bool()> &m_aborted;
    Clock::time_point m_start;
    unsigned int m_timeout;
    int m_step_ms;
};

// The Base64 token naming target ("host:port" and its NUL).
std::string MakeToken(const std::string &target)
{
    std::vector<uint8_t> envelope(ZENTCryptoEncryptLength(target.size() + 1));
    size_t n = ZENTCryptoEncrypt(reinterpret_cast<const uint8_t *>(target.c_str()),
                                 target.size() + 1, envelope.data(), envelope.size());
    if (n == 0)
        return "";
    std::vector<char> text(4 * ((n + 2) / 3) + 1);
    ZENTCryptoBase64Encode(envelope.data(), n, text.data(), text.size());
    return text.data();
}

// The relay endpoint's address, as the Host header names it.
std::string PeerHost(SSL *ssl)
{
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    char text[INET_ADDRSTRLEN] = "";
    if (getpeername(SSL_get_fd(ssl), reinterpret_cast<sockaddr *>(&addr), &len) == 0 &&
        addr.sin_family == AF_INET)
        inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
    return text;
}

int SendRequest(SSL *ssl, const std::string &request, Waiter &waiter)
{
    size_t sent = 0;
    while (sent < request.size()) {
        int n = SSL_write(ssl, request.data() + sent, static_cast<int>(request.size() - sent));
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        int err = SSL_get_error(ssl, n);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            return -ZENTTUNNEL_ERR_CONN_FAILED;
        int ready = waiter.Wait(err == SSL_ERROR_WANT_WRITE);
        if (ready == 0)
            return -ZENTTUNNEL_ERR_CONN_TIMEOUT;
        if (ready < 0)
            return -ZENTTUNNEL_ERR_CONN_FAILED;
    }
    return 0;
}

// Takes one line (through its line feed, at most kZENTTunnelMaxLine bytes) and never a
// byte more: what the endpoint sends after its answer is not the SSL layer's. A partial
// line is dropped when the connection ends or the time runs out.
ZENTTunnelLine ReadLine(SSL *ssl, Waiter &waiter, std::string &line)
{
    line.clear();
    char buf[kZENTTunnelMaxLine];
    while (line.size() < static_cast<size_t>(kZENTTunnelMaxLine)) {
        int room = kZENTTunnelMaxLine - static_cast<int>(line.size());
        int n = SSL_peek(ssl, buf, room);
        if (n <= 0) {
            int err = SSL_get_error(ssl, n);
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                return ZENT_LINE_END;
            int ready = waiter.Wait(err == SSL_ERROR_WANT_WRITE);
            if (ready <= 0)
                return ready == 0 ? ZENT_LINE_TIMEOUT : ZENT_LINE_END;
            continue;
        }
        const char *lf = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(n)));
        int take = lf != nullptr ? static_cast<int>(lf - buf) + 1 : n;
        if (SSL_read(ssl, buf, take) != take)
            return ZENT_LINE_END;
        line.append(buf, static_cast<size_t>(take));
        if (lf != nullptr)
            break;
    }
    return ZENT_LINE_OK;
}

} // namespace

int ZENTTunnelClientHandshake(SSL *ssl, const char *host, int port, struct timeval wait,
                              unsigned int timeout, const std::function<bool()> &aborted)
{
    if (ssl == nullptr || host == nullptr)
        return -ZENTTUNNEL_ERR_CONN_FAILED;
    // A host that would break the request's header lines is no target.
    for (const char *c = host; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7F)
            return ZENTTUNNEL_ERR_BAD_TARGET;
    char target[kZENTTunnelMaxTarget + 1];
    int len = snprintf(target, sizeof(target), "%s:%d", host, port);
    if (len < 0 || len > kZENTTunnelMaxTarget)
        return ZENTTUNNEL_ERR_BAD_TARGET;
    std::string token = MakeToken(target);
    if (token.empty())
        return ZENTTUNNEL_ERR_UNKNOWN;
    std::string request = "GET /zent-tunnel HTTP/1.1\r\nHost: " + PeerHost(ssl) +
                          "\r\nUpgrade: ZentoraTunnel\r\nX-Target-Host: " + host +
                          "\r\nX-Target-Port: " + std::to_string(port) +
                          "\r\nX-AuthToken: " + token + "\r\n\r\n";
    Waiter waiter(ssl, wait, timeout, aborted);
    int ret = SendRequest(ssl, request, waiter);
    if (ret != 0)
        return ret;
    return ZENTTunnelReadAnswer(
        [ssl, &waiter](std::string &line) { return ReadLine(ssl, waiter, line); });
}

int ZENTTunnelReadAnswer(const std::function<ZENTTunnelLine(std::string &line)> &next_line)
{
    // An endpoint that closes, stays silent or answers something other than HTTP has not
    // accepted the target.
    std::string line;
    ZENTTunnelLine got = next_line(line);
    if (got == ZENT_LINE_TIMEOUT)
        return -ZENTTUNNEL_ERR_CONN_TIMEOUT;
    if (got != ZENT_LINE_OK || line.compare(0, 5, "HTTP/") != 0)
        return -ZENTTUNNEL_ERR_CONN_FAILED;
    int status = ZENTTUNNEL_OK;
    while (next_line(line) == ZENT_LINE_OK) {
        if (line.empty() || line[0] == '\r' || line[0] == '\n')
            break;
        int value = 0;
        if (strncasecmp(line.c_str(), "X-Target-Status", 15) == 0 &&
            sscanf(line.c_str() + 15, ": %d", &value) == 1)
            status = value;
    }
    return status;
}
