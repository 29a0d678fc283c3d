// Control sockets: IPCListener is the daemon's control listener, IPCSender one outgoing
// connection that carries one property-object message (and at most one reply). Both speak
// TCP on 127.0.0.1 or, when a socket path is configured, a local-domain socket that only
// its owner may open. Either way only the process's own user (and root) is served or
// sent to: the owner of the other end is checked on every connection.
#pragma once

#include "channel.h"
#include "protocol/object.h"
#include "protocol/stream.h"
#include "ustring/ustring.h"

#include <sys/time.h>
#include <sys/types.h>

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

// Bounds of one control message or notification (PStream::SetRecvLimits): far above any
// real message, far below what would exhaust the daemon. The byte bound also bounds each
// binary item, which such messages never carry.
const uint64_t IPC_MAX_MESSAGE_BYTES = 1 << 20;
const uint64_t IPC_MAX_MESSAGE_ITEMS = 100000;

// Receives one control message or notification into msg, within the bounds above, with a scratch
// directory of its own and drops its binary items. The stream decoder's result (-2 beyond a bound:
// stream.RecvLimitExceeded() tells).
int RecvControlMessage(PStream &stream, Channel &channel, PObject &msg);

// Which socket at the other end of a connection answers for it: the connecting peer's
// own socket (a connection this process accepted), or the listening socket (a connection
// this process opened).
enum IPCPeerSide { IPC_PEER_CONNECTION, IPC_PEER_LISTENER };

// The user that created the socket at the other end of the connected socket fd (loopback
// TCP through the kernel's socket diagnostics, local-domain sockets through their peer
// credentials). 0 with uid, or -1 when the kernel cannot tell (logged with `what`, the
// kind of connection, and why).
int IPCPeerUid(int fd, IPCPeerSide side, const char *what, uid_t &uid);
// True when the other end belongs to this process's user or to root. Another user, or a
// failed look-up, is refused with one log line.
bool IPCPeerTrusted(int fd, IPCPeerSide side, const char *what);

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
    // Listens on a local-domain socket at the path, readable and writable by the owner
    // only (mode 0600); a socket file left there by an earlier run is replaced, anything
    // else at the path is not. 0, or -1.
    int prepare(const ustring &domain_socket);
    // True when a connection is waiting, within the timeout.
    bool isReady();
    // The accepted socket, or -1.
    int accept();
    // Closes the listening socket; a local-domain socket's file is removed.
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

    // Connects to 127.0.0.1 at `port`, or to the local-domain socket at the path, and
    // checks that the listener there belongs to this user or root: nothing is ever sent
    // to another user's listener. 0, or -1.
    int connect(int port);
    int connect(const ustring &domain_socket);
    // Takes over an already connected socket (closing it on failure). 0, or -1.
    int assign(int fd);
    // Sends msg; with need_response also reads one reply into response. 0, or -1.
    virtual int send(const PObject &msg, bool need_response, PObject &response);
    virtual int send(const PObject &msg);
    // Reads one message; binary items in it are dropped (DiscardBinaryItems).
    virtual int recv(PObject &response);
    void close();
    // Closes once the peer has closed its end, or after timeout_ms. A message sent without
    // a reply is checked by its receiver after the fact (who owns this end, see
    // IPCPeerTrusted), and a socket its process has closed has no owner any more: closing
    // at once would get the message refused whenever the receiver is slow to accept it.
    void closeWhenPeerDone(int timeout_ms);
    // Longest time without progress on the connection (seconds; 0 = never).
    void setTimeout(unsigned int seconds) { channel.SetTimeout(seconds); }

private:
    int checkListener();

    Channel channel;
    PStream stream;
};
