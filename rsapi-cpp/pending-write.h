// The background write of a handler's output buffer: update() fills the buffer and
// starts writing it, wait() collects the write and empties the buffer, so the next piece
// of input is computed while the kernel copies the last one.
#ifndef AEROLITH_RSAPI_PENDING_WRITE_H
#define AEROLITH_RSAPI_PENDING_WRITE_H

#include <cstddef>
#include <cstdint>

#include "rsapi-cpp/xio.h"

class PendingWrite
{
public:
    // Starts appending `size` bytes to `fd`; an empty buffer starts nothing. The bytes
    // must stay untouched until finish(). 0, or -1 when the write could not start.
    int start(fd_t *fd, const uint8_t *bytes, size_t size);
    // Waits for the write in flight and sets *size, the length of the buffer it came
    // from, to 0. 0 when every byte reached the file or nothing was in flight, else -1.
    int finish(size_t *size);
    // Waits for a write still in flight without judging it, before the file is closed.
    void drain() { fd_aio_wait(&aio); }

private:
    fd_aio_t aio;
    bool in_flight = false;
};

#endif
