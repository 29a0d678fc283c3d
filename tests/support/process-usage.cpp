#include "process-usage.h"

#include <dirent.h>

#include <string>
#include <thread>

namespace
{

// Entries of a /proc directory; opening it costs a descriptor that is not counted when
// listing the descriptors themselves.
int CountEntries(const char *path, int own)
{
    DIR *d = opendir(path);
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n - own;
}

} // namespace

int CountOpenFds()
{
    return CountEntries("/proc/self/fd", 1);
}

int CountOpenFdsOf(pid_t pid)
{
    return CountEntries(("/proc/" + std::to_string(pid) + "/fd").c_str(), 0);
}

int CountThreads()
{
    // ThreadSanitizer starts a helper thread of its own when the process creates its first
    // thread; create one once, so that the helper is counted in every baseline.
    static const bool warmed_up = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed_up;
    return CountEntries("/proc/self/task", 0);
}
