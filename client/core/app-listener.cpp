#include "client/core/app.h"

#include "channel.h"
#include "client/core/settings.h"
#include "ipc.h"
#include "log.h"
#include "protocol/stream.h"

#include <unistd.h>

namespace
{

const char kComponent[] = "client_debug";

// Longest pause inside one control message or its reply. The listener serves one
// connection at a time, so a client that connects and then stalls must not hold up the
// next one for long; the user interface writes each message in one go.
const unsigned int kControlTimeout = 3;

int announcePort(int ui_port, int daemon_port)
{
    IPCSender sender;
    sender.setTimeout(kControlTimeout);
    if (sender.connect(ui_port) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] test.cpp(%d): Failed to connect to port : %d\n", __LINE__, ui_port);
        return -1;
    }
    PObject msg;
    msg["daemon_port"] = static_cast<int32_t>(daemon_port);
    if (sender.send(msg) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] test.cpp(%d): Failed to send message.\n",
                       __LINE__);
        return -1;
    }
    sender.closeWhenPeerDone(kControlTimeout * 1000);
    return 0;
}

int prepareListener(IPCListener &listener, AerolithApp *daemon)
{
    Settings &settings = Settings::getInstance();
    ustring socket_path = settings.getSocketPath();
    if (!socket_path.empty()) {
        // The user interface knows the path already: nothing is announced.
        if (listener.prepare(socket_path) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] test.cpp(%d): failed to listen on port domain socket '%s'\n",
                           __LINE__, socket_path.c_str_utf8());
            return -1;
        }
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] test.cpp(%d): daemon is listening on socket %s\n", __LINE__,
                       socket_path.c_str_utf8());
        return 0;
    }
    int ui_port = settings.getUIPort();
    int port = listener.prepare(ui_port + 1);
    if (port < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] test.cpp(%d): failed to listen on port local_port.\n", __LINE__);
        return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] test.cpp(%d): daemon is listening on local port %d\n", __LINE__, port);
    daemon->set_control_port(port);
    if (announcePort(ui_port, port) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] test.cpp(%d): failed to send daemon port back to ui\n", __LINE__);
        listener.close();
        return -1;
    }
    return 0;
}

bool isStop(const PObject &request)
{
    return request["action"].asString() == "stop";
}

// Serves one accepted connection: one request, at most one reply. True when the request
// was a stop.
bool serveConnection(AerolithApp *daemon, int sock)
{
    // Control messages stop the daemon and name folders it writes to: only its own user
    // (and root) may send them. Others get no answer at all.
    if (!IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "control connection")) {
        ::close(sock);
        return false;
    }
    Channel channel(Channel::DEFAULT_CAPACITY);
    channel.SetTimeout(kControlTimeout);
    PStream stream;
    PObject request;
    PObject response;
    if (channel.Open(sock, true) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] test.cpp(%d): open channel fail.\n",
                       __LINE__);
        if (channel.GetSocket() != sock) {
            ::close(sock);
        }
        return false;
    }
    if (RecvControlMessage(stream, channel, request) != 0) {
        // A message beyond the bounds is closed without an answer; the stream has logged
        // which bound and where.
        if (stream.RecvLimitExceeded()) {
            return false;
        }
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] test.cpp(%d): Failed to recieve message from channel.\n", __LINE__);
        return false;
    }
    if (Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] test.cpp(%d): recieve msg >>> %s\n",
                       __LINE__, request.toString().c_str_utf8());
    }
    if (daemon->send_message(request, response) != 0) {
        // The message thread has ended: nothing can be handled any more.
        return true;
    }
    if (isStop(request)) {
        return true;
    }
    if (Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] test.cpp(%d): send rsp <<< %s\n",
                       __LINE__, response.toString().c_str_utf8());
    }
    if (stream.Send(channel, response) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] test.cpp(%d): Failed to send message from channel.\n", __LINE__);
    }
    return false;
}

} // namespace

int recieve_from_ipc(AerolithApp *daemon)
{
    IPCListener listener;
    if (prepareListener(listener, daemon) != 0) {
        return -1;
    }
    while (!daemon->stop_requested()) {
        if (!listener.isReady()) {
            continue;
        }
        int sock = listener.accept();
        if (sock < 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] test.cpp(%d): accept fail.\n",
                           __LINE__);
            // Out of descriptors, say: the connection stays pending, so pause instead of
            // spinning on it.
            usleep(100 * 1000);
            continue;
        }
        if (daemon->stop_requested()) {
            ::close(sock); // the stop signal's wake-up, or a late client: end in order
            break;
        }
        if (serveConnection(daemon, sock)) {
            break;
        }
    }
    listener.close();
    daemon->set_control_port(0);
    return 0;
}
