#include "client/core/connection.h"

#include "log.h"

namespace
{
const char kComponent[] = "connection_debug";
}

// ---- Connection ----

Connection::Connection() {}

Connection::Connection(const ConnectionInfo &info, const ProxyInfo *proxy, const TunnelInfo *tunnel)
    : pool(new ChannelPool(kPoolSize, proxy, tunnel)), conn_info(info)
{
    if (proxy != nullptr) {
        proxy_info = *proxy;
    }
    if (tunnel != nullptr) {
        tunnel_info = *tunnel;
    }
}

Connection::ChannelStat Connection::pop()
{
    if (!pool) {
        return ChannelStat();
    }
    return pool->pop();
}

void Connection::push(const ChannelStat &stat)
{
    if (pool && stat.channel != nullptr) {
        pool->push(stat.channel, stat.expire);
    }
}

void Connection::update(const ChannelStat &stat)
{
    if (pool && stat.channel != nullptr) {
        pool->update(stat.channel, stat.expire);
    }
}

bool Connection::isConnected2() const
{
    if (!pool) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] connection.cpp(%d): no connection pool!\n", __LINE__);
        return false;
    }
    return pool->isConnected2();
}

bool Connection::isConnected() const
{
    return pool ? pool->isConnected() : false;
}

void Connection::clear()
{
    pool = shared_pointer<ChannelPool>();
    conn_info = ConnectionInfo();
    proxy_info = ProxyInfo();
    tunnel_info = TunnelInfo();
}

// ---- ConnectionManager ----

ConnectionManager &ConnectionManager::getInstance()
{
    // Never deleted: pools still held at process exit must not be torn down after the
    // logger they report to.
    static ConnectionManager *instance = new ConnectionManager();
    return *instance;
}

int ConnectionManager::add(const ConnectionInfo &conn_info, const ProxyInfo *proxy,
                           const TunnelInfo *tunnel)
{
    std::lock_guard<std::mutex> guard(lock);
    if (index.find(conn_info.conn_id) != index.end()) {
        return -1;
    }
    index[conn_info.conn_id] = shared_pointer<Connection>(new Connection(conn_info, proxy, tunnel));
    return 0;
}

int ConnectionManager::reload(const ConnectionInfo &conn_info, const ProxyInfo *proxy,
                              const TunnelInfo *tunnel)
{
    shared_pointer<Connection> stored;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = index.find(conn_info.conn_id);
        if (it == index.end()) {
            return -1;
        }
        stored = it->second;
    }
    // The reset waits until every borrowed channel is back; the map stays usable
    // meanwhile, so that borrowers can finish and look up their connections.
    // Stored connections always have a pool (add builds it).
    if (stored->pool) {
        stored->pool->reset(Connection::kPoolSize, proxy, tunnel);
    }
    std::lock_guard<std::mutex> guard(lock);
    stored->conn_info = conn_info;
    stored->proxy_info = proxy != nullptr ? *proxy : ProxyInfo();
    stored->tunnel_info = tunnel != nullptr ? *tunnel : TunnelInfo();
    return 0;
}

void ConnectionManager::remove(uint64_t conn_id)
{
    shared_pointer<Connection> removed;
    std::lock_guard<std::mutex> guard(lock);
    auto it = index.find(conn_id);
    if (it != index.end()) {
        removed = it->second;
        index.erase(it);
    }
    // `removed` is released after the lock (declared before the guard): when it is the
    // last copy, its pool waits for borrowed channels, which must not block the map.
}

int ConnectionManager::get(uint64_t conn_id, Connection &connection)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = index.find(conn_id);
    if (it == index.end()) {
        return -1;
    }
    connection = *it->second;
    return 0;
}

int ConnectionManager::get(std::list<Connection> &list)
{
    list.clear();
    std::lock_guard<std::mutex> guard(lock);
    for (const auto &item : index) {
        list.push_back(*item.second);
    }
    return 0;
}

void ConnectionManager::clear()
{
    std::map<uint64_t, shared_pointer<Connection>> removed;
    std::lock_guard<std::mutex> guard(lock);
    removed.swap(index);
    // Released after the lock, as in remove.
}
