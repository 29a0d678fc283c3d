// Pieces shared by the proxy client's sources: logging, socket waits and sends, the
// response reader with its header list, Base64, and the method table.
#pragma once

#include "zentproxy/lib/zentproxyclient.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Waits and retries of every socket step: six waits of two seconds.
const int kProxyWaitMs = 2000;
const int kProxyWaitTries = 6;
// A response whose status line and headers exceed this is refused as malformed.
const size_t kProxyMaxHeaderBytes = 64 * 1024;
// A discarded response body larger than this is refused as malformed.
const size_t kProxyMaxBodyBytes = 1024 * 1024;
// Longest line of a response, line feed included.
const size_t kProxyMaxLine = 1023;

void ProxyLog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// One wait of at most timeout_ms for readability (or writability). 1 ready, 0 timed out,
// -1 failed (errno kept; EINTR is a failure the caller may retry).
int ProxyWaitFd(int fd, bool for_write, int timeout_ms);
// Sends all of data in as many pieces as the socket takes. 0 or -1.
int ProxySendAll(int fd, const std::string &data);

// One response header; the list keeps arrival order.
struct PROXY_HTTP_HEADER_ENTRY {
    std::string szKey;
    std::string szValue;
    PROXY_HTTP_HEADER_ENTRY *NextEntry;
};

// Owner of a singly linked header list.
class ProxyHeaderList
{
public:
    ProxyHeaderList() : m_head(nullptr), m_tail(nullptr) {}
    ~ProxyHeaderList() { Clear(); }
    ProxyHeaderList(const ProxyHeaderList &) = delete;
    ProxyHeaderList &operator=(const ProxyHeaderList &) = delete;

    void Append(const std::string &key, const std::string &value);
    void Clear();
    // First entry whose key equals key (case-sensitive) and whose value starts with
    // value_prefix; nullptr when none does.
    const PROXY_HTTP_HEADER_ENTRY *Find(const char *key, const char *value_prefix = "") const;
    const PROXY_HTTP_HEADER_ENTRY *Head() const { return m_head; }

private:
    PROXY_HTTP_HEADER_ENTRY *m_head;
    PROXY_HTTP_HEADER_ENTRY *m_tail;
};

// Takes exactly one line (up to and including the first line feed, at most kProxyMaxLine
// bytes) from the socket, never more. 0, or -1 on time-out, close or error.
int ProxyReadLine(int fd, std::string &line);
// Reads one response: the status code, the headers into the list, and (for answers other
// than 2xx) the body, which is discarded. Bytes after the response stay in the socket.
// 0, ZENTPROXY_ERR_SEND when the connection fails or times out, ZENTPROXY_ERR_MALFORMED
// for an answer that is not HTTP or is too large.
int ProxyReadResponse(int fd, int &code, ProxyHeaderList &headers);

// The status code of the last response read on the calling thread (0 when none was read
// since the last reset). Each attempt runs on a thread of its own, so an attempt reads back
// the answer it got without sharing state with the others.
int ProxyLastResponseCode();
void ProxyResetLastResponseCode();

// Standard Base64 without line breaks.
std::string ProxyBase64Encode(const void *data, size_t len);
// false for text that is not Base64.
bool ProxyBase64Decode(const std::string &text, std::string &out);

// One row of the method table.
typedef int (*ZENTProxyAuthHandler)(int fd, const PROXY_TARGET_INFO *target,
                                    const PROXY_AUTH_INFO *auth);
typedef struct {
    int type;
    const char *auth_str;
    ZENTProxyAuthHandler auth_cb;
} ZENT_PROXY_AUTH_CONTROL;

const int kProxyMethodCount = 4;
// NO Auth, BASIC Auth, NTLMv1 Auth, NTLMv2 Auth, in this order.
extern const ZENT_PROXY_AUTH_CONTROL kProxyAuthControl[kProxyMethodCount];

// Runs one method on a connection of its own: the socket, or a negative code.
int HandleProxyAuthByProto(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                           const PROXY_AUTH_INFO *auth);
