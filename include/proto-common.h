// The server protocol's framing and request exchange.
//
// Every request opens with an eight-byte header (magic, version, command, payload length
// 0) that waits in the channel's write buffer and leaves with the property-object body
// that follows it. Answers carry no header: they are property-object messages alone, and
// the server may send keep-alive messages ("type" = "keep_alive") while it works.
#pragma once

#include "protocol/object.h"
#include "ustring/ustring.h"

#include <atomic>
#include <cstdint>

class Channel;
class PStream;

#define PROTO_MAGIC 0x25521814u
#define PROTO_VERSION 70
#define PROTO_HEADER_SIZE 8

// Seconds without progress that the exchange allows the server to answer, and the
// channel's usual limit that it restores afterwards.
#define PROTO_RESPONSE_TIMEOUT 90
#define PROTO_CHANNEL_TIMEOUT 60

enum {
    SCMD_UNKNOWN = 0,
    SCMD_REQUEST = 1,
    SCMD_KEEP_ALIVE = 2,
    SCMD_AUTH = 3,
    SCMD_NOTIFY = 4,
    SCMD_LOGOUT = 5,
    SCMD_EVT_PULL = 6,
    SCMD_EVT_RECV = 7,
    SCMD_NEW_EVT_INFO = 8,
    SCMD_EVT_SEND = 9,
    SCMD_USER_CTRL = 10,
    SCMD_TEST_CONN = 11,
    SCMD_RESPONSE = 12,
    SCMD_USER_CHECK = 13,
    SCMD_REQUEST_CONNECT = 14,
    SCMD_EVT_REMOVE = 15,
    SCMD_GET_FILTER = 16,
    SCMD_LIST_VIEW = 17,
    SCMD_AUTH_2 = 18,
    SCMD_EVT_RECV_2 = 19,
    SCMD_REQUEST_SSL = 20,
    SCMD_EVT_RECV_3 = 21,
    SCMD_REQUEST_SSL_2 = 22,
    SCMD_PKG_VER_QUERY = 23,
    SCMD_GET_FOLDER_LIST = 24,
    // Resuming an interrupted download or upload; it has no name of its own in the logs.
    SCMD_RESUME_TRANSFER = 27,
};

// Bounds of one server answer in memory (PStream::SetRecvLimit): room for a 10 000-entry
// event list with long paths, far below what would exhaust the daemon. Beyond them the
// exchange fails as an I/O failure.
#define PROTO_ANSWER_MAX_BYTES (64ull << 20)
#define PROTO_ANSWER_MAX_ITEMS 1000000ull

// Sets the answer bounds on a requester's stream. ProtoRunExchange does this itself for
// a stream that has no bounds yet; a requester that receives answers on its own calls it.
void ProtoLimitAnswers(PStream &stream);

// Writes the header into the channel's write buffer (nothing is flushed). 0, or the
// channel's negative code.
int ProtoWriteHeader(Channel *channel, uint16_t payload_len, uint8_t command);
// Name of a command for log lines; "Unknown command" for 0 and values above 24.
const char *ProtoCmd2String(int command);
// Starts a request map: "_action" and the "_agent" block (platform and version).
void InitRequest(PObject &request, const ustring &action);

// What a requester wants from one exchange besides the request itself.
struct ProtoExchangeOptions {
    // The requester's stop flag (either kind); the channel watches it during the exchange.
    const volatile int *abort_flag = nullptr;
    const std::atomic<int> *abort_atomic = nullptr;
    // Stop watching the flag once the request is sent (an upload that has been sent must
    // not be interrupted while the server digests it).
    bool detach_flag_after_send = false;
    // Stop watching the flag when the exchange ends.
    bool detach_flag_at_end = false;
    // Longest wait for the answer in all, in seconds (0: none). Keep-alives each restart
    // the no-progress limit, so without this a server that only sends keep-alives would
    // hold the requester forever; past it the exchange fails as an I/O failure.
    unsigned int answer_deadline = 0;
};

// The requester's own logging and error mapping. Every step has a default that does
// nothing (and maps every stream failure to ERR_IO), so a requester overrides only what
// it reports differently.
class ProtoExchangeHooks
{
public:
    virtual ~ProtoExchangeHooks() {}
    virtual void OnRequest(const PObject &request) { (void)request; }
    virtual void OnHeaderFailed(const PObject &request, int code) { (void)request, (void)code; }
    virtual void OnSendFailed(const PObject &request, int code) { (void)request, (void)code; }
    virtual void OnRecvFailed(const PObject &request, int code) { (void)request, (void)code; }
    virtual void OnKeepAlive() {}
    virtual void OnResponse(const PObject &response) { (void)response; }
    // The result of the exchange for a failed send or receive of the stream.
    virtual int MapStreamError(int stream_code)
    {
        (void)stream_code;
        return -2;
    }
};

// One request exchange on an open channel: header, request, then the answer under a
// 90-second no-progress limit, skipping keep-alive messages (each is dropped and the
// response object is reset to what the caller placed in it, so a binary target placed
// there still directs the real answer's data). The channel's limit is 60 seconds again
// afterwards. A stream without receive bounds gets the answer bounds (ProtoLimitAnswers).
// 0, ERR_IO for a failed header, otherwise what MapStreamError gives.
int ProtoRunExchange(Channel &channel, PStream &stream, uint8_t command, const PObject &request,
                     PObject &response, const ProtoExchangeOptions &options,
                     ProtoExchangeHooks &hooks);
