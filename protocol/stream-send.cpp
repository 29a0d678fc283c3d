// PStream: writing items onto a channel.
#include "protocol/stream.h"
#include "protocol/stream-log.h"

#include "channel.h"
#include "log.h"

#include <cinttypes>
#include <memory>
#include <new>

namespace
{

const uint64_t kProgressLogStep = 104857600; // 100 MiB

unsigned int IntegerWidth(uint64_t value)
{
    if (value < 0x100)
        return 1;
    if (value < 0x10000)
        return 2;
    if (value < 0x100000000ULL)
        return 4;
    return 8;
}

bool DumpEnabled()
{
    return Logger::IsEnabled(Logger::L_DEBUG, PStreamComponent());
}

} // namespace

int PStream::SendObject(Channel &channel, const PObject &object)
{
    switch (object.getType()) {
    case PObject::TYPE_NULL:
        return SendNull(channel);
    case PObject::TYPE_INTEGER:
        return Send(channel, object.asUInt64());
    case PObject::TYPE_STRING:
        return Send(channel, object.asString());
    case PObject::TYPE_MAP:
        return Send(channel, object.asMap());
    case PObject::TYPE_ARRAY:
        return Send(channel, object.asArray());
    case PObject::TYPE_BINARY:
        return Send(channel, object.asBinary());
    default:
        return -1;
    }
}

int PStream::SendNull(Channel &channel)
{
    SetProgress(0, 0);
    const char item[2] = {TAG_NULL, 0};
    int ret = channel.Write(item, sizeof(item));
    return ret < 0 ? ChannelFailure(__LINE__, ret) : 0;
}

int PStream::Send(Channel &channel, uint64_t value)
{
    SetProgress(0, 0);
    unsigned int width = IntegerWidth(value);
    char item[2 + 8];
    item[0] = TAG_INTEGER;
    item[1] = static_cast<char>(width);
    for (unsigned int i = 0; i < width; ++i)
        item[2 + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
    int ret = channel.Write(item, 2 + width);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    if (DumpEnabled())
        Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s%llu\n", Indent(),
                       static_cast<unsigned long long>(value));
    return 0;
}

int PStream::Send(Channel &channel, const ustring &text)
{
    SetProgress(0, 0);
    // The count field is 16 bits wide: a longer text would be cut and the peer would read
    // its tail as items.
    if (text.length() > 0xFFFF) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): string of %llu bytes is too long to send\n",
                       __LINE__, static_cast<unsigned long long>(text.length()));
        return -5;
    }
    int ret = channel.WriteByte(TAG_STRING);
    if (ret >= 0)
        ret = channel.WriteInt16(static_cast<uint16_t>(text.length()));
    if (ret >= 0 && !text.empty())
        ret = channel.Write(text.c_str_utf8(), text.length());
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    if (DumpEnabled())
        Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s\"%s\"\n", Indent(),
                       text.c_str_utf8());
    return 0;
}

int PStream::Send(Channel &channel, const PObject::map_type &map)
{
    int ret = channel.WriteByte(TAG_MAP);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s{\n", Indent());
    ++indent;
    for (const auto &entry : map) {
        const ustring &key = entry.first;
        // A leading "_" only orders the key in memory; it does not travel.
        ustring wire_key = !key.empty() && key[0] == '_' ? key.substr(1) : key;
        ret = Send(channel, wire_key);
        if (ret < 0)
            return ret;
        PushKey(wire_key);
        ret = SendObject(channel, entry.second);
        if (ret < 0)
            return ret; // the key stays on the history for the error stack
        PopKey();
    }
    ret = channel.WriteByte(TAG_END);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    --indent;
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s}\n", Indent());
    return 0;
}

int PStream::Send(Channel &channel, const PObject::array_type &array)
{
    int ret = channel.WriteByte(TAG_ARRAY);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s[\n", Indent());
    ++indent;
    for (const PObject &element : array) {
        ret = SendObject(channel, element);
        if (ret < 0)
            return ret;
    }
    ret = channel.WriteByte(TAG_END);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    --indent;
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s]\n", Indent());
    return 0;
}

int PStream::Send(Channel &channel, const PObject::binary_type &binary)
{
    int ret = channel.WriteByte(TAG_BINARY);
    if (ret >= 0)
        ret = channel.WriteInt64(binary.length);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    std::unique_ptr<char[]> buf(new (std::nothrow) char[TRANSFER_BUFFER_SIZE]);
    if (!buf) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(), "[ERROR] stream.cpp(%d): malloc error\n",
                       __LINE__);
        return -1;
    }
    FILE *fp = PStreamOpenFile(binary.path, "rb");
    if (fp == nullptr) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): fopen(%s) error\n", __LINE__,
                       binary.path.c_str_utf8());
        return -1;
    }
    ret = SendBinaryBody(channel, fp, binary, buf.get());
    fclose(fp);
    return ret;
}

int PStream::SendBinaryBody(Channel &channel, FILE *fp, const PObject::binary_type &binary,
                            char *buf)
{
    if (binary.offset > static_cast<uint64_t>(INT64_MAX) ||
        fseeko(fp, static_cast<off_t>(binary.offset), SEEK_SET) != 0) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(), "[ERROR] stream.cpp(%d): fseek error\n",
                       __LINE__);
        return -1;
    }
    SetProgress(0, binary.length);
    uint64_t done = 0;
    while (done < binary.length) {
        size_t want = binary.length - done < TRANSFER_BUFFER_SIZE
                          ? static_cast<size_t>(binary.length - done)
                          : TRANSFER_BUFFER_SIZE;
        size_t got = fread(buf, 1, want, fp);
        if (got < want && ferror(fp)) {
            Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                           "[ERROR] stream.cpp(%d): fread error\n", __LINE__);
            return -1;
        }
        if (got > 0) {
            int ret = channel.Write(buf, got);
            if (ret < 0)
                return ChannelFailure(__LINE__, ret);
        }
        done += got;
        SetProgress(done, binary.length);
        if (got > 0 && done % kProgressLogStep == 0)
            Logger::LogMsg(Logger::L_INFO, PStreamComponent(),
                           "[INFO] stream.cpp(%d): sending %s ... (%llu / %llu)\n", __LINE__,
                           binary.path.c_str_utf8(), static_cast<unsigned long long>(done),
                           static_cast<unsigned long long>(binary.length));
        if (got < want)
            break;
    }
    if (done < binary.length) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): file length is incorrect.\n", __LINE__);
        return -5;
    }
    if (DumpEnabled())
        Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%sbinary, %llu bytes\n", Indent(),
                       static_cast<unsigned long long>(binary.length));
    return 0;
}
