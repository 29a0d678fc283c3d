// The connection loop of the server.
#include "server/connection.h"

#include "error-code.h"
#include "log.h"
#include "proto-common.h"
#include "protocol/stream.h"
#include "server/codes.h"
#include "server/received-digests.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace srv
{

namespace
{

const char *kComponent = "aerolith_server";
// Non-binary bytes and items of one request.
const uint64_t kRequestMaxBytes = 1 << 20;
const uint64_t kRequestMaxItems = 4096;

bool KnownCommand(uint8_t command)
{
    switch (command) {
    case 6:
    case 14:
    case 15:
    case 22:
    case 23:
    case 24:
    case 27:
        return true;
    default:
        return false;
    }
}

struct Header {
    uint32_t magic = 0;
    uint8_t version = 0;
    uint8_t command = 0;
    uint16_t length = 0;
};

int ReadHeader(Channel &ch, Header &h)
{
    int rc = ch.ReadInt32(h.magic);
    if (rc == 0)
        rc = ch.ReadByte(h.version);
    if (rc == 0)
        rc = ch.ReadByte(h.command);
    if (rc == 0)
        rc = ch.ReadInt16(h.length);
    return rc;
}

// Sleeps for seconds in one-second steps; false when the server stops meanwhile.
bool SleepWatching(const std::atomic<int> &stop, uint32_t seconds)
{
    for (uint32_t i = 0; i < seconds; ++i) {
        if (stop.load())
            return false;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return !stop.load();
}

uint64_t FileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Replaces the answer's data with a copy that has one byte flipped in its middle.
void CorruptData(ServerContext &ctx, Answer &a)
{
    PObject &data = a.body["file"]["data"];
    if (!data.isBinary() || data.asBinary().length == 0)
        return;
    PObject::binary_type bin = data.asBinary();
    std::string copy = ctx.content.newSpoolFile();
    if (copy.empty())
        return;
    FILE *in = fopen(bin.path.c_str_utf8(), "rb");
    FILE *out = fopen(copy.c_str(), "wb");
    bool ok = in != nullptr && out != nullptr &&
              fseeko(in, static_cast<off_t>(bin.offset), SEEK_SET) == 0;
    std::vector<char> buf(1 << 20);
    uint64_t left = bin.length, at = 0, middle = bin.length / 2;
    while (ok && left > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
        size_t got = fread(buf.data(), 1, want, in);
        if (got == 0)
            break;
        if (middle >= at && middle < at + got)
            buf[middle - at] = static_cast<char>(buf[middle - at] ^ 0xFF);
        ok = fwrite(buf.data(), 1, got, out) == got;
        at += got;
        left -= got;
    }
    if (in)
        fclose(in);
    if (out)
        fclose(out);
    a.remove_after.push_back(copy);
    if (!ok)
        return;
    PObject::binary_type flipped;
    flipped.path = copy;
    flipped.offset = 0;
    flipped.length = at;
    data = flipped;
}

// The connection's helper thread: it runs one piece of work at a time while the
// connection thread writes keep-alives. It lives as long as the connection, so that a
// request costs no thread start.
class Helper
{
public:
    Helper() = default;
    ~Helper();
    Helper(const Helper &) = delete;
    Helper &operator=(const Helper &) = delete;

    // Runs work on the helper thread; tick is called on this thread about once a second
    // until the work is done.
    void run(const std::function<void()> &work, const std::function<void()> &tick);

private:
    void loop();

    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::condition_variable m_finished;
    const std::function<void()> *m_work = nullptr;
    bool m_done = false;
    bool m_quit = false;
};

Helper::~Helper()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_quit = true;
    }
    m_posted.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void Helper::loop()
{
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_posted.wait(guard, [this] { return m_quit || m_work != nullptr; });
        if (m_work == nullptr)
            return;
        const std::function<void()> *work = m_work;
        guard.unlock();
        (*work)();
        guard.lock();
        m_work = nullptr;
        m_done = true;
        m_finished.notify_one();
    }
}

void Helper::run(const std::function<void()> &work, const std::function<void()> &tick)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_thread.joinable())
        m_thread = std::thread([this] { loop(); });
    m_work = &work;
    m_done = false;
    m_posted.notify_one();
    while (!m_done) {
        if (m_finished.wait_for(guard, std::chrono::seconds(1)) == std::cv_status::timeout &&
            !m_done) {
            guard.unlock();
            tick();
            guard.lock();
        }
    }
}

class Connection
{
public:
    Connection(ServerContext &ctx, ServerChannel &ch, const std::string &peer)
        : m_ctx(ctx), m_ch(ch), m_peer(peer), m_handler(ctx)
    {
    }
    void serve();

private:
    bool serveOne();
    int receiveBody(const Header &h, PObject &body);
    void keepPartialUpload(PObject &body);
    void runWork(Prepared &p, Answer &a);
    bool sendAnswer(Prepared &p, Answer &a);
    void logRequest(const Prepared &p, const Answer &a, double ms);

    ServerContext &m_ctx;
    ServerChannel &m_ch;
    std::string m_peer;
    RequestHandler m_handler;
    PStream m_stream;
    ReceivedDigests m_digests;
    bool m_logged_in = false;
    bool m_send_failed = false;
    // Declared last: it stops before anything its work uses goes away.
    Helper m_helper;
};

void Connection::serve()
{
    if (m_handler.open() < 0)
        return;
    m_ch.SetFlag(&m_ctx.stop);
    m_stream.SetDefaultRecvLocation(ustring(m_ctx.content.spoolDir()));
    // A client can make the server hold at most this much of one request in memory, and
    // store no more than two binary items of the largest accepted file size; a request
    // beyond any bound closes the connection before the excess is read or stored.
    PStreamRecvLimits limits;
    limits.bytes = kRequestMaxBytes;
    limits.items = kRequestMaxItems;
    limits.depth = 8;
    limits.map_entries = 64;
    limits.array_elements = 1024;
    limits.binary_items = 2;
    limits.binary_length = m_ctx.opt.max_file_size;
    m_stream.SetRecvLimits(limits);
    m_stream.SetRecvBinaryTap(
        [this](const ustring &path, uint64_t at, const char *data, size_t n) {
            m_digests.feed(std::string(path.c_str_utf8(), path.length()), at, data, n);
        });
    while (!m_ctx.stop.load() && serveOne()) {
    }
}

int Connection::receiveBody(const Header &h, PObject &body)
{
    // A drop_recv fault cuts the body after its byte count; it is used up only when it
    // actually cuts something.
    FaultRow drop;
    bool have_drop = m_handler.store().peekFault("drop_recv", h.command, drop);
    if (have_drop)
        m_ch.LimitReads(drop.arg);
    m_ch.ResetFired();
    m_digests.clear();
    int rc = m_stream.Recv(m_ch, body);
    m_ch.ClearLimits();
    if (have_drop && m_ch.Fired())
        m_handler.store().consumeFault(drop.id);
    return rc;
}

// A resumable upload cut while its data arrived keeps what did arrive under its token (the
// token precedes the data in the message).
void Connection::keepPartialUpload(PObject &body)
{
    std::string data = BinaryPath(body["file"]["data"]);
    std::string token = Str(body["resume_token"]);
    if (Str(body["action"]) != "resume_upload" || token.empty() || data.empty())
        return;
    TokenRow t;
    Store &store = m_handler.store();
    if (!store.token(token, t) || t.kind != "upload" || FileSize(data) == 0)
        return;
    if (t.held.empty()) {
        t.held = m_ctx.content.newSpoolFile();
        if (t.held.empty())
            return;
    }
    if (AppendFile(t.held, data) < 0 || SyncPath(t.held) < 0)
        return;
    t.last_use = time(nullptr);
    store.saveToken(t);
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] connection.cpp(%d): %s: kept %llu bytes of an interrupted upload\n",
                   __LINE__, m_peer.c_str(), static_cast<unsigned long long>(FileSize(t.held)));
}

void Connection::runWork(Prepared &p, Answer &a)
{
    auto last = std::chrono::steady_clock::now();
    m_helper.run(
        [&] {
            // An exception must not leave the helper thread (it would end the server):
            // the connection closes without an answer instead.
            try {
                if (SleepWatching(m_ctx.stop, p.delay))
                    m_handler.work(p, a);
                else
                    a.send = false;
            } catch (const std::exception &e) {
                Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] connection.cpp(%d): %s: %s\n",
                               __LINE__, m_peer.c_str(), e.what());
                a.send = false;
            }
        },
        [&] {
            auto now = std::chrono::steady_clock::now();
            if (m_send_failed || now - last < std::chrono::seconds(m_ctx.opt.keepalive))
                return;
            last = now;
            PObject keep;
            keep["type"] = "keep_alive";
            if (m_stream.Send(m_ch, keep) < 0)
                m_send_failed = true;
        });
}

bool Connection::sendAnswer(Prepared &p, Answer &a)
{
    if (a.code() != 0) {
        PObject error = a.body["error"];
        a.body.clear();
        a.body["error"] = error;
        if (p.action == "connect" || p.action == "encrypt_channel")
            a.close = true;
    }
    a.body["alive"] = static_cast<uint64_t>(a.close ? 0 : m_ctx.opt.alive);
    a.body["type"] = "response";
    if (a.corrupt)
        CorruptData(m_ctx, a);
    if (a.drop_send >= 0)
        m_ch.LimitWrites(a.drop_send);
    int rc = m_stream.Send(m_ch, a.body);
    m_ch.ClearLimits();
    return rc >= 0;
}

void Connection::logRequest(const Prepared &p, const Answer &a, double ms)
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] request peer=%s action=%s view=%llu path=%s result=0x%x ms=%.1f "
                   "in=%llu out=%llu transfer=%s%s\n",
                   m_peer.c_str(), p.action.empty() ? "-" : p.action.c_str(),
                   static_cast<unsigned long long>(p.view_id), p.path.empty() ? "-" : p.path.c_str(),
                   a.code(), ms, static_cast<unsigned long long>(a.data_in),
                   static_cast<unsigned long long>(a.data_out),
                   a.transfer.empty() ? "none" : a.transfer.c_str(), a.send ? "" : " (closed)");
}

bool Connection::serveOne()
{
    m_ch.SetTimeout(m_ctx.opt.alive + 30);
    Header h;
    if (ReadHeader(m_ch, h) < 0)
        return false;
    if (h.magic != PROTO_MAGIC || !KnownCommand(h.command) || h.length != 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] connection.cpp(%d): %s: bad header (magic 0x%x, command %u, "
                       "length %u), closing\n",
                       __LINE__, m_peer.c_str(), h.magic, h.command, h.length);
        return false;
    }
    auto start = std::chrono::steady_clock::now();
    m_ch.SetTimeout(60);
    PObject body;
    int rc = receiveBody(h, body);
    std::string data = BinaryPath(body["file"]["data"]);
    DiscardBinaries(body, data);
    if (rc < 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] connection.cpp(%d): %s: request not received (%d), closing\n",
                       __LINE__, m_peer.c_str(), rc);
        keepPartialUpload(body);
        if (!data.empty())
            unlink(data.c_str());
        return false;
    }
    Prepared p;
    Answer a;
    if (h.version != PROTO_VERSION) {
        p.action = Str(body["action"]);
        SetError(a, CODE_VERSION, "protocol version not supported");
        a.close = true;
    } else if (m_handler.prepare(h.command, body, m_logged_in, m_ch.IsSSL(), p, a)) {
        p.data_digested = !data.empty() && m_digests.finish(data, p.data_digest) == 0;
        if (p.stall > 0 && !SleepWatching(m_ctx.stop, p.stall))
            a.send = false;
        else
            runWork(p, a);
    }
    bool keep_going = a.send && !m_send_failed;
    if (keep_going)
        keep_going = sendAnswer(p, a);
    if (!data.empty())
        unlink(data.c_str());
    for (const std::string &f : a.remove_after)
        unlink(f.c_str());
    logRequest(p, a,
               std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                   .count());
    if (!keep_going || a.close)
        return false;
    if (a.login)
        m_logged_in = true;
    if (a.start_tls) {
        // Whatever the client sent after its request would be read as TLS records.
        if (m_ch.GetReadPending() != 0 || m_ch.ConvertToSSLChannel(true) < 0) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] connection.cpp(%d): %s: TLS handshake failed\n", __LINE__,
                           m_peer.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

void ServeConnection(ServerContext &ctx, ServerChannel &channel, const std::string &peer)
{
    try {
        Connection conn(ctx, channel, peer);
        conn.serve();
    } catch (const std::exception &e) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] connection.cpp(%d): %s: %s\n",
                       __LINE__, peer.c_str(), e.what());
    }
    channel.Close();
}

} // namespace srv
