// A stand-in relay tunnel endpoint: accepts SSL with a self-signed certificate, reads the
// upgrade request, decrypts and checks its token against the target headers, answers with
// the status it is told to, and then relays bytes in the clear to the target.
#pragma once

#include "fake-proxy.h"
#include "temp-dir.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

class FakeTunnel
{
public:
    enum Behaviour {
        ANSWER,            // the status header with `status`, then relay when it is 0
        NO_STATUS_CLOSE,   // a status line only, then close
        CLOSE_AFTER_SSL,   // close right after the SSL handshake
        NEVER_ANSWER,      // read the request, then wait
        GARBAGE,           // bytes that are not an answer, then close
    };

    explicit FakeTunnel(Behaviour behaviour = ANSWER, int status = 0);
    int port() const { return m_proxy.port(); }
    // Requests whose token decrypted to the target the headers name.
    int valid_tokens() const { return m_valid.load(); }
    int invalid_tokens() const { return m_invalid.load(); }
    // The last request head as received.
    std::string last_request() const;

private:
    void Serve(int fd);

    Behaviour m_behaviour;
    int m_status;
    struct ContextFree {
        void operator()(SSL_CTX *ctx) const;
    };
    TempDir m_dir;
    std::unique_ptr<SSL_CTX, ContextFree> m_ctx; // a self-signed server certificate
    std::atomic<int> m_valid{0}, m_invalid{0};
    mutable std::mutex m_lock;
    std::string m_request;
    FakeProxy m_proxy; // last: its threads use the members above
};
