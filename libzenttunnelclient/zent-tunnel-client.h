// The relay tunnel handshake: over an SSL connection to the relay endpoint, ask it to
// forward the stream to a target host and port named in an encrypted token, and read its
// answer. After a successful handshake the caller drops the SSL layer and the socket
// carries the target's stream in the clear.
#pragma once

#include <sys/time.h>

#include <functional>

typedef struct ssl_st SSL;

enum {
    ZENTTUNNEL_OK = 0,
    ZENTTUNNEL_ERR_UNKNOWN = 400,
    ZENTTUNNEL_ERR_BAD_TARGET = 401,
    ZENTTUNNEL_ERR_CONN_FAILED = 402,
    ZENTTUNNEL_ERR_CONN_TIMEOUT = 403,
};

// Longest line of the endpoint's answer, line feed included.
const int kZENTTunnelMaxLine = 1023;
// Longest "host:port" target text.
const int kZENTTunnelMaxTarget = 1024;

// Sends the upgrade request for host:port and reads the answer, waiting in steps of wait
// for at most timeout seconds (0: no limit) and giving up when aborted() turns true. The
// status the endpoint reported (0 when it reported none), or -ZENTTUNNEL_ERR_CONN_FAILED /
// -ZENTTUNNEL_ERR_CONN_TIMEOUT when the request could not be sent.
int ZENTTunnelClientHandshake(SSL *ssl, const char *host, int port, struct timeval wait,
                              unsigned int timeout,
                              const std::function<bool()> &aborted = std::function<bool()>());
