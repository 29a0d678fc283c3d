// Two channels joined by a real TCP connection on 127.0.0.1, for channel, stream and
// TLS tests.
#pragma once

#include "channel.h"

#include <string>

// Connects client to a fresh loopback listener and opens server on the accepted socket.
// true on success.
bool MakeLoopbackPair(Channel &client, Channel &server);

// Blocking helpers on a raw socket, for peers that must speak bytes the channel would
// never produce.
bool SendAllRaw(int sock, const std::string &bytes);
// Reads until the peer closes or max bytes arrived.
std::string RecvAllRaw(int sock, size_t max);
