#include "client/core/connection.h"

#include "log.h"

namespace
{
const char kComponent[] = "connection_debug";
}

Connection::ChannelPool::ChannelPool(size_t n, const ProxyInfo *proxy, const TunnelInfo *tunnel)
    : freeze_mode(false), total_size(0)
{
    reset(n, proxy, tunnel);
}

Connection::ChannelPool::~ChannelPool()
{
    reset(0, nullptr, nullptr);
}

Connection::ChannelStat Connection::ChannelPool::pop()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        if (freeze_mode) {
            freeze_signal.wait(guard);
        } else if (!ready_q.empty()) {
            ChannelStat stat = ready_q.top();
            ready_q.pop();
            if (spare_nodes.empty()) {
                in_use_q.push_back(stat);
            } else {
                in_use_q.splice(in_use_q.end(), spare_nodes, spare_nodes.begin());
                in_use_q.back() = stat;
            }
            return stat;
        } else {
            return_signal.wait(guard);
        }
    }
}

void Connection::ChannelPool::push(Channel *channel, uint32_t expire)
{
    std::lock_guard<std::mutex> guard(lock);
    for (auto it = in_use_q.begin(); it != in_use_q.end(); ++it) {
        if (it->channel == channel) {
            ready_q.push(ChannelStat(channel, expire));
            spare_nodes.splice(spare_nodes.end(), in_use_q, it);
            // A running reset waits on the same condition as the borrowers: wake them
            // all then, or a borrower could swallow the wake-up the reset waits for.
            if (freeze_mode) {
                return_signal.notify_all();
            } else {
                return_signal.notify_one();
            }
            return;
        }
    }
}

void Connection::ChannelPool::update(Channel *channel, uint32_t expire)
{
    std::lock_guard<std::mutex> guard(lock);
    for (ChannelStat &stat : in_use_q) {
        if (stat.channel == channel) {
            stat.expire = expire;
            return;
        }
    }
}

void Connection::ChannelPool::reset(size_t n, const ProxyInfo *proxy, const TunnelInfo *tunnel)
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] connection.cpp(%d): reset channel pool with capacity %lu\n", __LINE__,
                   static_cast<unsigned long>(n));
    std::unique_lock<std::mutex> guard(lock);
    // One reset at a time: a second one waits until the first has finished.
    while (freeze_mode) {
        freeze_signal.wait(guard);
    }
    freeze_mode = true;
    while (ready_q.size() < total_size) {
        return_signal.wait(guard);
    }
    while (!ready_q.empty()) {
        Channel *channel = ready_q.top().channel;
        ready_q.pop();
        if (channel != nullptr) {
            channel->Close();
            delete channel;
        }
    }
    total_size = n;
    for (size_t i = 0; i < n; ++i) {
        ready_q.push(ChannelStat(CreatePoolChannel(proxy, tunnel), kNotConnected));
    }
    // Every waiting borrower may find a channel now, not only one of them.
    return_signal.notify_all();
    freeze_signal.notify_all();
    freeze_mode = false;
}

bool Connection::ChannelPool::isConnected2()
{
    return anyUsable(&ChannelStat::isExpired2);
}

bool Connection::ChannelPool::isConnected()
{
    return anyUsable(&ChannelStat::isExpired);
}

bool Connection::ChannelPool::anyUsable(bool (ChannelStat::*expired)() const)
{
    std::lock_guard<std::mutex> guard(lock);
    // The top of the free queue has the smallest expire: when it has expired, so has every
    // other free channel.
    if (!ready_q.empty() && !(ready_q.top().*expired)()) {
        return true;
    }
    for (const ChannelStat &stat : in_use_q) {
        if (!(stat.*expired)()) {
            return true;
        }
    }
    return false;
}
