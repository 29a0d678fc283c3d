// Digests of the binary items of a request, taken while their bytes arrive: the receiving
// thread hands each received stretch to two helper threads (one per digest), so that
// hashing runs alongside the transfer instead of in a second pass over the stored file.
// The helpers also start writing the stored bytes to disk as they go, so that the fsync
// before the file becomes a blob finds little left to write.
#pragma once

#include "server/content-store.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace srv
{

class ReceivedDigests
{
public:
    ReceivedDigests() = default;
    ~ReceivedDigests();
    ReceivedDigests(const ReceivedDigests &) = delete;
    ReceivedDigests &operator=(const ReceivedDigests &) = delete;

    // Forgets the items of the previous request.
    void clear();
    // A stretch of the item stored in path; at 0 starts the item. Items beyond the first
    // two of a request are not digested.
    void feed(const std::string &path, uint64_t at, const char *data, size_t n);
    // The digest of the item stored in path, when every byte of the file went through
    // feed. 0, or -1.
    int finish(const std::string &path, Digest &out);

private:
    static const int kLanes = 2;
    struct Item {
        explicit Item(const std::string &p);
        ~Item();
        std::string path;
        Digester digester;
        int fd = -1;          // for starting the write-back of stored bytes
        uint64_t flushed = 0; // bytes whose write-back has been started
    };
    struct Piece {
        Item *item;
        uint64_t end; // the item's byte count after this piece
        std::vector<char> bytes;
        int pending; // lanes that have not digested it yet
    };

    void run(int lane);
    // Hands the piece being filled to the helpers, waiting while the queue is full (lock
    // held).
    void push(std::unique_lock<std::mutex> &lock);
    // Waits until the helpers have digested everything fed (lock held).
    void drain(std::unique_lock<std::mutex> &lock);

    std::mutex m_lock;
    std::condition_variable m_work; // a piece is queued, or stop
    std::condition_variable m_done; // a piece left the queue
    // Pieces not yet digested by both lanes, in order; m_first is the number of the front
    // piece and m_next[lane] the number of the piece each lane takes next. A lane works on
    // a piece without the lock: a deque keeps its elements in place while others are added,
    // and a piece leaves only once both lanes are done with it.
    std::deque<Piece> m_queue;
    uint64_t m_first = 0;
    uint64_t m_next[kLanes] = {0, 0};
    std::vector<std::vector<char>> m_spare; // buffers of digested pieces, for reuse
    // Received stretches are gathered into pieces of about 1 MiB before the helpers see
    // them, so that they wake once per piece rather than once per read from the socket.
    // Only the feeding thread touches the piece being filled.
    Item *m_filling_item = nullptr;
    uint64_t m_filling_end = 0;
    std::vector<char> m_filling;
    bool m_stop = false;
    std::vector<std::unique_ptr<Item>> m_items;
    std::thread m_helpers[kLanes];
};

} // namespace srv
