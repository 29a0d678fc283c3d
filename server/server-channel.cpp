// Byte limits of the server's channel.
#include "server/server-channel.h"

#include "error-code.h"

#include <algorithm>

namespace srv
{

int ServerChannel::Read(char *buf, size_t n, size_t &got)
{
    if (m_read_left < 0)
        return Channel::Read(buf, n, got);
    size_t allow = std::min<uint64_t>(n, static_cast<uint64_t>(m_read_left));
    int ret = allow > 0 ? Channel::Read(buf, allow, got) : (got = 0, 0);
    m_read_left -= static_cast<int64_t>(got);
    if (ret < 0)
        return ret;
    if (allow < n) {
        m_fired = true;
        Close();
        return ERR_IO;
    }
    return ret;
}

int ServerChannel::Write(const char *buf, size_t n)
{
    if (m_write_left < 0)
        return Channel::Write(buf, n);
    size_t allow = std::min<uint64_t>(n, static_cast<uint64_t>(m_write_left));
    int ret = allow > 0 ? Channel::Write(buf, allow) : 0;
    if (ret < 0)
        return ret;
    m_write_left -= static_cast<int64_t>(allow);
    if (allow < n) {
        m_fired = true;
        FlushWrite();
        Close();
        return ERR_IO;
    }
    return ret;
}

} // namespace srv
