// The server's command line.
#include "server/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

namespace srv
{

namespace
{

bool ParseU64(const char *text, uint64_t lo, uint64_t hi, uint64_t &out)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

} // namespace

int ParseServerOptions(int argc, char **argv, ServerOptions &out, std::string &err)
{
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t v = 0;
        auto number = [&](uint64_t lo, uint64_t hi) {
            ++i;
            if (!ParseU64(next, lo, hi, v)) {
                err = "bad value for " + arg;
                return false;
            }
            return true;
        };
        if (arg == "--root" && next) {
            out.root = next;
            ++i;
        } else if (arg == "--listen" && next) {
            struct in_addr addr;
            if (inet_pton(AF_INET, next, &addr) != 1) {
                err = "--listen needs a dotted IPv4 address";
                return -1;
            }
            out.listen = next;
            ++i;
        } else if (arg == "--port") {
            if (!number(0, 65535))
                return -1;
            out.port = static_cast<int>(v);
        } else if (arg == "--tls" && i + 2 < argc) {
            out.tls_cert = argv[i + 1];
            out.tls_key = argv[i + 2];
            i += 2;
        } else if (arg == "--alive") {
            if (!number(0, 86400))
                return -1;
            out.alive = static_cast<uint32_t>(v);
        } else if (arg == "--keepalive") {
            if (!number(1, 60))
                return -1;
            out.keepalive = static_cast<uint32_t>(v);
        } else if (arg == "--page") {
            if (!number(1, 10000))
                return -1;
            out.page = static_cast<uint32_t>(v);
        } else if (arg == "--max-conn") {
            if (!number(1, 100000))
                return -1;
            out.max_conn = static_cast<uint32_t>(v);
        } else if (arg == "--max-file-size") {
            if (!number(0, UINT64_MAX))
                return -1;
            out.max_file_size = v;
        } else if (arg == "--disk-reserve") {
            if (!number(0, UINT64_MAX))
                return -1;
            out.disk_reserve = v;
        } else if (arg == "--token-ttl") {
            if (!number(1, 100000000))
                return -1;
            out.token_ttl = static_cast<int64_t>(v);
        } else if (arg == "-v") {
            out.verbose = true;
        } else {
            err = "unknown or incomplete option " + arg;
            return -1;
        }
    }
    if (out.root.empty()) {
        err = "--root DIR is required";
        return -1;
    }
    return 0;
}

} // namespace srv
