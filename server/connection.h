// One client connection: request headers, request bodies, keep-alives while an answer is
// prepared, answers, and the TLS upgrade. Requests are served strictly one at a time.
#pragma once

#include "server/handler.h"
#include "server/server-channel.h"

#include <string>

namespace srv
{

// Serves the connection until the peer leaves, a rule says to close, or the server stops.
// The channel is closed at the end.
void ServeConnection(ServerContext &ctx, ServerChannel &channel, const std::string &peer);

} // namespace srv
