#include "exchange-server.h"

#include "channel.h"
#include "proto-common.h"
#include "protocol/stream.h"

#include <unistd.h>

ExchangeServer::ExchangeServer()
    : m_server([](int fd) {
          Channel channel;
          if (channel.Open(dup(fd), true) != 0)
              return;
          for (;;) {
              char header[8];
              PStream stream;
              PObject request, answer;
              if (channel.Read(header, sizeof(header)) != 0 || stream.Recv(channel, request) != 0)
                  return;
              answer["echo"] = request["sync_id"].asUInt64();
              answer["alive"] = 30;
              if (stream.Send(channel, answer) != 0 || channel.FlushWrite(0) != 0)
                  return;
          }
      })
{
}

int64_t RunEchoExchange(Channel &channel, uint64_t sync_id)
{
    PObject request, response;
    InitRequest(request, "pull_event");
    request["sync_id"] = sync_id;
    PStream stream;
    ProtoExchangeOptions options;
    ProtoExchangeHooks hooks;
    if (ProtoRunExchange(channel, stream, SCMD_EVT_PULL, request, response, options, hooks) != 0)
        return -1;
    return static_cast<int64_t>(response["echo"].asUInt64());
}
