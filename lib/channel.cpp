// Channel: opening and closing, the circular read and write buffers, exact reads and
// flushing. The transports (plain socket, SSL) are in channel-transport.cpp, the SSL
// upgrade in channel-ssl.cpp.
#include "channel.h"

#include "error-code.h"
#include "log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace
{

const char *kComponent = "channel_debug";

uint64_t NowSeconds()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// True when the no-progress limit (0 = none) has run out since last_progress.
bool TimedOut(unsigned int limit, uint64_t last_progress)
{
    return limit != 0 && NowSeconds() - last_progress >= limit;
}

} // namespace

Channel::Channel(uint32_t cap)
    : w_buf(new char[cap]), w_head(0), w_size(0), r_buf(new char[cap]), r_head(0), r_size(0),
      capacity(cap), channel_timeout(DEFAULT_TIMEOUT), flag(nullptr), atomic_flag(nullptr),
      m_isSSL(false), m_is_allowing_untrust(true), m_ssl_ctx(nullptr)
{
    m_timeout.tv_sec = 1;
    m_timeout.tv_usec = 0;
    m_ops.context.sock = INVALID_SOCKET;
    SwitchChannelOp(CHANNEL_PLAIN_MODE);
}

Channel::~Channel()
{
    // Only this class's own Close: a subclass's override is gone by now.
    Channel::Close();
    delete[] w_buf;
    delete[] r_buf;
}

int Channel::Open(const char *)
{
    return ERR_OK;
}

int Channel::Open(SOCKET sock, bool set_options)
{
    if (!IsClosed()) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): Open: Channel already opened [%d]\n", __LINE__,
                       GetSocket());
        Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel.cpp(%d): Open: %s\n",
                       __LINE__, GetErrorString(ERR_INVAL));
        return ERR_INVAL;
    }
    if (sock < 0)
        return ERR_INVAL;
    if (set_options) {
        if (SetLinger(sock, 1) < 0) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Open: SetLinger to socket [%d] failed, %s\n",
                           __LINE__, sock, strerror(errno));
            return ERR_SYS;
        }
        if (SetNonBlock(sock) < 0) {
            Logger::LogMsg(
                Logger::L_WARNING, kComponent,
                "[WARNING] channel.cpp(%d): Open: SetNonBlock to socket [%d] failed, %s\n",
                __LINE__, sock, strerror(errno));
            return ERR_SYS;
        }
    }
    TakeSocket(sock);
    return ERR_OK;
}

int Channel::Open(const char *ip, int port)
{
    struct in_addr addr;
    if (ip == nullptr || port < 0 || inet_pton(AF_INET, ip, &addr) != 1)
        return ERR_INVAL;
    if (!IsClosed())
        return ERR_INVAL;
    SOCKET sock = CreateSock();
    if (sock < 0)
        return ERR_IO;
    if (SetLinger(sock, 1) < 0 || SetNonBlock(sock) < 0) {
        ::close(sock);
        return ERR_SYS;
    }
    if (ConnectWithTimeout(sock, ip, port) < 0) {
        ::close(sock);
        return ERR_IO;
    }
    TakeSocket(sock);
    return ERR_OK;
}

void Channel::TakeSocket(SOCKET sock)
{
    ClearRead();
    ClearWrite();
    SwitchChannelOp(CHANNEL_PLAIN_MODE);
    m_ops.context.sock = sock;
}

int Channel::Close()
{
    if (!IsClosed()) {
        int ret = FlushWrite(0);
        if (ret < 0) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): FlushWrite: %s\n", __LINE__,
                           GetErrorString(ret));
            ClearRead();
            ClearWrite();
        }
        m_ops.close(this);
    }
    ClearRead();
    ClearWrite();
    m_isSSL = false;
    SwitchChannelOp(CHANNEL_PLAIN_MODE);
    m_ops.context.sock = INVALID_SOCKET;
    return ERR_OK;
}

bool Channel::IsClosed()
{
    return m_ops.isInvalid(this);
}

SOCKET Channel::GetSocket() const
{
    return m_ops.isInvalid(this) ? INVALID_SOCKET : m_ops.get_fd(this);
}

void Channel::SetTimeout(unsigned int seconds)
{
    channel_timeout = seconds;
}

void Channel::SetFlag(const volatile int *f)
{
    flag = f;
    atomic_flag = nullptr;
}

void Channel::SetFlag(const std::atomic<int> *f)
{
    atomic_flag = f;
    flag = nullptr;
}

bool Channel::IsAborted() const
{
    if (atomic_flag != nullptr)
        return atomic_flag->load(std::memory_order_relaxed) != 0;
    // The flag is written by another thread: read it atomically.
    return flag != nullptr && __atomic_load_n(const_cast<const int *>(flag), __ATOMIC_RELAXED) != 0;
}

int Channel::GetPeerInfo(ustring &, int &)
{
    return ERR_SYS;
}

void Channel::ClearRead()
{
    r_head = 0;
    r_size = 0;
}

void Channel::ClearWrite()
{
    w_head = 0;
    w_size = 0;
}

int Channel::ReadMore(int want)
{
    if (want <= 0)
        return 0;
    uint64_t last_progress = NowSeconds();
    int got = 0;
    while (got < want) {
        if (IsAborted())
            return ERR_INT;
        if (r_size == 0)
            r_head = 0;
        // The largest free stretch that follows the unread data without wrapping.
        uint32_t tail = (r_head + r_size) % capacity;
        uint32_t room = tail >= r_head && r_size < capacity ? capacity - tail : r_head - tail;
        if (room == 0)
            return ERR_INVAL;
        int ret = ReceiveSome(r_buf + tail, room, last_progress);
        if (ret < 0)
            return ret;
        r_size += ret;
        got += ret;
    }
    return 0;
}

// One receive of a read loop: the count received, 0 when nothing came yet but the
// channel's timeout has not run out since last_progress, or a negative code. The
// transports give a positive count or a negative code, never 0.
int Channel::ReceiveSome(char *dst, size_t room, uint64_t &last_progress)
{
    int ret = m_ops.read(this, dst, room);
    if (ret > 0) {
        last_progress = NowSeconds();
        return ret;
    }
    if (ret != ERR_TIMEOUT)
        return ret;
    if (TimedOut(channel_timeout, last_progress)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] channel.cpp(%d): ReadMore: Channel timeout for %u seconed\n",
                       __LINE__, channel_timeout);
        return ERR_TIMEOUT;
    }
    return 0;
}

// Copies up to n buffered bytes (the data may wrap around the end of the buffer).
int Channel::CopyOut(char *buf, size_t n)
{
    size_t take = std::min<size_t>(n, r_size);
    size_t first = std::min<size_t>(take, capacity - r_head);
    memcpy(buf, r_buf + r_head, first);
    memcpy(buf + first, r_buf, take - first);
    r_head = static_cast<uint32_t>((r_head + take) % capacity);
    r_size -= static_cast<uint32_t>(take);
    if (r_size == 0)
        r_head = 0;
    return static_cast<int>(take);
}

int Channel::Read(char *buf, size_t n, size_t &got)
{
    got = 0;
    if (IsClosed())
        return ERR_IO;
    if (n == 0) {
        // Nothing to deliver; the transport reports the empty request.
        return m_ops.read(this, buf, 0);
    }
    got = CopyOut(buf, n);
    while (got < n) {
        // A whole buffer-full or more still missing: receive straight into the caller's
        // memory rather than through the (now empty) read buffer.
        if (n - got >= capacity)
            return ReadDirect(buf, n, got);
        size_t need = n - got;
        int ret = ReadMore(static_cast<int>(need));
        got += CopyOut(buf + got, n - got);
        if (ret < 0)
            return ret;
    }
    return ERR_OK;
}

int Channel::ReadDirect(char *buf, size_t n, size_t &got)
{
    uint64_t last_progress = NowSeconds();
    while (got < n) {
        if (IsAborted())
            return ERR_INT;
        int ret = ReceiveSome(buf + got, n - got, last_progress);
        if (ret < 0)
            return ret;
        got += ret;
    }
    return ERR_OK;
}

int Channel::Read(char *buf, size_t n)
{
    size_t got = 0;
    return Read(buf, n, got);
}

int Channel::ReadByte(uint8_t &value)
{
    return Read(reinterpret_cast<char *>(&value), 1);
}

int Channel::ReadInt16(uint16_t &value)
{
    uint16_t raw = 0;
    int ret = Read(reinterpret_cast<char *>(&raw), sizeof(raw));
    if (ret == ERR_OK)
        value = ntohs(raw);
    return ret;
}

int Channel::ReadInt32(uint32_t &value)
{
    uint32_t raw = 0;
    int ret = Read(reinterpret_cast<char *>(&raw), sizeof(raw));
    if (ret == ERR_OK)
        value = ntohl(raw);
    return ret;
}

int Channel::ReadInt64(uint64_t &value)
{
    unsigned char raw[8];
    int ret = Read(reinterpret_cast<char *>(raw), sizeof(raw));
    if (ret == ERR_OK) {
        value = 0;
        for (unsigned char byte : raw)
            value = (value << 8) | byte;
    }
    return ret;
}

int Channel::WriteByte(uint8_t value)
{
    return Write(reinterpret_cast<const char *>(&value), 1);
}

int Channel::WriteInt16(uint16_t value)
{
    uint16_t raw = htons(value);
    return Write(reinterpret_cast<const char *>(&raw), sizeof(raw));
}

int Channel::WriteInt32(uint32_t value)
{
    uint32_t raw = htonl(value);
    return Write(reinterpret_cast<const char *>(&raw), sizeof(raw));
}

int Channel::WriteInt64(uint64_t value)
{
    unsigned char raw[8];
    for (int i = 7; i >= 0; --i) {
        raw[i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
    return Write(reinterpret_cast<const char *>(raw), sizeof(raw));
}

void Channel::AppendToWriteBuffer(const char *buf, size_t n)
{
    if (w_size == 0)
        w_head = 0;
    uint32_t tail = (w_head + w_size) % capacity;
    size_t first = std::min<size_t>(n, capacity - tail);
    memcpy(w_buf + tail, buf, first);
    memcpy(w_buf, buf + first, n - first);
    w_size += static_cast<uint32_t>(n);
}

int Channel::Write(const char *buf, size_t n)
{
    if (n > capacity) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel.cpp(%d): Write: Exceed maximum data block size\n",
                       __LINE__);
        return ERR_INVAL;
    }
    if (IsClosed())
        return ERR_IO;
    if (n > capacity - w_size) {
        // The block does not fit behind the pending bytes: send those, then hand the socket
        // as much of the block as it takes at once, straight from the caller's memory, and
        // buffer only the rest. Large items thus cross without an extra copy.
        int ret = FlushWrite(0);
        if (ret >= 0) {
            // A wait that ran out only means the socket took nothing yet: the (now empty)
            // buffer holds the block.
            ret = m_ops.write(this, buf, n);
            if (ret == ERR_TIMEOUT)
                ret = 0;
            buf += ret > 0 ? ret : 0;
            n -= ret > 0 ? static_cast<size_t>(ret) : 0;
        }
        if (ret < 0) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] channel.cpp(%d): Write: FlushWrite failed\n", __LINE__);
            return ret;
        }
    }
    AppendToWriteBuffer(buf, n);
    return ERR_OK;
}

int Channel::FlushWrite(size_t want)
{
    if (IsClosed())
        return w_size == 0 ? ERR_OK : ERR_IO;
    if (want == 0 || want > w_size)
        want = w_size;
    uint64_t last_progress = NowSeconds();
    size_t sent = 0;
    while (sent < want) {
        if (IsAborted())
            return ERR_INT;
        uint32_t stretch = std::min<uint32_t>(w_size, capacity - w_head);
        int ret = m_ops.write(this, w_buf + w_head, stretch);
        if (ret > 0) {
            sent += ret;
            w_head += ret;
            w_size -= ret;
            if (w_head == capacity || w_size == 0)
                w_head = 0;
            last_progress = NowSeconds();
            continue;
        }
        if (ret != ERR_TIMEOUT)
            return ret;
        if (TimedOut(channel_timeout, last_progress)) {
            Logger::LogMsg(
                Logger::L_WARNING, kComponent,
                "[WARNING] channel.cpp(%d): FlushWrite: Channel timeout for %u seconds\n", __LINE__,
                channel_timeout);
            return ERR_TIMEOUT;
        }
    }
    return ERR_OK;
}

uint64_t Channel::Convert(uint64_t value)
{
    return __builtin_bswap64(value);
}
uint32_t Channel::Convert(uint32_t value)
{
    return __builtin_bswap32(value);
}
uint16_t Channel::Convert(uint16_t value)
{
    return __builtin_bswap16(value);
}

void Channel::SwitchChannelOp(int mode)
{
    if (mode == CHANNEL_SSL_MODE) {
        m_ops.read = SSLRead;
        m_ops.write = SSLWrite;
        m_ops.get_fd = SSLGetFd;
        m_ops.close = SSLClose;
        m_ops.isInvalid = SSLIsInvalid;
    } else {
        m_ops.read = PlainRead;
        m_ops.write = PlainWrite;
        m_ops.get_fd = PlainGetFd;
        m_ops.close = PlainClose;
        m_ops.isInvalid = PlainIsInvalid;
    }
}
