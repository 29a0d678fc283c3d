// Shared pieces of the server's protocol tests: a fixture with one running server, one
// account and one connected client, request builders for every action, and a raw byte
// encoder for messages the project's own stream would never produce.
#pragma once

#include "support/server-process.h"
#include "support/temp-dir.h"

#include "rsapi-cpp/api.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace servertest
{

inline std::string Md4Of(const std::string &path)
{
    ustring hash;
    SimpleFileReader reader;
    reader.setFile(ustring(path));
    reader.setHashString(&hash);
    if (reader.readFile() < 0)
        return std::string();
    return std::string(hash.c_str_utf8(), hash.length());
}

inline std::string Text(const PObject &item)
{
    return std::string(item.asString().c_str_utf8(), item.asString().length());
}

inline std::string BinaryFile(const PObject &item)
{
    return std::string(item.asBinary().path.c_str_utf8(), item.asBinary().path.length());
}

// Runs a shell command; its exit status.
inline int Shell(const std::string &command)
{
    int rc = system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Deterministic pseudo-random bytes.
inline std::string RandomBytes(size_t n, uint32_t seed)
{
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x);
    }
    return out;
}

// Raw wire bytes, big-endian, for hand-made requests.
struct Raw {
    std::string b;
    Raw &u8(uint8_t v)
    {
        b += static_cast<char>(v);
        return *this;
    }
    Raw &u16(uint16_t v) { return u8(v >> 8).u8(v & 0xFF); }
    Raw &u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
    Raw &u64(uint64_t v) { return u32(static_cast<uint32_t>(v >> 32)).u32(static_cast<uint32_t>(v)); }
    Raw &header(uint8_t command, uint8_t version = 70, uint32_t magic = 0x25521814u,
                uint16_t length = 0)
    {
        return u32(magic).u8(version).u8(command).u16(length);
    }
    Raw &str(const std::string &s)
    {
        u8(0x10).u16(static_cast<uint16_t>(s.size()));
        b += s;
        return *this;
    }
    Raw &integer(uint64_t v)
    {
        u8(0x01).u8(8);
        return u64(v);
    }
    Raw &mapBegin() { return u8(0x42); }
    Raw &arrayBegin() { return u8(0x41); }
    Raw &end() { return u8(0x40); }
    Raw &kv(const std::string &k, const std::string &v) { return str(k).str(v); }
    Raw &kv(const std::string &k, uint64_t v) { return str(k).integer(v); }
};

// A raw TCP connection to the server.
class RawConn
{
public:
    explicit RawConn(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) != 0) {
            ::close(fd);
            fd = -1;
        }
        struct timeval tv = {20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~RawConn()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool send(const std::string &bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Everything until the server closes (or the receive timeout).
    std::string drain()
    {
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) {
                closed = n == 0 || errno == ECONNRESET;
                break;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // true when the server closed the connection (recv gave 0 or a reset).
    bool closedByPeer()
    {
        char c;
        ssize_t n = recv(fd, &c, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }
    int fd = -1;
    bool closed = false; // drain ended because the server closed
};

class ServerFixture : public ::testing::Test
{
protected:
    virtual ServerProcess::Options ServerOptions() { return ServerProcess::Options(); }

    void SetUp() override
    {
        ASSERT_TRUE(server.start(ServerOptions()));
        acct = server.createAccount("alice", "docs");
        ASSERT_NE(acct.view_id, 0u);
        client = NewClient();
        ASSERT_TRUE(client);
    }

    std::unique_ptr<ServerClient> NewClient(const ServerAccount *who = nullptr)
    {
        std::unique_ptr<ServerClient> c(new ServerClient(server.port()));
        if (c->open() != 0)
            return nullptr;
        c->setRecvDir(tmp.path());
        if (c->connect(who ? *who : acct) != 0)
            return nullptr;
        return c;
    }

    PObject Base(const std::string &path = std::string(), const ServerAccount *who = nullptr)
    {
        const ServerAccount &a = who ? *who : acct;
        PObject req;
        req["session"] = a.token;
        req["view_id"] = a.view_id;
        if (!path.empty())
            req["path"] = path;
        return req;
    }

    std::string Local(const std::string &content)
    {
        return tmp.write("local-" + std::to_string(counter++), content);
    }

    // The request of a file upload of local (whole, or a delta file when delta is set).
    PObject UploadRequest(const std::string &path, const std::string &local, uint64_t sync_id,
                          const std::string &delta = std::string())
    {
        PObject req = Base(path);
        req["sync_id"] = sync_id;
        req["max_id"] = sync_id;
        req["is_dir"] = false;
        std::string content = readFile(local);
        req["file"]["size"] = static_cast<uint64_t>(content.size());
        req["file"]["hash"] = Md4Of(local);
        req["file"]["refer"] = false;
        req["file"]["is_delta"] = !delta.empty();
        PObject::binary_type bin;
        bin.path = delta.empty() ? local : delta;
        bin.length = readFile(bin.path.c_str_utf8()).size();
        req["file"]["data"] = bin;
        req["mtime"]["refer"] = false;
        req["mtime"]["mtime"] = 1700000000u;
        return req;
    }

    PObject Send(uint8_t command, const std::string &action, const PObject &req,
                 ServerClient *via = nullptr, int *keepalives = nullptr)
    {
        PObject ans;
        int rc = (via ? via : client.get())->request(command, action, req, ans, keepalives);
        EXPECT_EQ(rc, 0) << action;
        return ans;
    }

    PObject Upload(const std::string &path, const std::string &content, uint64_t sync_id)
    {
        return Send(23, "upload", UploadRequest(path, Local(content), sync_id));
    }

    PObject Mkdir(const std::string &path)
    {
        PObject req = Base(path);
        req["sync_id"] = 0u;
        req["is_dir"] = true;
        req["mtime"]["refer"] = false;
        req["mtime"]["mtime"] = 1700000000u;
        return Send(23, "upload", req);
    }

    PObject PullRequest(uint64_t since, const std::string &path = "/", bool recursive = true)
    {
        PObject req = Base(path);
        req["sync_id"] = since;
        req["recursive"] = recursive;
        req["node_id"] = 0u;
        req["file"]["offset"] = 0u;
        req["mtime"]["offset"] = 0u;
        return req;
    }

    PObject Pull(uint64_t since, const std::string &path = "/", bool recursive = true)
    {
        return Send(6, "pull_event", PullRequest(since, path, recursive));
    }

    PObject DownloadRequest(const std::string &path, uint64_t basis, uint64_t offset = 0,
                            const std::string &token = std::string())
    {
        PObject req = Base(path);
        req["sync_id"] = basis;
        req["max_id"] = basis;
        req["target_sync_id"] = 0u;
        req["file"]["offset"] = offset;
        req["mtime"]["offset"] = 0u;
        req["force_current_version"] = false;
        if (!token.empty())
            req["_resume_token"] = token;
        return req;
    }

    PObject Download(const std::string &path, uint64_t basis)
    {
        return Send(24, "download", DownloadRequest(path, basis));
    }

    PObject Remove(const std::string &path, uint64_t sync_id, uint64_t max_id)
    {
        PObject req = Base(path);
        req["sync_id"] = sync_id;
        req["max_id"] = max_id;
        req["node_id"] = 0u;
        return Send(15, "remove", req);
    }

    std::string NewToken()
    {
        PObject ans = Send(27, "resume_get_token", Base());
        return Text(ans["resume_token"]);
    }

    // The admin "put" of content at path; its sync id.
    uint64_t Put(const std::string &path, const std::string &content)
    {
        nlohmann::json j = server.adminJson(
            {"put", std::to_string(acct.view_id), path, Local(content)});
        return j.is_object() ? j["sync_id"].get<uint64_t>() : 0;
    }

    ServerProcess server;
    ServerAccount acct;
    TempDir tmp;
    std::unique_ptr<ServerClient> client;
    int counter = 0;
};

} // namespace servertest
