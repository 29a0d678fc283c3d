// Throughput and memory of the event manager under load: 100 sessions, events pushed by 3
// producer threads and taken and completed by 8 worker threads. Printed next to the bare
// event tree measured in the same run (one thread pushing every event into one tree, then
// popping and completing them all, as bench_event_list does).
//
// The manager marks every queued path in the file-status database and reports it to the
// user interface, as in the daemon: the run has a real file-status database and a user
// interface port that nobody listens on. A second, smaller run without any file-status
// database shows the manager's own cost.
// Usage: bench_event_manager [events] [events_without_database]
#include "client/core/registry.h"
#include "client/core/settings.h"
#include "client/event-list2.h"
#include "client/event-manager.h"
#include "client/task.h"
#include "fstat-db.h"
#include "log.h"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

const uint64_t kSessions = 100;
const int kProducers = 3;
const int kWorkers = 8;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

Event fileEvent(uint64_t sess, size_t i)
{
    char path[96];
    snprintf(path, sizeof(path), "/d%02zu/e%02zu/file-%07zu.dat", i % 100, (i / 100) % 100, i);
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_mode = Event::F_SERVER;
    e.m_sync_id = i + 1;
    e.m_max_id = i + 1;
    e.m_data_size = 4096;
    e.m_time = 1700000000;
    e.m_data_hash = "0123456789abcdef0123456789abcdef";
    e.m_path = path;
    e.m_sess_id = sess;
    return e;
}

double benchTree(size_t n)
{
    std::vector<Event> events;
    events.reserve(n);
    for (size_t i = 0; i < n; ++i)
        events.push_back(fileEvent(1, i));
    EventList2 tree;
    Clock::time_point start = Clock::now();
    for (const Event &e : events)
        tree.Push(e);
    Event e;
    size_t done = 0;
    while (tree.Pop(e) == 0) {
        tree.DoneEvent(e);
        ++done;
    }
    double s = secondsSince(start);
    if (done != n) {
        fprintf(stderr, "tree: completed %zu of %zu\n", done, n);
        exit(1);
    }
    return n / s;
}

struct ManagerRun {
    double events_per_s;
    double peak_bytes_per_pending;
};

ManagerRun benchManager(size_t n)
{
    EventManager &em = EventManager::getInstance();
    em.Clear();
    // The events are made before the clock starts, as for the bare tree.
    std::vector<std::vector<Event>> batches(kProducers);
    for (size_t i = 0; i < n; ++i)
        batches[i % kProducers].push_back(fileEvent(1 + i % kSessions, i));
    std::atomic<size_t> produced{0};
    std::atomic<size_t> completed{0};
    std::atomic<size_t> peak_heap{0};
    std::atomic<size_t> peak_pending{0};
    size_t heap_before = heapInUse();
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (const Event &e : batches[p]) {
                em.PushServerEvent(e);
                ++produced;
            }
        });
    }
    std::vector<Task> workers(kWorkers);
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            Event e;
            while (completed < n) {
                if (em.PullEvent(&workers[w], e) != 0) {
                    // An idle worker waits before asking again (the daemon's workers wait
                    // a second); spinning here would take the producers' processor time.
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                while (em.DoneEvent(&workers[w], e) != 0) {
                }
                ++completed;
            }
        });
    }
    // Samples the heap against the events pending at that moment.
    std::thread sampler([&] {
        while (completed < n) {
            size_t done_now = completed;
            size_t made = produced;
            size_t pending = made > done_now ? made - done_now : 0;
            size_t heap = heapInUse();
            if (pending > peak_pending) {
                peak_pending = pending;
                peak_heap = heap > heap_before ? heap - heap_before : 0;
            }
            // Reading the heap's statistics walks and locks every arena of the allocator
            // (about 10 ms on a large heap): sampled rarely, so that the sampler does not
            // stall the threads it measures.
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    for (auto &t : threads)
        t.join();
    double s = secondsSince(start);
    sampler.join();
    ManagerRun run;
    run.events_per_s = n / s;
    run.peak_bytes_per_pending =
        peak_pending ? double(peak_heap.load()) / double(peak_pending.load()) : 0.0;
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;
    size_t bare_n = argc > 2 ? strtoull(argv[2], nullptr, 10) : n / 4;

    // No user interface listens on this port: each report fails at once. Logging is off,
    // as in a daemon whose log level keeps these components quiet.
    char dir_template[] = "/tmp/bench-em-XXXXXX";
    if (!mkdtemp(dir_template))
        return 1;
    std::string conf = std::string(dir_template) + "/conf";
    FILE *f = fopen(conf.c_str(), "w");
    fprintf(f, "ui_port = 1\n");
    fclose(f);
    Settings::getInstance().loadConfigSettings(conf.c_str());
    std::string levels = std::string(dir_template) + "/levels";
    f = fopen(levels.c_str(), "w");
    fprintf(f, "channel_ui_debug = -1\nchannel_debug = -1\nfstat_db_debug = -1\n"
               "event_manager_debug = -1\nevent_list_debug = -1\n");
    fclose(f);
    Logger::Initialize(Logger::STDERR_LOGGER, "", levels.c_str(), 1);
    unlink(levels.c_str());
    for (uint64_t s = 1; s <= kSessions; ++s) {
        Registry::Entry entry;
        entry.sess_id = s;
        entry.conn_id = 1;
        entry.local_path = ("/home/user/sync-" + std::to_string(s)).c_str();
        Registry::getInstance().Set(entry);
    }

    double tree = benchTree(n);
    ManagerRun bare = benchManager(bare_n);

    std::string db = std::string(dir_template) + "/file-status.sqlite";
    FileStatusDB::initialize(db.c_str());
    ManagerRun marked = benchManager(n);
    printf("%zu events, %llu sessions, %d producers, %d workers\n", n,
           static_cast<unsigned long long>(kSessions), kProducers, kWorkers);
    printf("  bare event tree (1 thread):       %10.0f events/s\n", tree);
    printf("  event manager with file status:   %10.0f events/s  (%.2fx the tree; goal 0.50x)\n",
           marked.events_per_s, marked.events_per_s / tree);
    printf("  peak memory:                      %10.1f bytes per pending event\n",
           marked.peak_bytes_per_pending);
    printf("  without file-status database (%zu events): %.0f events/s  (%.2fx the tree)\n", bare_n,
           bare.events_per_s, bare.events_per_s / tree);
    FileStatusDB::destroy();
    unlink(db.c_str());
    unlink((db + "-wal").c_str());
    unlink((db + "-shm").c_str());
    unlink(conf.c_str());
    rmdir(dir_template);
    return 0;
}
