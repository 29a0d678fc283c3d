// The request handler: everything the server does with one received request, from the
// checks common to all requests to the answer. The connection (connection.cpp) owns the
// framing, keep-alives and the socket; nothing here touches the channel.
#pragma once

#include "protocol/object.h"
#include "server/content-store.h"
#include "server/options.h"
#include "server/store.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace srv
{

// What all connections of one server share.
struct ServerContext {
    explicit ServerContext(const ServerOptions &o) : opt(o), content(o.root) {}
    ServerOptions opt;
    ContentStore content;
    std::atomic<int> stop{0};
    std::atomic<int> connections{0};
};

// The final answer to a request and what the connection does around it.
struct Answer {
    PObject body;          // the answer's own keys; "alive" and "type" are added on sending
    bool send = true;      // false: close without an answer
    bool close = false;    // send "alive" 0, then close
    bool start_tls = false; // run the server side of the TLS handshake after the answer
    bool login = false;    // the connection counts as logged in afterwards
    int64_t drop_send = -1; // close once this many bytes of the answer are written
    bool corrupt = false;  // flip one byte in the middle of the data sent
    std::string transfer;  // "delta", "patch", "whole" or "" for the log line
    uint64_t data_in = 0;
    uint64_t data_out = 0;
    std::vector<std::string> remove_after; // files deleted once the answer is sent
    uint32_t code() const;
};

// A request after its checks, ready for the work that may take long.
struct Prepared {
    int command = 0;
    std::string action;
    PObject body;
    uint64_t user_id = 0;
    uint64_t view_id = 0;
    std::string path;
    uint32_t delay = 0; // seconds to wait (with keep-alives) before the work
    uint32_t stall = 0; // seconds to wait without keep-alives
    // Digest of the received "file" -> "data" item, taken while it arrived (when
    // data_digested).
    bool data_digested = false;
    Digest data_digest;
};

class RequestHandler
{
public:
    explicit RequestHandler(ServerContext &ctx) : m_ctx(ctx) {}
    // Opens this connection's database handle. 0, or -1.
    int open();

    // Decides whether a command may carry an action and, for the commands that need it,
    // whether the connection has logged in. false: answer (or close) as out says.
    // logged_in/is_tls describe the connection.
    bool prepare(int command, PObject &body, bool logged_in, bool is_tls, Prepared &p,
                 Answer &out);
    // The work of a prepared request (runs on a helper thread while the connection sends
    // keep-alives).
    void work(Prepared &p, Answer &out);

    Store &store() { return m_store; }

private:
    int commonChecks(Prepared &p, bool need_rw, bool need_path, Answer &out);
    bool matchFaults(Prepared &p, bool is_tls, Answer &out);

    void doConnect(Prepared &p, bool is_tls, Answer &out);
    void doPull(Prepared &p, Answer &out);
    void doDownload(Prepared &p, Answer &out);
    void doUpload(Prepared &p, Answer &out);
    void doRemove(Prepared &p, Answer &out);
    void doGetToken(Prepared &p, Answer &out);
    void doGetStatus(Prepared &p, Answer &out);

    ServerContext &m_ctx;
    Store m_store;
    bool m_is_tls = false;
};

// The bytes of a string item ("" for any other kind).
std::string Str(const PObject &item);
// Checks a resume token for this user and view and binds it to (kind, path, size, hash,
// is_delta) on first use. 0, or CODE_BAD_TOKEN_STATE. t is the token's row; unless save is
// false (the caller then stores t itself) the binding is stored at once.
int BindResumeToken(Store &store, const ServerOptions &opt, const std::string &token,
                    uint64_t user_id, uint64_t view_id, const std::string &kind,
                    const std::string &path, uint64_t size, const std::string &hash, bool is_delta,
                    TokenRow &t, bool save = true);
// Fills out with an error answer.
void SetError(Answer &out, uint32_t code, const char *reason);
// Deletes every binary item's file in a received request except keep.
void DiscardBinaries(PObject &object, const std::string &keep);
// The path of a binary item's file ("" when none).
std::string BinaryPath(const PObject &item);
// 32 random hex digits.
std::string RandomHex();

} // namespace srv
