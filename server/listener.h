// The server process: start-up (state directory, database, spool clean-up, TLS files),
// the listening socket and one thread per accepted connection.
#pragma once

#include "server/handler.h"

namespace srv
{

// Prepares the root and binds; prints the "listening" line. 0, or -1 with a message in err.
int StartServer(ServerContext &ctx, int &listen_fd, std::string &err);
// Accepts connections until ctx.stop is set, then waits for the connections to end.
void RunListener(ServerContext &ctx, int listen_fd);

} // namespace srv
