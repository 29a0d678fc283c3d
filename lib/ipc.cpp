#include "ipc.h"

#include "log.h"
#include "utility.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace
{

const char kComponent[] = "ipc";
const int kBacklog = 8;
const int kMaxPort = 65535;
const char kLoopback[] = "127.0.0.1";

void logSocketError(int line, const char *call)
{
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc.cpp(%d): %s: Error Code: %d\n", line,
                   call, errno);
}

// The address of a local-domain socket at path; false when the path does not fit.
bool localAddress(const std::string &path, struct sockaddr_un &addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] ipc.cpp(%d): socket path '%s' is empty or too long\n", __LINE__,
                       path.c_str());
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size());
    return true;
}

bool isListenedOn(const struct sockaddr_un &addr)
{
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    bool live =
        ::connect(probe, reinterpret_cast<const struct sockaddr *>(&addr), sizeof(addr)) == 0;
    ::close(probe);
    return live;
}

int timevalToMillis(const struct timeval &tv)
{
    long long ms = static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
    if (ms < 0) {
        return 0;
    }
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

} // namespace

int DiscardBinaryItems(PObject &obj)
{
    int dropped = 0;
    if (obj.isBinary()) {
        ustring path = obj.asBinary().path;
        if (!path.empty()) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] ipc.cpp(%d): dropped a binary item stored at '%s'\n",
                           __LINE__, path.c_str_utf8());
            ::unlink(path.c_str_utf8());
        }
        obj.clear();
        return 1;
    }
    if (obj.isArray()) {
        for (PObject &item : obj.asArray()) {
            dropped += DiscardBinaryItems(item);
        }
    } else if (obj.isMap()) {
        for (auto &item : obj.asMap()) {
            dropped += DiscardBinaryItems(item.second);
        }
    }
    return dropped;
}

ScratchRecvDir::ScratchRecvDir() : m_created(false)
{
    std::string templ =
        std::string(TempFile::defaultPrefix().c_str_utf8()) + "/aerolith-ipc.XXXXXX";
    m_created = ::mkdtemp(&templ[0]) != nullptr;
    m_path = ustring(templ);
}

ScratchRecvDir::~ScratchRecvDir()
{
    if (!m_created) {
        return;
    }
    DIR *dir = ::opendir(m_path.c_str_utf8());
    if (dir != nullptr) {
        while (struct dirent *entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                ::unlink((std::string(m_path.c_str_utf8()) + "/" + name).c_str());
            }
        }
        ::closedir(dir);
    }
    ::rmdir(m_path.c_str_utf8());
}

int RecvControlMessage(PStream &stream, Channel &channel, PObject &msg)
{
    ScratchRecvDir scratch;
    stream.SetDefaultRecvLocation(scratch.path());
    PStreamRecvLimits limits;
    limits.bytes = IPC_MAX_MESSAGE_BYTES;
    limits.items = IPC_MAX_MESSAGE_ITEMS;
    // Binary items are dropped anyway; this keeps one from filling the disk first.
    limits.binary_length = IPC_MAX_MESSAGE_BYTES;
    stream.SetRecvLimits(limits);
    int ret = stream.Recv(channel, msg);
    DiscardBinaryItems(msg);
    return ret;
}

IPCListener::IPCListener() : timeout{3, 0}, fd(-1) {}

IPCListener::~IPCListener()
{
    close();
}

int IPCListener::prepare(int port)
{
    close();
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        logSocketError(__LINE__, "socket");
        fd = -1;
        return -1;
    }
    int bound = do_bind(fd, port);
    if (bound < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] ipc.cpp(%d): find available port failed.\n", __LINE__);
        close();
        return -1;
    }
    if (::listen(fd, kBacklog) != 0) {
        logSocketError(__LINE__, "listen");
        close();
        return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] ipc.cpp(%d): listening on port %d\n",
                   __LINE__, bound);
    return bound;
}

int IPCListener::prepare(const ustring &domain_socket)
{
    close();
    std::string path = domain_socket.c_str_utf8();
    struct sockaddr_un addr;
    if (!localAddress(path, addr)) {
        return -1;
    }
    // Only a socket left behind by an earlier run (nobody listens on it) is replaced; a
    // live one belongs to another listener, and a file of another kind is the user's.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && !isListenedOn(addr)) {
        ::unlink(path.c_str());
    }
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        logSocketError(__LINE__, "socket");
        fd = -1;
        return -1;
    }
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        logSocketError(__LINE__, "bind");
        close();
        return -1;
    }
    socket_path = path;
    // Others are refused by the peer check as well, which also covers the moment between
    // bind and chmod.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, kBacklog) != 0) {
        logSocketError(__LINE__, "listen");
        close();
        return -1;
    }
    return 0;
}

int IPCListener::do_bind(int sock, int port)
{
    // Port 0 would let the kernel pick any port, which the caller could not announce;
    // start the search at 1 instead.
    for (int p = port < 1 ? 1 : port;; ++p) {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] ipc.cpp(%d): Try to bind port: %d\n",
                       __LINE__, p);
        if (p > kMaxPort) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] ipc.cpp(%d): Port number exceeds 65536\n", __LINE__);
            return -1;
        }
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(p));
        inet_pton(AF_INET, kLoopback, &addr.sin_addr);
        if (::bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0) {
            Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] ipc.cpp(%d): Bind port %d success\n",
                           __LINE__, p);
            return p;
        }
        logSocketError(__LINE__, "bind");
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] ipc.cpp(%d): Bind port %d failed, try next one\n", __LINE__, p);
    }
}

bool IPCListener::isReady()
{
    if (fd < 0) {
        return false;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    int rc = ::poll(&pfd, 1, timevalToMillis(timeout));
    return rc > 0 && (pfd.revents & POLLIN) != 0;
}

int IPCListener::accept()
{
    if (fd < 0) {
        return -1;
    }
    int sock = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    return sock < 0 ? -1 : sock;
}

void IPCListener::close()
{
    if (fd >= 0) {
        if (socket_path.empty()) {
            ::shutdown(fd, SHUT_RDWR);
        }
        ::close(fd);
    }
    if (!socket_path.empty()) {
        ::unlink(socket_path.c_str());
    }
    fd = -1;
    socket_path.clear();
}

IPCSender::IPCSender() : channel(Channel::DEFAULT_CAPACITY) {}

IPCSender::~IPCSender()
{
    close();
}

int IPCSender::connect(int port)
{
    channel.Close();
    if (channel.Open(kLoopback, port) != 0) {
        return -1;
    }
    return checkListener();
}

int IPCSender::connect(const ustring &domain_socket)
{
    channel.Close();
    struct sockaddr_un addr;
    if (!localAddress(domain_socket.c_str_utf8(), addr)) {
        return -1;
    }
    int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        logSocketError(__LINE__, "socket");
        return -1;
    }
    if (::connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        logSocketError(__LINE__, "connect");
        ::close(sock);
        return -1;
    }
    if (assign(sock) != 0) {
        return -1;
    }
    return checkListener();
}

int IPCSender::checkListener()
{
    if (IPCPeerTrusted(channel.GetSocket(), IPC_PEER_LISTENER, "listener")) {
        return 0;
    }
    channel.Close();
    return -1;
}

int IPCSender::assign(int sock)
{
    channel.Close();
    if (channel.Open(sock, true) != 0) {
        // The socket was handed over: do not leave it open behind a failure.
        if (sock >= 0) {
            ::close(sock);
        }
        return -1;
    }
    return 0;
}

int IPCSender::send(const PObject &msg, bool need_response, PObject &response)
{
    if (stream.Send(channel, msg) != 0) {
        return -1;
    }
    return need_response ? recv(response) : 0;
}

int IPCSender::send(const PObject &msg)
{
    PObject unused;
    return send(msg, false, unused);
}

int IPCSender::recv(PObject &response)
{
    response.clear();
    return RecvControlMessage(stream, channel, response) == 0 ? 0 : -1;
}

void IPCSender::close()
{
    channel.Close();
}

void IPCSender::closeWhenPeerDone(int timeout_ms)
{
    const int fd = channel.GetSocket();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char scratch[256];
    while (fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        struct pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0 ||
            ::recv(fd, scratch, sizeof(scratch), 0) <= 0) {
            break; // the peer closed, the wait is over, or the socket failed
        }
    }
    channel.Close();
}
