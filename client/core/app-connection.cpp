// The connection actions of the user interface: "link_connection", "reload_connection"
// and "unlink_connection".
#include "client/core/app.h"

#include "client/core/connection.h"
#include "log.h"

#include <cstdint>

namespace
{

const char kComponent[] = "client_debug";

// One connection as a control message describes it, with the routes in use (null for a
// proxy or tunnel that is not used).
struct ConnectionRequest {
    ConnectionInfo conn_info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    const ProxyInfo *proxy_route = nullptr; // points into this record: never copied
    const TunnelInfo *tunnel_route = nullptr;

    ConnectionRequest() = default;
    ConnectionRequest(const ConnectionRequest &) = delete;
    ConnectionRequest &operator=(const ConnectionRequest &) = delete;
};

bool hasRequiredKeys(const PObject &msg)
{
    return msg.hasMember("connection_id") && msg.hasMember("server_ip") &&
           msg.hasMember("server_port") && msg.hasMember("session");
}

std::string utf8(const PObject &value)
{
    return value.asString().c_str_utf8();
}

void readConnectionRequest(const PObject &msg, ConnectionRequest &req)
{
    ConnectionInfo &info = req.conn_info;
    info.c_mode = msg["connection_mode"].asInt32();
    info.server_name = msg["ssl_server_hostname"].asString();
    info.server_ip = msg["server_ip"].asString();
    info.server_port = msg["server_port"].asInt32();
    info.username = msg["username"].asString();
    info.session = msg["session"].asString();
    info.conn_id = msg["connection_id"].asUInt64();
    info.computer_name = msg["computer_name"].asString();
    info.use_ssl = msg["use_ssl"].asBool();
    info.ssl_allow_untrust = msg["ssl_allow_untrust"].asBool();
    info.version_info.major = msg["package_major"].asInt32();
    info.version_info.minor = msg["package_minor"].asInt32();
    info.version_info.build_number = static_cast<int32_t>(msg["package_version"].asInt64());

    ProxyInfo &proxy = req.proxy;
    proxy.use_proxy = msg["use_proxy"].asBool();
    proxy.use_sys_proxy = msg["use_sys_proxy"].asBool();
    proxy.proxy_ip = utf8(msg["proxy_ip"]);
    proxy.proxy_port = msg["proxy_port"].asUInt16();
    proxy.user_name = utf8(msg["proxy_username"]);
    proxy.password = utf8(msg["proxy_password"]);
    proxy.domain = utf8(msg["proxy_domain"]);
    proxy.host = utf8(msg["proxy_host"]);

    TunnelInfo &tunnel = req.tunnel;
    tunnel.use_tunnel = msg["use_tunnel"].asBool();
    tunnel.tunnel_ip = utf8(msg["tunnel_ip"]);
    tunnel.tunnel_port = msg["tunnel_port"].asUInt16();
}

// The server, SSL and route lines that follow the added or reloaded line.
void logConnectionDetails(const ConnectionRequest &req)
{
    const ConnectionInfo &info = req.conn_info;
    const ProxyInfo *proxy = req.proxy_route;
    const TunnelInfo *tunnel = req.tunnel_route;
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): server = %s:%u\n", __LINE__,
                   info.server_ip.c_str_utf8(), static_cast<unsigned>(info.server_port));
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): ssl = %u:%u\n", __LINE__,
                   static_cast<unsigned>(info.use_ssl),
                   static_cast<unsigned>(info.ssl_allow_untrust));
    if (proxy != nullptr) {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): proxy: %s:%u\n", __LINE__,
                       proxy->proxy_ip.c_str(), static_cast<unsigned>(proxy->proxy_port));
    }
    if (tunnel != nullptr) {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): tunnel: %s:%u\n", __LINE__,
                       tunnel->tunnel_ip.c_str(), static_cast<unsigned>(tunnel->tunnel_port));
    }
}

// The warnings print the port the way a pointer is printed.
void *portAsPointer(int32_t port)
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(static_cast<uint32_t>(port)));
}

// Reads a connection message into req. Adding drops a proxy without an address (it
// cannot be reached; the channels go direct), reloading keeps it (proxy_needs_address
// false). false, with the reply's error set, when a required key is missing.
bool parseConnectionMessage(const PObject &msg, bool proxy_needs_address, PObject &response,
                            ConnectionRequest &req)
{
    if (!hasRequiredKeys(msg)) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app.cpp(%d): invalid parameters.\n",
                       __LINE__);
        response["error"] = "Invalid parameters";
        return false;
    }
    readConnectionRequest(msg, req);
    if (req.tunnel.use_tunnel) {
        req.tunnel_route = &req.tunnel;
    }
    if (req.proxy.use_proxy && !(proxy_needs_address && req.proxy.proxy_ip.empty())) {
        req.proxy_route = &req.proxy;
    }
    return true;
}

} // namespace

int AerolithApp::add_connection(const PObject &msg, PObject &response)
{
    ConnectionRequest req;
    if (!parseConnectionMessage(msg, true, response, req)) {
        return -1;
    }
    const ConnectionInfo &info = req.conn_info;
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): connection #%llu is added:\n",
                   __LINE__, static_cast<unsigned long long>(info.conn_id));
    logConnectionDetails(req);
    if (ConnectionManager::getInstance().add(info, req.proxy_route, req.tunnel_route) != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] app.cpp(%d): connection #%llu (%s:%p) is not added\n", __LINE__,
                       static_cast<unsigned long long>(info.conn_id), info.server_ip.c_str_utf8(),
                       portAsPointer(info.server_port));
    }
    return 0;
}

int AerolithApp::reload_connection(const PObject &msg, PObject &response)
{
    ConnectionRequest req;
    if (!parseConnectionMessage(msg, false, response, req)) {
        return -1;
    }
    const ConnectionInfo &info = req.conn_info;

    // Workers give their borrowed channels back before the pool is rebuilt.
    pause_worker();
    Worker::AbortFilter filter;
    filter.setConnection(info.conn_id);
    interrupt_worker(filter);

    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] app.cpp(%d): connection #%llu is reloaded:\n", __LINE__,
                   static_cast<unsigned long long>(info.conn_id));
    logConnectionDetails(req);
    if (ConnectionManager::getInstance().reload(info, req.proxy_route, req.tunnel_route) != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] app.cpp(%d): connection #%llu (%s:%p) is not reloaded\n",
                       __LINE__, static_cast<unsigned long long>(info.conn_id),
                       info.server_ip.c_str_utf8(), portAsPointer(info.server_port));
    }
    resume_worker();
    return 0;
}

int AerolithApp::remove_connection(const PObject &msg, PObject &response)
{
    (void)response;
    uint64_t conn_id = msg["connection_id"].asUInt64();

    pause_worker();
    Worker::AbortFilter filter;
    filter.setConnection(conn_id); // 0 interrupts the work on every connection
    interrupt_worker(filter);

    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): connection #%llu is removed\n",
                   __LINE__, static_cast<unsigned long long>(conn_id));
    if (conn_id != 0) {
        ConnectionManager::getInstance().remove(conn_id);
    } else {
        ConnectionManager::getInstance().clear();
    }
    resume_worker();
    return 0;
}
