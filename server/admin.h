// The admin subcommands: configuration and server-side changes, made on the same database
// (and with the same tree rules) as the protocol requests while the server runs.
#pragma once

namespace srv
{

// argv holds "--root DIR SUBCOMMAND ARGS..." (after "admin"). Prints one JSON object and
// returns 0, or prints an error and returns 1 (2 for bad arguments).
int RunAdmin(int argc, char **argv);

} // namespace srv
