// Throughput of the two fixed costs of every worker event: the server exchange (a pooled
// channel, one request and its answer against the stand-in server on loopback) and the
// event-database commit (row write plus the filtered-event clean-up). N events are spread
// over 1, 3 and 8 worker objects on their own threads, sharing one connection and its
// pool of four channels, as the daemon's workers do. Each mode is measured in the same run:
// exchange only, commit only, and both, so the ratio shows which cost dominates.
// Usage: bench_worker_exchange_commit [events] [path of aerolith-server]
#include "client/core/connection.h"
#include "client/core/filter-db.h"
#include "client/core/worker.h"
#include "client/event-db.h"
#include "connection-info.h"
#include "log.h"
#include "proto-common.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[512];
    while (fgets(buf, sizeof(buf), p) != nullptr) {
        out += buf;
    }
    pclose(p);
    return out;
}

// The value after "key": in a one-line JSON answer of the admin interface.
std::string jsonValue(const std::string &json, const std::string &key)
{
    size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos) {
        return "";
    }
    at = json.find(':', at) + 1;
    while (json[at] == ' ' || json[at] == '"') {
        ++at;
    }
    size_t end = json.find_first_of("\",}", at);
    return json.substr(at, end - at);
}

struct Server {
    pid_t pid = -1;
    int port = 0;
    std::string binary, root;

    bool start()
    {
        int out[2];
        if (pipe(out) != 0) {
            return false;
        }
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(binary.c_str(), binary.c_str(), "--root", root.c_str(), "--port", "0",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE *in = fdopen(out[0], "r");
        char line[256] = "";
        bool ok = fgets(line, sizeof(line), in) != nullptr;
        fclose(in);
        const char *colon = strrchr(line, ':');
        port = ok && colon != nullptr ? atoi(colon + 1) : 0;
        return port > 0;
    }
    std::string admin(const std::string &args)
    {
        return run(binary + " admin --root " + root + " " + args + " 2>/dev/null");
    }
    ~Server()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

enum Mode { EXCHANGE = 1, COMMIT = 2, BOTH = 3 };

double measure(int workers, int events, Mode mode, const Registry::Entry &entry,
               const Connection &connection, const std::string &token, uint64_t view_id,
               const std::string &working_dir, int round)
{
    std::vector<std::unique_ptr<Worker>> pool;
    for (int w = 0; w < workers; ++w) {
        pool.emplace_back(new Worker());
        Worker &worker = *pool.back();
        worker.context.root_entry = entry;
        worker.context.connection = std::make_shared<Connection>(connection);
        worker.context.working_directory = working_dir.c_str();
        worker.context.current_event.m_sess_id = entry.sess_id;
    }
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            Worker &worker = *pool[w];
            for (int i = w; i < events; i += workers) {
                char path[64];
                snprintf(path, sizeof(path), "/r%d/dir-%03d/file-%06d.txt", round, i / 1000, i);
                if (mode & EXCHANGE) {
                    PObject request, response;
                    InitRequest(request, "remove");
                    request["session"] = token.c_str();
                    request["view_id"] = view_id;
                    request["path"] = path;
                    request["sync_id"] = 1;
                    request["max_id"] = 1;
                    if (worker.ProtoRemove(request, response) != 0) {
                        fprintf(stderr, "exchange failed\n");
                    }
                }
                if (mode & COMMIT) {
                    Event e;
                    e.m_type = Event::EV_MODIFY;
                    e.m_path = path;
                    e.m_sess_id = entry.sess_id;
                    e.m_sync_id = i + 1;
                    e.m_max_id = i + 1;
                    e.m_data_size = 100;
                    e.m_data_hash = "0123456789abcdef0123456789abcdef";
                    worker.context.current_event = e;
                    if (worker.CommitServerEvent(e, LocalFileInfo(), DBFileInfo()) != 0) {
                        fprintf(stderr, "commit failed\n");
                    }
                }
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    return events / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    int events = argc > 1 ? atoi(argv[1]) : 10000;
    Server server;
    char exe[4096] = "";
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    std::string here = n > 0 ? std::string(exe, n) : std::string(".");
    here = here.substr(0, here.rfind('/'));
    server.binary = argc > 2 ? argv[2] : here + "/../server/aerolith-server";
    char tmpl[] = "/tmp/bench-worker.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    server.root = dir + "/server";
    {
        // Only warnings and errors: the per-request debug lines would be the benchmark.
        std::string levels = dir + "/levels";
        FILE *fp = fopen(levels.c_str(), "w");
        if (fp != nullptr) {
            fputs("worker_debug = 3\nclient_debug = 3\n", fp);
            fclose(fp);
        }
        Logger::Initialize(Logger::STDERR_LOGGER, "", levels.c_str(), 1);
    }
    if (!server.start()) {
        fprintf(stderr, "cannot start %s\n", server.binary.c_str());
        return 1;
    }
    std::string token = jsonValue(server.admin("add-user bench"), "token");
    uint64_t view_id = strtoull(jsonValue(server.admin("add-view docs"), "view_id").c_str(), nullptr, 10);
    server.admin("grant " + std::to_string(view_id) + " bench rw");

    FilterDB::getInstance().initialize((dir + "/filter.sqlite").c_str());
    run("mkdir -p " + dir + "/config/db " + dir + "/local/.ZentoraWorkingDirectory");
    Registry::Entry entry;
    entry.sess_id = 1;
    entry.conn_id = 1;
    entry.view_id = view_id;
    entry.local_path = (dir + "/local").c_str();
    entry.config_path = (dir + "/config").c_str();
    FileEventDB *db = new FileEventDB();
    entry.event_db = shared_pointer<FileEventDB>(db);
    db->initialize((dir + "/config/db/event-db.sqlite").c_str());

    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = server.port;
    info.session = token.c_str();
    info.use_ssl = false;
    Connection connection(info, nullptr, nullptr);
    std::string working = dir + "/local/.ZentoraWorkingDirectory";

    printf("events per run: %d (loopback server, pool of 4 channels)\n", events);
    printf("%-8s %14s %14s %14s   %s\n", "workers", "exchange ev/s", "commit ev/s", "both ev/s",
           "both / exchange-only");
    double reference = 0;
    int round = 0;
    for (int workers : {1, 3, 8}) {
        double ex = measure(workers, events, EXCHANGE, entry, connection, token, view_id, working, round++);
        double co = measure(workers, events, COMMIT, entry, connection, token, view_id, working, round++);
        double both = measure(workers, events, BOTH, entry, connection, token, view_id, working, round++);
        if (reference == 0) {
            reference = both;
        }
        printf("%-8d %14.0f %14.0f %14.0f   %.2f (vs 1 worker both: %.2f)\n", workers, ex, co, both,
               both / ex, both / reference);
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("peak RSS: %ld KiB\n", usage.ru_maxrss);
    entry.clear();
    FilterDB::getInstance().destroy();
    run("rm -rf " + dir);
    return 0;
}
