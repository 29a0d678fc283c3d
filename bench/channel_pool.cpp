// Borrow/return throughput of a connection's channel pool (4 channels) under 8 contending
// threads, each borrowing a channel, marking it, and giving it back with a new expiry.
// Printed next to references measured in the same run:
//  - the same threads on the smallest blocking pool that does the job: a mutex, a
//    condition variable and a plain queue of 4 channel pointers;
//  - one thread alone on the channel pool (no contention).
// Usage: bench_channel_pool [seconds_per_figure] [threads]
#include "client/core/connection.h"
#include "log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

// The reference: borrow blocks until a channel is free, return wakes one borrower.
class PlainQueue
{
public:
    explicit PlainQueue(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            owned.emplace_back(new Channel());
            free_q.push_back(owned.back().get());
        }
    }
    Channel *pop()
    {
        std::unique_lock<std::mutex> guard(lock);
        cond.wait(guard, [this] { return !free_q.empty(); });
        Channel *ch = free_q.front();
        free_q.pop_front();
        return ch;
    }
    void push(Channel *ch)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            free_q.push_back(ch);
        }
        cond.notify_one();
    }

private:
    std::mutex lock;
    std::condition_variable cond;
    std::deque<Channel *> free_q;
    std::vector<std::unique_ptr<Channel>> owned;
};

// Runs `threads` threads doing borrow/return through `cycle` for `seconds`; borrows/s.
template <class Cycle> double borrowsPerSecond(int threads, double seconds, Cycle cycle)
{
    std::atomic<bool> stop(false);
    std::atomic<bool> go(false);
    std::vector<uint64_t> counts(static_cast<size_t>(threads), 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            uint64_t n = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                cycle(t);
                ++n;
            }
            counts[static_cast<size_t>(t)] = n;
        });
    }
    Clock::time_point start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &w : workers) {
        w.join();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    uint64_t total = 0;
    for (uint64_t c : counts) {
        total += c;
    }
    return static_cast<double>(total) / elapsed;
}

double poolFigure(int threads, double seconds)
{
    Connection::ChannelPool pool(Connection::kPoolSize, nullptr, nullptr);
    uint32_t alive_until = static_cast<uint32_t>(std::time(nullptr)) + 300;
    return borrowsPerSecond(threads, seconds, [&pool, alive_until](int t) {
        Connection::ChannelStat stat = pool.pop();
        stat.getChannel().SetTimeout(static_cast<unsigned>(t));
        pool.push(stat.channel, (t % 2) != 0 ? Connection::kJustConnected : alive_until);
    });
}

double plainFigure(int threads, double seconds)
{
    PlainQueue queue(Connection::kPoolSize);
    return borrowsPerSecond(threads, seconds, [&queue](int t) {
        Channel *ch = queue.pop();
        ch->SetTimeout(static_cast<unsigned>(t));
        queue.push(ch);
    });
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    int threads = argc > 2 ? std::atoi(argv[2]) : 8;
    if (seconds <= 0 || threads <= 0) {
        std::fprintf(stderr, "usage: bench_channel_pool [seconds_per_figure] [threads]\n");
        return 1;
    }
    // The pool logs its resets; keep them off the terminal.
    Logger::Initialize(Logger::FILE_LOGGER, ustring("/dev/null"), ustring(), 1);

    double pool = poolFigure(threads, seconds);
    double plain = plainFigure(threads, seconds);
    double alone = poolFigure(1, seconds);
    std::printf("channel pool, %d threads, %zu channels: %.0f borrows/s\n", threads,
                Connection::kPoolSize, pool);
    std::printf("plain blocking queue, same threads:   %.0f borrows/s (pool/plain = %.2f)\n", plain,
                pool / plain);
    std::printf("channel pool, 1 thread:               %.0f borrows/s (contended/alone = %.2f)\n",
                alone, pool / alone);
    return 0;
}
