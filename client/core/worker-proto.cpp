// Worker: the server exchange. Every request of a worker borrows a channel from the
// connection's pool, opens and binds it to the session's view when its keep-alive has
// lapsed, runs one request/response exchange (shared with the pullers through
// ProtoRunExchange) and gives the channel back with its new keep-alive time.
#include "client/core/worker.h"

#include "channel.h"
#include "client/core/connection.h"
#include "error-code.h"
#include "log.h"
#include "proto-common.h"

namespace
{
const char kComponent[] = "worker_debug";

const uint8_t kCmdConnect = SCMD_REQUEST_CONNECT;  // 14
const uint8_t kCmdRemove = SCMD_EVT_REMOVE;        // 15

ustring actionOf(const PObject &request)
{
    const PObject &action = request["_action"];
    return action.isString() ? action.asString() : ustring();
}

// The worker's log lines and error mapping around the shared exchange.
class WorkerExchangeHooks : public ProtoExchangeHooks
{
public:
    explicit WorkerExchangeHooks(Worker &worker) : m_worker(worker) {}

    void OnRequest(const PObject &request) override
    {
        // The rendering of a whole request is costly: only when the line is kept.
        if (!Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
            return;
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): RunProtocol <<< %s\n", __LINE__,
                       m_worker.GetId(), request.toString().c_str_utf8());
    }
    void OnHeaderFailed(const PObject &request, int code) override
    {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): RunProtocol(%s): failed to send "
                       "header, stream error code = %d.\n",
                       __LINE__, m_worker.GetId(), actionOf(request).c_str_utf8(), code);
    }
    void OnSendFailed(const PObject &request, int code) override
    {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): RunProtocol(%s): failed to send "
                       "request. stream error code = %d.\n",
                       __LINE__, m_worker.GetId(), actionOf(request).c_str_utf8(), code);
    }
    void OnRecvFailed(const PObject &request, int code) override
    {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): RunProtocol(%s): failed to recv "
                       "response. stream error code = %d.\n",
                       __LINE__, m_worker.GetId(), actionOf(request).c_str_utf8(), code);
    }
    void OnKeepAlive() override
    {
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): get keepalive message\n", __LINE__,
                       m_worker.GetId());
    }
    void OnResponse(const PObject &response) override
    {
        if (!Logger::IsEnabled(Logger::L_DEBUG, kComponent)) {
            return;
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] worker.cpp(%d): Worker (%d): RunProtocol >>> %s\n", __LINE__,
                       m_worker.GetId(), response.toString().c_str_utf8());
    }
    int MapStreamError(int stream_code) override { return m_worker.streamErr2DaemonErr(stream_code); }

private:
    Worker &m_worker;
};

// Borrows a channel of the session's connection, opens it when needed, runs `exchange` on
// it and gives it back. `response` is the exchange's answer, read for the keep-alive.
template <class Exchange>
int withPooledChannel(Worker &worker, PObject &response, Exchange exchange)
{
    Connection *connection = worker.GetConnection();
    if (connection == nullptr) {
        return ERR_SYS;
    }
    Connection::ChannelStat stat = connection->pop();
    Channel &channel = stat.getChannel();
    if (stat.isExpired()) {
        int rc = worker.RequestChannel(channel);
        if (rc != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): Worker (%d): RemoveRemote: Failed to establish "
                           "communication channel. %s\n",
                           __LINE__, worker.GetId(), GetErrorString(rc));
            stat.setExpired();
            connection->push(stat);
            return rc;
        }
        stat.setConnected();
        connection->update(stat);
    }
    int rc = exchange(channel);
    if (rc != 0) {
        stat.setExpired();
    } else {
        stat.setAliveInterval(response["alive"].asUInt32());
    }
    connection->push(stat);
    return rc;
}

} // namespace

ustring Worker::GetComputerName() const
{
    Connection *connection = GetConnection();
    return connection == nullptr ? ustring() : connection->getConnectionInfo().computer_name;
}

int Worker::streamErr2DaemonErr(int err)
{
    if (abort_flag.load() != 0) {
        SetAbort(false);
        if (GetState() == PAUSE) {
            return ERR_CH_CONNECTION_ABORT;
        }
        ClearCache();
        return ERR_INT;
    }
    switch (err) {
    case -4:
        ClearCache();
        return ERR_LOCAL_DISKFULL;
    case -2:
    case -3:
        return ERR_IO;
    case -1:
    case -5:
    case -6:
        ClearCache();
        return ERR_SYS;
    default:
        // Any other failure is still a failure: reporting it as success would let the
        // caller read an answer that never came.
        return err < 0 ? ERR_IO : 0;
    }
}

int Worker::ProtoResp2ErrorCode(uint32_t code)
{
    switch (code) {
    case 0x3002:
        return ERR_PERMISS;
    case 0x3003:
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
        Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] worker.cpp(%d): server error: %lu\n",
                       __LINE__, static_cast<unsigned long>(code));
        return 0;
    }
    static const int kByClass[] = {ERR_SYS,     ERR_AUTH, ERR_AUTH, ERR_VIEW, ERR_SYS, ERR_VERSION,
                                   ERR_SYS,     0,        ERR_INT,  ERR_INT,  ERR_INT};
    uint32_t cls = code >> 12;
    int result = cls < sizeof(kByClass) / sizeof(kByClass[0]) ? kByClass[cls] : ERR_SYS;
    if (result == ERR_SYS) {
        Logger::LogMsg(Logger::L_CRIT, kComponent,
                       "[CRIT] worker.cpp(%d): unhandled error code: %lu\n", __LINE__,
                       static_cast<unsigned long>(code));
        return 0;
    }
    return result;
}

int Worker::RunProtocol(Channel &channel, uint8_t command, const PObject &request, PObject &response)
{
    trans_stream.SetDefaultRecvLocation(context.working_directory);
    ProtoExchangeOptions options;
    options.abort_atomic = &abort_flag;
    // Once an upload's data has been sent the answer is awaited whatever happens: the
    // server may already have stored the new version.
    ustring action = actionOf(request);
    options.detach_flag_after_send = action == "upload" || action == "resume_upload";
    options.detach_flag_at_end = true;
    WorkerExchangeHooks hooks(*this);
    return ProtoRunExchange(channel, trans_stream, command, request, response, options, hooks);
}

int Worker::RequestChannel(Channel &channel)
{
    Connection *connection = GetConnection();
    if (connection == nullptr) {
        return ERR_SYS;
    }
    const ConnectionInfo &info = connection->getConnectionInfo();
    channel.Close();
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] worker.cpp(%d): Worker (%d): Connect to server (%s:%d).\n", __LINE__,
                   GetId(), info.server_ip.c_str_utf8(), info.server_port);
    int rc = channel.Open(info.server_ip.c_str_utf8(), info.server_port);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): failed to connect to server.\n",
                       __LINE__, GetId());
        return rc < 0 ? rc : ERR_IO;
    }

    PObject request;
    InitRequest(request, "connect");
    request["session"] = info.session;
    request["view_id"] = GetViewId();
    const bool do_ssl = info.use_ssl;
    if (do_ssl) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Worker (%d): request ssl channel\n", __LINE__, GetId());
        request["do_ssl"] = 1;
    }
    PObject response;
    rc = RunProtocol(channel, kCmdConnect, request, response);
    if (rc != 0) {
        return rc;
    }
    if (response.hasMember("error")) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] worker.cpp(%d): Worker (%d): request channel: %s\n", __LINE__,
                       GetId(), response["error"].toString().c_str_utf8());
        rc = ProtoResp2ErrorCode(response["error"]["code"].asUInt32());
        if (rc == 0 && do_ssl) {
            // The channel was never upgraded; a TLS connection must not carry requests in
            // the clear, so this counts as a failed open.
            return ERR_IO;
        }
        return rc;
    }

    if (response.hasMember("server")) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Connect with Aerolith server build %lu\n", __LINE__,
                       static_cast<unsigned long>(
                           response["server"]["package_version"]["build"].asUInt64()));
    } else {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Connect with Aerolith server build 2402\n", __LINE__);
    }
    if (response["alive"].asUInt32() == 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] worker.cpp(%d): Worker (%d): connection refused by server.\n",
                       __LINE__, GetId());
        return ERR_IO;
    }
    if (do_ssl) {
        channel.SetAllowUntrust(info.ssl_allow_untrust);
        channel.SetSSLHostname(info.server_name);
        rc = channel.ConvertToSSLChannel(false);
        if (rc != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): Worker (%d): Convert to SSL channel failed (%d)\n",
                           __LINE__, GetId(), rc);
            return ERR_IO;
        }
    }
    return 0;
}

int Worker::ProtoRemove(const PObject &request, PObject &response)
{
    return withPooledChannel(*this, response, [&](Channel &channel) {
        return RunProtocol(channel, kCmdRemove, request, response);
    });
}

int Worker::ProtoDownload(bool resumable, PObject &request, PObject &response)
{
    int rc = withPooledChannel(*this, response, [&](Channel &channel) {
        return resumable ? ProtoResumeDownloadObject(channel, request, response)
                         : ProtoDownloadObject(channel, request, response);
    });
    if (rc == 0 && response.hasMember("error")) {
        uint32_t code = response["error"]["code"].asUInt32();
        if (ProtoResp2ErrorCode(code) == 0) {
            // An error the table does not name is still no new file: the event is not done
            // until the file is, so it is retried.
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] worker.cpp(%d): Worker (%d): download answered with server "
                           "error %lu, retry later\n",
                           __LINE__, GetId(), static_cast<unsigned long>(code));
            return ERR_SERVER;
        }
    }
    return rc;
}

int Worker::ProtoUpload(bool resumable, PObject &request, PObject &response)
{
    return withPooledChannel(*this, response, [&](Channel &channel) {
        return resumable ? ProtoResumeUploadObject(channel, request, response)
                         : ProtoUploadObject(channel, request, response);
    });
}
