// Channel transports: the timed wait on the socket, plain and SSL receive and send, socket
// creation, options and the non-blocking connect.
//
// Receives and sends are tried first without blocking and wait for readiness only when
// the socket has nothing to give or take, which spares a poll() per call while data flows.
// A wait lasts one wait length (1 s) so that the abort flag is seen within a second.
#include "channel.h"

#include "error-code.h"
#include "log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace
{

const char *kComponent = "channel_debug";

bool WouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int Clamp(size_t n)
{
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

// Ends both directions of the connection, for every holder of the socket, then closes it.
void ShutdownAndClose(SOCKET sock)
{
    if (shutdown(sock, SHUT_RDWR) < 0)
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] channel.cpp(%d): Channel: shutdown: %s\n", __LINE__,
                       strerror(errno));
    ::close(sock);
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] channel.cpp(%d): Channel: socket %d closed\n", __LINE__, sock);
}

} // namespace

int Channel::WaitFd(SOCKET sock, bool for_write, short &revents)
{
    revents = 0;
    if (IsAborted())
        return ERR_INT;
    struct pollfd pfd;
    pfd.fd = sock;
    pfd.events = static_cast<short>((for_write ? POLLOUT : POLLIN) | POLLPRI);
    pfd.revents = 0;
    int ms = static_cast<int>(m_timeout.tv_sec * 1000 + m_timeout.tv_usec / 1000);
    int ret = poll(&pfd, 1, ms);
    if (ret == 0) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel.cpp(%d): select: timeout\n",
                       __LINE__);
        return ERR_TIMEOUT;
    }
    if (ret < 0) {
        if (errno == EINTR)
            return ERR_TIMEOUT;
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): select: Error code %d\n", __LINE__, errno);
        return ERR_SYS;
    }
    if (pfd.revents & POLLNVAL) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): select: Error code %d\n", __LINE__, EBADF);
        return ERR_SYS;
    }
    revents = pfd.revents;
    return 0;
}

// A hang-up or error is reported as readiness: the receive or send that follows tells
// what happened, as select() does.
static bool Ready(short revents, bool for_write)
{
    short want = static_cast<short>((for_write ? POLLOUT : POLLIN) | POLLHUP | POLLERR);
    return (revents & want) != 0;
}

// The words a direction of transfer uses in its logs.
struct Channel::TransferWords {
    const char *call;      // the system call
    const char *nothing;   // why a plain transfer moved no byte
    const char *ready;     // what readiness select() reported
    const char *fd_call;   // the waiting step
    const char *exception; // what an exceptional condition on the socket is called
};

const Channel::TransferWords Channel::kReadWords = {"read", "connection closed by peer", "readable",
                                                    "ReadFd", "exception set"};
const Channel::TransferWords Channel::kWriteWords = {"write", "nothing sent", "writeable",
                                                     "WriteFd", "exception occurs"};

// One wait for the socket to become ready after a transfer would have blocked. An
// exceptional condition fails the transfer; with check_ready, so does a wait that ended
// without the readiness asked for.
int Channel::WaitToTransfer(SOCKET sock, bool want_write, const TransferWords &words,
                            bool check_ready)
{
    short revents = 0;
    int ret = WaitFd(sock, want_write, revents);
    if (ret < 0)
        return ret;
    if (revents & POLLPRI) {
        Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel.cpp(%d): %s: %s\n",
                       __LINE__, words.fd_call, words.exception);
        return ERR_IO;
    }
    if (check_ready && !Ready(revents, want_write)) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): %s: select but fd [%d] not ready\n", __LINE__,
                       words.fd_call, sock);
        return ERR_SYS;
    }
    return 0;
}

// A plain transfer is tried without blocking; when the socket has nothing to give or take,
// after one wait for readiness. io(sock) is the recv() or send() of the direction.
template <class Io>
int Channel::PlainTransfer(Channel *ch, bool for_write, const TransferWords &words, Io io)
{
    SOCKET sock = ch->m_ops.context.sock;
    for (int attempt = 0;; ++attempt) {
        ssize_t moved = io(sock);
        if (moved > 0)
            return static_cast<int>(moved);
        if (moved == 0) {
            Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel.cpp(%d): %s: %s\n",
                           __LINE__, words.call, words.nothing);
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Diagnose: select says the socket is %s "
                           "but actually we can't %s ... connection closed?\n",
                           __LINE__, words.ready, words.call);
            return ERR_IO;
        }
        if (!WouldBlock(errno)) {
            Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel.cpp(%d): %s: %s\n",
                           __LINE__, words.call, strerror(errno));
            return ERR_IO;
        }
        if (attempt > 0)
            return ERR_TIMEOUT; // readiness without progress: let the caller wait again
        int ret = ch->WaitToTransfer(sock, for_write, words, true);
        if (ret < 0)
            return ret;
    }
}

int Channel::PlainRead(Channel *ch, char *buf, size_t n)
{
    if (n == 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): ReadFd: request 0\n", __LINE__);
        return ERR_INVAL;
    }
    return PlainTransfer(ch, false, kReadWords,
                         [buf, n](SOCKET sock) { return recv(sock, buf, n, MSG_DONTWAIT); });
}

int Channel::PlainWrite(Channel *ch, const char *buf, size_t n)
{
    return PlainTransfer(ch, true, kWriteWords, [buf, n](SOCKET sock) {
        return send(sock, buf, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    });
}

SOCKET Channel::PlainGetFd(const Channel *ch)
{
    return ch->m_ops.context.sock;
}

void Channel::PlainClose(Channel *ch)
{
    ShutdownAndClose(ch->m_ops.context.sock);
    ch->m_ops.context.sock = INVALID_SOCKET;
}

bool Channel::PlainIsInvalid(const Channel *ch)
{
    return ch->m_ops.context.sock < 0;
}

void Channel::LogSSLErrors()
{
    unsigned long err;
    char text[256];
    while ((err = ERR_get_error()) != 0) {
        ERR_error_string_n(err, text, sizeof(text));
        Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel.cpp(%d): ssl-errors: %s\n",
                       __LINE__, text);
    }
}

int Channel::SSLRead(Channel *ch, char *buf, size_t n)
{
    if (n == 0)
        return ERR_INVAL;
    SSL *ssl = ch->m_ops.context.ssl;
    int held = SSL_pending(ssl);
    if (held > 0) {
        int got = SSL_read(ssl, buf, held < Clamp(n) ? held : Clamp(n));
        if (got > 0)
            return got;
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): Diagnose: SSL_read failed\n", __LINE__);
        LogSSLErrors();
        return ERR_IO;
    }
    for (int attempt = 0;; ++attempt) {
        ERR_clear_error();
        int got = SSL_read(ssl, buf, Clamp(n));
        if (got > 0)
            return got;
        int err = SSL_get_error(ssl, got);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            LogSSLErrors();
            return ERR_IO;
        }
        if (attempt > 0) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel.cpp(%d): SSL want read",
                           __LINE__);
            return ERR_TIMEOUT;
        }
        int ret =
            ch->WaitToTransfer(SSL_get_fd(ssl), err == SSL_ERROR_WANT_WRITE, kReadWords, false);
        if (ret < 0)
            return ret;
    }
}

int Channel::SSLWrite(Channel *ch, const char *buf, size_t n)
{
    SSL *ssl = ch->m_ops.context.ssl;
    for (int attempt = 0;; ++attempt) {
        ERR_clear_error();
        errno = 0;
        int sent = SSL_write(ssl, buf, Clamp(n));
        if (sent > 0)
            return sent;
        int err = SSL_get_error(ssl, sent);
        if (err == SSL_ERROR_SYSCALL) {
            int saved = errno;
            Logger::LogMsg(
                Logger::L_WARNING, kComponent,
                "[WARNING] channel.cpp(%d): syscall error: n = %d, ssl_ret = %d, errno = "
                "%d, err = %s\n",
                __LINE__, Clamp(n), sent, saved, strerror(saved));
            LogSSLErrors();
            return ERR_SYS;
        }
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            Logger::LogMsg(
                Logger::L_WARNING, kComponent,
                "[WARNING] channel.cpp(%d): misc error: n = %d, ssl_ret = %d, errno = %d\n",
                __LINE__, Clamp(n), sent, errno);
            LogSSLErrors();
            return ERR_IO;
        }
        if (attempt > 0)
            return ERR_TIMEOUT;
        int ret =
            ch->WaitToTransfer(SSL_get_fd(ssl), err == SSL_ERROR_WANT_WRITE, kWriteWords, false);
        if (ret < 0)
            return ret;
    }
}

SOCKET Channel::SSLGetFd(const Channel *ch)
{
    return SSL_get_fd(ch->m_ops.context.ssl);
}

void Channel::SSLClose(Channel *ch)
{
    SSL *ssl = ch->m_ops.context.ssl;
    SOCKET sock = SSL_get_fd(ssl);
    SSL_shutdown(ssl);
    SSL_free(ssl);
    SSL_CTX_free(ch->m_ssl_ctx);
    ch->m_ssl_ctx = nullptr;
    ch->m_ops.context.ssl = nullptr;
    ERR_clear_error();
    if (sock >= 0)
        ShutdownAndClose(sock);
}

bool Channel::SSLIsInvalid(const Channel *ch)
{
    return ch->m_ops.context.ssl == nullptr;
}

SOCKET Channel::CreateSock()
{
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int Channel::SetLinger(SOCKET sock, int seconds)
{
    struct linger lg;
    lg.l_onoff = 1;
    lg.l_linger = seconds;
    if (setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) < 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel.cpp(%d): setsockopt: %s\n",
                       __LINE__, strerror(errno));
        return -1;
    }
    return 0;
}

int Channel::SetNonBlock(SOCKET sock)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): ioctl: Error code: %d\n", __LINE__, errno);
        return -1;
    }
    return 0;
}

int Channel::ConnectWithTimeout(SOCKET sock, const char *ip, int port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    if (sock < 0 || ip == nullptr || port < 0 || port > 65535 ||
        inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): Invalid argumants (ip: %s, port: %d\n", __LINE__,
                       ip ? ip : "(null)", port);
        return ERR_INVAL;
    }
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EINTR) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): connect: Error Code: %d\n", __LINE__, errno);
        return ERR_SYS;
    }
    // Each timed-out wait counts as three seconds against the limit.
    unsigned int elapsed = 0;
    short revents = 0;
    for (;;) {
        int ret = WaitFd(sock, true, revents);
        if (ret == 0)
            break;
        if (ret != ERR_TIMEOUT)
            return ret;
        elapsed += 3;
        if (channel_timeout != 0 && elapsed >= channel_timeout) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Channel timed out during connect (%d "
                           "seconds), abort anyway\n",
                           __LINE__, static_cast<int>(channel_timeout));
            return ERR_TIMEOUT;
        }
    }
    if (revents & POLLPRI) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): connect: exception set\n", __LINE__);
        return ERR_IO;
    }
    if (!(revents & (POLLOUT | POLLERR | POLLHUP))) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): connect: write fd is not set\n", __LINE__);
        return ERR_SYS;
    }
    // Writable also means "connect finished with an error": ask the socket which.
    int soerr = 0;
    socklen_t len = sizeof(soerr);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soerr, &len) < 0 || soerr != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): connect: Error Code: %d\n", __LINE__, soerr);
        return ERR_IO;
    }
    return 0;
}
