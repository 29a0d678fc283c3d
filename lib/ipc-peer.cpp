// Who is at the other end of a control or notification connection. Loopback TCP carries
// no credentials, but the kernel's socket diagnostics (NETLINK_SOCK_DIAG) report the user
// that created any TCP socket of this network namespace, found by its addresses; for
// local-domain sockets the kernel hands the peer's credentials over directly.
#include "ipc.h"

#include "log.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace
{

const char kComponent[] = "ipc";
const int kDiagTimeoutMs = 1000;

struct DiagRequest {
    struct nlmsghdr header;
    struct inet_diag_req_v2 body;
};

// What the kernel reported for one socket.
struct DiagAnswer {
    uid_t uid = 0;
    uint32_t inode = 0;
    uint8_t state = 0;
};

// Sends the request and waits for the one answer; 0, or an errno value.
int exchangeDiag(int nl, const DiagRequest &request, DiagAnswer &answer)
{
    struct sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(nl, &request, sizeof(request), 0, reinterpret_cast<struct sockaddr *>(&kernel),
                 sizeof(kernel)) != static_cast<ssize_t>(sizeof(request))) {
        return errno;
    }
    struct pollfd pfd = {nl, POLLIN, 0};
    if (::poll(&pfd, 1, kDiagTimeoutMs) <= 0) {
        return ETIMEDOUT;
    }
    alignas(struct nlmsghdr) char buf[8192];
    ssize_t got = ::recv(nl, buf, sizeof(buf), 0);
    if (got < 0) {
        return errno;
    }
    int len = static_cast<int>(got);
    for (struct nlmsghdr *h = reinterpret_cast<struct nlmsghdr *>(buf); NLMSG_OK(h, len);
         h = NLMSG_NEXT(h, len)) {
        if (h->nlmsg_type == NLMSG_ERROR) {
            const struct nlmsgerr *err = static_cast<const struct nlmsgerr *>(NLMSG_DATA(h));
            return err->error != 0 ? -err->error : ENOENT;
        }
        if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(struct inet_diag_msg))) {
            const struct inet_diag_msg *msg =
                static_cast<const struct inet_diag_msg *>(NLMSG_DATA(h));
            answer.uid = msg->idiag_uid;
            answer.inode = msg->idiag_inode;
            answer.state = msg->idiag_state;
            return 0;
        }
    }
    return EPROTO;
}

// The TCP socket whose own address is `self` and whose peer is `other` (0.0.0.0:0 for a
// listening socket). 0, or an errno value.
int lookupTcpSocket(const struct sockaddr_in &self, const struct sockaddr_in &other,
                    DiagAnswer &answer)
{
    int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) {
        return errno;
    }
    DiagRequest request = {};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    request.body.id.idiag_sport = self.sin_port;
    request.body.id.idiag_dport = other.sin_port;
    request.body.id.idiag_src[0] = self.sin_addr.s_addr;
    request.body.id.idiag_dst[0] = other.sin_addr.s_addr;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    int err = exchangeDiag(nl, request, answer);
    ::close(nl);
    return err;
}

int logLookupFailure(int line, const char *what, const char *why, int err)
{
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] ipc.cpp(%d): cannot learn the owner of the %s (%s: %s): refused\n",
                   line, what, why, strerror(err));
    return -1;
}

// The owner of the socket at the other end of a TCP connection: the peer's own socket for
// an accepted connection, the listening socket for one this process opened (a connection
// that waits in the listener's queue has no owner of its own yet). Only a socket that
// still belongs to a process counts: a socket its process closed reports no true owner.
int tcpPeerUid(int fd, IPCPeerSide side, const char *what, uid_t &uid)
{
    struct sockaddr_in self = {}, peer = {};
    socklen_t self_len = sizeof(self), peer_len = sizeof(peer);
    if (::getsockname(fd, reinterpret_cast<struct sockaddr *>(&self), &self_len) != 0 ||
        ::getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peer_len) != 0) {
        return logLookupFailure(__LINE__, what, "addresses", errno);
    }
    if (side == IPC_PEER_LISTENER) {
        self = {};
        self.sin_family = AF_INET;
    }
    DiagAnswer answer;
    int err = lookupTcpSocket(peer, self, answer);
    if (err != 0) {
        return logLookupFailure(__LINE__, what, "sock_diag", err);
    }
    bool alive = answer.inode != 0 && answer.state != TCP_TIME_WAIT &&
                 (side == IPC_PEER_CONNECTION || answer.state == TCP_LISTEN);
    if (!alive) {
        return logLookupFailure(__LINE__, what, "sock_diag", ENOTCONN);
    }
    uid = answer.uid;
    return 0;
}

int localPeerUid(int fd, const char *what, uid_t &uid)
{
    struct ucred cred = {};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        return logLookupFailure(__LINE__, what, "SO_PEERCRED", errno);
    }
    uid = cred.uid;
    return 0;
}

} // namespace

int IPCPeerUid(int fd, IPCPeerSide side, const char *what, uid_t &uid)
{
    struct sockaddr_storage addr = {};
    socklen_t len = sizeof(addr);
    if (::getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0) {
        return logLookupFailure(__LINE__, what, "getsockname", errno);
    }
    if (addr.ss_family == AF_UNIX) {
        return localPeerUid(fd, what, uid);
    }
    if (addr.ss_family != AF_INET) {
        return logLookupFailure(__LINE__, what, "address family", EAFNOSUPPORT);
    }
    return tcpPeerUid(fd, side, what, uid);
}

bool IPCPeerTrusted(int fd, IPCPeerSide side, const char *what)
{
    uid_t uid = 0;
    if (IPCPeerUid(fd, side, what, uid) != 0) {
        return false;
    }
    if (uid == 0 || uid == ::geteuid()) {
        return true;
    }
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] ipc.cpp(%d): refused the %s of another user (uid %u)\n", __LINE__,
                   what, static_cast<unsigned>(uid));
    return false;
}
