// Throughput and memory of the per-session event tree, and the cost of one file-status
// write. Every figure is printed next to a reference measured in the same run:
//  - pushes against inserting the same events into a hash map keyed by path;
//  - pop-and-complete against erasing them from that map;
//  - one setFileSyncStat (own connection per call) against one insert on an open
//    connection.
// Usage: bench_event_list [events_spread] [events_one_dir] [fstat_writes]
#include "client/event-list2.h"
#include "fstat-db.h"

#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

Event fileEvent(const std::string &path, uint64_t sync_id)
{
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_mode = Event::F_SERVER;
    e.m_sync_id = sync_id;
    e.m_max_id = sync_id;
    e.m_data_size = 4096;
    e.m_time = 1700000000;
    e.m_data_hash = "0123456789abcdef0123456789abcdef";
    e.m_path = path.c_str();
    e.m_sess_id = 1;
    return e;
}

// Paths of `count` files spread over a three-level tree, or all in one directory.
std::vector<Event> makeEvents(size_t count, bool one_dir)
{
    std::vector<Event> events;
    events.reserve(count);
    char path[128];
    for (size_t i = 0; i < count; ++i) {
        if (one_dir)
            snprintf(path, sizeof(path), "/big/file-%06zu.dat", i);
        else
            snprintf(path, sizeof(path), "/d%02zu/e%02zu/file-%06zu.dat", i % 100, (i / 100) % 100,
                     i);
        events.push_back(fileEvent(path, i + 1));
    }
    return events;
}

void benchTree(const char *label, const std::vector<Event> &events)
{
    size_t n = events.size();
    EventList2 tree;
    size_t heap_before = heapInUse();
    Clock::time_point start = Clock::now();
    for (const Event &e : events) {
        if (tree.Push(e) != 0) {
            fprintf(stderr, "push failed\n");
            exit(1);
        }
    }
    double push_s = secondsSince(start);
    double bytes_per_event = double(heapInUse() - heap_before) / double(n);

    start = Clock::now();
    Event e;
    size_t done = 0;
    while (tree.Pop(e) == 0) {
        if (tree.DoneEvent(e) != 0) {
            fprintf(stderr, "done failed\n");
            exit(1);
        }
        ++done;
    }
    double pop_s = secondsSince(start);
    if (done != n || !tree.IsEmpty()) {
        fprintf(stderr, "%s: completed %zu of %zu\n", label, done, n);
        exit(1);
    }

    // Reference: the same events copied into and erased from a hash map keyed by path.
    std::unordered_map<std::string, Event> map;
    start = Clock::now();
    for (const Event &ev : events)
        map.emplace(ev.m_path.c_str_utf8(), ev);
    double ref_push_s = secondsSince(start);
    start = Clock::now();
    for (const Event &ev : events)
        map.erase(ev.m_path.c_str_utf8());
    double ref_pop_s = secondsSince(start);

    printf("%s: %zu events\n", label, n);
    printf("  push:              %10.0f events/s  (%.2fx the hash-map reference, %.0f/s)\n",
           n / push_s, ref_push_s / push_s, n / ref_push_s);
    printf("  pop and complete:  %10.0f events/s  (%.2fx the hash-map reference, %.0f/s)\n",
           n / pop_s, ref_pop_s / pop_s, n / ref_pop_s);
    printf("  memory:            %10.1f bytes per pending event\n", bytes_per_event);
}

void benchFStat(int writes)
{
    char dir_template[] = "/tmp/bench-fstat-XXXXXX";
    if (!mkdtemp(dir_template))
        return;
    std::string db_path = std::string(dir_template) + "/file-status.sqlite";
    FileStatusDB::initialize(db_path.c_str());
    FileStatusDB::removeAllEntry();

    Clock::time_point start = Clock::now();
    for (int i = 0; i < writes; ++i) {
        FileStatusInfo info;
        info.path = ("/home/user/sync/dir/file-" + std::to_string(i)).c_str();
        info.syncStatus = FileStatusDB::SS_SYNCING;
        FileStatusDB::setFileSyncStat(info);
    }
    double per_call = secondsSince(start) / writes;

    // Reference: the same statement on one connection kept open.
    sqlite3 *db = nullptr;
    sqlite3_open(db_path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF;", nullptr, nullptr,
                 nullptr);
    start = Clock::now();
    for (int i = 0; i < writes; ++i) {
        char *sql =
            sqlite3_mprintf("insert or replace into fstatinfo  (id, path, fileType, "
                            "syncStatus)  values(NULL, '%q', %d, %d);",
                            ("/home/user/sync/ref/file-" + std::to_string(i)).c_str(), 0, 2);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_free(sql);
    }
    double ref_per_call = secondsSince(start) / writes;
    sqlite3_close(db);
    FileStatusDB::destroy();
    unlink(db_path.c_str());
    unlink((db_path + "-wal").c_str());
    unlink((db_path + "-shm").c_str());
    rmdir(dir_template);

    printf("setFileSyncStat: %d writes\n", writes);
    printf("  one call:          %10.1f us  (%.1fx the open-connection reference, %.1f us)\n",
           per_call * 1e6, per_call / ref_per_call, ref_per_call * 1e6);
}

} // namespace

int main(int argc, char **argv)
{
    size_t spread = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000000;
    size_t one_dir = argc > 2 ? strtoul(argv[2], nullptr, 10) : 100000;
    int fstat_writes = argc > 3 ? atoi(argv[3]) : 2000;

    benchTree("spread over 100x100 directories", makeEvents(spread, false));
    benchTree("one directory", makeEvents(one_dir, true));
    benchFStat(fstat_writes);
    return 0;
}
