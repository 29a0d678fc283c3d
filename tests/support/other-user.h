// Runs a piece of a test as another user, for checks that a peer of a different user is
// refused: a child process drops to the user "nobody" and reports through its exit status.
#pragma once

#include <functional>
#include <string>

// Why other-user tests cannot run here ("" when they can): they need root to switch user.
std::string otherUserUnavailable();
// Forks; the child switches its real, effective and saved user and group ids to those of
// "nobody" and exits with body()'s result (99 when switching failed). The child's exit
// status, or -1 when it did not exit normally.
int runAsNobody(const std::function<int()> &body);
