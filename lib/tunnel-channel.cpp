#include "tunnel-channel.h"

#include "error-code.h"
#include "log.h"

namespace
{

const char *kComponent = "channel_debug";

} // namespace

TunnelChannel::TunnelChannel(const TunnelInfo &tunnel)
    : Channel(DEFAULT_CAPACITY), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port)
{
}

TunnelChannel::~TunnelChannel()
{
    TunnelChannel::Close();
}

int TunnelChannel::Open(const char *ip, int port)
{
    if (ip == nullptr || port < 0)
        return ERR_INVAL;
    if (Channel::Open(tunnel_address.c_str(), tunnel_port) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] tunnel_channel.cpp(%d): Connect failed",
                       __LINE__);
        return ERR_IO;
    }
    RelayStep failed;
    int code = 0;
    if (RelayUpgrade(ip, port, failed, code) == 0)
        return ERR_OK;
    switch (failed) {
    case RELAY_INIT_SSL:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] tunnel_channel.cpp(%d): Open: init ssl failed\n", __LINE__);
        break;
    case RELAY_SET_FD:
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] tunnel_channel.cpp(%d): set fd failed\n",
                       __LINE__);
        break;
    case RELAY_SSL_CONNECT:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] tunnel_channel.cpp(%d): Open to SSL connect to tunnel failed\n",
                       __LINE__);
        break;
    case RELAY_HANDSHAKE:
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] tunnel_channel.cpp(%d): ZENTTunnelClientHandshake: failed, code: %d\n",
                       __LINE__, code);
        break;
    }
    Close();
    return ERR_IO;
}

int TunnelChannel::Close()
{
    return Channel::Close();
}
