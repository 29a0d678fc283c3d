#include "proxy-channel.h"

#include "error-code.h"
#include "log.h"
#include "zentproxy/lib/zentproxyclient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

namespace
{

const char *kComponent = "channel_debug";

void ForwardProxyLog(int level, const char *component, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

void ForwardProxyLog(int level, const char *component, const char *format, va_list args)
{
    Logger::LogMsg2(level, component, format, args);
}

} // namespace

void ForwardProxyLogToLogger()
{
    static std::once_flag once;
    std::call_once(once, [] { ZENTProxyInitLogger(ForwardProxyLog); });
}

ProxyChannel::ProxyChannel(const ProxyInfo &proxy)
    : Channel(DEFAULT_CAPACITY), proxy_address(proxy.proxy_ip), proxy_port(proxy.proxy_port),
      user_name(proxy.user_name), user_password(proxy.password), user_domain(proxy.domain),
      user_host(proxy.host)
{
    ForwardProxyLogToLogger();
}

ProxyChannel::~ProxyChannel()
{
    ProxyChannel::Close();
}

int ProxyChannel::OpenThroughProxy(const char *ip, int port)
{
    if (!IsClosed())
        return ERR_INVAL;
    PROXY_SERVER_INFO server = {proxy_address.c_str(), proxy_port};
    PROXY_TARGET_INFO target = {ip, port};
    PROXY_AUTH_INFO auth = {user_name.c_str(), user_password.c_str(), user_domain.c_str(),
                            user_host.c_str(), PROXY_AUTO_AUTH};
    bool refused = false;
    int sock = ZENTProxyTunnelOpenChecked(&server, &target, &auth, &refused);
    ClearRead();
    ClearWrite();
    if (sock < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] proxy_channel.cpp(%d): ProxyChannel::Open: fail to connect to proxy "
                       "server (%s:%d)\n",
                       __LINE__, proxy_address.c_str(), proxy_port);
        if (!refused)
            return ERR_IO;
        // A refusal of the credentials is an authentication error, which the pullers and
        // workers report to the user interface as a connection error; a plain I/O error
        // would only be retried in silence, and a wrong password would never be noticed.
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] proxy_channel.cpp(%d): ProxyChannel::Open: proxy server (%s:%d) "
                       "refused the credentials of user '%s'\n",
                       __LINE__, proxy_address.c_str(), proxy_port, user_name.c_str());
        return ERR_AUTH;
    }
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] proxy_channel.cpp(%d): ProxyChannel::Open: socket %d has been connect "
                   "to proxy (%s:%d)\n",
                   __LINE__, sock, proxy_address.c_str(), proxy_port);
    TakeSocket(sock);
    return ERR_OK;
}

int ProxyChannel::Open(const char *ip, int port)
{
    if (ip == nullptr || port < 0)
        return ERR_INVAL;
    return OpenThroughProxy(ip, port);
}

int ProxyChannel::Close()
{
    // Channel::Close shuts the socket down and closes it; nothing of the proxy outlives it.
    return Channel::Close();
}

ProxyTunnelChannel::ProxyTunnelChannel(const ProxyInfo &proxy, const TunnelInfo &tunnel)
    : ProxyChannel(proxy), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port)
{
}

ProxyTunnelChannel::~ProxyTunnelChannel()
{
    ProxyTunnelChannel::Close();
}

int ProxyTunnelChannel::Open(const char *ip, int port)
{
    if (ip == nullptr || port < 0)
        return ERR_INVAL;
    int ret = ERR_IO;
    RelayStep failed = RELAY_INIT_SSL;
    int code = 0;
    int opened = OpenThroughProxy(tunnel_address.c_str(), tunnel_port);
    if (opened != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] proxy_tunnel_channel.cpp(%d): Open proxy failed\n", __LINE__);
        if (opened == ERR_AUTH)
            ret = ERR_AUTH;
    } else if (RelayUpgrade(ip, port, failed, code) == 0) {
        ret = ERR_OK;
    } else {
        switch (failed) {
        case RELAY_INIT_SSL:
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] proxy_tunnel_channel.cpp(%d): Open: init ssl failed\n", __LINE__);
            break;
        case RELAY_SET_FD:
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] proxy_tunnel_channel.cpp(%d): set fd failed\n", __LINE__);
            break;
        case RELAY_SSL_CONNECT:
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] proxy_tunnel_channel.cpp(%d): Open to SSL connect to tunnel "
                           "failed\n",
                           __LINE__);
            break;
        case RELAY_HANDSHAKE:
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] proxy_tunnel_channel.cpp(%d): ZENTTunnelClientHandshake: "
                           "failed, code: %d\n",
                           __LINE__, code);
            break;
        }
        Close();
    }
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proxy_tunnel_channel.cpp(%d): ProxyTunnelChannel[%d]: ret = %d\n",
                   __LINE__, __LINE__, ret);
    return ret;
}

int ProxyTunnelChannel::Close()
{
    return ProxyChannel::Close();
}
