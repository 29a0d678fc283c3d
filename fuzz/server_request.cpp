// Feeds arbitrary request bodies to aerolith-server's connection handler: every input is
// one request (its first byte picks the header's command, the rest is the body) sent after
// a valid header and "connect" on a connection of an in-process server with one user and
// one view.
#include "channel.h"
#include "fuzz/fuzz-support.h"
#include "server/connection.h"
#include "server/store.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

namespace
{

const char kToken[] = "fuzztoken";

srv::ServerContext *Context()
{
    static srv::ServerContext *ctx = [] {
        srv::ServerOptions opt;
        opt.root = FuzzScratchDir("server-request");
        opt.keepalive = 1;
        auto *c = new srv::ServerContext(opt);
        srv::Store store;
        uint64_t user = 0, view = 0;
        if (c->content.prepare() < 0 || store.open(opt.root) < 0 ||
            store.addUser("fuzz", kToken, user) < 0 || store.addView("v", 1, 0, view) < 0 ||
            store.grant(view, user, "rw") < 0)
            abort();
        return c;
    }();
    return ctx;
}

void Put(std::string &b, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        b += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Str(std::string &b, const std::string &s)
{
    b += '\x10';
    Put(b, s.size(), 2);
    b += s;
}

std::string Header(uint8_t command)
{
    std::string b;
    Put(b, 0x25521814u, 4);
    b += static_cast<char>(70);
    b += static_cast<char>(command);
    Put(b, 0, 2);
    return b;
}

std::string Connect()
{
    std::string b = Header(14);
    b += '\x42';
    Str(b, "action");
    Str(b, "connect");
    Str(b, "session");
    Str(b, kToken);
    Str(b, "view_id");
    b += '\x01';
    b += '\x01';
    b += '\x01';
    b += '\x40';
    return b;
}

const uint8_t kCommands[] = {6, 14, 15, 22, 23, 24, 27};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietLogs(FuzzScratchDir("server-request"),
                  "aerolith_server = -1\nstream = -1\nchannel_debug = -1\n");
    Context();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::string message = Connect() + Header(kCommands[data[0] % sizeof(kCommands)]);
    message.append(reinterpret_cast<const char *>(data + 1), size - 1);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    int buffer = 4 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    size_t done = 0;
    while (done < message.size()) {
        ssize_t n = send(fds[0], message.data() + done, message.size() - done,
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    // The client has said everything but keeps reading, so answers can be written.
    shutdown(fds[0], SHUT_WR);
    {
        srv::ServerChannel channel;
        channel.SetTimeout(1);
        if (channel.Open(fds[1], true) == 0)
            srv::ServeConnection(*Context(), channel, "fuzz");
        else
            close(fds[1]);
    }
    close(fds[0]);
    return 0;
}
