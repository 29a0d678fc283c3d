// Logging through the installed callback, socket waits and sends, Base64.
#include "zentproxy/lib/zentproxyclient-internal.h"

#include <openssl/evp.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <vector>

namespace
{

std::atomic<ZENTProxyLogCallback> g_log_callback{nullptr};

} // namespace

void ZENTProxyInitLogger(ZENTProxyLogCallback callback)
{
    g_log_callback.store(callback);
}

void ProxyLog(int level, const char *format, ...)
{
    ZENTProxyLogCallback callback = g_log_callback.load();
    if (callback == nullptr)
        return;
    va_list args;
    va_start(args, format);
    callback(level, "proxy_debug", format, args);
    va_end(args);
}

int ProxyWaitFd(int fd, bool for_write, int timeout_ms)
{
    struct pollfd pfd = {fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    int ret = poll(&pfd, 1, timeout_ms);
    if (ret < 0)
        return -1;
    return ret == 0 ? 0 : 1;
}

int ProxySendAll(int fd, const std::string &data)
{
    size_t sent = 0;
    int tries = 0;
    while (sent < data.size()) {
        int ready = ProxyWaitFd(fd, true, kProxyWaitMs);
        if (ready < 0 && errno != EINTR) {
            ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_util.c [%d]Select failed:error code %d\n",
                     __LINE__, errno);
            break;
        }
        if (ready <= 0) {
            ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_util.c [%d]Timeout, retry %d times\n",
                     __LINE__, tries + 1);
            if (++tries >= kProxyWaitTries)
                break;
            continue;
        }
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_util.c [%d]fd not set,retry %d\n",
                     __LINE__, tries + 1);
            if (++tries >= kProxyWaitTries)
                break;
            continue;
        }
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
        if (sent < data.size())
            ProxyLog(PROXY_WARNING,
                     "[WARN]lib/zentproxyclient_util.c [%d]Packet not send complete, continue...\n",
                     __LINE__);
    }
    if (sent == data.size())
        return 0;
    ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_util.c [%d]Tx initial auth packet failed\n",
             __LINE__);
    return -1;
}

std::string ProxyBase64Encode(const void *data, size_t len)
{
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                            static_cast<const unsigned char *>(data), static_cast<int>(len));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool ProxyBase64Decode(const std::string &text, std::string &out)
{
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    if (text.empty())
        return true;
    std::vector<unsigned char> buf(text.size() / 4 * 3 + 1);
    int n = EVP_DecodeBlock(buf.data(), reinterpret_cast<const unsigned char *>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0)
        return false;
    // EVP_DecodeBlock counts the padding as data; take it off again.
    size_t pad = text[text.size() - 1] == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
    out.assign(reinterpret_cast<char *>(buf.data()), static_cast<size_t>(n) - pad);
    return true;
}
