#include "client/core/ui-ipc.h"

#include "client/core/settings.h"
#include "client/core/ui-ipc-closer.h"
#include "event.h"
#include "ipc.h"
#include "log.h"

#include <memory>

namespace
{

const char kComponent[] = "channel_ui_debug";
// How long a sent notification keeps its socket open for the user interface to accept,
// check and read it.
const int kPeerDoneMs = 3000;

void logNotSent(const PObject &msg)
{
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ui-ipc.cpp(%d): message (%s) is not sent\n",
                   __LINE__, msg.toString().c_str_utf8());
}

// The members every file notification carries.
PObject fileNotification(const char *kind, const Event &e)
{
    PObject msg;
    msg["notify"] = kind;
    msg["session_id"] = e.m_sess_id;
    msg["path"] = e.m_path;
    msg["is_dir"] = static_cast<uint64_t>(e.isDir() ? 1 : 0);
    return msg;
}

PObject fileEventNotification(const char *kind, const Event &e)
{
    PObject msg = fileNotification(kind, e);
    msg["event_type"] = static_cast<uint64_t>(e.m_type);
    return msg;
}

PObject errorNotification(uint64_t conn_id, uint64_t sess_id, int error)
{
    PObject msg;
    msg["notify"] = "error";
    // Negative codes travel sign-extended to 64 bits.
    msg["error_type"] = static_cast<int32_t>(error);
    msg["sess_id"] = sess_id;
    msg["conn_id"] = conn_id;
    return msg;
}

} // namespace

// Connects and sends on the caller's thread, so that a missing listener is reported to the
// caller and notifications leave in the order they were made; the wait until the user
// interface has read the message is left to PeerDoneCloser.
int UI_IPC::SendMessageW(const PObject &msg)
{
    Settings &settings = Settings::getInstance();
    ustring socket_path = settings.getUISocketPath();
    std::unique_ptr<IPCSender> sender(new IPCSender);
    if (socket_path.empty()) {
        int port = settings.getUIPort();
        if (sender->connect(port) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] ui-ipc.cpp(%d): failed to connect to local port %d\n", __LINE__,
                           port);
            logNotSent(msg);
            return -1;
        }
    } else if (sender->connect(socket_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] ui-ipc.cpp(%d): failed to connect to domain socket %s\n", __LINE__,
                       socket_path.c_str_utf8());
        logNotSent(msg);
        return -1;
    }
    if (sender->send(msg) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] ui-ipc.cpp(%d): failed to send message to IPC\n", __LINE__);
        logNotSent(msg);
        return -1;
    }
    PeerDoneCloser::getInstance().hand(std::move(sender), kPeerDoneMs);
    return 0;
}

int UI_IPC::ReportConnectionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error)
{
    PObject msg = errorNotification(conn_id, sess_id, error);
    msg["connection_id"] = conn_id;
    return SendMessageW(msg);
}

int UI_IPC::ReportSessionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error)
{
    PObject msg = errorNotification(conn_id, sess_id, error);
    msg["session_id"] = sess_id;
    return SendMessageW(msg);
}

int UI_IPC::ReportFileLockedEventToUI(const Event &e, int err)
{
    PObject msg = fileNotification("locked_file", e);
    PObject &error = msg["error"];
    error["reason"] = "file locked";
    error["code"] = static_cast<int32_t>(err);
    return SendMessageW(msg);
}

int UI_IPC::ReportFileEventToUI(const Event &e)
{
    return SendMessageW(fileEventNotification("recent_file", e));
}

int UI_IPC::ReportFileROToUI(const Event &e)
{
    return SendMessageW(fileEventNotification("readonly_file", e));
}

int UI_IPC::ReportFileSyncingEventToUI(const Event &e)
{
    return SendMessageW(fileEventNotification("syncing_file", e));
}
