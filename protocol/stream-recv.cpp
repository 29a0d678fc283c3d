// PStream: reading items from a channel. Everything here comes from a peer: each length
// is checked before it is used, nothing is reserved by an announced size (binary items
// stream through one buffer, strings are bounded by their 16-bit count) and nesting is
// bounded so that a deep message cannot exhaust the stack.
#include "protocol/stream.h"
#include "protocol/stream-log.h"

#include "channel.h"
#include "conflict-rename.h"
#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace
{

const uint64_t kProgressLogStep = 104857600; // 100 MiB

bool DumpEnabled()
{
    return Logger::IsEnabled(Logger::L_DEBUG, PStreamComponent());
}

int FileFailure(int err)
{
    return err == ENOSPC ? -4 : -1;
}

// Cuts the existing file at path to offset bytes (a resumed transfer that restarts inside
// what was stored).
int CutFile(const ustring &path, uint64_t offset)
{
    int fd = open(path.c_str_utf8(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): open: Error code %d\n", __LINE__, errno);
        return -1;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): lseek: Error code %d\n", __LINE__, EINVAL);
        close(fd);
        return -1;
    }
    if (ftruncate(fd, static_cast<off_t>(offset)) != 0) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): ftruncate: Error code %d\n", __LINE__, errno);
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

// After a failure the file itself tells how much of the item it holds (bytes accepted by
// the buffered stream may not have reached it).
uint64_t StoredSince(const ustring &path, uint64_t offset, uint64_t counted)
{
    struct stat st;
    if (stat(path.c_str_utf8(), &st) != 0 || !S_ISREG(st.st_mode))
        return counted;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    return size >= offset ? size - offset : 0;
}

} // namespace

int PStream::RecvObject(Channel &channel, PObject &object)
{
    uint8_t tag = 0;
    int ret = RecvTag(channel, tag);
    if (ret < 0)
        return ret;
    return RecvDispatch(channel, tag, object);
}

int PStream::RecvTag(Channel &channel, uint8_t &tag)
{
    int ret = channel.ReadByte(tag);
    return ret < 0 ? ChannelFailure(__LINE__, ret) : 0;
}

int PStream::RecvDispatch(Channel &channel, uint8_t tag, PObject &object)
{
    if (tag != TAG_END && CountReceived(0, 1) < 0)
        return -2;
    switch (tag) {
    case TAG_NULL:
        return RecvNull(channel, object);
    case TAG_INTEGER: {
        SetProgress(0, 0);
        uint64_t value = 0;
        int ret = Recv(channel, value);
        if (ret == 0)
            object = value;
        return ret;
    }
    case TAG_STRING: {
        SetProgress(0, 0);
        ustring text;
        int ret = Recv(channel, text);
        if (ret == 0)
            object = text;
        return ret;
    }
    case TAG_ARRAY:
    case TAG_MAP:
        if (CheckBound(indent + 1, limits.depth, "depth") < 0)
            return -2;
        if (indent >= MAX_DEPTH) {
            Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                           "[ERROR] stream.cpp(%d): PStream: nesting deeper than %u\n", __LINE__,
                           MAX_DEPTH);
            return -5;
        }
        return tag == TAG_ARRAY ? Recv(channel, object.asArray()) : Recv(channel, object.asMap());
    case TAG_BINARY:
        return Recv(channel, object.asBinary());
    default:
        return Skip(channel);
    }
}

int PStream::Skip(Channel &)
{
    Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                   "[ERROR] stream.cpp(%d): PStream: unknown tag\n", __LINE__);
    return -5;
}

int PStream::RecvNull(Channel &channel, PObject &object)
{
    uint8_t length = 0;
    int ret = channel.ReadByte(length);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    if (length != 0) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): expect length 0, but we've got %u\n", __LINE__,
                       static_cast<unsigned int>(length));
        return -5;
    }
    object.clear();
    return 0;
}

int PStream::Recv(Channel &channel, uint64_t &value)
{
    uint8_t width = 0;
    int ret = channel.ReadByte(width);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    if (width > 8) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): integer of %u bytes is malformed\n", __LINE__,
                       static_cast<unsigned int>(width));
        return -5;
    }
    unsigned char raw[8];
    if (width > 0 && (ret = channel.Read(reinterpret_cast<char *>(raw), width)) < 0)
        return ChannelFailure(__LINE__, ret);
    value = 0;
    for (unsigned int i = 0; i < width; ++i)
        value = (value << 8) | raw[i];
    if (DumpEnabled())
        Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s%llu\n", Indent(),
                       static_cast<unsigned long long>(value));
    return 0;
}

int PStream::Recv(Channel &channel, ustring &text)
{
    uint16_t count = 0;
    int ret = channel.ReadInt16(count);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    if (CountReceived(count, 0) < 0)
        return -2;
    std::string bytes(count, '\0');
    if (count > 0 && (ret = channel.Read(&bytes[0], count)) < 0)
        return ChannelFailure(__LINE__, ret);
    // The text ends at the first NUL, as the sender's C string did.
    text.assign(bytes.c_str(), strnlen(bytes.c_str(), count));
    if (DumpEnabled())
        Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s\"%s\"\n", Indent(),
                       text.c_str_utf8());
    return 0;
}

// Receives the items of an array or map up to its end tag, each through read_item(tag),
// which gets the item's first tag and returns a negative code on failure.
template <class ReadItem> int PStream::RecvItems(Channel &channel, ReadItem read_item)
{
    for (;;) {
        uint8_t tag = 0;
        int ret = RecvTag(channel, tag);
        if (ret < 0)
            return ret;
        if (tag == TAG_END)
            return 0;
        ret = read_item(tag);
        if (ret < 0)
            return ret;
    }
}

int PStream::Recv(Channel &channel, PObject::array_type &array)
{
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s[\n", Indent());
    ++indent;
    uint64_t elements = 0;
    int ret = RecvItems(channel, [&](uint8_t tag) {
        if (CheckBound(++elements, limits.array_elements, "array elements") < 0)
            return -2;
        array.emplace_back();
        return RecvDispatch(channel, tag, array.back());
    });
    if (ret < 0)
        return ret;
    --indent;
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s]\n", Indent());
    return 0;
}

int PStream::Recv(Channel &channel, PObject::map_type &map)
{
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s{\n", Indent());
    ++indent;
    uint64_t entries = 0;
    int ret = RecvItems(channel, [&](uint8_t tag) {
        if (CheckBound(++entries, limits.map_entries, "map entries") < 0)
            return -2;
        return RecvMapEntry(channel, tag, map);
    });
    if (ret < 0)
        return ret;
    --indent;
    Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(), "%s}\n", Indent());
    return 0;
}

// One key (which must be a string) and its value.
int PStream::RecvMapEntry(Channel &channel, uint8_t tag, PObject::map_type &map)
{
    if (tag != TAG_STRING) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): PStream: expect string, but get tag %u\n", __LINE__,
                       static_cast<unsigned int>(tag));
        return -5;
    }
    ustring key;
    int ret = Recv(channel, key);
    if (ret < 0)
        return ret;
    PushKey(key);
    ret = RecvObject(channel, map[key]);
    if (ret < 0)
        return ret; // the key stays on the history for the error stack
    PopKey();
    return 0;
}

// Opens the target file of a received binary item: from the start (offset 0), appending
// (offset equals length: the file ends where the transfer resumes), or cut at offset and
// then appended to.
FILE *PStream::OpenForStoring(PObject::binary_type &binary)
{
    if (binary.offset == 0)
        return PStreamOpenFile(binary.path, "wb");
    if (binary.offset != binary.length && CutFile(binary.path, binary.offset) < 0)
        return nullptr;
    return PStreamOpenFile(binary.path, "ab");
}

int PStream::Recv(Channel &channel, PObject::binary_type &binary)
{
    uint64_t length = 0;
    int ret = channel.ReadInt64(length);
    if (ret < 0)
        return ChannelFailure(__LINE__, ret);
    if (CheckBound(++recv_binaries, limits.binary_items, "binary items") < 0 ||
        CheckBound(length, limits.binary_length, "binary length") < 0)
        return -2;
    if (binary.path.empty()) {
        // Without a receive location the temporary name would land in the root directory:
        // a peer must not be able to create files there.
        if (recv_path.empty()) {
            Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                           "[ERROR] stream.cpp(%d): no location to store a binary item\n",
                           __LINE__);
            return -1;
        }
        binary.path = TmpNameGen::getInstance()->getTmpPath(recv_path);
        binary.offset = 0;
        binary.length = 0;
        if (binary.path.empty())
            return -1;
    } else {
        Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(),
                       "[DEBUG] stream.cpp(%d): store binary to %s, offset %llu\n", __LINE__,
                       binary.path.c_str_utf8(), static_cast<unsigned long long>(binary.offset));
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[TRANSFER_BUFFER_SIZE]);
    if (!buf) {
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(), "[ERROR] stream.cpp(%d): malloc error\n",
                       __LINE__);
        return -1;
    }
    FILE *fp = OpenForStoring(binary);
    if (fp == nullptr)
        return -1;
    uint64_t written = 0;
    ret = RecvBinaryBody(channel, fp, length, binary.path, buf.get(), written);
    if (fclose(fp) != 0 && ret == 0)
        ret = FileFailure(errno);
    if (ret < 0)
        written = StoredSince(binary.path, binary.offset, written);
    // Whatever happened, the binary tells how far the file goes, so a later attempt can
    // append the rest.
    binary.offset += written;
    binary.length = binary.offset;
    if (DumpEnabled())
        Logger::LogMsg(Logger::L_DEBUG, PStreamComponent(),
                       "%sbinary has been stored at '%s' with length %llu\n", Indent(),
                       binary.path.c_str_utf8(), static_cast<unsigned long long>(binary.length));
    return ret;
}

int PStream::RecvBinaryBody(Channel &channel, FILE *fp, uint64_t length, const ustring &path,
                            char *buf, uint64_t &written)
{
    SetProgress(0, length);
    while (written < length) {
        size_t want = length - written < TRANSFER_BUFFER_SIZE
                          ? static_cast<size_t>(length - written)
                          : TRANSFER_BUFFER_SIZE;
        // What did arrive before a failure is stored too: a resumed transfer goes on from
        // there.
        size_t got = 0;
        int ret = channel.Read(buf, want, got);
        size_t put = got > 0 ? fwrite(buf, 1, got, fp) : 0;
        if (put > 0 && recv_tap)
            recv_tap(path, written, buf, put);
        written += put;
        if (put != got) {
            int err = errno;
            Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                           "[ERROR] stream.cpp(%d): fwrite(%s): Error code %d\n", __LINE__,
                           path.c_str_utf8(), err);
            return FileFailure(err);
        }
        if (ret < 0)
            return ChannelFailure(__LINE__, ret);
        SetProgress(written, length);
        if (written % kProgressLogStep == 0)
            Logger::LogMsg(Logger::L_INFO, PStreamComponent(),
                           "[INFO] stream.cpp(%d): receiving %s ... (%llu / %llu)\n", __LINE__,
                           path.c_str_utf8(), static_cast<unsigned long long>(written),
                           static_cast<unsigned long long>(length));
    }
    if (fflush(fp) != 0) {
        int err = errno;
        Logger::LogMsg(Logger::L_ERR, PStreamComponent(),
                       "[ERROR] stream.cpp(%d): fflush(%s): Error code %d\n", __LINE__,
                       path.c_str_utf8(), err);
        return FileFailure(err);
    }
    return 0;
}
