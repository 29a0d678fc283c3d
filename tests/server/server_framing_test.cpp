// aerolith-server against malformed and hostile input: request headers, bodies, limits,
// path rules, the TLS upgrade, and many connections at once. After each case the server
// must still serve a fresh connection normally.
#include "server-test-util.h"

#include <thread>

namespace
{

using namespace servertest;

// A minimal valid request body: action, then the given raw entries, then the end tag.
std::string Body(const std::string &action, const std::string &entries = std::string())
{
    Raw r;
    r.mapBegin().kv("action", action);
    r.b += entries;
    r.end();
    return r.b;
}

std::string ConnectBody(const ServerAccount &a)
{
    Raw e;
    e.kv("session", a.token).kv("view_id", a.view_id);
    return Body("connect", e.b);
}

class ServerFraming : public ServerFixture
{
protected:
    // A fresh connection is served normally.
    void ExpectServing()
    {
        std::unique_ptr<ServerClient> c = NewClient();
        ASSERT_TRUE(c);
        PObject ans = Send(6, "pull_event", PullRequest(0), c.get());
        EXPECT_EQ(AnswerCode(ans), 0u);
    }
};

TEST_F(ServerFraming, BadHeadersAndBodiesEndTheConnection)
{
    Raw login;
    login.header(14).b += ConnectBody(acct);
    struct Case {
        const char *name;
        std::string bytes;
        bool after_login;
        // The client keeps its side open: the server must end the connection by itself.
        bool open_end = false;
    };
    Raw deep;
    deep.mapBegin().kv("action", "pull_event").str("x");
    for (int i = 0; i < 8; ++i)
        deep.mapBegin().str("k");
    deep.integer(1);
    for (int i = 0; i < 9; ++i)
        deep.end();
    Raw wide;
    wide.mapBegin().kv("action", "pull_event");
    for (int i = 0; i < 65; ++i)
        wide.kv("k" + std::to_string(i), static_cast<uint64_t>(i));
    wide.end();
    Raw int9;
    int9.mapBegin().kv("action", "pull_event").str("sync_id").u8(0x01).u8(9).u64(0).u8(0).end();
    Raw huge_binary;
    huge_binary.mapBegin().kv("action", "upload").str("file").mapBegin().str("data").u8(0x30).u64(
        1ull << 40);
    const Case cases[] = {
        {"bad magic", Raw().header(14, 70, 0x12345678).b + ConnectBody(acct), false},
        {"payload length 1", Raw().header(14, 70, 0x25521814u, 1).b + ConnectBody(acct), false},
        {"command 7", Raw().header(7).b + ConnectBody(acct), false},
        {"truncated body", Raw().header(14).b + ConnectBody(acct).substr(0, 10), false},
        {"unknown tag", Raw().header(14).b + "\x42\x10\x00\x01x\x77", false},
        {"request before connect", Raw().header(6).b + Body("pull_event"), false},
        {"integer of 9 bytes", Raw().header(6).b + int9.b, true},
        {"nesting depth 9", Raw().header(6).b + deep.b, true},
        {"65 map entries", Raw().header(6).b + wide.b, true},
        {"binary above the size limit", Raw().header(23).b + huge_binary.b, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RawConn conn(server.port());
        ASSERT_GE(conn.fd, 0);
        if (c.after_login) {
            ASSERT_TRUE(conn.send(login.b));
            // The connect answer arrives; then the bad request must end the connection.
        }
        conn.send(c.bytes);
        // The client has said all it will: a truncated body ends at the end of the stream.
        if (!c.open_end)
            shutdown(conn.fd, SHUT_WR);
        // Only the connect answer (after login) comes back, then the connection ends.
        std::string got = conn.drain();
        size_t answers = 0;
        for (size_t at = got.find("response"); at != std::string::npos;
             at = got.find("response", at + 1))
            ++answers;
        EXPECT_EQ(answers, c.after_login ? 1u : 0u);
        EXPECT_TRUE(conn.closed);
        ExpectServing();
    }
}

TEST_F(ServerFraming, WrongVersionAndActionAreAnsweredThenClosed)
{
    struct Case {
        const char *name;
        uint8_t command;
        uint8_t version;
        std::string action;
        uint32_t code;
    };
    const Case cases[] = {
        {"version 71", 14, 71, "connect", 0x5001},
        {"upload on command 6", 6, 70, "upload", 0x5003},
        {"missing action", 14, 70, "", 0x5003},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ServerClient raw(server.port());
        ASSERT_EQ(raw.open(), 0);
        Raw bytes;
        bytes.header(c.command, c.version);
        ASSERT_EQ(raw.channel().Write(bytes.b.data(), bytes.b.size()), 0);
        PObject req = Base();
        if (!c.action.empty())
            req["action"] = c.action;
        ASSERT_EQ(raw.stream().Send(raw.channel(), req), 0);
        PObject ans;
        ASSERT_EQ(raw.stream().Recv(raw.channel(), ans), 0);
        EXPECT_EQ(AnswerCode(ans), c.code);
        EXPECT_EQ(ans["alive"].asUInt32(), 0u);
        PObject more;
        EXPECT_LT(raw.stream().Recv(raw.channel(), more), 0) << "connection must be closed";
    }
    ExpectServing();
}

TEST_F(ServerFraming, ConnectChecksTokenAndGrantAndOneConnectionServesTwoViews)
{
    ServerAccount stranger = acct;
    stranger.token = "not-a-token";
    ServerAccount ungranted = acct;
    ungranted.view_id = server.adminJson({"add-view", "other"})["view_id"].get<uint64_t>();
    struct Case {
        const char *name;
        const ServerAccount *who;
        uint32_t code;
    };
    const Case cases[] = {{"unknown token", &stranger, 0x1001}, {"view not granted", &ungranted, 0x3001}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ServerClient raw(server.port());
        ASSERT_EQ(raw.open(), 0);
        PObject ans;
        ASSERT_EQ(raw.request(14, "connect", Base("", c.who), ans), 0);
        EXPECT_EQ(AnswerCode(ans), c.code);
        EXPECT_EQ(ans["alive"].asUInt32(), 0u);
    }
    // Authorization is per request: the same connection acts on a second view once granted.
    server.admin({"grant", std::to_string(ungranted.view_id), "alice", "rw"});
    EXPECT_EQ(AnswerCode(Send(6, "pull_event", PullRequest(0))), 0u);
    PObject other = PullRequest(0);
    other["view_id"] = ungranted.view_id;
    EXPECT_EQ(AnswerCode(Send(6, "pull_event", other)), 0u);
    // TLS without --tls is refused with 0x5002 and the connection closed.
    ServerClient plain(server.port());
    ASSERT_EQ(plain.open(), 0);
    PObject ans;
    ASSERT_EQ(plain.request(22, "encrypt_channel", PObject(), ans), 0);
    EXPECT_EQ(AnswerCode(ans), 0x5002u);
    PObject req = Base();
    req["do_ssl"] = 1u;
    ServerClient plain2(server.port());
    ASSERT_EQ(plain2.open(), 0);
    ASSERT_EQ(plain2.request(14, "connect", req, ans), 0);
    EXPECT_EQ(AnswerCode(ans), 0x5002u);
}

TEST_F(ServerFraming, PathRuleViolationsAreRefused)
{
    const std::string long_name(256, 'n');
    const char *bad[] = {"/a/../b", "/a/./b", "//a", "/a/", "a", "", "/a//b"};
    std::vector<std::string> paths(bad, bad + sizeof(bad) / sizeof(bad[0]));
    paths.push_back("/" + long_name);
    paths.push_back(std::string(4097, '/'));
    for (const std::string &p : paths) {
        SCOPED_TRACE(p);
        EXPECT_EQ(AnswerCode(Upload(p, "x", 0)), 0x3003u);
        EXPECT_EQ(AnswerCode(Pull(0, p)), 0x3003u);
    }
    EXPECT_EQ(AnswerCode(Upload("/", "x", 0)), 0x3003u);
    EXPECT_EQ(AnswerCode(Remove("/", 0, 0)), 0x3003u);
    EXPECT_EQ(AnswerCode(Upload("/" + std::string(255, 'n'), "x", 0)), 0u);
    ExpectServing();
}

TEST_F(ServerFraming, TwoHundredConnectionsAtOnce)
{
    std::vector<std::unique_ptr<RawConn>> conns;
    for (int i = 0; i < 200; ++i) {
        conns.emplace_back(new RawConn(server.port()));
        ASSERT_GE(conns.back()->fd, 0);
    }
    Raw login;
    login.header(14).b += ConnectBody(acct);
    int answered = 0, closed = 0;
    for (auto &c : conns)
        c->send(login.b);
    for (auto &c : conns) {
        char buf[512];
        ssize_t n = recv(c->fd, buf, sizeof(buf), 0);
        if (n > 0)
            ++answered;
        else
            ++closed;
    }
    // At most --max-conn (64) are served; the others are closed at once.
    EXPECT_GT(answered, 0);
    EXPECT_LE(answered, 64);
    EXPECT_EQ(answered + closed, 200);
    conns.clear();
    ASSERT_TRUE(WaitFor([&] {
        std::unique_ptr<ServerClient> c = NewClient();
        return c != nullptr;
    }));
    ExpectServing();
}

class ServerTls : public ServerFixture
{
protected:
    ServerProcess::Options ServerOptions() override
    {
        ServerProcess::Options o;
        o.tls = true;
        return o;
    }

    std::unique_ptr<ServerClient> Plain()
    {
        std::unique_ptr<ServerClient> c(new ServerClient(server.port()));
        if (c->open() != 0)
            return nullptr;
        c->channel().SetAllowUntrust(false);
        c->channel().SetSSLHostname(ustring("localhost"));
        return c;
    }
};

TEST_F(ServerTls, EncryptChannelThenConnectAndPullInsideTls)
{
    Channel::SetVerifyCAPath(ustring(server.caPath()));
    std::unique_ptr<ServerClient> c = Plain();
    ASSERT_TRUE(c);
    PObject ans;
    ASSERT_EQ(c->request(22, "encrypt_channel", PObject(), ans), 0);
    ASSERT_EQ(AnswerCode(ans), 0u);
    ASSERT_EQ(c->channel().ConvertToSSLChannel(false), 0);
    ASSERT_EQ(c->connect(acct), 0);
    ASSERT_EQ(c->request(6, "pull_event", PullRequest(0), ans), 0);
    EXPECT_EQ(AnswerCode(ans), 0u);
    EXPECT_TRUE(c->channel().IsSSL());
}

TEST_F(ServerTls, ConnectWithDoSslUpgradesAfterTheAnswer)
{
    Channel::SetVerifyCAPath(ustring(server.caPath()));
    std::unique_ptr<ServerClient> c = Plain();
    ASSERT_TRUE(c);
    PObject req = Base(), ans;
    req["do_ssl"] = 1u;
    ASSERT_EQ(c->request(14, "connect", req, ans), 0);
    ASSERT_EQ(AnswerCode(ans), 0u);
    ASSERT_EQ(c->channel().ConvertToSSLChannel(false), 0);
    ASSERT_EQ(c->request(6, "pull_event", PullRequest(0), ans), 0);
    EXPECT_EQ(AnswerCode(ans), 0u);
}

} // namespace
