// TunnelChannel: a server channel that reaches the file server through the relay tunnel
// endpoint. Open connects to the endpoint, runs the tunnel handshake inside SSL (the
// endpoint's certificate is never checked), then drops the SSL layer: the socket carries
// the target's stream in the clear, and everything else is Channel's.
#pragma once

#include "channel.h"
#include "proxy-tunnel-info.h"

#include <string>

class TunnelChannel : public Channel
{
public:
    explicit TunnelChannel(const TunnelInfo &tunnel);
    ~TunnelChannel() override;

    using Channel::Open;
    // ip and port name the target. 0, ERR_IO on failure, ERR_INVAL for an absent ip or a
    // negative port.
    int Open(const char *ip, int port) override;
    int Close() override;

private:
    std::string tunnel_address; // dotted IPv4 address of the relay endpoint
    int tunnel_port;
};
