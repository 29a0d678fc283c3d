// PStream: message operations, status for other threads, the error stack and the debug
// dump. The per-kind writers are in stream-send.cpp, the readers in stream-recv.cpp.
#include "protocol/stream.h"
#include "protocol/stream-log.h"

#include "channel.h"
#include "log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

PStream::PStream()
    : total_size(0), total_sent(0), indent(0), recv_bytes(0), recv_items(0), recv_binaries(0),
      limit_hit(false)
{
}

PStream::~PStream() {}

const ustring &PStreamComponent()
{
    static const ustring component("stream");
    return component;
}

int PStream::Send(Channel &channel, const PObject &object)
{
    int ret = SendObject(channel, object);
    if (ret < 0) {
        LogErrorStack();
    } else {
        int flushed = channel.FlushWrite(0);
        if (flushed < 0)
            ret = ChannelFailure(__LINE__, flushed);
    }
    ResetStatus();
    indent = 0;
    return ret;
}

int PStream::Recv(Channel &channel, PObject &object)
{
    recv_bytes = 0;
    recv_items = 0;
    recv_binaries = 0;
    limit_hit = false;
    int ret = RecvObject(channel, object);
    if (ret < 0 && !limit_hit) // the limit's own line already names the key path
        LogErrorStack();
    ResetStatus();
    indent = 0;
    return ret;
}

void PStream::SetDefaultRecvLocation(const ustring &dir)
{
    recv_path = dir;
}

void PStream::SetRecvLimits(const PStreamRecvLimits &bounds)
{
    limits = bounds;
}

void PStream::SetRecvLimit(uint64_t max_bytes, uint64_t max_items)
{
    limits = PStreamRecvLimits();
    limits.bytes = max_bytes;
    limits.items = max_items;
}

bool PStream::HasRecvLimit() const
{
    return limits.bytes != 0 || limits.items != 0 || limits.depth != 0 || limits.map_entries != 0 ||
           limits.array_elements != 0 || limits.binary_items != 0 || limits.binary_length != 0;
}

// Adds what the next item brings to the message in reception; -2 when that goes beyond
// the byte or item bound.
int PStream::CountReceived(uint64_t bytes, uint64_t items)
{
    recv_bytes += bytes;
    recv_items += items;
    if (CheckBound(recv_bytes, limits.bytes, "bytes") < 0)
        return -2;
    return CheckBound(recv_items, limits.items, "items");
}

// -2, logged once with the key path, when value is beyond a bound that is set.
int PStream::CheckBound(uint64_t value, uint64_t bound, const char *what)
{
    if (bound == 0 || value <= bound)
        return 0;
    limit_hit = true;
    ustring path;
    {
        std::lock_guard<std::mutex> guard(status_lock);
        path = HistoryText();
    }
    Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                   "[ERROR] stream.cpp(%d): PStream: message beyond its receive limit: %s above "
                   "%llu, at '%s'\n",
                   __LINE__, what, static_cast<unsigned long long>(bound), path.c_str_utf8());
    return -2;
}

void PStream::GetStatus(ustring &path, uint64_t &sent, uint64_t &size)
{
    std::lock_guard<std::mutex> guard(status_lock);
    path = HistoryText();
    sent = total_sent;
    size = total_size;
}

void PStream::GetVersion(int &major, int &minor, int &mini)
{
    major = 1;
    minor = 0;
    mini = 0;
}

void PStream::ResetStatus()
{
    std::lock_guard<std::mutex> guard(status_lock);
    history.clear();
    total_size = 0;
    total_sent = 0;
}

void PStream::SetProgress(uint64_t sent, uint64_t size)
{
    std::lock_guard<std::mutex> guard(status_lock);
    total_sent = sent;
    total_size = size;
}

void PStream::PushKey(const ustring &key)
{
    std::lock_guard<std::mutex> guard(status_lock);
    history.push_back(key);
}

void PStream::PopKey()
{
    std::lock_guard<std::mutex> guard(status_lock);
    if (!history.empty())
        history.pop_back();
}

// The first key, then "." and every key from the first on: "file.file.data" while the
// value of data inside file travels. Called with status_lock held.
ustring PStream::HistoryText()
{
    if (history.empty())
        return ustring();
    ustring text(history.front());
    for (const ustring &key : history) {
        text += '.';
        text += key;
    }
    return text;
}

void PStream::LogErrorStack()
{
    ustring text;
    {
        std::lock_guard<std::mutex> guard(status_lock);
        text = HistoryText();
    }
    Logger::LogMsg(Logger::L_ERR, PStreamComponent(), "[ERROR] stream.cpp(%d): Error stack: %s\n",
                   __LINE__, text.c_str_utf8());
}

const char *PStream::Indent() const
{
    static const char blanks[] = "                      "; // 22 blanks: depth 11 and deeper
    unsigned int depth = indent < 11 ? indent : 11;
    return blanks + (sizeof(blanks) - 1) - 2 * depth;
}

int PStream::ChannelFailure(int line, int code)
{
    Logger::LogMsg(Logger::L_WARNING, PStreamComponent(), "[WARNING] stream.cpp(%d): Channel: %d\n",
                   line, code);
    return -2;
}

FILE *PStreamOpenFile(const ustring &path, const char *mode)
{
    int flags;
    switch (mode[0]) {
    case 'r':
        flags = O_RDONLY;
        break;
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        flags = O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    int fd = open(path.c_str_utf8(), flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): open(\"%s\"): Error code %d\n", __LINE__,
                       path.c_str_utf8(), errno);
        return nullptr;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    FILE *fp = fdopen(fd, mode);
    if (fp == nullptr) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): fdopen(\"%s\", \"%s\"): Error code %d\n", __LINE__,
                       path.c_str_utf8(), mode, errno);
        close(fd);
    }
    return fp;
}
