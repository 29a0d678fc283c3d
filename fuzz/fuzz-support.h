// Small pieces shared by the fuzz targets: scratch files and directories under /tmp,
// quiet logging, and a socket that delivers one input as a peer's whole message.
#pragma once

#include "log.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// "/tmp/fuzz-TARGET-PID-NAME": a file of this process that parallel fuzzers do not share.
inline std::string FuzzScratchFile(const char *target, const char *name)
{
    return std::string("/tmp/fuzz-") + target + "-" + std::to_string(getpid()) + "-" + name;
}

// Replaces the content of `path` with `size` bytes of `data`; a file that cannot be
// opened is left alone.
inline void FuzzWriteFile(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    if (size)
        fwrite(data, 1, size, f);
    fclose(f);
}

// A fresh directory "/tmp/fuzz-TARGET.XXXXXX", made at the first call and removed at exit
// (when the target left it empty). Later calls return the same directory.
inline const std::string &FuzzScratchDir(const char *target)
{
    static const std::string dir = [target] {
        std::string pattern = std::string("/tmp/fuzz-") + target + ".XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr)
            abort();
        return pattern;
    }();
    static const bool removed_at_exit = atexit([] { rmdir(dir.c_str()); }) == 0;
    (void)removed_at_exit;
    return dir;
}

// Names of the entries of `dir`, without "." and "..".
inline std::vector<std::string> FuzzDirEntries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    return names;
}

// Sends the logs to stderr with the thresholds in `levels` (lines "component = level"),
// so that the fuzzer's own output stays readable. The thresholds pass through a file
// next to `scratch`, removed again at once.
inline void FuzzQuietLogs(const std::string &scratch, const char *levels)
{
    std::string path = scratch + ".levels";
    FILE *fp = fopen(path.c_str(), "w");
    if (fp == nullptr)
        return;
    fputs(levels, fp);
    fclose(fp);
    Logger::Initialize(Logger::STDERR_LOGGER, "", path.c_str(), 1);
    unlink(path.c_str());
}

// One end of a socket pair on which the other end has queued `data` and hung up: a
// reader sees the whole message, then the end of the stream. Inputs beyond the socket
// buffer are cut. -1 when no socket pair can be made.
inline int FuzzPeerMessage(const uint8_t *data, size_t size)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return -1;
    int buffer = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(fds[0], data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fds[0]);
    return fds[1];
}
