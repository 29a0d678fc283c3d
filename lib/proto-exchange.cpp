// One request exchange with the file server, shared by the event pullers and the workers;
// each requester supplies its own log texts and error mapping through the hooks.
#include "proto-common.h"

#include "channel.h"
#include "error-code.h"
#include "protocol/stream.h"

#include <chrono>

namespace
{

void WatchFlag(Channel &channel, const ProtoExchangeOptions &options)
{
    if (options.abort_atomic != nullptr)
        channel.SetFlag(options.abort_atomic);
    else
        channel.SetFlag(options.abort_flag);
}

bool IsKeepAlive(const PObject &response)
{
    const PObject &type = response["type"];
    return type.isString() && type.asString() == ustring("keep_alive");
}

bool PastDeadline(std::chrono::steady_clock::time_point start, unsigned int deadline)
{
    return deadline != 0 &&
           std::chrono::steady_clock::now() - start >= std::chrono::seconds(deadline);
}

int ReceiveAnswer(Channel &channel, PStream &stream, const PObject &request, PObject &response,
                  const ProtoExchangeOptions &options, ProtoExchangeHooks &hooks)
{
    // A keep-alive is dropped whole; the next message is received into what the caller
    // had placed in the response (a binary target must survive the keep-alives).
    const PObject placed(response);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        int ret = stream.Recv(channel, response);
        if (ret < 0) {
            hooks.OnRecvFailed(request, ret);
            return hooks.MapStreamError(ret);
        }
        if (!IsKeepAlive(response))
            return ERR_OK;
        hooks.OnKeepAlive();
        response = placed;
        if (PastDeadline(start, options.answer_deadline)) {
            hooks.OnRecvFailed(request, ERR_TIMEOUT);
            return ERR_IO;
        }
    }
}

} // namespace

void ProtoLimitAnswers(PStream &stream)
{
    stream.SetRecvLimit(PROTO_ANSWER_MAX_BYTES, PROTO_ANSWER_MAX_ITEMS);
}

int ProtoRunExchange(Channel &channel, PStream &stream, uint8_t command, const PObject &request,
                     PObject &response, const ProtoExchangeOptions &options,
                     ProtoExchangeHooks &hooks)
{
    hooks.OnRequest(request);
    if (!stream.HasRecvLimit())
        ProtoLimitAnswers(stream);
    WatchFlag(channel, options);
    int result = ProtoWriteHeader(&channel, 0, command);
    if (result < 0) {
        hooks.OnHeaderFailed(request, result);
        result = ERR_IO;
    } else {
        result = stream.Send(channel, request);
        if (result < 0) {
            hooks.OnSendFailed(request, result);
            result = hooks.MapStreamError(result);
        } else {
            channel.SetTimeout(PROTO_RESPONSE_TIMEOUT);
            if (options.detach_flag_after_send)
                channel.SetFlag(nullptr);
            result = ReceiveAnswer(channel, stream, request, response, options, hooks);
        }
    }
    channel.SetTimeout(PROTO_CHANNEL_TIMEOUT);
    if (options.detach_flag_at_end)
        channel.SetFlag(nullptr);
    hooks.OnResponse(response);
    return result;
}
