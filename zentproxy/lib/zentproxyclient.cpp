// Opening a tunnel through the proxy: the connection to the proxy, one method on a
// connection of its own, and the automatic mode that runs all four methods at once.
#include "zentproxy/lib/zentproxyclient-internal.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

namespace
{

// Own copies of the parameters of one attempt, so that no thread reads another's.
struct PROXY_AUTH_INFO_PACK {
    int auth_type;
    std::string proxy_address;
    std::string target_address;
    std::string user_name, user_passwd, user_domain, user_host;
    PROXY_SERVER_INFO server_info;
    PROXY_TARGET_INFO target_info;
    PROXY_AUTH_INFO auth_info;
    int result;
    int last_code; // status of the last answer the attempt read, 0 for none

    PROXY_AUTH_INFO_PACK(int type, const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                         const PROXY_AUTH_INFO *auth)
        : auth_type(type), proxy_address(server->szProxyAddress),
          target_address(target->szTargetAddress), user_name(auth->szUserName),
          user_passwd(auth->szUserPasswd), user_domain(auth->szUserDomain),
          user_host(auth->szUserHost), server_info{proxy_address.c_str(), server->ProxyPort},
          target_info{target_address.c_str(), target->TargetPort},
          auth_info{user_name.c_str(), user_passwd.c_str(), user_domain.c_str(), user_host.c_str(),
                    type},
          result(-1), last_code(0)
    {
    }
    PROXY_AUTH_INFO_PACK(const PROXY_AUTH_INFO_PACK &) = delete;
    PROXY_AUTH_INFO_PACK &operator=(const PROXY_AUTH_INFO_PACK &) = delete;
};

bool Empty(const char *s)
{
    return s == nullptr || s[0] == '\0';
}

// A target that would break the request line (blanks or control characters) is refused.
bool ValidTarget(const char *s)
{
    for (; *s != '\0'; ++s)
        if (static_cast<unsigned char>(*s) <= ' ' || *s == 0x7F)
            return false;
    return true;
}

bool ValidParameters(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                     const PROXY_AUTH_INFO *auth)
{
    return server != nullptr && target != nullptr && auth != nullptr &&
           !Empty(server->szProxyAddress) && !Empty(target->szTargetAddress) &&
           ValidTarget(target->szTargetAddress) && auth->szUserName != nullptr &&
           auth->szUserPasswd != nullptr && auth->szUserDomain != nullptr &&
           auth->szUserHost != nullptr;
}

int BadParameter()
{
    ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Bad parameter\n", __LINE__);
    return ZENTPROXY_ERR_PARAM;
}

// Waits for the non-blocking connect to finish. 0, or -1 with the reason logged.
int FinishConnect(int fd)
{
    for (int tries = 0; tries < kProxyWaitTries; ++tries) {
        int ready = ProxyWaitFd(fd, true, kProxyWaitMs);
        if (ready > 0) {
            int err = 0;
            socklen_t len = sizeof(err);
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
                ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Error in connection() %d - %s\n",
                         __LINE__, err, strerror(err));
                errno = err;
                return -1;
            }
            ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient.c [%d]Connect success\n", __LINE__);
            return 0;
        }
        if (ready == 0) {
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Socket connect timeout\n",
                     __LINE__);
        } else if (errno == EINTR) {
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Select interrupt\n", __LINE__);
        } else {
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Select fail:%s\n", __LINE__,
                     strerror(errno));
            return -1;
        }
    }
    ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]connect retry %d times and fail\n",
             __LINE__, kProxyWaitTries - 1);
    errno = ETIMEDOUT;
    return -1;
}

// Resolves host (IPv4) and sets the socket options. 0, or -1 with the reason logged.
int PrepareSocket(int fd, const char *host, int port, struct sockaddr_in &addr)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Proxy server could not be resolved.\n",
                 __LINE__);
        errno = EHOSTUNREACH;
        return -1;
    }
    memcpy(&addr, found->ai_addr, sizeof(addr));
    addr.sin_port = htons(static_cast<uint16_t>(port));
    freeaddrinfo(found);
    struct linger lg = {1, 1};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) != 0) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Set linger failed\n", __LINE__);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Set non-blocking failed\n", __LINE__);
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Turn on TCP_NODELAY failed:%s\n",
                 __LINE__, strerror(errno));
        return -1;
    }
    return 0;
}

// Status code with which a proxy asks for (other) credentials.
const int kCodeProxyAuthRequired = 407;

void RunAttempt(PROXY_AUTH_INFO_PACK *pack)
{
    ProxyResetLastResponseCode();
    pack->result = HandleProxyAuthByProto(&pack->server_info, &pack->target_info, &pack->auth_info);
    pack->last_code = ProxyLastResponseCode();
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient.c [%d]auth process for type %d done, ret = %d\n",
             __LINE__, pack->auth_type, pack->result);
}

// Runs every method of the table at once; keeps the first success in table order and
// closes the others. Returns only when all attempts have ended.
int RunAllMethods(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                  const PROXY_AUTH_INFO *auth, bool &auth_refused)
{
    PROXY_AUTH_INFO_PACK *packs[kProxyMethodCount] = {};
    std::thread threads[kProxyMethodCount];
    for (int i = 0; i < kProxyMethodCount; ++i) {
        const ZENT_PROXY_AUTH_CONTROL &row = kProxyAuthControl[i];
        ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient.c [%d]Try %s (%d), type = %d...\n",
                 __LINE__, row.auth_str, i, row.type);
        packs[i] = new (std::nothrow) PROXY_AUTH_INFO_PACK(row.type, server, target, auth);
        if (packs[i] == nullptr) {
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]malloc failed for auth %d\n",
                     __LINE__, row.type);
            continue;
        }
        try {
            threads[i] = std::thread(RunAttempt, packs[i]);
        } catch (const std::system_error &) {
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Run %s auth failed\n", __LINE__,
                     row.auth_str);
            delete packs[i];
            packs[i] = nullptr;
        }
    }
    int kept = -1;
    for (int i = 0; i < kProxyMethodCount; ++i) {
        const char *name = kProxyAuthControl[i].auth_str;
        if (threads[i].joinable())
            threads[i].join();
        if (packs[i] == nullptr) {
            ProxyLog(PROXY_ERR,
                     "[ERROR] lib/zentproxyclient.c [%d]auth process for %s get null return value, "
                     "continue\n",
                     __LINE__, name);
            continue;
        }
        int fd = packs[i]->result;
        if (fd < 0 && packs[i]->last_code == kCodeProxyAuthRequired)
            auth_refused = true;
        delete packs[i];
        if (fd < 0) {
            ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient.c [%d]Try %s (%d) failed\n", __LINE__,
                     name, i);
        } else if (kept < 0) {
            ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient.c [%d]Use %s (%d) as first result\n",
                     __LINE__, name, i);
            kept = fd;
        } else {
            ProxyLog(PROXY_WARNING,
                     "[WARN]lib/zentproxyclient.c [%d]Discard %s (%d) as result and close socket %d\n",
                     __LINE__, name, i, fd);
            ZENTProxyTunnelClose(fd);
        }
    }
    return kept;
}

} // namespace

int ZENTProxyConnect(const char *host, int port)
{
    if (Empty(host)) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Bad parameter\n", __LINE__);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Create proxy socket fail, fd = %d\n",
                 __LINE__, fd);
        return -1;
    }
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient.c [%d]Connect to proxy server '%s:%d'\n",
             __LINE__, host, port);
    struct sockaddr_in addr;
    int ret = PrepareSocket(fd, host, port, addr);
    if (ret == 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        if (errno == EINPROGRESS) {
            ret = FinishConnect(fd);
        } else {
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]connect error:%s\n", __LINE__,
                     strerror(errno));
            ret = -1;
        }
    }
    if (ret != 0) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Connect failed:%s\n", __LINE__,
                 strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void ZENTProxyTunnelClose(int sock)
{
    if (sock < 0)
        return;
    if (shutdown(sock, SHUT_RDWR) != 0)
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]shutdown error: %s\n", __LINE__,
                 strerror(errno));
    close(sock);
}

int HandleProxyAuthByProto(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                           const PROXY_AUTH_INFO *auth)
{
    if (!ValidParameters(server, target, auth))
        return BadParameter();
    const ZENT_PROXY_AUTH_CONTROL *row = nullptr;
    for (const ZENT_PROXY_AUTH_CONTROL &candidate : kProxyAuthControl)
        if (candidate.type == auth->AuthType)
            row = &candidate;
    if (row == nullptr) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]auth not support\n", __LINE__);
        return ZENTPROXY_ERR_REFUSED;
    }
    int fd = ZENTProxyConnect(server->szProxyAddress, server->ProxyPort);
    if (fd < 0) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]Connect to proxy server phase1 failed\n",
                 __LINE__);
        return ZENTPROXY_ERR_SEND;
    }
    if (row->auth_cb(fd, target, auth) < 0) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]authentication for (%d) fail\n",
                 __LINE__, auth->AuthType);
        ZENTProxyTunnelClose(fd);
        return ZENTPROXY_ERR_AUTH;
    }
    return fd;
}

int ZENTProxyTunnelOpen(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                        const PROXY_AUTH_INFO *auth)
{
    return ZENTProxyTunnelOpenChecked(server, target, auth, nullptr);
}

int ZENTProxyTunnelOpenChecked(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                               const PROXY_AUTH_INFO *auth, bool *auth_refused)
{
    if (auth_refused != nullptr)
        *auth_refused = false;
    if (!ValidParameters(server, target, auth))
        return BadParameter();
    ProxyLog(PROXY_INFO, "[INFO]lib/zentproxyclient.c [%d]UserName:%s\n\n", __LINE__,
             auth->szUserName);
    ProxyLog(PROXY_INFO, "[INFO]lib/zentproxyclient.c [%d]Password:%s\n\n", __LINE__,
             auth->szUserPasswd);
    ProxyLog(PROXY_INFO, "[INFO]lib/zentproxyclient.c [%d]Domain:%s\n\n", __LINE__,
             auth->szUserDomain);
    ProxyLog(PROXY_INFO, "[INFO]lib/zentproxyclient.c [%d]Host:%s\n\n", __LINE__, auth->szUserHost);
    bool refused = false;
    int fd = -1;
    if (auth->AuthType == PROXY_AUTO_AUTH) {
        fd = RunAllMethods(server, target, auth, refused);
    } else {
        ProxyResetLastResponseCode();
        fd = HandleProxyAuthByProto(server, target, auth);
        refused = fd < 0 && ProxyLastResponseCode() == kCodeProxyAuthRequired;
    }
    if (fd < 0) {
        if (auth_refused != nullptr)
            *auth_refused = refused;
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient.c [%d]authentication for (%d) fail,ret = %d\n",
                 __LINE__, auth->AuthType, fd);
        return ZENTPROXY_ERR_AUTH;
    }
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient.c [%d]Connect to proxy server success\n",
             __LINE__);
    return fd;
}
