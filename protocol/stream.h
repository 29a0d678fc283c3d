// PStream: the byte stream form of a PObject on a Channel, used by the control messages of
// the user interface and by every request and response of the file server.
//
// Every item is a one-byte tag and its body, numbers big-endian:
//   0x00 null      one length byte, always 0
//   0x01 integer   one length byte N (at most 8), then N value bytes
//   0x10 string    16-bit byte count, then the UTF-8 bytes
//   0x30 binary    64-bit byte count, then the raw bytes
//   0x41 array     the elements, then the end marker 0x40
//   0x42 map       key (a string item) and value per entry, then the end marker 0x40
// Binary items are never held in memory: they stream from a stretch of a local file on
// sending and into a local file on receiving, through one transfer buffer.
//
// One PStream belongs to one user and is reused for many messages. GetStatus may be called
// from any thread while a message travels.
#pragma once

#include "protocol/object.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <vector>

class Channel;

// Bounds on one received message, so that a peer cannot make the receiver hold or store
// without end. 0 leaves a bound off.
struct PStreamRecvLimits {
    uint64_t bytes = 0;          // bytes of all strings and map keys together
    uint64_t items = 0;          // items: the message itself, array elements, map values
    unsigned int depth = 0;      // nesting of arrays and maps (a lone map is depth 1)
    uint64_t map_entries = 0;    // entries of any one map
    uint64_t array_elements = 0; // elements of any one array
    uint64_t binary_items = 0;   // binary items of the message
    uint64_t binary_length = 0;  // announced length of any one binary item
};

class PStream
{
public:
    enum Tag {
        TAG_NULL = 0x00,
        TAG_INTEGER = 0x01,
        TAG_STRING = 0x10,
        TAG_BINARY = 0x30,
        TAG_END = 0x40,
        TAG_ARRAY = 0x41,
        TAG_MAP = 0x42,
    };
    // Bytes of a binary item moved per channel or file operation.
    static const size_t TRANSFER_BUFFER_SIZE = 81920;
    // Deepest nesting of arrays and maps a received message may have.
    static const unsigned int MAX_DEPTH = 100;

    PStream();
    ~PStream();
    PStream(const PStream &) = delete;
    PStream &operator=(const PStream &) = delete;

    // Writes one whole message and flushes the channel. 0, or -1 (local file), -2
    // (channel), -5 (a file shorter than its binary item, a string too long for its count).
    int Send(Channel &channel, const PObject &object);
    // Reads one whole message into object (reusing what object already holds, so that a
    // binary placed in it directs where a received binary item is stored). 0, or -1
    // (local file), -2 (channel, or beyond a bound of SetRecvLimit), -4 (disk full), -5
    // (malformed input).
    int Recv(Channel &channel, PObject &object);
    // Directory for received binary items whose target has no path.
    void SetDefaultRecvLocation(const ustring &dir);
    // Bounds every later received message (all bounds are off until set). The byte and
    // item bounds keep a peer from streaming an endless array, map or string into
    // memory; a binary item counts as one item, its contents go to a file and count
    // only against binary_length, which is checked before anything is stored. A
    // message beyond a bound fails with -2, like a broken channel: the rest of it is left
    // unread, so the channel is of no further use.
    void SetRecvLimits(const PStreamRecvLimits &limits);
    // The byte and item bounds alone; the others are turned off.
    void SetRecvLimit(uint64_t max_bytes, uint64_t max_items);
    bool HasRecvLimit() const;
    // Called with every stretch of a received binary item's bytes once they are stored:
    // path is the item's file, at the stretch's place among the bytes of this reception
    // (0 starts a new one). Lets a receiver digest the data on the way in instead of
    // reading the file again. An empty function turns it off.
    using BinaryTap = std::function<void(const ustring &path, uint64_t at, const char *data,
                                         size_t n)>;
    void SetRecvBinaryTap(BinaryTap tap) { recv_tap = std::move(tap); }
    // True when the last Recv stopped at a bound of SetRecvLimit.
    bool RecvLimitExceeded() const { return limit_hit; }
    // The key path of the item in transfer, and the progress of the binary item in transfer.
    void GetStatus(ustring &path, uint64_t &sent, uint64_t &size);
    static void GetVersion(int &major, int &minor, int &mini);

protected:
    int SendObject(Channel &channel, const PObject &object);
    int SendNull(Channel &channel);
    int Send(Channel &channel, uint64_t value);
    int Send(Channel &channel, const ustring &text);
    int Send(Channel &channel, const PObject::binary_type &binary);
    int Send(Channel &channel, const PObject::array_type &array);
    int Send(Channel &channel, const PObject::map_type &map);

    int RecvObject(Channel &channel, PObject &object);
    int RecvTag(Channel &channel, uint8_t &tag);
    int RecvDispatch(Channel &channel, uint8_t tag, PObject &object);
    int RecvNull(Channel &channel, PObject &object);
    int Recv(Channel &channel, uint64_t &value);
    int Recv(Channel &channel, ustring &text);
    int Recv(Channel &channel, PObject::binary_type &binary);
    int Recv(Channel &channel, PObject::array_type &array);
    int Recv(Channel &channel, PObject::map_type &map);
    int RecvMapEntry(Channel &channel, uint8_t tag, PObject::map_type &map);
    template <class ReadItem> int RecvItems(Channel &channel, ReadItem read_item);
    int Skip(Channel &channel);

private:
    std::vector<ustring> history;
    uint64_t total_size;
    uint64_t total_sent;
    std::mutex status_lock;
    unsigned int indent;
    ustring recv_path;
    PStreamRecvLimits limits;
    uint64_t recv_bytes; // held by the message in reception so far
    uint64_t recv_items;
    uint64_t recv_binaries;
    bool limit_hit;
    BinaryTap recv_tap;

    void ResetStatus();
    void SetProgress(uint64_t sent, uint64_t size);
    void PushKey(const ustring &key);
    void PopKey();
    ustring HistoryText();
    void LogErrorStack();
    const char *Indent() const;
    int ChannelFailure(int line, int code);
    int CountReceived(uint64_t bytes, uint64_t items);
    int CheckBound(uint64_t value, uint64_t bound, const char *what);
    int SendBinaryBody(Channel &channel, FILE *fp, const PObject::binary_type &binary, char *buf);
    int RecvBinaryBody(Channel &channel, FILE *fp, uint64_t length, const ustring &path, char *buf,
                       uint64_t &written);
    FILE *OpenForStoring(PObject::binary_type &binary);
};

// Opens a local file as a buffered stream: "r" read (must exist), "w" write (created or
// emptied), "a" append (opened or created), anything else read and write (created or
// emptied). Sequential access is announced to the kernel. nullptr on failure (logged).
FILE *PStreamOpenFile(const ustring &path, const char *mode);
