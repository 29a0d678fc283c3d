// The proxy's answer: one line at a time, never taking bytes that follow the answer (they
// belong to the target), the status code, the header list and a discarded body.
#include "zentproxy/lib/zentproxyclient-internal.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

typedef std::chrono::steady_clock Clock;

// Longest time one line or one body may take, however slowly its bytes trickle in.
const auto kReadBudget = std::chrono::milliseconds(kProxyWaitMs * kProxyWaitTries);

// Waits for readability within the budget of the current read. 1 ready, 0 gave up.
int WaitReadable(int fd, int &timeouts, Clock::time_point deadline, bool header)
{
    for (;;) {
        if (Clock::now() >= deadline)
            return 0;
        int ready = ProxyWaitFd(fd, false, kProxyWaitMs);
        if (ready > 0)
            return 1;
        if (ready < 0 && errno != EINTR)
            return 0;
        if (ready == 0) {
            if (header)
                ProxyLog(PROXY_WARNING,
                         "[WARN]lib/zentproxyclient_util.c [%d]Read http header timeout\n",
                         __LINE__);
            if (++timeouts >= kProxyWaitTries) {
                if (header)
                    ProxyLog(PROXY_ERR,
                             "[ERROR] lib/zentproxyclient_util.c [%d]Retry maximum times reached\n",
                             __LINE__);
                return 0;
            }
        }
    }
}

// Looks at up to room waiting bytes; takes them up to and including the first occurrence
// of stop (all of them when stop is absent). Sets found when stop was taken. The number of
// bytes taken, 0 when the peer closed, -1 on error.
ssize_t TakeUpTo(int fd, std::string &into, size_t room, const char *stop, bool &found)
{
    char buf[4096];
    size_t want = room < sizeof(buf) ? room : sizeof(buf);
    ssize_t n = recv(fd, buf, want, MSG_PEEK);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? -2 : -1;
    if (n == 0)
        return 0;
    // The stop sequence may straddle what was taken before and what waits now.
    size_t keep = strlen(stop) - 1;
    size_t from = into.size() > keep ? into.size() - keep : 0;
    std::string window = into.substr(from) + std::string(buf, static_cast<size_t>(n));
    size_t at = window.find(stop);
    size_t take = static_cast<size_t>(n);
    found = at != std::string::npos;
    if (found)
        take = at + strlen(stop) - (into.size() - from);
    ssize_t got = recv(fd, buf, take, 0);
    if (got != static_cast<ssize_t>(take))
        return -1;
    into.append(buf, take);
    return got;
}

// Takes bytes until stop has been taken or limit bytes were taken. 0, or -1.
int ReadUntil(int fd, std::string &into, size_t limit, const char *stop, bool header)
{
    Clock::time_point deadline = Clock::now() + kReadBudget;
    int timeouts = 0;
    for (;;) {
        if (!WaitReadable(fd, timeouts, deadline, header))
            return -1;
        bool found = false;
        ssize_t n = TakeUpTo(fd, into, limit - into.size(), stop, found);
        if (n == -2)
            continue;
        if (n <= 0)
            return -1;
        if (found || into.size() >= limit)
            return 0;
    }
}

// Discards exactly n bytes. 0, or -1.
int DiscardBytes(int fd, size_t n)
{
    Clock::time_point deadline = Clock::now() + kReadBudget;
    int timeouts = 0;
    char buf[4096];
    while (n > 0) {
        if (!WaitReadable(fd, timeouts, deadline, false))
            return -1;
        ssize_t got = recv(fd, buf, n < sizeof(buf) ? n : sizeof(buf), 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            return -1;
        n -= static_cast<size_t>(got);
    }
    return 0;
}

// Discards the body the headers announce: Content-Length bytes, or with only a
// Content-Type, bytes up to an empty line.
int DiscardBody(int fd, const ProxyHeaderList &headers)
{
    if (const PROXY_HTTP_HEADER_ENTRY *length = headers.Find("Content-Length")) {
        char *end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(length->szValue.c_str(), &end, 10);
        if (errno != 0 || end == length->szValue.c_str() || *end != '\0' ||
            length->szValue[0] == '-' || n > kProxyMaxBodyBytes)
            return ZENTPROXY_ERR_MALFORMED;
        return DiscardBytes(fd, static_cast<size_t>(n)) == 0 ? 0 : ZENTPROXY_ERR_SEND;
    }
    if (headers.Find("Content-Type")) {
        std::string body;
        if (ReadUntil(fd, body, kProxyMaxBodyBytes, "\r\n\r\n", false) != 0)
            return ZENTPROXY_ERR_SEND;
        return body.size() >= kProxyMaxBodyBytes ? ZENTPROXY_ERR_MALFORMED : 0;
    }
    return 0;
}

void CutTrailingBlanks(std::string &s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.pop_back();
}

} // namespace

void ProxyHeaderList::Append(const std::string &key, const std::string &value)
{
    PROXY_HTTP_HEADER_ENTRY *entry = new PROXY_HTTP_HEADER_ENTRY{key, value, nullptr};
    if (m_tail != nullptr)
        m_tail->NextEntry = entry;
    else
        m_head = entry;
    m_tail = entry;
}

void ProxyHeaderList::Clear()
{
    while (m_head != nullptr) {
        PROXY_HTTP_HEADER_ENTRY *next = m_head->NextEntry;
        delete m_head;
        m_head = next;
    }
    m_tail = nullptr;
}

const PROXY_HTTP_HEADER_ENTRY *ProxyHeaderList::Find(const char *key, const char *value_prefix) const
{
    size_t prefix_len = strlen(value_prefix);
    for (const PROXY_HTTP_HEADER_ENTRY *e = m_head; e != nullptr; e = e->NextEntry)
        if (e->szKey == key && e->szValue.compare(0, prefix_len, value_prefix) == 0)
            return e;
    return nullptr;
}

int ProxyReadLine(int fd, std::string &line)
{
    line.clear();
    return ReadUntil(fd, line, kProxyMaxLine, "\n", true);
}

int ProxyReadResponse(int fd, int &code, ProxyHeaderList &headers)
{
    headers.Clear();
    code = 0;
    std::string line;
    if (ProxyReadLine(fd, line) != 0)
        return ZENTPROXY_ERR_SEND;
    size_t total = line.size();
    CutTrailingBlanks(line);
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_httpheader.c [%d]buf='%s'\n", __LINE__,
             line.c_str());
    if (sscanf(line.c_str(), "HTTP/%*1s.%*1s %d %*s", &code) != 1)
        return ZENTPROXY_ERR_MALFORMED;
    for (;;) {
        if (ProxyReadLine(fd, line) != 0)
            return ZENTPROXY_ERR_SEND;
        total += line.size();
        if (total > kProxyMaxHeaderBytes)
            return ZENTPROXY_ERR_MALFORMED;
        CutTrailingBlanks(line);
        if (line.empty())
            break;
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        size_t value = line.find_first_not_of(" \t", colon + 1);
        headers.Append(line.substr(0, colon),
                       value == std::string::npos ? std::string() : line.substr(value));
    }
    // A 2xx answer to CONNECT has no body: what follows is the target's.
    if (code >= 200 && code < 300)
        return 0;
    return DiscardBody(fd, headers);
}
