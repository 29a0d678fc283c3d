// The server channel procedure of the event pullers: borrow a channel of the session's
// connection for one request, (re)open an expired one and bind it to the session's view
// (upgrading to SSL first when the connection asks for it), run one exchange and map a
// server error code to the system's codes. The server event puller and the resume puller
// share it; each logs with its own texts.
#pragma once

#include "client/core/connection.h"
#include "protocol/object.h"

#include <atomic>
#include <cstdint>

class Channel;

class PullerChannel
{
public:
    // `progress`: log with the resume puller's texts. `abort_flag` is watched by every
    // channel this object uses, so that pausing or stopping the puller breaks a blocked call.
    PullerChannel(bool progress, const std::atomic<int> *abort_flag);

    // The connection and the view the next requests go to.
    void SetTarget(const Connection &connection, uint64_t view_id);

    int RequestChannel(Channel &channel);
    // One exchange; 0 or ERR_IO.
    int RunProtocol(Channel &channel, uint8_t command, const PObject &request, PObject &response);
    // Borrows a channel, opens it when expired, runs "pull_event", gives the channel back.
    int ProtoPullEvent(const PObject &request, PObject &response);
    int ProtoResp2ErrorCode(uint32_t code);

private:
    int upgradeToSSL(Channel &channel, const ConnectionInfo &info);

    bool m_progress;
    const std::atomic<int> *m_abort_flag;
    Connection m_connection;
    uint64_t m_view_id;
};
