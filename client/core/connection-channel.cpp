#include "client/core/connection.h"

#include "proxy-channel.h"
#include "tunnel-channel.h"

Channel *CreatePoolChannel(const ProxyInfo *proxy, const TunnelInfo *tunnel)
{
    if (proxy != nullptr && tunnel != nullptr)
        return new ProxyTunnelChannel(*proxy, *tunnel);
    if (proxy != nullptr)
        return new ProxyChannel(*proxy);
    if (tunnel != nullptr)
        return new TunnelChannel(*tunnel);
    return new Channel(Channel::DEFAULT_CAPACITY);
}
