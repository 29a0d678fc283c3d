// Connection: one server endpoint and the pool of channels that the pullers and workers
// borrow from it, one request at a time. ConnectionManager holds every connection by id.
//
// Borrowing protocol (every user follows it):
//   Connection::ChannelStat stat = connection.pop();      // blocks until one is free
//   Channel &ch = stat.getChannel();
//   ch.SetFlag(&abort_flag);
//   if (stat.isExpired()) {                               // (re)open and log in
//       if (open_and_login(ch) != 0) { stat.setExpired(); connection.push(stat); return; }
//       stat.setConnected();
//       connection.update(stat);
//   }
//   if (run_request(ch, response) != 0) stat.setExpired();
//   else stat.setAliveInterval(response["alive"].asUInt32());
//   connection.push(stat);                                // always
//
// A borrowed channel keeps its expiry time with it, so a channel is reused without a new
// login while the server's keep-alive interval lasts and is reopened once it has lapsed.
#pragma once

#include "channel.h"
#include "client/core/shared-pointer.h"
#include "connection-info.h"
#include "proxy-tunnel-info.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <queue>
#include <vector>

// A channel in which every data operation fails: what a borrower gets when there is no
// pooled channel to hand out. Each failing call logs a critical line.
class BadChannel : public Channel
{
public:
    // The one process-wide instance, created on first use and kept until process exit.
    static BadChannel &getInstance();

    int Open(const char *name) override;
    int Open(SOCKET sock, bool set_options) override;
    int Open(const char *ip, int port) override;
    int Close() override;
    void SetTimeout(unsigned int seconds) override;
    using Channel::SetFlag;
    void SetFlag(const volatile int *flag) override;
    void SetFlag(const std::atomic<int> *flag) override;
    void SetAllowUntrust(bool allow) override;
    void SetSSLHostname(const ustring &name) override;
    int ConvertToSSLChannel(bool is_server) override;
    int ReadByte(uint8_t &value) override;
    int ReadInt16(uint16_t &value) override;
    int ReadInt32(uint32_t &value) override;
    int ReadInt64(uint64_t &value) override;
    int WriteByte(uint8_t value) override;
    int WriteInt16(uint16_t value) override;
    int WriteInt32(uint32_t value) override;
    int WriteInt64(uint64_t value) override;
    int Read(char *buf, size_t n) override;
    int Read(char *buf, size_t n, size_t &got) override;
    int Write(const char *buf, size_t n) override;
    void ClearRead() override;
    void ClearWrite() override;
    int FlushWrite(size_t want = 0) override;
    bool IsClosed() override;
    int ReadMore(int want) override;

private:
    BadChannel();
};

// The one place where a connection's channels are made: a channel that reaches the server
// directly, or through the given proxy and/or relay tunnel (either may be null). Opening
// the channel to the server (Open(ip, port)) then takes the route the settings name.
Channel *CreatePoolChannel(const ProxyInfo *proxy, const TunnelInfo *tunnel);

class Connection
{
public:
    // Channels in the pool of every connection.
    static constexpr size_t kPoolSize = 4;

    // Expiry values of a pooled channel.
    static constexpr uint32_t kNotConnected = 0xFFFFFFFFu; // closed; open before use
    static constexpr uint32_t kJustConnected = 31536000u;  // logged in, keep-alive not known yet

    // A pooled channel with its state: not connected, just logged in, or usable without a
    // new login until the wall clock (seconds since 1970) passes `expire`.
    struct ChannelStat {
        uint32_t expire;
        Channel *channel; // may be absent

        ChannelStat() : expire(kNotConnected), channel(nullptr) {}
        ChannelStat(Channel *ch, uint32_t exp) : expire(exp), channel(ch) {}

        // Not connected, or its time has passed (which includes kJustConnected).
        bool isExpired() const;
        // Not connected at all.
        bool isExpired2() const { return expire == kNotConnected; }
        // Closes the channel; it must be opened before the next use.
        void setExpired();
        void setConnected() { expire = kJustConnected; }
        // The server's keep-alive interval in seconds; 0 closes the channel.
        void setAliveInterval(uint32_t alive);
        // The channel, or the shared BadChannel when there is none.
        Channel &getChannel() const;
        // A max-first priority queue of stats yields the smallest expire first.
        bool operator<(const ChannelStat &other) const { return expire > other.expire; }
    };

    // The channels of one connection, free or borrowed. Borrowers block in pop until a
    // channel is free; reset replaces every channel once all have come back.
    class ChannelPool
    {
    public:
        ChannelPool(size_t n, const ProxyInfo *proxy, const TunnelInfo *tunnel);
        // Waits until every channel has come back, then deletes them.
        ~ChannelPool();
        ChannelPool(const ChannelPool &) = delete;
        ChannelPool &operator=(const ChannelPool &) = delete;

        // Borrows the free channel with the smallest expire; blocks while none is free
        // or a reset runs.
        ChannelStat pop();
        // Gives a borrowed channel back; a channel not borrowed from this pool is ignored.
        void push(Channel *channel, uint32_t expire);
        // Records a new expire for a borrowed channel.
        void update(Channel *channel, uint32_t expire);
        // Waits until every channel is back, deletes them all and makes n new ones for
        // the given route. Borrowers wait meanwhile.
        void reset(size_t n, const ProxyInfo *proxy, const TunnelInfo *tunnel);
        // Some channel, free or borrowed, has been connected.
        bool isConnected2();
        // The first free channel or some borrowed channel is usable without a new login.
        bool isConnected();

    private:
        // The first free channel or some borrowed one has not expired by the given test.
        bool anyUsable(bool (ChannelStat::*expired)() const);

        std::mutex lock;
        std::condition_variable return_signal; // a channel came back
        std::condition_variable freeze_signal; // a reset has finished
        bool freeze_mode;                      // a reset is running
        size_t total_size;                     // channels the pool owns
        std::priority_queue<ChannelStat> ready_q;
        std::list<ChannelStat> in_use_q;
        std::list<ChannelStat>
            spare_nodes; // list nodes kept for reuse: borrowing allocates nothing
    };

    // An empty connection: default records, no pool.
    Connection();
    // A pool of kPoolSize channels for the given route; absent records stay at defaults.
    Connection(const ConnectionInfo &conn_info, const ProxyInfo *proxy, const TunnelInfo *tunnel);

    // Borrows a channel; without a pool a stat with no channel (not connected).
    ChannelStat pop();
    // Gives a stat back / records its new state; ignored without a pool or channel.
    void push(const ChannelStat &stat);
    void update(const ChannelStat &stat);
    bool isConnected2() const;
    bool isConnected() const;
    // Drops the pool and resets the records to their defaults.
    void clear();

    const ConnectionInfo &getConnectionInfo() const { return conn_info; }
    const ProxyInfo &getProxyInfo() const { return proxy_info; }
    const TunnelInfo &getTunnelInfo() const { return tunnel_info; }

private:
    friend class ConnectionManager; // reload replaces the records of the stored connection

    shared_pointer<ChannelPool> pool; // shared by every copy of the connection
    ConnectionInfo conn_info;
    ProxyInfo proxy_info;
    TunnelInfo tunnel_info;
};

// Every connection by id. Copies go in and out under the lock; the pools are shared by
// the copies, and their (possibly blocking) operations run outside the lock.
class ConnectionManager
{
public:
    static ConnectionManager &getInstance();

    // 0; -1 when the id is present already (nothing changes).
    int add(const ConnectionInfo &conn_info, const ProxyInfo *proxy, const TunnelInfo *tunnel);
    // 0; -1 when the id is unknown. Waits until every channel of the pool is back.
    int reload(const ConnectionInfo &conn_info, const ProxyInfo *proxy, const TunnelInfo *tunnel);
    // The connection lives on until its last copy is released.
    void remove(uint64_t conn_id);
    // 0 and a copy sharing the pool; -1 when unknown.
    int get(uint64_t conn_id, Connection &connection);
    // Copies of every connection in id order; 0.
    int get(std::list<Connection> &list);
    void clear();

    ConnectionManager(const ConnectionManager &) = delete;
    ConnectionManager &operator=(const ConnectionManager &) = delete;

private:
    ConnectionManager() {}

    std::map<uint64_t, shared_pointer<Connection>> index;
    std::mutex lock;
};
