// Throughput of a large binary item sent with PStream through squid's CONNECT tunnel
// (a ProxyChannel opened through a local squid), against the same transfer over a direct
// loopback Channel, measured in the same run. The receiver counts and discards the bytes,
// so the figure is the transport's. squid's own copy loop sets the limit.
//
// Usage: bench_proxy_tunnel [MiB (default 1024)] [rounds (default 2)]
#include "channel.h"
#include "proxy-channel.h"
#include "protocol/object.h"
#include "protocol/stream.h"
#include "support/squid-process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

int Listen(int &port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("listen");
        exit(1);
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// Accepts one connection and reads until it closes; the byte count.
uint64_t Drain(int listener)
{
    int fd = accept(listener, nullptr, nullptr);
    std::vector<char> buf(1 << 20);
    uint64_t total = 0;
    for (;;) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        total += static_cast<uint64_t>(n);
    }
    close(fd);
    return total;
}

// Opens channel to the drain and streams the binary item; seconds, or -1.
double Transfer(Channel &channel, const std::string &file, uint64_t size)
{
    int port = 0;
    int listener = Listen(port);
    uint64_t received = 0;
    std::thread drain([&] { received = Drain(listener); });
    auto start = std::chrono::steady_clock::now();
    PObject message;
    PObject::binary_type item;
    item.path = file;
    item.length = size;
    message["data"] = item;
    PStream stream;
    bool ok = channel.Open("127.0.0.1", port) == 0 && stream.Send(channel, message) == 0 &&
              channel.FlushWrite(0) == 0;
    channel.Close();
    drain.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(listener);
    return ok && received >= size ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? atoi(argv[2]) : 2;
    uint64_t size = mib << 20;

    char path[] = "/tmp/bench-proxy-tunnel.XXXXXX";
    int fd = mkstemp(path);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 131 + 7);
    for (uint64_t done = 0; done < size; done += block.size())
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            perror("write");
            return 1;
        }
    close(fd);

    SquidProcess squid;
    std::string error;
    if (!squid.Start(SquidProcess::OPEN, "", "", error)) {
        fprintf(stderr, "squid: %s\n", error.c_str());
        unlink(path);
        return 1;
    }
    ProxyInfo proxy;
    proxy.use_proxy = true;
    proxy.proxy_ip = "127.0.0.1";
    proxy.proxy_port = static_cast<uint16_t>(squid.port());

    double best_direct = 1e9, best_proxy = 1e9;
    for (int r = 0; r < rounds; ++r) {
        Channel direct;
        double d = Transfer(direct, path, size);
        ProxyChannel through(proxy);
        double p = Transfer(through, path, size);
        if (d < 0 || p < 0) {
            fprintf(stderr, "transfer failed (direct %.3f, proxy %.3f)\n", d, p);
            unlink(path);
            return 1;
        }
        best_direct = std::min(best_direct, d);
        best_proxy = std::min(best_proxy, p);
    }
    unlink(path);
    double mb = static_cast<double>(size) / 1e6;
    printf("binary item of %llu MiB, best of %d rounds\n", static_cast<unsigned long long>(mib),
           rounds);
    printf("direct loopback      : %8.3f s  %8.1f MB/s\n", best_direct, mb / best_direct);
    printf("through squid CONNECT: %8.3f s  %8.1f MB/s\n", best_proxy, mb / best_proxy);
    printf("ratio squid/direct throughput: %.3f\n", best_direct / best_proxy);
    return 0;
}
