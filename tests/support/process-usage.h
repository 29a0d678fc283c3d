// What the test process holds open, to show that an operation leaked no descriptor or
// thread.
#pragma once

// Open file descriptors of this process (entries of /proc/self/fd).
int CountOpenFds();
// Threads of this process (entries of /proc/self/task).
int CountThreads();
