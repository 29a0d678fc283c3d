#include "tls-loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>

bool MakeLoopbackPair(Channel &client, Channel &server)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return false;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bool ok = bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
              listen(listener, 4) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
    // The connect completes against the backlog; accepting afterwards is fine.
    ok = ok && client.Open("127.0.0.1", ntohs(addr.sin_port)) == 0;
    int accepted = ok ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    return accepted >= 0 && server.Open(accepted, true) == 0;
}

bool SendAllRaw(int sock, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd pfd = {sock, POLLOUT, 0};
            poll(&pfd, 1, 1000);
            continue;
        }
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string RecvAllRaw(int sock, size_t max)
{
    std::string out;
    char buf[4096];
    while (out.size() < max) {
        struct pollfd pfd = {sock, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0)
            break;
        ssize_t n = recv(sock, buf, std::min(sizeof(buf), max - out.size()), 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}
