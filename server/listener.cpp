// Start-up and the accept loop of the server.
#include "server/listener.h"

#include "channel.h"
#include "log.h"
#include "server/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace srv
{

namespace
{

const char *kComponent = "aerolith_server";

int PrepareRoot(ServerContext &ctx, std::string &err)
{
    const std::string &root = ctx.opt.root;
    if (mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) {
        err = "cannot create " + root + ": " + strerror(errno);
        return -1;
    }
    if (ctx.content.prepare() < 0) {
        err = "cannot prepare the content store under " + root;
        return -1;
    }
    Store store;
    if (store.open(root) < 0) {
        err = "cannot open the database under " + root;
        return -1;
    }
    // Spool files that no live token references are left-overs of interrupted requests.
    std::vector<std::string> expired;
    store.expireTokens(time(nullptr), ctx.opt.token_ttl, 4096, expired);
    std::vector<std::string> keep;
    store.tokenFiles(keep);
    ctx.content.cleanSpool(keep);
    return 0;
}

int Bind(const ServerOptions &opt, int &fd, int &port, std::string &err)
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(opt.port));
    inet_pton(AF_INET, opt.listen.c_str(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 256) != 0) {
        err = "cannot listen on " + opt.listen + ":" + std::to_string(opt.port) + ": " +
              strerror(errno);
        close(fd);
        return -1;
    }
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return 0;
}

std::string PeerName(const struct sockaddr_in &addr)
{
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof(ip));
    return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
}

void ConnectionThread(ServerContext *ctx, int fd, std::string peer)
{
    {
        // Answers end with a short write; without this it would wait for the client's
        // delayed acknowledgement of the write before.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        ServerChannel channel;
        if (channel.Open(fd, true) == 0)
            ServeConnection(*ctx, channel, peer);
        else
            close(fd);
    }
    ctx->connections.fetch_sub(1);
}

// A reject fault closes accepted connections at once.
bool RejectFault(Store &store)
{
    FaultProbe probe;
    probe.action = "accept";
    FaultRow f;
    return store.fireFault(probe, {"reject"}, f);
}

} // namespace

int StartServer(ServerContext &ctx, int &listen_fd, std::string &err)
{
    if (PrepareRoot(ctx, err) < 0)
        return -1;
    if (ctx.opt.tls()) {
        Channel::SetCERTPath(ustring(ctx.opt.tls_cert));
        Channel::SetPriKeyPath(ustring(ctx.opt.tls_key));
    }
    if (ctx.opt.listen.compare(0, 4, "127.") != 0 && !ctx.opt.tls())
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] listener.cpp(%d): listening on %s without TLS\n", __LINE__,
                       ctx.opt.listen.c_str());
    int port = 0;
    if (Bind(ctx.opt, listen_fd, port, err) < 0)
        return -1;
    printf("aerolith-server listening on %s:%d\n", ctx.opt.listen.c_str(), port);
    fflush(stdout);
    return 0;
}

void RunListener(ServerContext &ctx, int listen_fd)
{
    Store store;
    store.open(ctx.opt.root);
    while (!ctx.stop.load()) {
        struct pollfd pfd = {listen_fd, POLLIN, 0};
        if (poll(&pfd, 1, 1000) <= 0)
            continue;
        struct sockaddr_in addr;
        socklen_t len = sizeof(addr);
        int fd = accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&addr), &len, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (ctx.connections.load() >= static_cast<int>(ctx.opt.max_conn) || RejectFault(store)) {
            close(fd);
            continue;
        }
        ctx.connections.fetch_add(1);
        try {
            std::thread(ConnectionThread, &ctx, fd, PeerName(addr)).detach();
        } catch (const std::exception &e) {
            ctx.connections.fetch_sub(1);
            close(fd);
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] listener.cpp(%d): cannot start a connection thread: %s\n",
                           __LINE__, e.what());
        }
    }
    close(listen_fd);
    // Every connection watches the stop flag and ends within a second or so, after its
    // running transaction.
    for (int i = 0; i < 1200 && ctx.connections.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

} // namespace srv
