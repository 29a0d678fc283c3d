// The server's channel: an accepted socket that can be told to fail after a number of
// bytes of the current message, so that a test can cut a request or an answer in the
// middle (the drop_recv and drop_send faults). Nothing else in the server knows about it.
#pragma once

#include "channel.h"

#include <cstdint>

namespace srv
{

class ServerChannel : public Channel
{
public:
    using Channel::Read;
    using Channel::Write;

    // Reads (writes) fail with ERR_IO once limit more bytes went through; -1 lifts it.
    void LimitReads(int64_t limit) { m_read_left = limit; }
    void LimitWrites(int64_t limit) { m_write_left = limit; }
    void ClearLimits()
    {
        m_read_left = -1;
        m_write_left = -1;
    }
    // True once a limit cut a transfer (until reset).
    bool Fired() const { return m_fired; }
    void ResetFired() { m_fired = false; }

    int Read(char *buf, size_t n, size_t &got) override;
    int Write(const char *buf, size_t n) override;

private:
    int64_t m_read_left = -1;
    int64_t m_write_left = -1;
    bool m_fired = false;
};

} // namespace srv
