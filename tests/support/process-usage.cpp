#include "process-usage.h"

#include <dirent.h>

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

int CountThreads()
{
    return CountEntries("/proc/self/task", 0);
}
