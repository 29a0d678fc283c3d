#include "client/core/connection.h"

#include "log.h"

namespace
{

const char kComponent[] = "connection_debug";

// Stands for a route whose channel kind this build does not provide: every open fails
// with a clear log line, so the connection reports a connection error instead of
// silently reaching the server directly.
class UnavailableRouteChannel : public Channel
{
public:
    explicit UnavailableRouteChannel(const char *route) : Channel(DEFAULT_CAPACITY), route(route) {}
    int Open(const char *ip, int port) override
    {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] connection.cpp(%d): cannot open channel to %s:%d: %s "
                       "channels are not available\n",
                       __LINE__, ip != nullptr ? ip : "", port, route);
        return -2;
    }

private:
    const char *route;
};

} // namespace

Channel *CreatePoolChannel(const ProxyInfo *proxy, const TunnelInfo *tunnel)
{
    if (proxy != nullptr && tunnel != nullptr) {
        return new UnavailableRouteChannel("proxy tunnel");
    }
    if (proxy != nullptr) {
        return new UnavailableRouteChannel("proxy");
    }
    if (tunnel != nullptr) {
        return new UnavailableRouteChannel("tunnel");
    }
    return new Channel(Channel::DEFAULT_CAPACITY);
}
