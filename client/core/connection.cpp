#include "client/core/connection.h"

#include "log.h"

#include <ctime>

namespace
{

const char kComponent[] = "connection_debug";

uint32_t nowSeconds()
{
    return static_cast<uint32_t>(std::time(nullptr));
}

} // namespace

// ---- ChannelStat ----

bool Connection::ChannelStat::isExpired() const
{
    return expire == kNotConnected || nowSeconds() > expire;
}

void Connection::ChannelStat::setExpired()
{
    expire = kNotConnected;
    getChannel().Close();
}

void Connection::ChannelStat::setAliveInterval(uint32_t alive)
{
    if (alive == 0) {
        setExpired();
        return;
    }
    // A huge interval must not wrap round to a time in the past or reach the value that
    // means "not connected".
    uint64_t until = static_cast<uint64_t>(nowSeconds()) + alive;
    expire = until >= kNotConnected ? kNotConnected - 1 : static_cast<uint32_t>(until);
}

Channel &Connection::ChannelStat::getChannel() const
{
    if (channel == nullptr) {
        return BadChannel::getInstance();
    }
    return *channel;
}

// ---- BadChannel ----

BadChannel &BadChannel::getInstance()
{
    // Never deleted: borrowers may still hold a reference while the process ends.
    static BadChannel *instance = new BadChannel();
    return *instance;
}

BadChannel::BadChannel() : Channel(DEFAULT_CAPACITY) {}

namespace
{

int badCall(int line, int result)
{
    Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] connection.cpp(%d): bad function in use\n",
                   line);
    return result;
}

} // namespace

int BadChannel::Open(const char *)
{
    return badCall(__LINE__, -2);
}

int BadChannel::Open(SOCKET, bool)
{
    return badCall(__LINE__, -2);
}

int BadChannel::Open(const char *, int)
{
    return badCall(__LINE__, -2);
}

int BadChannel::ConvertToSSLChannel(bool)
{
    return badCall(__LINE__, -3);
}

int BadChannel::ReadByte(uint8_t &)
{
    return badCall(__LINE__, -2);
}

int BadChannel::ReadInt16(uint16_t &)
{
    return badCall(__LINE__, -2);
}

int BadChannel::ReadInt32(uint32_t &)
{
    return badCall(__LINE__, -2);
}

int BadChannel::ReadInt64(uint64_t &)
{
    return badCall(__LINE__, -2);
}

int BadChannel::WriteByte(uint8_t)
{
    return badCall(__LINE__, -2);
}

int BadChannel::WriteInt16(uint16_t)
{
    return badCall(__LINE__, -2);
}

int BadChannel::WriteInt32(uint32_t)
{
    return badCall(__LINE__, -2);
}

int BadChannel::WriteInt64(uint64_t)
{
    return badCall(__LINE__, -2);
}

int BadChannel::Read(char *, size_t)
{
    return badCall(__LINE__, -2);
}

int BadChannel::Read(char *, size_t, size_t &got)
{
    got = 0;
    return badCall(__LINE__, -2);
}

int BadChannel::Write(const char *, size_t)
{
    return badCall(__LINE__, -2);
}

int BadChannel::FlushWrite(size_t)
{
    return badCall(__LINE__, -2);
}

int BadChannel::ReadMore(int)
{
    return badCall(__LINE__, -2);
}

bool BadChannel::IsClosed()
{
    badCall(__LINE__, 0);
    return true;
}

// The instance is shared by every thread: nothing may change its state.
int BadChannel::Close()
{
    return 0;
}

void BadChannel::SetTimeout(unsigned int) {}

void BadChannel::SetFlag(const volatile int *) {}

void BadChannel::SetFlag(const std::atomic<int> *) {}

void BadChannel::SetAllowUntrust(bool) {}

void BadChannel::SetSSLHostname(const ustring &) {}

void BadChannel::ClearRead() {}

void BadChannel::ClearWrite() {}
