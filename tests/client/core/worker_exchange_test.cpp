// The worker's server exchange against the real stand-in server: opening and binding a
// pooled channel (plain and TLS), reuse while the keep-alive lasts, keep-alive messages,
// refused and failed opens, aborts, and the mapping of transport and server errors.
#include "client/core/connection.h"
#include "client/core/worker.h"
#include "connection-info.h"
#include "error-code.h"
#include "proto-common.h"
#include "support/server-process.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace
{

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

class WorkerExchange : public testing::Test
{
protected:
    void startServer(bool tls)
    {
        ServerProcess::Options options;
        options.tls = tls;
        ASSERT_TRUE(server.start(options));
        account = server.createAccount("alice", "docs");
        ConnectionInfo info;
        info.conn_id = 3;
        info.server_ip = "127.0.0.1";
        info.server_name = "localhost";
        info.server_port = server.port();
        info.session = account.token.c_str();
        info.use_ssl = tls;
        if (tls) {
            Channel::SetVerifyCAPath(server.caPath().c_str());
        }
        worker.context.connection = std::make_shared<Connection>(info, nullptr, nullptr);
        worker.context.root_entry.view_id = account.view_id;
        worker.context.root_entry.sess_id = 7;
        worker.context.working_directory = work.path().c_str();
    }

    // A removal of a path the server never had: answered with an error, not a failure.
    int removeMissing(PObject &response)
    {
        PObject request;
        InitRequest(request, "remove");
        request["session"] = account.token.c_str();
        request["view_id"] = account.view_id;
        request["path"] = "/never-there.txt";
        request["sync_id"] = 1;
        request["max_id"] = 1;
        response = PObject();
        return worker.ProtoRemove(request, response);
    }

    void fault(const std::vector<std::string> &args)
    {
        std::vector<std::string> full = {"fault", "add"};
        full.insert(full.end(), args.begin(), args.end());
        ASSERT_EQ(0, server.admin(full));
    }

    ServerProcess server;
    ServerAccount account;
    TempDir work;
    Worker worker;
};

TEST_F(WorkerExchange, ChannelIsOpenedOnceAndReusedWhileAlive)
{
    startServer(false);
    PObject response;
    ASSERT_EQ(0, removeMissing(response));
    EXPECT_EQ(0xA001u, response["error"]["code"].asUInt32());
    ASSERT_EQ(0, removeMissing(response));
    EXPECT_EQ(1u, count(server.log(), "action=connect"));

    // A failed exchange expires the slot: the next request opens again from the start.
    fault({"close", "--action", "remove"});
    EXPECT_EQ(ERR_IO, removeMissing(response));
    ASSERT_EQ(0, removeMissing(response));
    EXPECT_EQ(2u, count(server.log(), "action=connect"));
}

TEST_F(WorkerExchange, TlsChannelCarriesRequestsAfterTheUpgrade)
{
    startServer(true);
    PObject response;
    ASSERT_EQ(0, removeMissing(response));
    EXPECT_EQ(0xA001u, response["error"]["code"].asUInt32());
}

TEST_F(WorkerExchange, ConnectAnswersThatAreNotAnOpenChannel)
{
    startServer(true);
    PObject response;
    // An error that the table takes for "no error" must not leave a TLS connection in
    // the clear: the open fails.
    fault({"error", "0x7001", "--action", "connect"});
    EXPECT_EQ(ERR_IO, removeMissing(response));
    fault({"alive0", "--action", "connect"});
    EXPECT_EQ(ERR_IO, removeMissing(response));
    fault({"error", "0x1001", "--action", "connect"});
    EXPECT_EQ(ERR_AUTH, removeMissing(response));
    ASSERT_EQ(0, removeMissing(response));
}

TEST_F(WorkerExchange, KeepAlivesAreSkippedAndAnAbortEndsTheWait)
{
    startServer(false);
    PObject response;
    fault({"delay", "2", "--action", "remove"});
    ASSERT_EQ(0, removeMissing(response));
    EXPECT_EQ(0xA001u, response["error"]["code"].asUInt32());

    // Running task: the event is given back (ERR_INT). Paused task: retried with the
    // transfer kept (ERR_CH_CONNECTION_ABORT). Either way the flag is cleared.
    for (bool paused : {false, true}) {
        if (paused) {
            worker.Pause();
        }
        fault({"delay", "20", "--action", "remove"});
        std::thread aborter([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            worker.SetAbort(true);
        });
        auto start = std::chrono::steady_clock::now();
        int rc = removeMissing(response);
        aborter.join();
        EXPECT_EQ(paused ? ERR_CH_CONNECTION_ABORT : ERR_INT, rc);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_FALSE(worker.IsAborting());
    }
}

TEST(WorkerErrorMapping, ServerCodesAndStreamFailures)
{
    Worker worker;
    const struct {
        uint32_t code;
        int expected;
    } server_codes[] = {
        {0x3002, ERR_PERMISS},  {0x3003, ERR_VIEW_PATH}, {0x3004, ERR_PERMISS_READ_ONLY},
        {0x4001, ERR_QUOTA},    {0x4002, ERR_DISKFULL},  {0x7000, 0},
        {0x7123, 0},            {0x0042, 0},             {0x1001, ERR_AUTH},
        {0x2005, ERR_AUTH},     {0x3001, ERR_VIEW},      {0x4003, 0},
        {0x5002, ERR_VERSION},  {0x6001, 0},             {0x8001, ERR_INT},
        {0x9000, ERR_INT},      {0xA002, ERR_INT},       {0xB001, 0},
        {0xFFFFFFFF, 0},
    };
    for (const auto &c : server_codes) {
        EXPECT_EQ(c.expected, worker.ProtoResp2ErrorCode(c.code)) << std::hex << c.code;
    }
    const struct {
        int stream;
        int expected;
    } stream_codes[] = {
        {-1, ERR_SYS}, {-2, ERR_IO}, {-3, ERR_IO}, {-4, ERR_LOCAL_DISKFULL},
        {-5, ERR_SYS}, {-6, ERR_SYS}, {-7, ERR_IO}, {0, 0},
    };
    for (const auto &c : stream_codes) {
        EXPECT_EQ(c.expected, worker.streamErr2DaemonErr(c.stream)) << c.stream;
    }
}

} // namespace
