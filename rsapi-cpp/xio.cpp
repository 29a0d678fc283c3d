#include "rsapi-cpp/xio.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::atomic<int> g_aio_mode{FD_AIO_THREAD};

// Writes all n bytes, retrying on interruption and short writes.
long long write_all(int file, const uint8_t *data, size_t n, int line)
{
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::write(file, data + done, n - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "xio.cpp (%d): write: Error Code %d\n", line, errno);
            return -1;
        }
        done += static_cast<size_t>(r);
    }
    return static_cast<long long>(done);
}

void writer_loop(fd_aio_t *aio)
{
    std::unique_lock<std::mutex> guard(aio->lock);
    for (;;) {
        aio->wake.wait(guard, [aio] { return aio->stopping || (aio->pending && aio->data); });
        if (aio->stopping)
            return;
        int file = aio->file;
        const uint8_t *data = aio->data;
        size_t length = aio->length;
        guard.unlock();
        long long r = write_all(file, data, length, __LINE__);
        guard.lock();
        // Completion is data == nullptr; pending stays set until fd_aio_wait collects it.
        aio->result = r;
        aio->data = nullptr;
        aio->wake.notify_all();
    }
}

} // namespace

void fd_aio_set_mode(fd_aio_mode mode)
{
    g_aio_mode.store(mode);
}
fd_aio_mode fd_aio_get_mode()
{
    return static_cast<fd_aio_mode>(g_aio_mode.load());
}

fd_aio_t::~fd_aio_t()
{
    if (!writer.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    writer.join();
}

int fd_open_read(const char *path, fd_t *fd)
{
    int h = ::open(path, O_RDONLY | O_CLOEXEC);
    if (h < 0) {
        fprintf(stderr, "xio.cpp (%d): open: Error Code %d\n", __LINE__, errno);
        return -1;
    }
    posix_fadvise(h, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd->handle = h;
    return 0;
}

int fd_open_write(const char *path, fd_t *fd)
{
    int h = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
    if (h < 0) {
        fprintf(stderr, "xio.cpp (%d): open: Error Code %d\n", __LINE__, errno);
        return -1;
    }
    posix_fadvise(h, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd->handle = h;
    return 0;
}

long long fd_read(fd_t *fd, void *buf, size_t n)
{
    for (;;) {
        ssize_t r = ::read(fd->handle, buf, n);
        if (r >= 0)
            return r;
        if (errno != EINTR) {
            fprintf(stderr, "xio.cpp (%d): read: Error Code %d\n", __LINE__, errno);
            return -1;
        }
    }
}

long long fd_write(fd_t *fd, const void *buf, size_t n)
{
    return write_all(fd->handle, static_cast<const uint8_t *>(buf), n, __LINE__);
}

int fd_aio_write(fd_aio_t *aio, fd_t *fd, const void *buf, size_t n)
{
    if (aio->pending) {
        fprintf(stderr, "xio.cpp (%d): fd_aio_write: Error Code %d\n", __LINE__, EBUSY);
        return -1;
    }
    const uint8_t *data = static_cast<const uint8_t *>(buf);
    if (fd_aio_get_mode() == FD_AIO_SYNC || n < FD_AIO_THREAD_MIN) {
        long long r = write_all(fd->handle, data, n, __LINE__);
        if (r < 0) {
            fprintf(stderr, "xio.cpp (%d): fd_aio_write: Error Code %d\n", __LINE__, errno);
            return -1;
        }
        std::lock_guard<std::mutex> guard(aio->lock);
        aio->result = r;
        aio->data = nullptr;
        aio->pending = true;
        return 0;
    }
    if (!aio->writer.joinable())
        aio->writer = std::thread(writer_loop, aio);
    {
        std::lock_guard<std::mutex> guard(aio->lock);
        aio->file = fd->handle;
        aio->data = data;
        aio->length = n;
        aio->pending = true;
    }
    aio->wake.notify_all();
    return 0;
}

long long fd_aio_wait(fd_aio_t *aio)
{
    long long result;
    {
        std::unique_lock<std::mutex> guard(aio->lock);
        if (!aio->pending)
            return 0;
        aio->wake.wait(guard, [aio] { return aio->data == nullptr; });
        aio->pending = false;
        result = aio->result;
    }
    if (result < 0)
        fprintf(stderr, "xio.cpp (%d): fd_aio_wait: Error Code %d\n", __LINE__, EIO);
    return result;
}

int fd_seek(fd_t *fd, uint64_t offset)
{
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        ::lseek(fd->handle, static_cast<off_t>(offset), SEEK_SET) < 0) {
        fprintf(stderr, "xio.cpp (%d): lseek: Error Code %d\n", __LINE__,
                offset > INT64_MAX ? EINVAL : errno);
        return -1;
    }
    return 0;
}

int fd_stat(fd_t *fd, uint64_t *size)
{
    struct stat st;
    if (::fstat(fd->handle, &st) != 0) {
        fprintf(stderr, "xio.cpp (%d): fstat: Error Code %d\n", __LINE__, errno);
        return -1;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int fd_sync(fd_t *fd)
{
    if (fd->handle < 0)
        return 0;
    if (::fsync(fd->handle) != 0) {
        fprintf(stderr, "xio.cpp (%d): fsync: Error Code %d\n", __LINE__, errno);
        return -1;
    }
    return 0;
}

void fd_start_writeback(int handle, uint64_t from, uint64_t length)
{
    if (handle >= 0 && length > 0)
        (void)::sync_file_range(handle, static_cast<off_t>(from), static_cast<off_t>(length),
                                SYNC_FILE_RANGE_WRITE);
}

int fd_close(fd_t *fd)
{
    if (fd->handle < 0)
        return 0;
    int r = ::close(fd->handle);
    fd->handle = -1;
    return r == 0 ? 0 : -1;
}

bool fd_is_open(const fd_t *fd)
{
    return fd->handle >= 0;
}

void fd_bio_load(fd_bio_t *bio, fd_t fd, size_t capacity)
{
    if (capacity == 0)
        capacity = 8192;
    fd_bio_unload(bio);
    bio->fd = fd;
    bio->r_buffer.data = new uint8_t[capacity];
    bio->r_buffer.capacity = capacity;
    bio->w_buffer.data = new uint8_t[capacity];
    bio->w_buffer.capacity = capacity;
}

int fd_bio_read(fd_bio_t *bio, void *buf, size_t n)
{
    buffer_t &r = bio->r_buffer;
    uint8_t *out = static_cast<uint8_t *>(buf);
    if (r.size < n) {
        // One refill: keep what is held, fill the rest of the buffer.
        if (r.size > 0 && r.head > 0)
            memmove(r.data, r.data + r.head, r.size);
        r.head = 0;
        long long got = fd_read(&bio->fd, r.data + r.size, r.capacity - r.size);
        if (got < 0)
            return -1;
        r.size += static_cast<size_t>(got);
    }
    size_t take = r.size < n ? r.size : n;
    memcpy(out, r.data + r.head, take);
    r.head += take;
    r.size -= take;
    if (r.size == 0)
        r.head = 0;
    // The rest comes straight from the file.
    while (take < n) {
        long long got = fd_read(&bio->fd, out + take, n - take);
        if (got <= 0)
            return -1;
        take += static_cast<size_t>(got);
    }
    return 0;
}

int fd_bio_write(fd_bio_t *bio, const void *buf, size_t n)
{
    buffer_t &w = bio->w_buffer;
    if (w.capacity - w.size >= n) {
        memcpy(w.data + w.size, buf, n);
        w.size += n;
        return 0;
    }
    if (fd_bio_flush(bio) != 0)
        return -1;
    return fd_write(&bio->fd, buf, n) < 0 ? -1 : 0;
}

int fd_bio_flush(fd_bio_t *bio)
{
    buffer_t &w = bio->w_buffer;
    if (w.size == 0)
        return 0;
    long long r = fd_write(&bio->fd, w.data, w.size);
    w.size = 0;
    return r < 0 ? -1 : 0;
}

void fd_bio_unload(fd_bio_t *bio)
{
    delete[] bio->r_buffer.data;
    delete[] bio->w_buffer.data;
    bio->r_buffer = buffer_t();
    bio->w_buffer = buffer_t();
}
