// Small file layer under the delta engine: handles, appending writes that may run
// in the background while the caller keeps computing, and a buffered reader.
#ifndef AEROLITH_RSAPI_XIO_H
#define AEROLITH_RSAPI_XIO_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

struct fd_t {
    int handle = -1;
};

// How fd_aio_write carries out an append. FD_AIO_THREAD hands writes of at least
// FD_AIO_THREAD_MIN bytes to a writer thread owned by the record, so the caller can
// go on hashing while the kernel copies; smaller writes are done in place.
enum fd_aio_mode { FD_AIO_SYNC = 0, FD_AIO_THREAD = 1 };
void fd_aio_set_mode(fd_aio_mode mode);
fd_aio_mode fd_aio_get_mode();
constexpr size_t FD_AIO_THREAD_MIN = 64 * 1024;

// One pending appending write. At most one write is in flight per record.
struct fd_aio_t {
    fd_aio_t() = default;
    ~fd_aio_t();
    fd_aio_t(const fd_aio_t &) = delete;
    fd_aio_t &operator=(const fd_aio_t &) = delete;

    // Pending request and its outcome, shared with the writer thread.
    int file = -1;
    const uint8_t *data = nullptr;
    size_t length = 0;
    long long result = 0;
    bool pending = false;
    bool stopping = false;
    std::mutex lock;
    std::condition_variable wake;
    std::thread writer;
};

// Byte buffer; the held bytes are data[head, head + size). Refills move them to
// the front first, so they never wrap.
struct buffer_t {
    uint8_t *data = nullptr;
    size_t capacity = 0;
    size_t size = 0;
    size_t head = 0;
};

struct fd_bio_t {
    fd_t fd;
    buffer_t w_buffer;
    buffer_t r_buffer;
};

int fd_open_read(const char *path, fd_t *fd);
int fd_open_write(const char *path, fd_t *fd);
long long fd_read(fd_t *fd, void *buf, size_t n);
long long fd_write(fd_t *fd, const void *buf, size_t n);
int fd_aio_write(fd_aio_t *aio, fd_t *fd, const void *buf, size_t n);
long long fd_aio_wait(fd_aio_t *aio);
int fd_seek(fd_t *fd, uint64_t offset);
int fd_stat(fd_t *fd, uint64_t *size);
int fd_sync(fd_t *fd);
// Starts writing back the dirty pages of [from, from + length) without waiting for them,
// so that a flush at the end of a long write finds most of the data on the disk already.
// Advisory: failures are ignored.
void fd_start_writeback(int handle, uint64_t from, uint64_t length);
// Output between two writeback starts of a long write.
constexpr uint64_t FD_WRITEBACK_STEP = 16u << 20;
int fd_close(fd_t *fd);
bool fd_is_open(const fd_t *fd);

void fd_bio_load(fd_bio_t *bio, fd_t fd, size_t capacity);
int fd_bio_read(fd_bio_t *bio, void *buf, size_t n);
int fd_bio_write(fd_bio_t *bio, const void *buf, size_t n);
int fd_bio_flush(fd_bio_t *bio);
void fd_bio_unload(fd_bio_t *bio);

// Reads exactly one byte through the buffer; the common case stays inline.
inline int fd_bio_read_byte(fd_bio_t *bio, uint8_t *out)
{
    buffer_t &r = bio->r_buffer;
    if (r.size > 0) {
        *out = r.data[r.head++];
        --r.size;
        return 0;
    }
    return fd_bio_read(bio, out, 1);
}

#endif
