// Stand-in HTTP proxies for the proxy client's tests: a loopback listener that runs a
// handler on every accepted connection in a thread of its own, helpers for the handlers
// (read a request head, answer, relay to the CONNECT target), and an NTLM proxy that sends
// a challenge of its choosing and checks the authenticate message as a server does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeProxy
{
public:
    typedef std::function<void(int fd)> Handler;

    // Each connection is closed when its handler returns.
    explicit FakeProxy(Handler handler);
    // Shuts down every open connection, so that handlers blocked in a read return, and
    // joins all threads.
    ~FakeProxy();
    FakeProxy(const FakeProxy &) = delete;
    FakeProxy &operator=(const FakeProxy &) = delete;

    int port() const { return m_port; }
    int accepted() const { return m_accepted.load(); }
    // Waits until every accepted connection's handler has returned. false after 10 s.
    bool WaitIdle();

    // Reads a request head up to its empty line (at most 64 KiB). false when the peer
    // closed or nothing came within timeout_ms.
    static bool ReadHead(int fd, std::string &head, int timeout_ms = 15000);
    // Value of the first header key (case-insensitive) of head, "" when absent.
    static std::string Header(const std::string &head, const std::string &key);
    static bool Send(int fd, const std::string &bytes);
    // Blocks until the peer closes (or the proxy shuts the connection down).
    static void WaitClosed(int fd);
    // Answers 200 (when answer is true) to the CONNECT of head and relays bytes to its
    // target until either side closes.
    static void Establish(int fd, const std::string &head, bool answer = true);
    // Copies bytes both ways between a and b until either side closes.
    static void Pump(int a, int b);
    // A 407 answer with the given Proxy-Authenticate values and a small body.
    static std::string Answer407(const std::vector<std::string> &authenticate);

private:
    void AcceptLoop();

    Handler m_handler;
    int m_listener;
    int m_wake[2];
    int m_port;
    std::atomic<int> m_accepted;
    std::mutex m_lock;
    std::condition_variable m_idle;
    std::vector<int> m_fds; // -1 once the connection ended
    std::vector<std::thread> m_threads;
    std::thread m_acceptor;
};

// An NTLM proxy: a request without NTLM authorisation gets a 407 naming NTLM; a negotiate
// message gets a challenge; the authenticate message is checked with the user name
// upper-cased and the domain as received in the message, for v1 (24-byte NT response) and
// v2 answers. A valid answer is established and relayed to the target, any other one gets
// 407 again.
class FakeNtlmProxy
{
public:
    struct Options {
        std::string password = "Password";
        std::string challenge = std::string("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
        std::string target_info = std::string("\x02\x00\x0c\x00" "D\0o\0m\0a\0i\0n\0"
                                              "\x00\x00\x00\x00", 20);
        bool accept_v1 = true;
        bool accept_v2 = true;
        // The challenge's target-info field points past the end of the message.
        bool target_info_outside = false;
        // Only this many bytes of the challenge are sent (0: all of it).
        size_t truncate_challenge = 0;
    };

    explicit FakeNtlmProxy(const Options &options);
    int port() const { return m_proxy.port(); }
    int verified_v1() const { return m_v1.load(); }
    int verified_v2() const { return m_v2.load(); }
    int rejected() const { return m_rejected.load(); }
    // The user and domain of the last authenticate message, as received.
    std::string last_user() const;
    std::string last_domain() const;
    // The target information found in the last v2 blob.
    std::string last_blob_target_info() const;

private:
    void Serve(int fd);
    std::string Challenge() const;
    bool Verify(const std::string &type3);

    Options m_options;
    std::atomic<int> m_v1{0}, m_v2{0}, m_rejected{0};
    mutable std::mutex m_lock;
    std::string m_user, m_domain, m_blob_info;
    FakeProxy m_proxy; // last: its threads use the members above
};

// A loopback target that sends back what it receives.
class EchoTarget
{
public:
    EchoTarget();
    int port() const { return m_server.port(); }
    bool WaitIdle() { return m_server.WaitIdle(); }

private:
    FakeProxy m_server;
};
