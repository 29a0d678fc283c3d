// UI_IPC: notifications the daemon sends to the desktop user interface on its own
// initiative. Each one is a property-object map on a fresh loopback connection to the
// user interface's port; nothing is read back, queued or retried. Any thread may call; the
// caller connects and sends, and the connection is then held open in the background until
// the user interface has read it (PeerDoneCloser).
#pragma once

#include "protocol/object.h"

#include <cstdint>

class Event;

class UI_IPC
{
public:
    // Sends one notification. 0, or -1 when it could not be delivered (logged).
    static int SendMessageW(const PObject &msg);

    static int ReportConnectionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error);
    static int ReportSessionErrorToUI(uint64_t conn_id, uint64_t sess_id, int error);
    static int ReportFileLockedEventToUI(const Event &e, int err);
    static int ReportFileEventToUI(const Event &e);
    static int ReportFileROToUI(const Event &e);
    static int ReportFileSyncingEventToUI(const Event &e);
};
