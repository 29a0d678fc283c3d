// ProxyInfo and TunnelInfo: how a connection reaches its server when it does not connect
// directly: through an HTTP proxy, through the relay tunnel endpoint, or both (the proxy
// carries the connection to the relay endpoint). Text fields hold UTF-8 bytes.
#pragma once

#include <cstdint>
#include <string>

struct ProxyInfo {
    bool use_proxy = false;
    bool use_sys_proxy = false;
    std::string proxy_ip;
    uint16_t proxy_port = 0;
    std::string user_name;
    std::string password;
    std::string domain;
    std::string host;
};

struct TunnelInfo {
    bool use_tunnel = false;
    std::string tunnel_ip; // dotted IPv4 address of the relay endpoint
    uint16_t tunnel_port = 0;
};
