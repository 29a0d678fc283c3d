// What the test process holds open, to show that an operation leaked no descriptor or
// thread.
#pragma once

#include <sys/types.h>

// Open file descriptors of this process (entries of /proc/self/fd).
int CountOpenFds();
// Open file descriptors of another process of this user (entries of /proc/PID/fd); -1 when
// they cannot be listed.
int CountOpenFdsOf(pid_t pid);
// Threads of this process (entries of /proc/self/task).
int CountThreads();
