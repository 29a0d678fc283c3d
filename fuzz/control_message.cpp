// Feeds arbitrary bytes to the control-message path: decoded as the daemon's listener
// decodes a control connection (binary items dropped), then dispatched by the
// application object. Checks that no file is left behind by a binary item, whatever the
// input.
#include "client/core/app.h"
#include "ipc.h"
#include "log.h"
#include "utility.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

char g_scratch[] = "/tmp/fuzz-control-message.XXXXXX";

void RemoveScratchDir() { rmdir(g_scratch); }

bool ScratchDirIsEmpty()
{
    DIR *d = opendir(g_scratch);
    if (d == nullptr) {
        return true;
    }
    bool empty = true;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") {
            empty = false;
        }
    }
    closedir(d);
    return empty;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (mkdtemp(g_scratch) == nullptr) {
        abort();
    }
    atexit(RemoveScratchDir);
    TempFile::initialize(g_scratch);
    // Keep the fuzzer's output readable: only emergencies are logged.
    std::string levels = std::string(g_scratch) + ".levels";
    FILE *fp = fopen(levels.c_str(), "w");
    if (fp != nullptr) {
        fputs("stream = -1\nchannel_debug = -1\nipc = -1\nclient_debug = -1\n", fp);
        fclose(fp);
        Logger::Initialize(Logger::STDERR_LOGGER, "", levels.c_str(), 1);
        unlink(levels.c_str());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return 0;
    }
    int buffer = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(fds[0], data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fds[0]);

    PObject request;
    {
        IPCSender conn;
        conn.setTimeout(1);
        if (conn.assign(fds[1]) == 0 && conn.recv(request) == 0) {
            // Linking opens the databases and starts threads: not what this target is about.
            if (request["action"].asString() != "link") {
                static AerolithApp app;
                PObject reply;
                app.handle_control(request, reply);
            }
        }
    }
    if (!ScratchDirIsEmpty()) {
        fprintf(stderr, "a binary item of a control message left a file behind\n");
        abort();
    }
    return 0;
}
