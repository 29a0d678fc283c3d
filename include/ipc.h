// Loopback control sockets: IPCListener is the daemon's control listener, IPCSender one
// outgoing connection that carries one property-object message (and at most one reply).
// Both speak TCP on 127.0.0.1; the local-domain socket transport is not provided, so its
// entry points always fail.
#pragma once

#include "channel.h"
#include "protocol/object.h"
#include "protocol/stream.h"
#include "ustring/ustring.h"

#include <sys/time.h>

#include <string>

// Control messages and notifications never carry file contents. A binary item that
// arrives anyway has already been stored in a file by the stream decoder: remove that
// file and turn the item into a null. The number of items dropped.
int DiscardBinaryItems(PObject &obj);

// A private directory, under the temporary-file directory, for the binary items of one
// received message; it goes with everything left in it (items replaced by a later
// duplicate key, or cut short by a failed receive, included). When it cannot be created
// its path names a directory that does not exist, so that storing an item fails.
class ScratchRecvDir
{
public:
    ScratchRecvDir();
    ~ScratchRecvDir();
    ScratchRecvDir(const ScratchRecvDir &) = delete;
    ScratchRecvDir &operator=(const ScratchRecvDir &) = delete;
    const ustring &path() const { return m_path; }

private:
    ustring m_path;
    bool m_created;
};

// Bounds of one control message or notification in memory (PStream::SetRecvLimit): far
// above any real message, far below what would exhaust the daemon.
const uint64_t IPC_MAX_MESSAGE_BYTES = 1 << 20;
const uint64_t IPC_MAX_MESSAGE_ITEMS = 100000;

// Receives one control message or notification into msg, within the bounds above, with a scratch
// directory of its own and drops its binary items. The stream decoder's result (-2 beyond a bound:
// stream.RecvLimitExceeded() tells).
int RecvControlMessage(PStream &stream, Channel &channel, PObject &msg);

class IPCListener
{
public:
    IPCListener();
    ~IPCListener();
    IPCListener(const IPCListener &) = delete;
    IPCListener &operator=(const IPCListener &) = delete;

    // Listens on the first port from `port` upwards that can be bound on 127.0.0.1.
    // The bound port, or -1.
    int prepare(int port);
    // Local-domain sockets are not provided: always -1.
    int prepare(const ustring &domain_socket);
    // True when a connection is waiting, within the timeout.
    bool isReady();
    // The accepted socket, or -1.
    int accept();
    void close();
    void setTimeout(const struct timeval &tv) { timeout = tv; }
    // Binds fd to 127.0.0.1 at the first free port from `port` up to 65535. The port, or -1.
    int do_bind(int fd, int port);
    int getFd() const { return fd; }

private:
    struct timeval timeout;
    int fd;
    std::string socket_path;
};

class IPCSender
{
public:
    IPCSender();
    virtual ~IPCSender();
    IPCSender(const IPCSender &) = delete;
    IPCSender &operator=(const IPCSender &) = delete;

    // Connects to 127.0.0.1 at `port`. 0, or -1.
    int connect(int port);
    // Local-domain sockets are not provided: always -1.
    int connect(const ustring &domain_socket);
    // Takes over an already connected socket (closing it on failure). 0, or -1.
    int assign(int fd);
    // Sends msg; with need_response also reads one reply into response. 0, or -1.
    virtual int send(const PObject &msg, bool need_response, PObject &response);
    virtual int send(const PObject &msg);
    // Reads one message; binary items in it are dropped (DiscardBinaryItems).
    virtual int recv(PObject &response);
    void close();
    // Longest time without progress on the connection (seconds; 0 = never).
    void setTimeout(unsigned int seconds) { channel.SetTimeout(seconds); }

private:
    Channel channel;
    PStream stream;
};
