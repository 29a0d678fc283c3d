// Channel: the one connection class of the daemon. A TCP socket with a circular read buffer
// and a circular write buffer of equal capacity, timed waits that a watched abort flag can
// end, big-endian integer reads and writes, and an in-place upgrade to SSL with optional
// certificate and host-name checks.
//
// A channel belongs to one thread at a time. The only thing another thread may touch is
// the abort flag it watches: a non-zero value ends every wait within one wait length
// (1 s) with ERR_INT. Writes are buffered and reach the socket only when the buffer fills
// or on FlushWrite. Every read is exact: it succeeds only when all requested bytes came.
//
// Results: 0 (or a byte count where stated) on success, otherwise ERR_INT (abort flag),
// ERR_IO (socket or SSL failure, peer closed), ERR_SYS (poll failed, socket not ready,
// socket options), ERR_INVAL (bad argument), ERR_TIMEOUT (no progress for
// channel_timeout seconds) or ERR_SSL_VERIFY_FAIL (certificate or host name refused).
#pragma once

#include "ustring/ustring.h"

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

typedef int SOCKET;
#ifndef INVALID_SOCKET
#define INVALID_SOCKET (-1)
#endif

class Channel;

enum {
    CHANNEL_SSL_MODE = 0,
    CHANNEL_PLAIN_MODE = 1,
};

// The transport in force: the plain socket, or the SSL connection on top of it.
typedef struct __tag_CHANNEL_OPS {
    union {
        SOCKET sock; // plain mode; INVALID_SOCKET when closed
        SSL *ssl;    // SSL mode
    } context;
    int (*read)(Channel *ch, char *buf, size_t n);
    int (*write)(Channel *ch, const char *buf, size_t n);
    SOCKET (*get_fd)(const Channel *ch);
    void (*close)(Channel *ch);
    bool (*isInvalid)(const Channel *ch);
} CHANNEL_OPS;

class Channel
{
public:
    static const uint32_t DEFAULT_CAPACITY = 81920;
    static const unsigned int DEFAULT_TIMEOUT = 60;

    explicit Channel(uint32_t capacity = DEFAULT_CAPACITY);
    virtual ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Does nothing; kept for subclasses that open by name.
    virtual int Open(const char *name);
    // Takes an accepted socket; set_options asks for linger (1 s) and non-blocking mode.
    virtual int Open(SOCKET sock, bool set_options);
    // Client connect to a dotted IPv4 address, bounded by channel_timeout.
    virtual int Open(const char *ip, int port);
    virtual int Close();

    // Longest time without progress before a read, flush or connect gives up; 0 = never.
    virtual void SetTimeout(unsigned int seconds);
    unsigned int GetTimeout() const { return channel_timeout; }
    // The abort flag: any non-zero value aborts the waits. nullptr detaches it.
    virtual void SetFlag(const volatile int *flag);
    virtual void SetFlag(const std::atomic<int> *flag);
    void SetFlag(std::nullptr_t) { SetFlag(static_cast<const volatile int *>(nullptr)); }
    bool IsAborted() const;

    virtual int ConvertToSSLChannel(bool is_server);
    virtual void SetAllowUntrust(bool allow) { m_is_allowing_untrust = allow; }
    bool IsAllowingUntrust() const { return m_is_allowing_untrust; }
    virtual void SetSSLHostname(const ustring &name) { m_ssl_hostname = name; }
    bool IsSSL() const { return m_isSSL; }

    virtual int ReadByte(uint8_t &value);
    virtual int ReadInt16(uint16_t &value);
    virtual int ReadInt32(uint32_t &value);
    virtual int ReadInt64(uint64_t &value);
    virtual int WriteByte(uint8_t value);
    virtual int WriteInt16(uint16_t value);
    virtual int WriteInt32(uint32_t value);
    virtual int WriteInt64(uint64_t value);

    virtual int Read(char *buf, size_t n);
    virtual int Read(char *buf, size_t n, size_t &got);
    // Buffers n bytes (at most the capacity), flushing what does not fit first.
    virtual int Write(const char *buf, size_t n);
    virtual void ClearRead();
    virtual void ClearWrite();
    // Sends at least want pending bytes; 0 sends all of them.
    virtual int FlushWrite(size_t want = 0);
    // Not supported: ERR_SYS.
    virtual int GetPeerInfo(ustring &ip, int &port);
    virtual bool IsClosed();
    // Moves at least want more bytes from the socket into the read buffer.
    virtual int ReadMore(int want);

    virtual uint64_t Convert(uint64_t value);
    virtual uint32_t Convert(uint32_t value);
    virtual uint16_t Convert(uint16_t value);
    virtual SOCKET CreateSock();
    virtual int SetLinger(SOCKET sock, int seconds);
    virtual int SetNonBlock(SOCKET sock);
    virtual int ConnectWithTimeout(SOCKET sock, const char *ip, int port);
    virtual void SwitchChannelOp(int mode);

    // The socket under the transport (also in SSL mode), or INVALID_SOCKET.
    SOCKET GetSocket() const;
    uint32_t GetCapacity() const { return capacity; }
    // Bytes received and not yet read; bytes written and not yet sent.
    uint32_t GetReadPending() const { return r_size; }
    uint32_t GetWritePending() const { return w_size; }

    // Class-wide SSL files: certificate chain and private key of the server side, and the
    // PEM file of trusted CA certificates for verification.
    static void SetCERTPath(const ustring &path);
    static void SetPriKeyPath(const ustring &path);
    static void SetVerifyCAPath(const ustring &path);
    static ustring GetCERTPath();
    static ustring GetPriKeyPath();
    static ustring GetVerifyCAPath();

    // True when the certificate name pattern admits host: exact (ASCII case-insensitive)
    // equality, or "*.rest" matching rest itself or a host whose part after its first dot
    // is rest.
    static bool MatchHostname(const ustring &pattern, const ustring &host);
    // Logs and drops the queued SSL library errors.
    static void LogSSLErrors();

protected:
    // Empties both buffers and takes sock as the open plain socket (subclasses that build
    // the connection themselves end with this).
    void TakeSocket(SOCKET sock);
    // One wait for readiness of sock, at most one wait length. 0 ready, ERR_INT when
    // aborted, ERR_TIMEOUT when the wait ran out, ERR_SYS when poll failed. revents gets
    // what poll reported.
    int WaitFd(SOCKET sock, bool for_write, short &revents);
    // Runs the SSL handshake of ssl (already attached to the socket) to its end, waiting
    // with the wait length, bounded by channel_timeout and the abort flag.
    int SSLHandshake(SSL *ssl);

    // The relay tunnel upgrade of the open plain socket: SSL to the endpoint (any
    // certificate), the tunnel handshake for ip:port, then the SSL layer is dropped without
    // a close notification. 0, or -1 with the step that failed (and the endpoint's status
    // or the handshake's code in code) for the caller's log line; the channel stays open.
    enum RelayStep { RELAY_INIT_SSL = 1, RELAY_SET_FD, RELAY_SSL_CONNECT, RELAY_HANDSHAKE };
    int RelayUpgrade(const char *ip, int port, RelayStep &failed, int &code);

    CHANNEL_OPS m_ops;
    char *w_buf;
    uint32_t w_head;
    uint32_t w_size;
    char *r_buf;
    uint32_t r_head;
    uint32_t r_size;
    uint32_t capacity;
    struct timeval m_timeout;
    unsigned int channel_timeout;
    const volatile int *flag;
    const std::atomic<int> *atomic_flag;
    bool m_isSSL;
    bool m_is_allowing_untrust;
    ustring m_ssl_hostname;
    SSL_CTX *m_ssl_ctx;

private:
    struct TransferWords;
    static const TransferWords kReadWords;
    static const TransferWords kWriteWords;
    int WaitToTransfer(SOCKET sock, bool want_write, const TransferWords &words, bool check_ready);
    template <class Io>
    static int PlainTransfer(Channel *ch, bool for_write, const TransferWords &words, Io io);
    static int PlainRead(Channel *ch, char *buf, size_t n);
    static int PlainWrite(Channel *ch, const char *buf, size_t n);
    static SOCKET PlainGetFd(const Channel *ch);
    static void PlainClose(Channel *ch);
    static bool PlainIsInvalid(const Channel *ch);
    static int SSLRead(Channel *ch, char *buf, size_t n);
    static int SSLWrite(Channel *ch, const char *buf, size_t n);
    static SOCKET SSLGetFd(const Channel *ch);
    static void SSLClose(Channel *ch);
    static bool SSLIsInvalid(const Channel *ch);

    int CopyOut(char *buf, size_t n);
    int ReadDirect(char *buf, size_t n, size_t &got);
    int ReceiveSome(char *dst, size_t room, uint64_t &last_progress);
    void AppendToWriteBuffer(const char *buf, size_t n);
    SSL_CTX *CreateSSLContext(bool is_server);
    int VerifyPeer(SSL *ssl);
    void FreeSSL(SSL *ssl, SSL_CTX *ctx);
};
