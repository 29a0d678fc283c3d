// The relay tunnel upgrade shared by the tunnel channel and the proxy tunnel channel.
#include "channel.h"

#include "libzenttunnelclient/zent-tunnel-client.h"

#include <openssl/ssl.h>

int Channel::RelayUpgrade(const char *ip, int port, RelayStep &failed, int &code)
{
    code = 0;
    // The endpoint's certificate is never checked.
    bool allow_untrust = m_is_allowing_untrust;
    m_is_allowing_untrust = true;
    SSL_CTX *ctx = CreateSSLContext(false);
    m_is_allowing_untrust = allow_untrust;
    SSL *ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
    if (ssl == nullptr) {
        failed = RELAY_INIT_SSL;
        FreeSSL(ssl, ctx);
        return -1;
    }
    SSL_set_connect_state(ssl);
    if (SSL_set_fd(ssl, GetSocket()) != 1) {
        failed = RELAY_SET_FD;
        FreeSSL(ssl, ctx);
        return -1;
    }
    if (SSLHandshake(ssl) < 0) {
        failed = RELAY_SSL_CONNECT;
        FreeSSL(ssl, ctx);
        return -1;
    }
    code = ZENTTunnelClientHandshake(ssl, ip, port, m_timeout, channel_timeout,
                                     [this] { return IsAborted(); });
    // A quiet shutdown: no close notification reaches the endpoint, which relays from now
    // on.
    FreeSSL(ssl, ctx);
    if (code != 0) {
        failed = RELAY_HANDSHAKE;
        return -1;
    }
    ClearRead();
    ClearWrite();
    return 0;
}
