#include "client/core/puller-channel.h"

#include "channel.h"
#include "client/core/puller-common.h"
#include "client/core/settings.h"
#include "error-code.h"
#include "log.h"
#include "proto-common.h"
#include "protocol/stream.h"

#include <atomic>

namespace
{

// The exchange's log lines in the puller's texts.
class PullerHooks : public ProtoExchangeHooks
{
public:
    explicit PullerHooks(bool progress) : m_progress(progress) {}

    void OnRequest(const PObject &request) override
    {
        if (Logger::IsEnabled(Logger::L_DEBUG, PullerComponent(m_progress))) {
            Logger::LogMsg(Logger::L_DEBUG, PullerComponent(m_progress),
                           PULLER_TEXT(m_progress, "[DEBUG] syncer.cpp(%d): Syncer >>>: %s\n",
                                       "[DEBUG] progress-syncer.cpp(%d): Syncer >>>: %s\n"),
                           __LINE__, request.toString().c_str_utf8());
        }
    }
    void OnHeaderFailed(const PObject &request, int code) override
    {
        Logger::LogMsg(Logger::L_ERR, PullerComponent(m_progress),
                       PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): Syncer: RunProtocol(%s): failed to "
                                   "send header (%d)\n",
                                   "[ERROR] progress-syncer.cpp(%d): Syncer: RunProtocol(%s): "
                                   "failed to send header (%d)\n"),
                       __LINE__, request["_action"].asString().c_str_utf8(), code);
    }
    void OnSendFailed(const PObject &request, int code) override
    {
        Logger::LogMsg(Logger::L_ERR, PullerComponent(m_progress),
                       PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): Syncer: RunProtocol(%s): failed to "
                                   "send request (%d)\n",
                                   "[ERROR] progress-syncer.cpp(%d): Syncer: RunProtocol(%s): "
                                   "failed to send request (%d)\n"),
                       __LINE__, request["_action"].asString().c_str_utf8(), code);
    }
    void OnRecvFailed(const PObject &request, int code) override
    {
        Logger::LogMsg(Logger::L_ERR, PullerComponent(m_progress),
                       PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): Syncer: RunProtocol(%s): failed to "
                                   "recv response (%d)\n",
                                   "[ERROR] progress-syncer.cpp(%d): Syncer: RunProtocol(%s): "
                                   "failed to recv response (%d)\n"),
                       __LINE__, request["_action"].asString().c_str_utf8(), code);
    }
    void OnResponse(const PObject &response) override
    {
        if (Logger::IsEnabled(Logger::L_DEBUG, PullerComponent(m_progress))) {
            Logger::LogMsg(Logger::L_DEBUG, PullerComponent(m_progress),
                           PULLER_TEXT(m_progress, "[DEBUG] syncer.cpp(%d): Syncer <<<: %s\n",
                                       "[DEBUG] progress-syncer.cpp(%d): Syncer <<<: %s\n"),
                           __LINE__, response.toString().c_str_utf8());
        }
    }

private:
    bool m_progress;
};

} // namespace

PullerChannel::PullerChannel(bool progress, const std::atomic<int> *abort_flag)
    : m_progress(progress), m_abort_flag(abort_flag), m_view_id(0)
{
}

void PullerChannel::SetTarget(const Connection &connection, uint64_t view_id)
{
    m_connection = connection;
    m_view_id = view_id;
}

int PullerChannel::RunProtocol(Channel &channel, uint8_t command, const PObject &request,
                               PObject &response)
{
    PStream stream;
    ProtoExchangeOptions options;
    options.abort_atomic = m_abort_flag;
    // A server that only ever sends keep-alives would otherwise hold the puller forever.
    options.answer_deadline = Settings::getInstance().getPullAnswerTimeout();
    PullerHooks hooks(m_progress);
    int ret = ProtoRunExchange(channel, stream, command, request, response, options, hooks);
    return ret == 0 ? 0 : ERR_IO;
}

int PullerChannel::ProtoPullEvent(const PObject &request, PObject &response)
{
    const char *component = PullerComponent(m_progress);
    Connection::ChannelStat stat = m_connection.pop();
    Channel &channel = stat.getChannel();
    channel.SetFlag(m_abort_flag);
    int ret = 0;
    if (stat.isExpired()) {
        ret = RequestChannel(channel);
        if (ret != 0) {
            Logger::LogMsg(Logger::L_ERR, component,
                           PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): ProtoPullEvent: fail to establish "
                                       "communication channel\n",
                                       "[ERROR] progress-syncer.cpp(%d): ProtoPullEvent: fail to "
                                       "establish communication channel\n"),
                           __LINE__);
            stat.setExpired();
        } else {
            stat.setConnected();
            m_connection.update(stat);
        }
    }
    if (ret == 0) {
        ret = RunProtocol(channel, SCMD_EVT_PULL, request, response);
        if (ret != 0) {
            Logger::LogMsg(Logger::L_ERR, component,
                           PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): ProtoPullEvent: fail to pull "
                                       "events. %d.\n",
                                       "[ERROR] progress-syncer.cpp(%d): ProtoPullEvent: fail to "
                                       "pull events. %d.\n"),
                           __LINE__, ret);
            stat.setExpired();
        } else {
            stat.setAliveInterval(response["alive"].asUInt32());
        }
    }
    // The channel stops watching this puller's flag before another borrower gets it.
    channel.SetFlag(nullptr);
    m_connection.push(stat);
    return ret;
}

int PullerChannel::upgradeToSSL(Channel &channel, const ConnectionInfo &info)
{
    const char *component = PullerComponent(m_progress);
    Logger::LogMsg(Logger::L_INFO, component,
                   PULLER_TEXT(m_progress, "[INFO] syncer.cpp(%d): Syncer: request ssl channel\n",
                               "[INFO] progress-syncer.cpp(%d): Syncer: request ssl channel\n"),
                   __LINE__);
    PObject request;
    PObject response;
    InitRequest(request, "encrypt_channel");
    int ret = RunProtocol(channel, SCMD_REQUEST_SSL_2, request, response);
    if (ret != 0) {
        return ret;
    }
    if (response.hasMember("error")) {
        Logger::LogMsg(Logger::L_ERR, component,
                       PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): Syncer: request SSL: %s\n",
                                   "[ERROR] progress-syncer.cpp(%d): Syncer: request SSL: %s\n"),
                       __LINE__, response.toString().c_str_utf8());
        return ERR_IO;
    }
    Logger::LogMsg(Logger::L_DEBUG, component,
                   PULLER_TEXT(m_progress, "[DEBUG] syncer.cpp(%d): Syncer: convert to SSL channel\n",
                               "[DEBUG] progress-syncer.cpp(%d): Syncer: convert to SSL "
                               "channel\n"),
                   __LINE__);
    channel.SetAllowUntrust(info.ssl_allow_untrust);
    channel.SetSSLHostname(info.server_name);
    ret = channel.ConvertToSSLChannel(false);
    if (ret != 0) {
        Logger::LogMsg(Logger::L_ERR, component,
                       PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): Syncer: Convert to SSL channel failed "
                                   "(%d)\n",
                                   "[ERROR] progress-syncer.cpp(%d): Syncer: Convert to SSL "
                                   "channel failed (%d)\n"),
                       __LINE__, ret);
        return ERR_IO;
    }
    Logger::LogMsg(Logger::L_INFO, component,
                   PULLER_TEXT(m_progress, "[INFO] syncer.cpp(%d): Syncer: channel is now encrypted using "
                               "SSL\n",
                               "[INFO] progress-syncer.cpp(%d): Syncer: channel is now encrypted "
                               "using SSL\n"),
                   __LINE__);
    return 0;
}

int PullerChannel::RequestChannel(Channel &channel)
{
    const char *component = PullerComponent(m_progress);
    const ConnectionInfo info = m_connection.getConnectionInfo();
    channel.Close();
    Logger::LogMsg(Logger::L_DEBUG, component,
                   PULLER_TEXT(m_progress, "[DEBUG] syncer.cpp(%d): Syncer: Connect to server (%s:%d).\n",
                               "[DEBUG] progress-syncer.cpp(%d): ProgressSyncer: Connect to "
                               "server (%s:%d).\n"),
                   __LINE__, info.server_ip.c_str_utf8(), info.server_port);
    int ret = channel.Open(info.server_ip.c_str_utf8(), info.server_port);
    if (ret != 0) {
        Logger::LogMsg(Logger::L_ERR, component,
                       PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): Syncer: failed to connect to server.\n",
                                   "[ERROR] progress-syncer.cpp(%d): Syncer: failed to connect "
                                   "to server.\n"),
                       __LINE__);
        return ret;
    }
    if (info.use_ssl) {
        ret = upgradeToSSL(channel, info);
        if (ret != 0) {
            return ret;
        }
    }
    PObject request;
    PObject response;
    InitRequest(request, "connect");
    request["session"] = info.session;
    request["view_id"] = m_view_id;
    ret = RunProtocol(channel, SCMD_REQUEST_CONNECT, request, response);
    if (ret != 0) {
        return ret;
    }
    if (response.hasMember("error")) {
        Logger::LogMsg(Logger::L_ERR, component,
                       PULLER_TEXT(m_progress, "[ERROR] syncer.cpp(%d): Syncer: request channel: %s\n",
                                   "[ERROR] progress-syncer.cpp(%d): Syncer: request channel: "
                                   "%s\n"),
                       __LINE__, response["error"].toString().c_str_utf8());
        return ProtoResp2ErrorCode(response["error"]["code"].asUInt32());
    }
    if (!m_progress) {
        if (response.hasMember("server")) {
            Logger::LogMsg(Logger::L_INFO, component,
                           "[INFO] syncer.cpp(%d): Connect with Aerolith server build %u\n",
                           __LINE__, response["server"]["package_version"]["build"].asUInt32());
        } else {
            Logger::LogMsg(Logger::L_INFO, component,
                           "[INFO] syncer.cpp(%d): Connect with Aerolith server build 2402\n",
                           __LINE__);
        }
    }
    if (response["alive"].asUInt32() == 0) {
        Logger::LogMsg(Logger::L_INFO, component,
                       PULLER_TEXT(m_progress, "[INFO] syncer.cpp(%d): Syncer: connection refused by server.\n",
                                   "[INFO] progress-syncer.cpp(%d): Syncer: connection refused "
                                   "by server.\n"),
                       __LINE__);
        return ERR_IO;
    }
    return 0;
}

int PullerChannel::ProtoResp2ErrorCode(uint32_t code)
{
    const char *component = PullerComponent(m_progress);
    switch (code) {
    case 0x3002:
        return ERR_PERMISS;
    case 0x3003:
        Logger::LogMsg(Logger::L_CRIT, component,
                       PULLER_TEXT(m_progress, "[CRIT] syncer.cpp(%d): Server error(invalid path in view): "
                                   "%u\n",
                                   "[CRIT] progress-syncer.cpp(%d): Server error(invalid path in "
                                   "view): %u\n"),
                       __LINE__, code);
        return ERR_VIEW_PATH;
    case 0x3004:
        return ERR_PERMISS_READ_ONLY;
    case 0x4001:
        return ERR_QUOTA;
    case 0x4002:
        return ERR_DISKFULL;
    default:
        break;
    }
    if ((code & 0xF000) == 0x7000) {
        Logger::LogMsg(Logger::L_CRIT, component,
                       PULLER_TEXT(m_progress, "[CRIT] syncer.cpp(%d): server error: %u\n",
                                   "[CRIT] progress-syncer.cpp(%d): server error: %u\n"),
                       __LINE__, code);
        return 0;
    }
    switch (code >> 12) {
    case 1:
    case 2:
        return ERR_AUTH;
    case 3:
        return ERR_VIEW;
    case 5:
        return ERR_VERSION;
    default:
        Logger::LogMsg(Logger::L_CRIT, component,
                       PULLER_TEXT(m_progress, "[CRIT] syncer.cpp(%d): unhandled error code: %u\n",
                                   "[CRIT] progress-syncer.cpp(%d): unhandled error code: %u\n"),
                       __LINE__, code);
        return 0;
    }
}
