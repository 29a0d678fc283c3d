// ProxyChannel: a server channel opened as a CONNECT tunnel through an HTTP proxy, with
// every authentication method tried at once (the first working one in the fixed order is
// kept). ProxyTunnelChannel: the proxy carries the connection to the relay tunnel
// endpoint, which then forwards it to the target. Reading, writing, time-outs and the SSL
// upgrade stay Channel's.
#pragma once

#include "channel.h"
#include "proxy-tunnel-info.h"

#include <string>

class ProxyChannel : public Channel
{
public:
    explicit ProxyChannel(const ProxyInfo &proxy);
    ~ProxyChannel() override;

    using Channel::Open;
    // ip and port name the target. 0, ERR_IO on failure, ERR_INVAL for an absent ip or a
    // negative port.
    int Open(const char *ip, int port) override;
    int Close() override;

protected:
    // The CONNECT tunnel to ip:port through the proxy, taken as the channel's socket.
    int OpenThroughProxy(const char *ip, int port);

    std::string proxy_address;
    int proxy_port;
    std::string user_name;
    std::string user_password;
    std::string user_domain;
    std::string user_host;
};

class ProxyTunnelChannel : public ProxyChannel
{
public:
    ProxyTunnelChannel(const ProxyInfo &proxy, const TunnelInfo &tunnel);
    ~ProxyTunnelChannel() override;

    using Channel::Open;
    int Open(const char *ip, int port) override;
    int Close() override;

private:
    std::string tunnel_address;
    int tunnel_port;
};

// Sends the proxy client's log lines to the daemon's log (component "proxy_debug"). Proxy
// channels install it when they are built.
void ForwardProxyLogToLogger();
