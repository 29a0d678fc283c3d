// Settings of a running server, from its command line.
#pragma once

#include <cstdint>
#include <string>

namespace srv
{

struct ServerOptions {
    std::string root;
    std::string listen = "127.0.0.1";
    int port = 0;
    std::string tls_cert;
    std::string tls_key;
    uint32_t alive = 60;
    uint32_t keepalive = 10;
    uint32_t page = 1000;
    uint32_t max_conn = 64;
    uint64_t max_file_size = 17179869184ull;
    uint64_t disk_reserve = 67108864ull;
    int64_t token_ttl = 3600;
    bool verbose = false;

    bool tls() const { return !tls_cert.empty(); }
};

// Parses the server's options (everything after the program name). 0, or -1 with a
// message in err.
int ParseServerOptions(int argc, char **argv, ServerOptions &out, std::string &err);

} // namespace srv
