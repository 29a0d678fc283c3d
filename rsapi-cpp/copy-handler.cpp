#include "rsapi-cpp/copy-handler.h"

int CopyHandler::begin()
{
    return fd_open_write(file.c_str(), &fd);
}

int CopyHandler::update(const uint8_t *bytes, size_t n)
{
    if (!fd_is_open(&fd))
        return -1;
    if (n == 0)
        return 0;
    written += n;
    return fd_aio_write(&aio, &fd, bytes, n);
}

int CopyHandler::wait()
{
    if (fd_aio_wait(&aio) < 0)
        return -1;
    if (written - written_back >= FD_WRITEBACK_STEP) {
        fd_start_writeback(fd.handle, written_back, written - written_back);
        written_back = written;
    }
    return 0;
}

int CopyHandler::end()
{
    int rc = wait();
    fd_close(&fd);
    return rc;
}
