// Rules for view paths received from a client.
#pragma once

#include <string>

namespace srv
{

// Starts with "/"; "/" alone is the root; no trailing "/"; no empty, "." or ".."
// component; at most 4095 bytes; every component at most 255 bytes.
bool ValidViewPath(const std::string &path);

} // namespace srv
