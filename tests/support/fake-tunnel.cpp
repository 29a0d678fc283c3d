#include "fake-tunnel.h"

#include "libzenttunnelclient/zent-crypto.h"
#include "tls-certs.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

bool SslReadHead(SSL *ssl, std::string &head)
{
    head.clear();
    char c;
    while (head.size() < 65536) {
        if (SSL_read(ssl, &c, 1) != 1)
            return false;
        head += c;
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0)
            return true;
    }
    return false;
}

bool SslSend(SSL *ssl, const std::string &bytes)
{
    return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
}

// The token names exactly the target of the headers, "host:port" and a NUL.
bool TokenMatches(const std::string &head)
{
    std::string token = FakeProxy::Header(head, "X-AuthToken");
    std::vector<uint8_t> envelope(token.size() + 4);
    size_t n = ZENTCryptoBase64Decode(token.data(), token.size(), envelope.data(), envelope.size());
    std::vector<uint8_t> plain(n + 8);
    size_t m = ZENTCryptoDecrypt(envelope.data(), n, plain.data(), plain.size());
    std::string expected = FakeProxy::Header(head, "X-Target-Host") + ":" +
                           FakeProxy::Header(head, "X-Target-Port");
    return m == expected.size() + 1 &&
           memcmp(plain.data(), expected.c_str(), expected.size() + 1) == 0;
}

// A server context with a self-signed certificate made in dir.
SSL_CTX *MakeServerContext(const std::string &dir)
{
    TlsTestCerts certs(dir);
    TlsTestCerts::Leaf leaf;
    if (!certs.ok() || !certs.issue("relay", "relay.invalid", {}, false, leaf))
        return nullptr;
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx != nullptr &&
        (SSL_CTX_use_certificate_chain_file(ctx, leaf.cert_path.c_str()) != 1 ||
         SSL_CTX_use_PrivateKey_file(ctx, leaf.key_path.c_str(), SSL_FILETYPE_PEM) != 1)) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

} // namespace

void FakeTunnel::ContextFree::operator()(SSL_CTX *ctx) const
{
    SSL_CTX_free(ctx);
}

FakeTunnel::FakeTunnel(Behaviour behaviour, int status)
    : m_behaviour(behaviour), m_status(status), m_ctx(MakeServerContext(m_dir.path())),
      m_proxy([this](int fd) { Serve(fd); })
{
    // SSL writes to a client that went away must not end the test process (the daemon
    // ignores SIGPIPE the same way).
    signal(SIGPIPE, SIG_IGN);
}

std::string FakeTunnel::last_request() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_request;
}

void FakeTunnel::Serve(int fd)
{
    if (!m_ctx)
        return;
    SSL *ssl = SSL_new(m_ctx.get());
    SSL_set_fd(ssl, fd);
    std::string head;
    bool ok = SSL_accept(ssl) == 1;
    if (ok && m_behaviour != CLOSE_AFTER_SSL && SslReadHead(ssl, head)) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_request = head;
        }
        bool valid = TokenMatches(head);
        ++(valid ? m_valid : m_invalid);
        int status = valid ? m_status : 401;
        switch (m_behaviour) {
        case ANSWER:
            SslSend(ssl, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: ZentoraTunnel\r\nX-Target-Status: " +
                             std::to_string(status) + "\r\n\r\n");
            break;
        case NO_STATUS_CLOSE:
            SslSend(ssl, "HTTP/1.1 101 Switching Protocols\r\n");
            break;
        case GARBAGE:
            SslSend(ssl, std::string(3000, '\x01'));
            break;
        default:
            break;
        }
        if (m_behaviour == NEVER_ANSWER) {
            FakeProxy::WaitClosed(fd);
        } else if (m_behaviour == ANSWER && status == 0) {
            // Drop the SSL layer without a close notification and relay in the clear.
            SSL_set_quiet_shutdown(ssl, 1);
            SSL_free(ssl);
            ssl = nullptr;
            std::string target = "CONNECT " + FakeProxy::Header(head, "X-Target-Host") + ":" +
                                 FakeProxy::Header(head, "X-Target-Port") + " HTTP/1.1\r\n";
            FakeProxy::Establish(fd, target, false);
        }
    }
    if (ssl != nullptr) {
        SSL_set_quiet_shutdown(ssl, 1);
        SSL_free(ssl);
    }
    shutdown(fd, SHUT_RDWR);
}
