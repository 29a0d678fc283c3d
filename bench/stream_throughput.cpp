// Throughput of a large binary item streamed file -> Channel + PStream -> loopback TCP ->
// Channel + PStream -> file, against the same bytes moved by a plain read/send and
// recv/write loop over a loopback socket (the machine's limit), measured in the same run.
//
// Four set-ups, each run several times in rotating order (best time kept):
//   plain  : read()+send()         -> recv()+write()          (the reference)
//   send   : PStream::Send          -> recv()+write()          (sending side)
//   recv   : read()+send()          -> PStream::Recv           (receiving side)
//   stream : PStream::Send          -> PStream::Recv           (both sides)
//
// Usage: bench_stream_throughput [MiB (default 1024)] [rounds (default 3)] [directory]
#include "channel.h"
#include "protocol/stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace
{

const size_t kChunk = 81920;

struct Pair {
    int a = -1;
    int b = -1;
};

Pair LoopbackSockets()
{
    Pair p;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("listen");
        exit(1);
    }
    p.a = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(p.a, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        perror("connect");
        exit(1);
    }
    p.b = accept(listener, nullptr, nullptr);
    close(listener);
    return p;
}

bool WriteAll(int fd, const char *buf, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w <= 0)
            return false;
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// read()+send() of the file, optionally preceded by the item's tag and count.
void PlainSend(int sock, const std::string &path, uint64_t size, bool with_item_header)
{
    if (with_item_header) {
        unsigned char head[9] = {0x30};
        for (int i = 0; i < 8; ++i)
            head[1 + i] = static_cast<unsigned char>(size >> (56 - 8 * i));
        WriteAll(sock, reinterpret_cast<char *>(head), sizeof(head));
    }
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buf(kChunk);
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0)
        if (!WriteAll(sock, buf.data(), static_cast<size_t>(n)))
            break;
    close(fd);
}

// recv()+write() into the file, optionally skipping the item's tag and count first.
void PlainRecv(int sock, const std::string &path, uint64_t size, bool with_item_header)
{
    std::vector<char> buf(kChunk);
    uint64_t skip = with_item_header ? 9 : 0, left = size + skip;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    while (left > 0) {
        ssize_t n = recv(sock, buf.data(), std::min<uint64_t>(buf.size(), left), 0);
        if (n <= 0)
            break;
        left -= static_cast<uint64_t>(n);
        size_t drop = static_cast<size_t>(std::min<uint64_t>(skip, static_cast<uint64_t>(n)));
        skip -= drop;
        WriteAll(fd, buf.data() + drop, static_cast<size_t>(n) - drop);
    }
    close(fd);
}

void StreamSend(int sock, const std::string &path, uint64_t size)
{
    Channel channel;
    channel.Open(sock, true);
    PObject item;
    PObject::binary_type b;
    b.path = path.c_str();
    b.length = size;
    item = b;
    PStream stream;
    if (stream.Send(channel, item) != 0)
        fprintf(stderr, "PStream::Send failed\n");
}

void StreamRecv(int sock, const std::string &path)
{
    Channel channel;
    channel.Open(sock, true);
    PObject item;
    item.asBinary().path = path.c_str();
    PStream stream;
    if (stream.Recv(channel, item) != 0)
        fprintf(stderr, "PStream::Recv failed\n");
}

double Run(const std::function<void(int)> &sender, const std::function<void(int)> &receiver)
{
    Pair p = LoopbackSockets();
    auto start = std::chrono::steady_clock::now();
    std::thread t([&] { sender(p.a); });
    receiver(p.b);
    t.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(p.a);
    close(p.b);
    return seconds;
}

void MakeSource(const std::string &path, uint64_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buf(1 << 20);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = static_cast<char>(i * 131 + (i >> 9));
    for (uint64_t done = 0; done < size; done += buf.size())
        WriteAll(fd, buf.data(), static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done)));
    close(fd);
}

bool SameSize(const std::string &path, uint64_t size)
{
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    fseeko(fp, 0, SEEK_END);
    bool same = static_cast<uint64_t>(ftello(fp)) == size;
    fclose(fp);
    return same;
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    std::string dir = argc > 3 ? argv[3] : "/tmp";
    uint64_t size = mib << 20;
    std::string src = dir + "/bench-stream-src." + std::to_string(getpid());
    std::string dst = dir + "/bench-stream-dst." + std::to_string(getpid());
    MakeSource(src, size);

    struct Setup {
        const char *name;
        std::function<void(int)> sender, receiver;
        double best;
    } setups[] = {
        {"plain", [&](int s) { PlainSend(s, src, size, false); },
         [&](int s) { PlainRecv(s, dst, size, false); }, 1e30},
        {"send", [&](int s) { StreamSend(s, src, size); },
         [&](int s) { PlainRecv(s, dst, size, true); }, 1e30},
        {"recv", [&](int s) { PlainSend(s, src, size, true); }, [&](int s) { StreamRecv(s, dst); },
         1e30},
        {"stream", [&](int s) { StreamSend(s, src, size); }, [&](int s) { StreamRecv(s, dst); },
         1e30},
    };
    const int count = static_cast<int>(sizeof(setups) / sizeof(setups[0]));
    for (int r = 0; r < rounds; ++r) {
        // Each round starts with another set-up, so none always follows the same one.
        for (int i = 0; i < count; ++i) {
            Setup &s = setups[(i + r) % count];
            unlink(dst.c_str());
            double t = Run(s.sender, s.receiver);
            if (!SameSize(dst, size))
                fprintf(stderr, "%s: the target file has the wrong size\n", s.name);
            s.best = std::min(s.best, t);
        }
    }
    unlink(src.c_str());
    unlink(dst.c_str());

    double reference = setups[0].best;
    printf("%-7s %10s %10s %8s\n", "setup", "seconds", "MiB/s", "ratio");
    for (const Setup &s : setups)
        printf("%-7s %10.3f %10.1f %7.1f%%\n", s.name, s.best, static_cast<double>(mib) / s.best,
               100.0 * reference / s.best);
    return 0;
}
