#include "fake-proxy.h"

#include "zentproxy/lib/zentproxyclient_ntlm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace
{

std::string Lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string B64Encode(const std::string &in)
{
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                            reinterpret_cast<const unsigned char *>(in.data()),
                            static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string B64Decode(const std::string &in)
{
    if (in.empty() || in.size() % 4 != 0)
        return "";
    std::string out(in.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                            reinterpret_cast<const unsigned char *>(in.data()),
                            static_cast<int>(in.size()));
    if (n < 0)
        return "";
    size_t pad = in[in.size() - 1] == '=' ? (in[in.size() - 2] == '=' ? 2 : 1) : 0;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

uint32_t Le(const std::string &m, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(m[at + static_cast<size_t>(i)]);
    return v;
}

// The bytes a security buffer of message m at `at` describes; "" when outside m.
std::string Field(const std::string &m, size_t at)
{
    size_t len = Le(m, at, 2), offset = Le(m, at + 4, 4);
    if (offset > m.size() || len > m.size() - offset)
        return "";
    return m.substr(offset, len);
}

// UTF-16LE to ASCII (tests use ASCII names).
std::string Narrow(const std::string &u16)
{
    std::string out;
    for (size_t i = 0; i + 1 < u16.size(); i += 2)
        out += u16[i];
    return out;
}

std::string Hmac(const std::string &key, const std::string &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest, &len);
    return std::string(reinterpret_cast<char *>(digest), len);
}

} // namespace

FakeProxy::FakeProxy(Handler handler) : m_handler(std::move(handler)), m_port(0), m_accepted(0)
{
    m_wake[0] = m_wake[1] = -1;
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        pipe2(m_wake, O_CLOEXEC) != 0)
        return;
    m_port = ntohs(addr.sin_port);
    m_acceptor = std::thread(&FakeProxy::AcceptLoop, this);
}

FakeProxy::~FakeProxy()
{
    if (m_acceptor.joinable()) {
        char c = 0;
        if (write(m_wake[1], &c, 1) != 1)
            perror("write");
        m_acceptor.join();
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int fd : m_fds)
            if (fd >= 0)
                shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &t : m_threads)
        t.join();
    for (int fd : {m_listener, m_wake[0], m_wake[1]})
        if (fd >= 0)
            close(fd);
}

void FakeProxy::AcceptLoop()
{
    for (;;) {
        struct pollfd pfd[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0 && errno != EINTR)
            return;
        if (pfd[1].revents)
            return;
        if (!(pfd[0].revents & POLLIN))
            continue;
        int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_accepted;
        std::lock_guard<std::mutex> guard(m_lock);
        size_t slot = m_fds.size();
        m_fds.push_back(fd);
        m_threads.emplace_back([this, fd, slot] {
            if (m_handler)
                m_handler(fd);
            // The connection ends with its handler; the slot is cleared under the lock so
            // that the destructor never shuts down a descriptor number reused since.
            std::lock_guard<std::mutex> slot_guard(m_lock);
            shutdown(fd, SHUT_RDWR);
            close(fd);
            m_fds[slot] = -1;
            m_idle.notify_all();
        });
    }
}

bool FakeProxy::WaitIdle()
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_idle.wait_for(guard, std::chrono::seconds(10), [this] {
            return std::all_of(m_fds.begin(), m_fds.end(), [](int fd) { return fd < 0; });
        }))
        return false;
    // Every handler has left its last locked step, so the threads end without the lock;
    // joining them here makes the thread count of the process settle.
    for (std::thread &t : m_threads)
        t.join();
    m_threads.clear();
    m_fds.clear();
    return true;
}

bool FakeProxy::ReadHead(int fd, std::string &head, int timeout_ms)
{
    head.clear();
    char c;
    while (head.size() < 65536) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0)
            return false;
        // One byte at a time: what follows the head belongs to the next request.
        if (recv(fd, &c, 1, 0) != 1)
            return false;
        head += c;
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0)
            return true;
    }
    return false;
}

std::string FakeProxy::Header(const std::string &head, const std::string &key)
{
    std::string lower = Lower(head);
    size_t at = lower.find("\r\n" + Lower(key) + ":");
    if (at == std::string::npos)
        return "";
    at += key.size() + 3;
    size_t end = head.find("\r\n", at);
    std::string value = head.substr(at, end - at);
    value.erase(0, value.find_first_not_of(' '));
    return value;
}

bool FakeProxy::Send(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void FakeProxy::WaitClosed(int fd)
{
    char buf[4096];
    while (recv(fd, buf, sizeof(buf), 0) > 0) {
    }
}

std::string FakeProxy::Answer407(const std::vector<std::string> &authenticate)
{
    std::string body = "<html>proxy authentication required</html>";
    std::string answer = "HTTP/1.1 407 Proxy Authentication Required\r\n";
    for (const std::string &value : authenticate)
        answer += "Proxy-Authenticate: " + value + "\r\n";
    answer += "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\nProxy-Connection: keep-alive\r\n\r\n" + body;
    return answer;
}

void FakeProxy::Pump(int a, int b)
{
    char buf[65536];
    for (;;) {
        struct pollfd pfd[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (!pfd[i].revents)
                continue;
            ssize_t n = recv(pfd[i].fd, buf, sizeof(buf), 0);
            if (n <= 0 || !Send(pfd[1 - i].fd, std::string(buf, static_cast<size_t>(n))))
                return;
        }
    }
}

void FakeProxy::Establish(int fd, const std::string &head, bool answer)
{
    // "CONNECT host:port HTTP/1.1"
    size_t start = head.find(' ') + 1;
    size_t colon = head.rfind(':', head.find(' ', start));
    std::string host = head.substr(start, colon - start);
    int port = atoi(head.c_str() + colon + 1);
    int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
        connect(target, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        Send(fd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        close(target);
        return;
    }
    if (!answer || Send(fd, "HTTP/1.1 200 Connection established\r\n\r\n"))
        Pump(fd, target);
    close(target);
}

FakeNtlmProxy::FakeNtlmProxy(const Options &options)
    : m_options(options), m_proxy([this](int fd) { Serve(fd); })
{
}

std::string FakeNtlmProxy::last_user() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_user;
}

std::string FakeNtlmProxy::last_domain() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_domain;
}

std::string FakeNtlmProxy::last_blob_target_info() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_blob_info;
}

std::string FakeNtlmProxy::Challenge() const
{
    std::string m("NTLMSSP\0", 8);
    m += std::string("\x02\0\0\0", 4);
    m += std::string("\0\0\0\0\x30\0\0\0", 8);       // empty target name at 48
    m += std::string("\x05\x82\x89\x00", 4);         // flags
    m += m_options.challenge;                        // offset 24
    m += std::string(8, '\0');                       // context
    uint16_t len = static_cast<uint16_t>(m_options.target_info.size());
    uint32_t offset = m_options.target_info_outside ? 0x7FFF0000u : 48u;
    m += std::string(1, static_cast<char>(len & 0xFF)) + static_cast<char>(len >> 8);
    m += std::string(1, static_cast<char>(len & 0xFF)) + static_cast<char>(len >> 8);
    for (int i = 0; i < 4; ++i)
        m += static_cast<char>(offset >> (8 * i) & 0xFF);
    if (!m_options.target_info_outside)
        m += m_options.target_info;
    if (m_options.truncate_challenge != 0)
        m.resize(m_options.truncate_challenge);
    return m;
}

bool FakeNtlmProxy::Verify(const std::string &type3)
{
    if (type3.size() < 64 || type3.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0 ||
        Le(type3, 8, 4) != 3)
        return false;
    std::string lm = Field(type3, 12), nt = Field(type3, 20);
    std::string domain16 = Field(type3, 28), user16 = Field(type3, 36);
    std::string user = Narrow(user16), domain = Narrow(domain16);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_user = user;
        m_domain = domain;
    }
    const uint8_t *challenge = reinterpret_cast<const uint8_t *>(m_options.challenge.data());
    NTLMBytes nt_hash = NTLMHashNT(m_options.password);
    if (nt.size() == 24) {
        bool ok = m_options.accept_v1 && nt == NTLMResponseV1(nt_hash, challenge) &&
                  lm == NTLMResponseV1(NTLMHashLM(m_options.password), challenge);
        if (ok)
            ++m_v1;
        return ok;
    }
    if (nt.size() < 16 + 32 || lm.size() != 24 || !m_options.accept_v2)
        return false;
    // As a server does: the user name upper-cased, the domain as the message carries it.
    std::string upper_user16 = user16;
    for (size_t i = 0; i < upper_user16.size(); i += 2)
        upper_user16[i] = static_cast<char>(toupper(static_cast<unsigned char>(upper_user16[i])));
    std::string v2 = Hmac(nt_hash, upper_user16 + domain16);
    std::string blob = nt.substr(16);
    bool ok = Hmac(v2, m_options.challenge + blob) == nt.substr(0, 16) &&
              Hmac(v2, m_options.challenge + lm.substr(16)) == lm.substr(0, 16);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_blob_info = blob.substr(28, blob.size() - 32);
    }
    if (ok)
        ++m_v2;
    return ok;
}

void FakeNtlmProxy::Serve(int fd)
{
    std::string head;
    if (!FakeProxy::ReadHead(fd, head))
        return;
    std::string auth = FakeProxy::Header(head, "Proxy-Authorization");
    if (auth.compare(0, 5, "NTLM ") != 0) {
        FakeProxy::Send(fd, FakeProxy::Answer407({"NTLM"}));
        return;
    }
    std::string type1 = B64Decode(auth.substr(5));
    if (type1.size() < 32 || Le(type1, 8, 4) != 1) {
        FakeProxy::Send(fd, FakeProxy::Answer407({"NTLM"}));
        return;
    }
    if (!FakeProxy::Send(fd, FakeProxy::Answer407({"NTLM " + B64Encode(Challenge())})) ||
        !FakeProxy::ReadHead(fd, head))
        return;
    auth = FakeProxy::Header(head, "Proxy-Authorization");
    if (auth.compare(0, 5, "NTLM ") == 0 && Verify(B64Decode(auth.substr(5)))) {
        FakeProxy::Establish(fd, head);
        return;
    }
    ++m_rejected;
    FakeProxy::Send(fd, FakeProxy::Answer407({"NTLM"}));
}

EchoTarget::EchoTarget()
    : m_server([](int fd) {
          char buf[65536];
          for (;;) {
              ssize_t n = recv(fd, buf, sizeof(buf), 0);
              if (n <= 0 || !FakeProxy::Send(fd, std::string(buf, static_cast<size_t>(n))))
                  return;
          }
      })
{
}
