// Feeds arbitrary peer bytes to PStream::Recv through a socketpair. Binary items land in a
// scratch directory that is emptied after every input.
#include "channel.h"
#include "log.h"
#include "protocol/stream.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

char g_scratch[] = "/tmp/fuzz-stream-recv.XXXXXX";

void RemoveScratchDir()
{
    rmdir(g_scratch);
}

std::string ScratchDir()
{
    static bool made = [] {
        if (mkdtemp(g_scratch) == nullptr)
            abort();
        atexit(RemoveScratchDir);
        return true;
    }();
    (void)made;
    return g_scratch;
}

void EmptyScratchDir()
{
    DIR *d = opendir(ScratchDir().c_str());
    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            unlink((ScratchDir() + "/" + name).c_str());
    }
    closedir(d);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Silence the stream's and the channel's logs so the fuzzer's own output stays readable.
    std::string levels = ScratchDir() + ".levels";
    FILE *fp = fopen(levels.c_str(), "w");
    if (fp != nullptr) {
        fputs("stream = -1\nchannel_debug = -1\n", fp);
        fclose(fp);
        Logger::Initialize(Logger::STDERR_LOGGER, "", levels.c_str(), 1);
        unlink(levels.c_str());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    int buffer = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    // The peer's whole message is queued, then the peer hangs up: Recv sees it all and
    // then the end of the stream. Inputs beyond the socket buffer are cut.
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(fds[0], data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fds[0]);
    {
        Channel channel;
        channel.SetTimeout(1);
        if (channel.Open(fds[1], true) != 0) {
            close(fds[1]);
            return 0;
        }
        PStream stream;
        stream.SetDefaultRecvLocation(ScratchDir().c_str());
        PObject message;
        stream.Recv(channel, message);
        (void)message.toString();
    }
    EmptyScratchDir();
    return 0;
}
