// A loopback stand-in for the file server that answers request exchanges on every
// connection: it reads the header and a request and answers with the request's "sync_id"
// under "echo" and an "alive" of 30 seconds, until the client closes.
#pragma once

#include "fake-proxy.h"

class Channel;

class ExchangeServer
{
public:
    ExchangeServer();
    int port() const { return m_server.port(); }
    bool WaitIdle() { return m_server.WaitIdle(); }

private:
    FakeProxy m_server;
};

// One "pull_event" exchange with the given sync id on an opened channel: the id the
// server echoed, or -1.
int64_t RunEchoExchange(Channel &channel, uint64_t sync_id);
