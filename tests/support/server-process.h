// The real aerolith-server in a child process, for tests that cross the wire: it runs
// under a scratch root on a free loopback port (optionally with TLS from the test
// certificates), admin commands configure it, and it can be stopped, killed and started
// again on the same root. ServerClient speaks the protocol to it with the project's own
// Channel and PStream.
//
//   ServerProcess server;
//   ASSERT_TRUE(server.start());
//   ServerAccount acct = server.createAccount("alice", "docs");   // token + view id, rw
//   // daemon side: server_ip 127.0.0.1, server_port server.port(), session acct.token,
//   // view_id acct.view_id; with start({.tls = true}) use_ssl 1 and trust server.caPath().
//   server.admin({"put", "1", "/a.txt", local_file});              // a server-side change
#pragma once

#include "channel.h"
#include "protocol/object.h"
#include "protocol/stream.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TempDir;
class TlsTestCerts;

// Polls cond every 10 ms until it holds or timeout_ms passed. true when it held.
bool WaitFor(const std::function<bool()> &cond, int timeout_ms = 10000);

struct ServerAccount {
    std::string user;
    std::string token;
    uint64_t view_id = 0;
};

class ServerProcess
{
public:
    struct Options {
        bool tls = false;                   // --tls with a certificate for "localhost"
        std::vector<std::string> extra_args; // further server options, e.g. {"--page", "2"}
    };

    ServerProcess();
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Starts the server and waits until it announced its port. true on success.
    bool start(const Options &options);
    bool start() { return start(Options()); }
    // SIGTERM, then waits for the exit; true when it exited with status 0.
    bool stop();
    // SIGKILL and reap, without any chance to clean up.
    void kill9();
    // Starts again on the same root with the same options (a new port).
    bool restart();
    bool running() const { return m_pid > 0; }

    int port() const { return m_port; }
    const std::string &root() const { return m_root; }
    // PEM file of the CA that issued the TLS certificate ("" without TLS).
    std::string caPath() const;
    // Everything the server logged so far (one line per request, see the server's docs).
    std::string log() const;
    // Waits until the log holds text.
    bool waitForLog(const std::string &text, int timeout_ms = 10000) const;

    // Runs "aerolith-server admin --root ROOT args...". Exit status; out gets stdout.
    int admin(const std::vector<std::string> &args, std::string *out = nullptr) const;
    // The same, parsed; a JSON null when the command failed.
    nlohmann::json adminJson(const std::vector<std::string> &args) const;
    // A user with a view granted rw (user and view are created when missing).
    ServerAccount createAccount(const std::string &user, const std::string &view);

    static std::string binaryPath();

private:
    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<TlsTestCerts> m_certs;
    std::string m_root;
    std::string m_log;
    std::string m_cert, m_key;
    Options m_options;
    pid_t m_pid = -1;
    int m_port = 0;
};

// A protocol client: one Channel and PStream, requests through the project's exchange.
class ServerClient
{
public:
    explicit ServerClient(int port) : m_port(port) {}
    // Opens the TCP connection. 0, or the channel's error.
    int open();
    void close() { m_channel.Close(); }
    Channel &channel() { return m_channel; }
    PStream &stream() { return m_stream; }
    // Received binary items are stored here.
    void setRecvDir(const std::string &dir);

    // One exchange: header with command, request (InitRequest(action) plus fields), answer
    // after any keep-alives. 0, or a negative stream/channel failure. keepalives counts
    // the keep-alive messages skipped.
    int request(uint8_t command, const std::string &action, const PObject &fields,
                PObject &answer, int *keepalives = nullptr);
    // "connect" with the account; 0 when the answer carried no error.
    int connect(const ServerAccount &account);

private:
    int m_port;
    Channel m_channel;
    PStream m_stream;
};

// The error code of an answer, 0 when it has none.
uint32_t AnswerCode(const PObject &answer);
