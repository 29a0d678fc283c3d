// Connections and their channel pools: expiry states, borrow order, blocking borrowers,
// reset while channels are out, the manager's copies, and pooled channels carrying bytes
// to a loopback listener.
#include "client/core/connection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace
{

using Stat = Connection::ChannelStat;
using Pool = Connection::ChannelPool;

uint32_t now()
{
    return static_cast<uint32_t>(std::time(nullptr));
}

// True when the future is still pending after a short while: the call it stands for
// blocks.
template <class T> bool stillBlocked(std::future<T> &f)
{
    return f.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout;
}

TEST(ChannelStatTest, ExpiryStates)
{
    struct Case {
        uint32_t expire;
        bool expired;
        bool expired2;
    };
    const Case cases[] = {
        {Connection::kNotConnected, true, true},
        {Connection::kJustConnected, true, false}, // logged in, keep-alive not known
        {now() + 300, false, false},
        {now() - 5, true, false},
    };
    for (const Case &c : cases) {
        Stat stat(nullptr, c.expire);
        EXPECT_EQ(c.expired, stat.isExpired()) << c.expire;
        EXPECT_EQ(c.expired2, stat.isExpired2()) << c.expire;
    }

    Stat stat(nullptr, Connection::kNotConnected);
    stat.setConnected();
    EXPECT_EQ(Connection::kJustConnected, stat.expire);
    stat.setAliveInterval(300);
    EXPECT_FALSE(stat.isExpired());
    EXPECT_LE(stat.expire - now(), 300u);
    // An interval beyond the 32-bit clock stays "connected", never wraps into the past.
    stat.setAliveInterval(0xFFFFFFF0u);
    EXPECT_FALSE(stat.isExpired());
    EXPECT_FALSE(stat.isExpired2());
    stat.setAliveInterval(0);
    EXPECT_TRUE(stat.isExpired2());
}

TEST(ChannelStatTest, WithoutChannelEveryOperationFailsOnTheSharedBadChannel)
{
    Stat stat;
    Channel &ch = stat.getChannel();
    EXPECT_EQ(&BadChannel::getInstance(), &ch);
    char buf[4] = {};
    size_t got = 7;
    uint32_t value = 0;
    EXPECT_EQ(-2, ch.Open("127.0.0.1", 1));
    EXPECT_EQ(-2, ch.Write("x", 1));
    EXPECT_EQ(-2, ch.FlushWrite());
    EXPECT_EQ(-2, ch.Read(buf, sizeof(buf)));
    EXPECT_EQ(-2, ch.Read(buf, sizeof(buf), got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(-2, ch.ReadInt32(value));
    EXPECT_EQ(-2, ch.WriteInt64(1));
    EXPECT_EQ(-3, ch.ConvertToSSLChannel(false));
    EXPECT_TRUE(ch.IsClosed());
    // Settings are ignored: the instance is shared by every thread.
    std::atomic<int> flag(1);
    ch.SetFlag(&flag);
    ch.SetSSLHostname(ustring("example.org"));
    EXPECT_FALSE(ch.IsAborted());
    stat.setExpired(); // closing nothing is harmless
}

// A pool of n direct channels whose stats the test sets by borrowing and returning.
std::vector<Stat> borrowAll(Pool &pool, size_t n)
{
    std::vector<Stat> out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(pool.pop());
    }
    return out;
}

TEST(ChannelPoolTest, BorrowsTheSmallestExpireFirst)
{
    struct Case {
        uint32_t first;  // expire of the channel that must come out first
        uint32_t second; // expire of the other one
    };
    const Case cases[] = {
        {Connection::kJustConnected, now() + 300},
        {now() + 300, Connection::kNotConnected},
        {now() + 10, now() + 300},
    };
    for (const Case &c : cases) {
        Pool pool(2, nullptr, nullptr);
        std::vector<Stat> out = borrowAll(pool, 2);
        // Return the later one first, so that arrival order cannot explain the result.
        pool.push(out[1].channel, c.second);
        pool.push(out[0].channel, c.first);
        Stat top = pool.pop();
        EXPECT_EQ(out[0].channel, top.channel);
        EXPECT_EQ(c.first, top.expire);
        pool.push(top.channel, top.expire);
    }
}

TEST(ChannelPoolTest, AFifthBorrowerWaitsForAReturnAndForeignReturnsAreIgnored)
{
    Pool pool(4, nullptr, nullptr);
    std::vector<Stat> out = borrowAll(pool, 4);
    std::set<Channel *> distinct;
    for (const Stat &s : out) {
        EXPECT_NE(nullptr, s.channel);
        EXPECT_TRUE(s.isExpired2());
        distinct.insert(s.channel);
    }
    EXPECT_EQ(4u, distinct.size());

    auto fifth = std::async(std::launch::async, [&pool] { return pool.pop(); });
    ASSERT_TRUE(stillBlocked(fifth));
    Channel foreign;
    pool.push(&foreign, Connection::kJustConnected); // not from this pool
    pool.push(nullptr, Connection::kJustConnected);
    ASSERT_TRUE(stillBlocked(fifth));

    pool.push(out[2].channel, now() + 60);
    Stat got = fifth.get();
    EXPECT_EQ(out[2].channel, got.channel);
    EXPECT_FALSE(got.isExpired());
    // Returning the same channel twice puts it back once only.
    pool.push(got.channel, got.expire);
    pool.push(got.channel, got.expire);
    Stat again = pool.pop();
    EXPECT_EQ(got.channel, again.channel);
    auto blocked = std::async(std::launch::async, [&pool] { return pool.pop(); });
    ASSERT_TRUE(stillBlocked(blocked));
    pool.push(again.channel, again.expire);
    pool.push(blocked.get().channel, 0);
    for (size_t i : {0, 1, 3}) {
        pool.push(out[i].channel, Connection::kNotConnected);
    }
}

TEST(ChannelPoolTest, ConnectedStatesFollowUpdatesOfBorrowedAndFreeChannels)
{
    Pool pool(4, nullptr, nullptr);
    EXPECT_FALSE(pool.isConnected2());
    EXPECT_FALSE(pool.isConnected());

    Stat stat = pool.pop();
    stat.setConnected();
    pool.update(stat.channel, stat.expire);
    // Logged in but before the first answer: connected, not yet usable without login.
    EXPECT_TRUE(pool.isConnected2());
    EXPECT_FALSE(pool.isConnected());

    stat.setAliveInterval(300);
    pool.update(stat.channel, stat.expire);
    EXPECT_TRUE(pool.isConnected());
    pool.push(stat.channel, stat.expire); // now the first free one
    EXPECT_TRUE(pool.isConnected2());
    EXPECT_TRUE(pool.isConnected());

    stat = pool.pop();
    EXPECT_FALSE(stat.isExpired());
    stat.setAliveInterval(0); // the server ends the keep-alive: closed, log in again
    pool.push(stat.channel, stat.expire);
    EXPECT_FALSE(pool.isConnected2());
    EXPECT_FALSE(pool.isConnected());
}

TEST(ChannelPoolTest, ResetWaitsForBorrowedChannelsWhileBorrowersWait)
{
    Pool pool(2, nullptr, nullptr);
    Stat held = pool.pop();
    held.setConnected();
    pool.update(held.channel, held.expire);

    auto reset = std::async(std::launch::async, [&pool] { pool.reset(3, nullptr, nullptr); });
    ASSERT_TRUE(stillBlocked(reset));
    // The free channel is not handed out while the reset runs.
    auto borrower = std::async(std::launch::async, [&pool] { return pool.pop(); });
    ASSERT_TRUE(stillBlocked(borrower));

    pool.push(held.channel, held.expire);
    reset.get();
    Stat fresh = borrower.get();
    EXPECT_TRUE(fresh.isExpired2()); // every channel is new and not connected
    EXPECT_FALSE(pool.isConnected2());
    std::vector<Stat> rest = borrowAll(pool, 2); // the new capacity is 3
    pool.push(fresh.channel, fresh.expire);
    for (const Stat &s : rest) {
        pool.push(s.channel, s.expire);
    }
}

TEST(ChannelPoolTest, ContendingBorrowersNeverShareAChannelAcrossResets)
{
    Pool pool(4, nullptr, nullptr);
    std::mutex owners_lock;
    std::map<Channel *, int> owners;
    std::atomic<int> shared_seen(0);
    std::atomic<bool> stop(false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!stop.load()) {
                Stat stat = pool.pop();
                {
                    std::lock_guard<std::mutex> guard(owners_lock);
                    if (owners[stat.channel]++ != 0) {
                        ++shared_seen;
                    }
                }
                stat.getChannel().SetTimeout(static_cast<unsigned>(t)); // owner-only state
                {
                    std::lock_guard<std::mutex> guard(owners_lock);
                    --owners[stat.channel];
                }
                pool.push(stat.channel, (t % 2) != 0 ? Connection::kJustConnected : now() + 30);
            }
        });
    }
    for (int round = 0; round < 5; ++round) {
        pool.reset(4, nullptr, nullptr);
        std::this_thread::yield();
    }
    stop = true;
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(0, shared_seen.load());
}

// ---- Connection and ConnectionManager ----

ConnectionInfo info(uint64_t id, const char *ip = "127.0.0.1", int port = 7000)
{
    ConnectionInfo c;
    c.conn_id = id;
    c.server_ip = ip;
    c.server_port = port;
    return c;
}

TEST(ConnectionTest, WithoutPoolNothingIsBorrowedAndClearDropsThePool)
{
    Connection empty;
    Stat stat = empty.pop();
    EXPECT_EQ(nullptr, stat.channel);
    EXPECT_TRUE(stat.isExpired2());
    empty.push(stat);
    empty.update(stat);
    EXPECT_FALSE(empty.isConnected2());
    EXPECT_FALSE(empty.isConnected());

    ProxyInfo proxy;
    proxy.use_proxy = true;
    proxy.proxy_ip = "10.0.0.1";
    Connection conn(info(3), &proxy, nullptr);
    EXPECT_TRUE(conn.getConnectionInfo().use_ssl);
    EXPECT_EQ("10.0.0.1", conn.getProxyInfo().proxy_ip);
    EXPECT_FALSE(conn.getTunnelInfo().use_tunnel);
    Stat borrowed = conn.pop();
    EXPECT_NE(nullptr, borrowed.channel);
    conn.push(borrowed);
    conn.clear();
    EXPECT_EQ(0u, conn.getConnectionInfo().conn_id);
    EXPECT_TRUE(conn.getProxyInfo().proxy_ip.empty());
    EXPECT_EQ(nullptr, conn.pop().channel);
}

class ConnectionManagerTest : public ::testing::Test
{
protected:
    void SetUp() override { mgr.clear(); }
    void TearDown() override { mgr.clear(); }
    ConnectionManager &mgr = ConnectionManager::getInstance();
};

TEST_F(ConnectionManagerTest, AddGetListAndDuplicateIds)
{
    EXPECT_EQ(0, mgr.add(info(9, "10.0.0.9"), nullptr, nullptr));
    EXPECT_EQ(0, mgr.add(info(2, "10.0.0.2"), nullptr, nullptr));
    EXPECT_EQ(-1, mgr.add(info(9, "10.0.0.99"), nullptr, nullptr));

    Connection conn;
    EXPECT_EQ(-1, mgr.get(5, conn));
    ASSERT_EQ(0, mgr.get(9, conn));
    EXPECT_EQ("10.0.0.9", conn.getConnectionInfo().server_ip); // the first one stays

    std::list<Connection> list;
    list.push_back(conn); // get(list) empties the list first
    EXPECT_EQ(0, mgr.get(list));
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(2u, list.front().getConnectionInfo().conn_id);
    EXPECT_EQ(9u, list.back().getConnectionInfo().conn_id);
}

TEST_F(ConnectionManagerTest, ReloadRebuildsTheSharedPoolAndReplacesTheRecords)
{
    TunnelInfo tunnel;
    tunnel.use_tunnel = true;
    tunnel.tunnel_ip = "10.1.1.1";
    ASSERT_EQ(0, mgr.add(info(4, "10.0.0.4"), nullptr, &tunnel));
    EXPECT_EQ(-1, mgr.reload(info(5), nullptr, nullptr));

    Connection before;
    ASSERT_EQ(0, mgr.get(4, before));
    Stat stat = before.pop();
    stat.setConnected();
    before.update(stat);
    EXPECT_TRUE(before.isConnected2());

    auto reload = std::async(std::launch::async,
                             [this] { return mgr.reload(info(4, "10.0.0.44"), nullptr, nullptr); });
    ASSERT_TRUE(stillBlocked(reload)); // waits for the borrowed channel
    Connection meanwhile;
    EXPECT_EQ(0, mgr.get(4, meanwhile)); // the map stays usable meanwhile
    before.push(stat);
    EXPECT_EQ(0, reload.get());

    // The old copy shares the rebuilt pool: fresh, unconnected channels.
    EXPECT_FALSE(before.isConnected2());
    Connection after;
    ASSERT_EQ(0, mgr.get(4, after));
    EXPECT_EQ("10.0.0.44", after.getConnectionInfo().server_ip);
    EXPECT_FALSE(after.getTunnelInfo().use_tunnel); // absent record: back to defaults
    EXPECT_TRUE(after.getTunnelInfo().tunnel_ip.empty());
}

TEST_F(ConnectionManagerTest, RemovedConnectionsLiveOnInTheirCopies)
{
    ASSERT_EQ(0, mgr.add(info(1), nullptr, nullptr));
    ASSERT_EQ(0, mgr.add(info(2), nullptr, nullptr));
    Connection copy;
    ASSERT_EQ(0, mgr.get(1, copy));
    Stat stat = copy.pop();

    mgr.remove(1);
    mgr.remove(77); // unknown: nothing happens
    EXPECT_EQ(-1, mgr.get(1, copy));
    stat.setConnected();
    copy.push(stat); // the pool is still there
    Stat again = copy.pop();
    EXPECT_EQ(stat.channel, again.channel);
    copy.push(again);

    mgr.clear();
    std::list<Connection> list;
    mgr.get(list);
    EXPECT_TRUE(list.empty());
}

// ---- pooled channels over real sockets ----

// Accepts connections on an ephemeral loopback port and echoes what each sends.
class EchoListener
{
public:
    EchoListener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 && ::listen(fd, 8) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
            port = ntohs(addr.sin_port);
        }
        thread = std::thread([this] { serve(); });
    }
    ~EchoListener()
    {
        done = true;
        thread.join();
        ::close(fd);
    }
    int port = 0;
    std::atomic<int> accepted{0};

private:
    void serve()
    {
        std::vector<int> peers;
        while (!done.load()) {
            std::vector<struct pollfd> fds{{fd, POLLIN, 0}};
            for (int p : peers) {
                fds.push_back({p, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                peers.push_back(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
                ++accepted;
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                char buf[4096];
                ssize_t n = ::recv(fds[i].fd, buf, sizeof(buf), 0);
                if (n > 0) {
                    ::send(fds[i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
                } else {
                    ::close(fds[i].fd);
                    peers.erase(std::find(peers.begin(), peers.end(), fds[i].fd));
                }
            }
        }
        for (int p : peers) {
            ::close(p);
        }
    }

    int fd = -1;
    std::atomic<bool> done{false};
    std::thread thread;
};

// One request in the borrowing protocol: open when expired, send, read the echo, keep
// the channel for `alive` seconds. The echoed text, or "" on failure.
std::string roundTrip(Connection &conn, const std::string &text, uint32_t alive)
{
    Stat stat = conn.pop();
    Channel &ch = stat.getChannel();
    const ConnectionInfo &ci = conn.getConnectionInfo();
    if (stat.isExpired()) {
        ch.Close();
        if (ch.Open(ci.server_ip.c_str_utf8(), ci.server_port) != 0) {
            stat.setExpired();
            conn.push(stat);
            return "";
        }
        stat.setConnected();
        conn.update(stat);
    }
    std::string echoed(text.size(), '\0');
    if (ch.Write(text.data(), text.size()) != 0 || ch.FlushWrite() != 0 ||
        ch.Read(&echoed[0], echoed.size()) != 0) {
        stat.setExpired();
        echoed.clear();
    } else {
        stat.setAliveInterval(alive);
    }
    conn.push(stat);
    return echoed;
}

TEST(PooledChannelTest, ChannelsStayOpenWhileAliveAndReopenAfterAKeepAliveOfZero)
{
    EchoListener server;
    ASSERT_NE(0, server.port);
    Connection conn(info(1, "127.0.0.1", server.port), nullptr, nullptr);

    EXPECT_EQ("hello", roundTrip(conn, "hello", 300));
    EXPECT_TRUE(conn.isConnected());
    // The channel with time left comes out first and is used without reopening.
    EXPECT_EQ("again", roundTrip(conn, "again", 0));
    EXPECT_EQ(1, server.accepted.load());
    EXPECT_FALSE(conn.isConnected2());
    EXPECT_EQ("third", roundTrip(conn, "third", 300));
    EXPECT_EQ(2, server.accepted.load());
}

TEST(PooledChannelTest, ProxyAndTunnelRoutesNeverReachTheServerDirectly)
{
    EchoListener server;
    ProxyInfo proxy;
    proxy.use_proxy = true; // no proxy address: nothing can be reached through it
    TunnelInfo tunnel;
    tunnel.use_tunnel = true;
    struct Case {
        const ProxyInfo *proxy;
        const TunnelInfo *tunnel;
    };
    for (const Case &c : {Case{&proxy, nullptr}, Case{nullptr, &tunnel}, Case{&proxy, &tunnel}}) {
        Connection conn(info(1, "127.0.0.1", server.port), c.proxy, c.tunnel);
        EXPECT_EQ("", roundTrip(conn, "x", 300));
        EXPECT_FALSE(conn.isConnected2());
    }
    EXPECT_EQ(0, server.accepted.load());
}

TEST(PooledChannelTest, AnUnreachableServerLeavesTheChannelNotConnected)
{
    int port = 0;
    {
        EchoListener gone;
        port = gone.port;
    }
    Connection conn(info(1, "127.0.0.1", port), nullptr, nullptr);
    EXPECT_EQ("", roundTrip(conn, "x", 300));
    EXPECT_FALSE(conn.isConnected2());
}

} // namespace
