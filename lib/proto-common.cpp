// The request header of the server protocol and the common preamble of every request.
#include "proto-common.h"

#include "channel.h"
#include "log.h"

namespace
{

const char *kComponent = "proto_common_debug";

const char *const kCommandNames[] = {
    "Unknown command",      "SCMD_REQUEST",    "SCMD_KEEP_ALIVE",      "SCMD_AUTH",
    "SCMD_NOTIFY",          "SCMD_LOGOUT",     "SCMD_EVT_PULL",        "SCMD_EVT_RECV",
    "SCMD_NEW_EVT_INFO",    "SCMD_EVT_SEND",   "SCMD_USER_CTRL",       "SCMD_TEST_CONN",
    "SCMD_RESPONSE",        "SCMD_USER_CHECK", "SCMD_REQUEST_CONNECT", "SCMD_EVT_REMOVE",
    "SCMD_GET_FILTER",      "SCMD_LIST_VIEW",  "SCMD_AUTH_2",          "SCMD_EVT_RECV_2",
    "SCMD_REQUEST_SSL",     "SCMD_EVT_RECV_3", "SCMD_REQUEST_SSL_2",   "SCMD_PKG_VER_QUERY",
    "SCMD_GET_FOLDER_LIST",
};

} // namespace

const char *ProtoCmd2String(int command)
{
    if (command < 0 ||
        command >= static_cast<int>(sizeof(kCommandNames) / sizeof(kCommandNames[0])))
        return kCommandNames[0];
    return kCommandNames[command];
}

int ProtoWriteHeader(Channel *channel, uint16_t payload_len, uint8_t command)
{
    int ret = channel->WriteInt32(PROTO_MAGIC);
    if (ret < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] proto-common.cpp(%d): WriteHeader: Failed to write magic\n",
                       __LINE__);
        return ret;
    }
    ret = channel->WriteByte(PROTO_VERSION);
    if (ret < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] proto-common.cpp(%d): WriteHeader: Failed to write version (%d)\n",
                       __LINE__, ret);
        return ret;
    }
    ret = channel->WriteByte(command);
    if (ret < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] proto-common.cpp(%d): WriteHeader: Failed to write command (%d)\n",
                       __LINE__, ret);
        return ret;
    }
    ret = channel->WriteInt16(payload_len);
    if (ret < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] proto-common.cpp(%d): WriteHeader: Failed to write payload length "
                       "(%d)\n",
                       __LINE__, ret);
        return ret;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common.cpp(%d): WriteHeader: %s, pkt_len = %d\n", __LINE__,
                   ProtoCmd2String(command), static_cast<int>(payload_len));
    return 0;
}

void InitRequest(PObject &request, const ustring &action)
{
    request["_action"] = action;
    PObject &agent = request["_agent"];
    agent["platform"] = "Windows";
    agent["version"]["major"] = 3;
    agent["version"]["minor"] = 0;
    agent["version"]["build"] = 3109;
}
