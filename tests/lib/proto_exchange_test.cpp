#include "proto-common.h"

#include "channel.h"
#include "error-code.h"
#include "protocol/stream.h"
#include "support/temp-dir.h"
#include "support/tls-loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace
{

// Records what the exchange reported, and maps stream failures to a marker.
class RecordingHooks : public ProtoExchangeHooks
{
public:
    void OnHeaderFailed(const PObject &, int code) override
    {
        events.push_back("header " + std::to_string(code));
    }
    void OnSendFailed(const PObject &, int code) override
    {
        events.push_back("send " + std::to_string(code));
    }
    void OnRecvFailed(const PObject &, int code) override
    {
        events.push_back("recv " + std::to_string(code));
    }
    void OnKeepAlive() override { events.push_back("keepalive"); }
    int MapStreamError(int code) override
    {
        return mapped ? -100 + code : ProtoExchangeHooks::MapStreamError(code);
    }
    std::vector<std::string> events;
    bool mapped = false;
};

// A stand-in server: reads the header and one request, answers with the given messages
// and hangs up.
class FakeServer
{
public:
    explicit FakeServer(Channel &ch) : channel(ch) {}
    void Answer(const std::vector<PObject> &answers)
    {
        thread = std::thread([this, answers] {
            Serve(answers);
            channel.Close();
        });
    }
    void Join() { thread.join(); }
    void Serve(const std::vector<PObject> &answers)
    {
        char header[8];
        if (channel.Read(header, sizeof(header)) != 0)
            return;
        command = static_cast<uint8_t>(header[5]);
        PStream stream;
        if (stream.Recv(channel, request) != 0)
            return;
        for (const PObject &answer : answers)
            if (stream.Send(channel, answer) != 0)
                return;
    }

    Channel &channel;
    std::thread thread;
    uint8_t command = 0;
    PObject request;
};

PObject KeepAlive()
{
    PObject o;
    o["type"] = "keep_alive";
    return o;
}

class ProtoExchangeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(MakeLoopbackPair(client, server_channel));
        InitRequest(request, "pull_event");
        request["sync_id"] = 5;
    }
    Channel client, server_channel;
    PStream stream;
    PObject request;
    RecordingHooks hooks;
    ProtoExchangeOptions options;
};

} // namespace

TEST_F(ProtoExchangeTest, KeepAlivesAreSkippedUntilTheAnswer)
{
    PObject answer;
    answer["alive"] = 30;
    answer["next"] = "x";
    FakeServer server(server_channel);
    server.Answer({KeepAlive(), KeepAlive(), KeepAlive(), answer});
    PObject response;
    EXPECT_EQ(0,
              ProtoRunExchange(client, stream, SCMD_EVT_PULL, request, response, options, hooks));
    server.Join();
    EXPECT_EQ(answer.toString(), response.toString());
    EXPECT_EQ((std::vector<std::string>{"keepalive", "keepalive", "keepalive"}), hooks.events);
    EXPECT_EQ(SCMD_EVT_PULL, server.command);
    EXPECT_EQ(ustring("pull_event"), server.request["action"].asString());
    EXPECT_EQ(5u, server.request["sync_id"].asUInt64());
    EXPECT_EQ(60u, client.GetTimeout());
}

TEST_F(ProtoExchangeTest, BinaryTargetSurvivesKeepAlives)
{
    TempDir dir;
    std::string source = dir.write("source", "payload");
    PObject answer;
    PObject::binary_type b;
    b.path = source;
    b.length = 7;
    answer["file"]["data"] = b;
    FakeServer server(server_channel);
    server.Answer({KeepAlive(), answer});
    PObject response;
    PObject::binary_type target;
    target.path = dir.file("target");
    response["file"]["data"] = target;
    EXPECT_EQ(0, ProtoRunExchange(client, stream, SCMD_GET_FOLDER_LIST, request, response, options,
                                  hooks));
    server.Join();
    EXPECT_EQ("payload", readFile(dir.file("target")));
    EXPECT_FALSE(response.hasMember("type"));
}

TEST_F(ProtoExchangeTest, FailuresAreReportedAndMapped)
{
    // The server reads the request and hangs up without answering.
    FakeServer server(server_channel);
    server.Answer({});
    PObject response;
    EXPECT_EQ(ERR_IO,
              ProtoRunExchange(client, stream, SCMD_EVT_PULL, request, response, options, hooks));
    server.Join();
    EXPECT_EQ((std::vector<std::string>{"recv -2"}), hooks.events);
    EXPECT_EQ(60u, client.GetTimeout());

    hooks.events.clear();
    hooks.mapped = true;
    PObject too_long;
    too_long["name"] = ustring(std::string(70000, 'n'));
    EXPECT_EQ(-105,
              ProtoRunExchange(client, stream, SCMD_EVT_PULL, too_long, response, options, hooks));
    EXPECT_EQ((std::vector<std::string>{"send -5"}), hooks.events);

    Channel closed;
    hooks.events.clear();
    EXPECT_EQ(ERR_IO,
              ProtoRunExchange(closed, stream, SCMD_EVT_PULL, request, response, options, hooks));
    EXPECT_EQ((std::vector<std::string>{"header -2"}), hooks.events);
}

TEST_F(ProtoExchangeTest, AnswerBeyondItsBoundsIsAnIOFailure)
{
    // A stream without bounds gets the answer bounds; bounds a requester set stay.
    FakeServer server(server_channel);
    PObject small;
    small["list"].asArray().resize(3);
    server.Answer({small});
    PObject response;
    EXPECT_FALSE(stream.HasRecvLimit());
    EXPECT_EQ(0,
              ProtoRunExchange(client, stream, SCMD_EVT_PULL, request, response, options, hooks));
    server.Join();
    EXPECT_TRUE(stream.HasRecvLimit());

    Channel again, server_again;
    ASSERT_TRUE(MakeLoopbackPair(again, server_again));
    PObject four;
    four["list"].asArray().resize(4);
    FakeServer second(server_again);
    second.Answer({four});
    stream.SetRecvLimit(0, 5); // the map, the list and three of its four elements
    EXPECT_EQ(ERR_IO,
              ProtoRunExchange(again, stream, SCMD_EVT_PULL, request, response, options, hooks));
    EXPECT_TRUE(stream.RecvLimitExceeded());
    EXPECT_EQ((std::vector<std::string>{"recv -2"}), hooks.events);
    second.Join();
}

TEST_F(ProtoExchangeTest, StopFlagEndsTheWaitUnlessDetachedAfterSending)
{
    std::atomic<int> stop(1);
    options.abort_atomic = &stop;
    PObject response;
    // The flag is already set: the request cannot even be flushed.
    EXPECT_EQ(ERR_IO,
              ProtoRunExchange(client, stream, SCMD_EVT_PULL, request, response, options, hooks));
    client.ClearWrite();
    client.SetFlag(nullptr);

    // An upload: once sent, the stop request no longer interrupts the wait for the answer.
    options.detach_flag_after_send = true;
    options.detach_flag_at_end = true;
    stop = 0;
    PObject answer;
    answer["ok"] = 1;
    std::thread server([&] {
        char header[8];
        PStream s;
        PObject got;
        ASSERT_EQ(0, server_channel.Read(header, sizeof(header)));
        ASSERT_EQ(0, s.Recv(server_channel, got));
        stop = 1; // the worker is asked to stop while the server works
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_EQ(0, s.Send(server_channel, answer));
    });
    EXPECT_EQ(
        0, ProtoRunExchange(client, stream, SCMD_PKG_VER_QUERY, request, response, options, hooks));
    server.join();
    EXPECT_EQ(1u, response["ok"].asUInt64());
    EXPECT_FALSE(client.IsAborted());
}

// A server that only sends keep-alives: past the overall deadline the exchange fails as an
// I/O failure instead of waiting forever.
TEST_F(ProtoExchangeTest, AnswerDeadlineEndsAnEndlessRunOfKeepAlives)
{
    std::atomic<bool> stop{false};
    std::thread server([&] {
        char header[8];
        PObject got;
        PStream s;
        if (server_channel.Read(header, sizeof(header)) != 0 || s.Recv(server_channel, got) != 0)
            return;
        while (!stop && s.Send(server_channel, KeepAlive()) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    options.answer_deadline = 1;
    PObject response;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ERR_IO,
              ProtoRunExchange(client, stream, SCMD_EVT_PULL, request, response, options, hooks));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ("recv " + std::to_string(ERR_TIMEOUT), hooks.events.back());
    stop = true;
    client.Close();
    server.join();
}
