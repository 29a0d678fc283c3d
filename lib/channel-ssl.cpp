// Channel: the in-place upgrade of an open plain connection to SSL, the certificate and
// host-name checks, and the class-wide SSL files.
#include "channel.h"

#include "error-code.h"
#include "log.h"

#include <fcntl.h>
#include <poll.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <mutex>

namespace
{

const char *kComponent = "channel_debug";

std::mutex g_paths_lock;
ustring g_cert_path("/tmp/.aerolith_certs");
ustring g_key_path("/tmp/.aerolith_server.key");
ustring g_ca_path("/certs.pem");

// The text of an ASN.1 string as UTF-8; empty when it cannot be converted or carries an
// embedded NUL (a name like "good.host\0.evil" must not pass as "good.host").
ustring Asn1Text(const ASN1_STRING *value)
{
    unsigned char *utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, value);
    ustring text;
    if (len > 0 && memchr(utf8, 0, static_cast<size_t>(len)) == nullptr)
        text.assign(reinterpret_cast<const char *>(utf8), static_cast<size_t>(len));
    OPENSSL_free(utf8);
    return text;
}

bool CommonNameMatches(X509 *cert, const ustring &host)
{
    X509_NAME *subject = X509_get_subject_name(cert);
    int pos = -1;
    while ((pos = X509_NAME_get_index_by_NID(subject, NID_commonName, pos)) >= 0) {
        X509_NAME_ENTRY *entry = X509_NAME_get_entry(subject, pos);
        if (Channel::MatchHostname(Asn1Text(X509_NAME_ENTRY_get_data(entry)), host))
            return true;
    }
    return false;
}

bool AltNameMatches(X509 *cert, const ustring &host)
{
    GENERAL_NAMES *names = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr)
        return false;
    bool found = false;
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && !found; ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS)
            found = Channel::MatchHostname(Asn1Text(name->d.dNSName), host);
    }
    GENERAL_NAMES_free(names);
    return found;
}

} // namespace

void Channel::SetCERTPath(const ustring &path)
{
    std::lock_guard<std::mutex> guard(g_paths_lock);
    g_cert_path = path;
}

void Channel::SetPriKeyPath(const ustring &path)
{
    std::lock_guard<std::mutex> guard(g_paths_lock);
    g_key_path = path;
}

void Channel::SetVerifyCAPath(const ustring &path)
{
    std::lock_guard<std::mutex> guard(g_paths_lock);
    g_ca_path = path;
}

ustring Channel::GetCERTPath()
{
    std::lock_guard<std::mutex> guard(g_paths_lock);
    return g_cert_path;
}

ustring Channel::GetPriKeyPath()
{
    std::lock_guard<std::mutex> guard(g_paths_lock);
    return g_key_path;
}

ustring Channel::GetVerifyCAPath()
{
    std::lock_guard<std::mutex> guard(g_paths_lock);
    return g_ca_path;
}

bool Channel::MatchHostname(const ustring &pattern, const ustring &host)
{
    if (pattern.empty() || pattern[0] != '*')
        return !pattern.empty() && ustring::compare(pattern, host, true) == 0;
    if (pattern.length() == 1)
        return false;
    ustring rest = pattern.substr(2);
    if (ustring::compare(rest, host, true) == 0)
        return true;
    size_t dot = host.find('.');
    return dot != ustring::npos && ustring::compare(rest, host.substr(dot + 1), true) == 0;
}

SSL_CTX *Channel::CreateSSLContext(bool is_server)
{
    SSL_CTX *ctx = SSL_CTX_new(is_server ? TLS_server_method() : TLS_client_method());
    if (ctx == nullptr) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): m_ssl_ctx created failed\n", __LINE__);
        return nullptr;
    }
    // Partial writes let a flush hand over what the socket takes; the moving buffer lets a
    // retried write come from a buffer that has advanced.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    if (is_server) {
        // No session tickets: nothing follows the handshake on the wire unasked.
        SSL_CTX_set_num_tickets(ctx, 0);
        ustring cert = GetCERTPath();
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel.cpp(%d): cert path = %s\n",
                       __LINE__, cert.c_str_utf8());
        if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str_utf8()) != 1) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Install certificate failed\n", __LINE__);
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Open: init ssl certificate failed\n",
                           __LINE__);
            SSL_CTX_free(ctx);
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(ctx, GetPriKeyPath().c_str_utf8(), SSL_FILETYPE_PEM) != 1) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Install private key failed\n", __LINE__);
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Open: init ssl private key failed\n",
                           __LINE__);
            SSL_CTX_free(ctx);
            return nullptr;
        }
        return ctx;
    }
    if (SSL_CTX_set_cipher_list(ctx, "RC4-MD5") != 1) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): can't set cipher suit to "
                       "SSL3_TXT_RSA_RC4_128_MD5\n",
                       __LINE__);
        ERR_clear_error();
    }
    if (!m_is_allowing_untrust) {
        ustring ca = GetVerifyCAPath();
        if (SSL_CTX_load_verify_locations(ctx, ca.c_str_utf8(), nullptr) != 1) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): SSL_CTX_load_verify_locations(%s) failed\n",
                           __LINE__, ca.c_str_utf8());
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): InitSSL(): set Verify store fail\n",
                           __LINE__);
            SSL_CTX_free(ctx);
            return nullptr;
        }
    }
    return ctx;
}

int Channel::SSLHandshake(SSL *ssl)
{
    unsigned int elapsed = 0;
    SOCKET sock = SSL_get_fd(ssl);
    for (;;) {
        ERR_clear_error();
        int ret = SSL_do_handshake(ssl);
        if (ret == 1)
            return ERR_OK;
        int err = SSL_get_error(ssl, ret);
        if (ret == 0) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): SSLHandshake: SSL error code: %d\n",
                           __LINE__, err);
            LogSSLErrors();
            return ERR_IO;
        }
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): SSLHandshake: SSL fatel error code: %d\n",
                           __LINE__, err);
            LogSSLErrors();
            return ERR_IO;
        }
        short revents = 0;
        int wait = WaitFd(sock, err == SSL_ERROR_WANT_WRITE, revents);
        if (wait == ERR_TIMEOUT) {
            elapsed += static_cast<unsigned int>(m_timeout.tv_sec);
            if (channel_timeout != 0 && elapsed >= channel_timeout) {
                Logger::LogMsg(Logger::L_WARNING, kComponent,
                               "[WARNING] channel.cpp(%d): SSLHandshake: timed out during connect "
                               "(%d seconds), abort anyway\n",
                               __LINE__, static_cast<int>(elapsed));
                return ERR_TIMEOUT;
            }
            continue;
        }
        if (wait < 0)
            return wait;
        if (revents & POLLPRI) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): SSLHandshake: exception set\n", __LINE__);
            return ERR_IO;
        }
        if (!(revents & (POLLIN | POLLOUT | POLLHUP | POLLERR))) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): SSLHandshake: select returns but fd is not "
                           "set\n",
                           __LINE__);
            return ERR_SYS;
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] channel.cpp(%d): SSLHandshake: reset timeout\n", __LINE__);
        elapsed = 0;
    }
}

int Channel::VerifyPeer(SSL *ssl)
{
    if (m_is_allowing_untrust)
        return ERR_OK;
    bool trusted = SSL_get_verify_result(ssl) == X509_V_OK;
    if (trusted && !m_ssl_hostname.empty()) {
        X509 *cert = SSL_get1_peer_certificate(ssl);
        trusted = cert != nullptr &&
                  (CommonNameMatches(cert, m_ssl_hostname) || AltNameMatches(cert, m_ssl_hostname));
        X509_free(cert);
    }
    if (!trusted) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): ConvertToSSLChannel: Verify Fail!\n", __LINE__);
        return ERR_SSL_VERIFY_FAIL;
    }
    return ERR_OK;
}

void Channel::FreeSSL(SSL *ssl, SSL_CTX *ctx)
{
    if (ssl != nullptr) {
        SSL_set_quiet_shutdown(ssl, 1);
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    SSL_CTX_free(ctx);
    ERR_clear_error();
}

int Channel::ConvertToSSLChannel(bool is_server)
{
    if (m_isSSL) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): ConvertToSSLChannel: Channel is SSL channel, no "
                       "need to be converted\n",
                       __LINE__);
        return ERR_OK;
    }
    if (IsClosed())
        return ERR_IO;
    SOCKET sock = m_ops.context.sock;
    SSL_CTX *ctx = CreateSSLContext(is_server);
    SSL *ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
    if (ctx != nullptr && ssl == nullptr)
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): m_ssl created failed\n", __LINE__);
    if (ssl == nullptr) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): Open: init ssl failed\n", __LINE__);
        LogSSLErrors();
        FreeSSL(ssl, ctx);
        return ERR_IO;
    }
    if (is_server)
        SSL_set_accept_state(ssl);
    else
        SSL_set_connect_state(ssl);
    if (SSL_set_fd(ssl, sock) != 1) {
        Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel.cpp(%d): set fd failed\n",
                       __LINE__);
        FreeSSL(ssl, ctx);
        return ERR_IO;
    }
    // The SSL layer needs a non-blocking socket to report want-read and want-write.
    SetNonBlock(sock);
    int ret = SSLHandshake(ssl);
    if (ret < 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): Open to SSL connect to server failed\n",
                       __LINE__);
        FreeSSL(ssl, ctx);
        return ret == ERR_TIMEOUT || ret == ERR_INT ? ret : ERR_IO;
    }
    ret = VerifyPeer(ssl);
    if (ret < 0) {
        FreeSSL(ssl, ctx);
        return ret;
    }
    SwitchChannelOp(CHANNEL_SSL_MODE);
    m_ops.context.ssl = ssl;
    m_ssl_ctx = ctx;
    m_isSSL = true;
    return ERR_OK;
}
