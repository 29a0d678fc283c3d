// Small-file events carried out by the real worker against the stand-in server on loopback,
// with 1, 3 and 8 workers sharing one session (its event database, its connection and the
// connection's pool of four channels), as the daemon's workers do. The measured events are
// downloads of N files of 4 KiB into an empty folder (DownloadRemote: exchange, temporary
// file, fsync, rename, signature, commit); the files get to the server by N uploads with 8
// workers (UploadLocal), which are timed too.
//
// Where a worker's time goes is measured inside the real operations: this program wraps
// poll (a worker waiting for the server's answer), fsync (flushing files and folders) and
// sqlite3_step/sqlite3_exec (the event database), and reports each as a share of the
// workers' time; "other" is the rest (the worker's own processing, file operations, the
// database lock). For reference, the same run measures the two fixed costs of an event on
// their own: one exchange (a removal of a path that does not exist) and one commit
// (CommitServerEvent). Peak RSS at the end.
// Usage: bench_worker_small_files [events (default 10000)]
#include "support/transfer-session.h"

#include "log.h"
#include "proto-common.h"

#include <dlfcn.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

enum Stage { WAIT_SERVER, FSYNC, DATABASE, STAGES };
std::atomic<long long> g_stage_ns[STAGES];
// sqlite3_exec runs sqlite3_step itself: only the outermost call of a thread counts.
thread_local int t_depth = 0;

template <class Fn, class... Args> int Timed(Stage stage, const char *name, Fn *&real, Args... args)
{
    if (real == nullptr) {
        real = reinterpret_cast<Fn *>(dlsym(RTLD_NEXT, name));
    }
    if (t_depth++ > 0) {
        const int rc = real(args...);
        --t_depth;
        return rc;
    }
    const auto t0 = Clock::now();
    const int rc = real(args...);
    g_stage_ns[stage] += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    --t_depth;
    return rc;
}

} // namespace

extern "C" int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    static int (*real)(struct pollfd *, nfds_t, int);
    return Timed(WAIT_SERVER, "poll", real, fds, n, timeout);
}

extern "C" int fsync(int fd)
{
    static int (*real)(int);
    return Timed(FSYNC, "fsync", real, fd);
}

extern "C" int sqlite3_step(sqlite3_stmt *stmt)
{
    static int (*real)(sqlite3_stmt *);
    return Timed(DATABASE, "sqlite3_step", real, stmt);
}

extern "C" int sqlite3_exec(sqlite3 *db, const char *sql, int (*callback)(void *, int, char **, char **),
                            void *arg, char **error)
{
    static int (*real)(sqlite3 *, const char *, int (*)(void *, int, char **, char **), void *, char **);
    return Timed(DATABASE, "sqlite3_exec", real, db, sql, callback, arg, error);
}

namespace
{

std::string PathOf(const std::string &dir, int i)
{
    char path[64];
    snprintf(path, sizeof(path), "%s/dir-%03d/file-%06d.bin", dir.c_str(), i / 1000, i);
    return path;
}

// Events per second of a run, and the share of the workers' time in each stage.
struct Run {
    double rate = 0;
    double share[STAGES] = {};
};

// Runs body(worker, i) for i in [0, events), spread over `workers` workers on their own
// threads (worker w takes w, w + workers, ...). Failures are counted and reported.
Run Spread(int workers, int events, const std::function<int(Worker &, int)> &body)
{
    std::vector<std::unique_ptr<Worker>> pool;
    for (int w = 0; w < workers; ++w) {
        pool.emplace_back(new Worker());
    }
    for (auto &ns : g_stage_ns) {
        ns = 0;
    }
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            for (int i = w; i < events; i += workers) {
                if (body(*pool[w], i) != 0) {
                    ++failed;
                }
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed > 0) {
        fprintf(stderr, "%d of %d events failed\n", failed.load(), events);
    }
    Run run;
    run.rate = events / seconds;
    for (int st = 0; st < STAGES; ++st) {
        run.share[st] = static_cast<double>(g_stage_ns[st].load()) / (seconds * 1e9 * workers);
    }
    return run;
}

// One request and its answer over the session's pooled channels.
int ExchangeOnly(TransferSession &s, Worker &worker, const std::string &path)
{
    worker.context.root_entry = s.entry;
    worker.context.connection = s.connection;
    PObject request, response;
    InitRequest(request, "remove");
    request["session"] = s.account.token.c_str();
    request["view_id"] = s.account.view_id;
    request["path"] = path.c_str();
    request["sync_id"] = 1;
    request["max_id"] = 1;
    return worker.ProtoRemove(request, response);
}

// The row of a server event, written as after a download.
int CommitOnly(TransferSession &s, Worker &worker, const std::string &path, int i)
{
    worker.context.root_entry = s.entry;
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_mode = Event::F_SERVER;
    e.m_path = path;
    e.m_sess_id = s.entry.sess_id;
    e.m_sync_id = static_cast<uint64_t>(i) + 1;
    e.m_max_id = e.m_sync_id;
    e.m_data_size = 4096;
    e.m_data_hash = "0123456789abcdef0123456789abcdef";
    worker.context.current_event = e;
    return worker.CommitServerEvent(e, LocalFileInfo(), DBFileInfo());
}

// The server events of every file below `dir`, after the local copies and their rows are
// gone, so that each one is a whole download into an empty place. The folders' events are
// carried out here, untimed, as the puller hands them over before their files.
std::vector<Event> ForgetLocally(TransferSession &s, const std::string &dir)
{
    std::filesystem::remove_all(s.local + dir);
    s.db->rmEventInfo(ustring(dir));
    std::vector<Event> files;
    nlohmann::json ls = s.server.adminJson({"ls", std::to_string(s.account.view_id)});
    for (const auto &e : ls["entries"]) {
        const std::string p = e["path"].get<std::string>();
        if (p != dir && p.rfind(dir + "/", 0) != 0) {
            continue;
        }
        if (!e["is_dir"].get<bool>()) {
            files.push_back(s.eventFromEntry(p, e));
        } else if (s.run(s.eventFromEntry(p, e)) != 0) {
            fprintf(stderr, "folder %s failed\n", p.c_str());
        }
    }
    return files;
}

double Load()
{
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : 0;
}

void PrintShares(const Run &r)
{
    double other = 1;
    for (double share : r.share) {
        printf(" %7.0f%%", 100 * share);
        other -= share;
    }
    printf(" %7.0f%%", 100 * other);
}

} // namespace

int main(int argc, char **argv)
{
    const int events = argc > 1 ? atoi(argv[1]) : 10000;
    TempDir logs;
    {
        // Only warnings and errors: the per-request debug lines would be the benchmark.
        const std::string levels = logs.file("levels");
        WriteFile(levels, "worker_debug = 3\nclient_debug = 3\n");
        Logger::Initialize(Logger::STDERR_LOGGER, "", levels.c_str(), 1);
    }
    TransferSession s;
    if (!s.start()) {
        fprintf(stderr, "cannot start the server session\n");
        return 1;
    }
    printf("%d events of 4 KiB files per run, loopback server, pool of 4 channels (load %.1f)\n",
           events, Load());
    const std::string dir = "/small";
    for (int i = 0; i < events; ++i) {
        WriteFile(s.local + PathOf(dir, i), RandomBytes(4096, static_cast<unsigned>(i)));
    }
    const Run up = Spread(8, events, [&](Worker &w, int i) {
        return s.run(w, s.localEvent(PathOf(dir, i), Event::EV_CREATE));
    });
    printf("%-22s %9s %8s %8s %8s %8s\n", "", "events/s", "server", "fsync", "database",
           "other");
    printf("%-22s %9.0f", "upload, 8 workers", up.rate);
    PrintShares(up);
    printf("  (load %.1f)\n", Load());
    fflush(stdout);

    printf("%-22s %9s %8s %8s %8s %8s  %12s %12s %s\n", "download", "events/s", "server",
           "fsync", "database", "other", "exchange/s", "commit/s", "vs 1 worker");
    double reference = 0;
    for (int workers : {1, 3, 8}) {
        const std::vector<Event> down = ForgetLocally(s, dir);
        if (static_cast<int>(down.size()) != events) {
            fprintf(stderr, "the server holds %zu of %d files\n", down.size(), events);
        }
        const Run r = Spread(workers, static_cast<int>(down.size()),
                             [&](Worker &w, int i) { return s.run(w, down[i]); });
        const std::string ex = "/x" + std::to_string(workers);
        const Run exchange = Spread(
            workers, events, [&](Worker &w, int i) { return ExchangeOnly(s, w, PathOf(ex, i)); });
        const std::string co = "/c" + std::to_string(workers);
        const Run commit = Spread(
            workers, events, [&](Worker &w, int i) { return CommitOnly(s, w, PathOf(co, i), i); });
        if (reference == 0) {
            reference = r.rate;
        }
        printf("%d worker%-14s %9.0f", workers, workers == 1 ? "" : "s", r.rate);
        PrintShares(r);
        printf("  %12.0f %12.0f %11.2f  (load %.1f)\n", exchange.rate, commit.rate,
               r.rate / reference, Load());
        fflush(stdout);
    }
    printf("shares are of the workers' time: waiting for the server, in fsync, in the event "
           "database, and the rest\n");
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("peak RSS: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
