// The digest helper threads of a connection.
#include "server/received-digests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace srv
{

namespace
{

// Bytes gathered into one piece for the helpers.
const size_t kPieceBytes = 1 << 20;
// Pieces waiting for the helpers at most (about 8 MiB of copies): a receiver faster than
// the hashing waits rather than buffering the whole upload.
const size_t kMaxQueued = 8;
// Stored bytes gathered before their write-back is started.
const uint64_t kWriteBackStep = 8 << 20;

} // namespace

ReceivedDigests::Item::Item(const std::string &p)
    : path(p), fd(open(p.c_str(), O_RDONLY | O_CLOEXEC))
{
}

ReceivedDigests::Item::~Item()
{
    if (fd >= 0)
        close(fd);
}

ReceivedDigests::~ReceivedDigests()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_work.notify_all();
    for (std::thread &helper : m_helpers)
        if (helper.joinable())
            helper.join();
}

void ReceivedDigests::clear()
{
    std::unique_lock<std::mutex> lock(m_lock);
    drain(lock);
    m_items.clear();
    m_spare.clear();
}

void ReceivedDigests::feed(const std::string &path, uint64_t at, const char *data, size_t n)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (at == 0) {
        if (m_items.size() >= 2)
            return;
        m_items.emplace_back(new Item(path));
    }
    Item *item = nullptr;
    for (auto &i : m_items)
        if (i->path == path)
            item = i.get();
    if (item == nullptr)
        return;
    if (m_filling_item != nullptr && m_filling_item != item)
        push(lock);
    if (m_filling_item == nullptr) {
        m_filling_item = item;
        if (!m_spare.empty()) {
            m_filling.swap(m_spare.back());
            m_spare.pop_back();
        }
        m_filling.clear();
        m_filling.reserve(kPieceBytes + n);
    }
    lock.unlock();
    m_filling.insert(m_filling.end(), data, data + n);
    m_filling_end = at + n;
    lock.lock();
    if (m_filling.size() >= kPieceBytes)
        push(lock);
}

void ReceivedDigests::push(std::unique_lock<std::mutex> &lock)
{
    if (m_filling_item == nullptr)
        return;
    m_done.wait(lock, [this] { return m_queue.size() < kMaxQueued; });
    m_queue.push_back(Piece{m_filling_item, m_filling_end, std::move(m_filling), kLanes});
    m_filling = std::vector<char>();
    m_filling_item = nullptr;
    for (int lane = 0; lane < kLanes; ++lane)
        if (!m_helpers[lane].joinable())
            m_helpers[lane] = std::thread([this, lane] { run(lane); });
    m_work.notify_all();
}

int ReceivedDigests::finish(const std::string &path, Digest &out)
{
    std::unique_lock<std::mutex> lock(m_lock);
    drain(lock);
    // The buffers are kept for one request's items only.
    m_spare.clear();
    struct stat st;
    for (auto &i : m_items)
        if (i->path == path && stat(path.c_str(), &st) == 0 &&
            i->digester.size() == static_cast<uint64_t>(st.st_size))
            return i->digester.finish(out);
    return -1;
}

void ReceivedDigests::drain(std::unique_lock<std::mutex> &lock)
{
    push(lock);
    m_done.wait(lock, [this] { return m_queue.empty(); });
}

void ReceivedDigests::run(int lane)
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_work.wait(lock, [this, lane] { return m_stop || m_next[lane] < m_first + m_queue.size(); });
        if (m_next[lane] >= m_first + m_queue.size())
            return;
        Piece &piece = m_queue[m_next[lane] - m_first];
        lock.unlock();
        Item &item = *piece.item;
        item.digester.updateLane(lane, piece.bytes.data(), piece.bytes.size());
        if (lane == 1 && item.fd >= 0 && piece.end - item.flushed >= kWriteBackStep) {
            sync_file_range(item.fd, static_cast<off64_t>(item.flushed),
                            static_cast<off64_t>(piece.end - item.flushed), SYNC_FILE_RANGE_WRITE);
            item.flushed = piece.end;
        }
        lock.lock();
        ++m_next[lane];
        --piece.pending;
        bool left = false;
        while (!m_queue.empty() && m_queue.front().pending == 0) {
            if (m_spare.size() < kMaxQueued)
                m_spare.push_back(std::move(m_queue.front().bytes));
            m_queue.pop_front();
            ++m_first;
            left = true;
        }
        if (left)
            m_done.notify_all();
    }
}

} // namespace srv
