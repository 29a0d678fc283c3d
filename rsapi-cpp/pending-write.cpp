#include "rsapi-cpp/pending-write.h"

int PendingWrite::start(fd_t *fd, const uint8_t *bytes, size_t size)
{
    if (size == 0)
        return 0;
    if (fd_aio_write(&aio, fd, bytes, size) != 0)
        return -1;
    in_flight = true;
    return 0;
}

int PendingWrite::finish(size_t *size)
{
    if (!in_flight)
        return 0;
    in_flight = false;
    long long written = fd_aio_wait(&aio);
    bool complete = written == static_cast<long long>(*size);
    *size = 0;
    return complete ? 0 : -1;
}
