// Pulling a large server view into one session: the stand-in server (build/server/
// aerolith-server) holds N changed files; the server event puller pulls them page by page,
// turns every object into a server event, a worker stand-in takes and completes them, and
// the figure is the time until the session's stored position reaches the last change.
// Reference in the same run: the same pages fetched over one connection with bare
// "pull_event" exchanges and nothing done with the answers.
// Usage: bench_event_pull [changes] [server binary]
#include "client/core/connection.h"
#include "client/core/registry.h"
#include "client/core/settings.h"
#include "client/core/syncer.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "client/task.h"
#include "fstat-db.h"
#include "log.h"
#include "proto-common.h"
#include "protocol/stream.h"

#include <signal.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

std::string g_root;
std::string g_binary;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs the server's admin command line; its standard output.
std::string admin(const std::string &args)
{
    std::string cmd = g_binary + " admin --root " + g_root + " " + args;
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[256];
    while (fgets(buf, sizeof(buf), p))
        out += buf;
    pclose(p);
    return out;
}

std::string jsonText(const std::string &json, const std::string &key)
{
    size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos)
        return "";
    at = json.find(':', at) + 1;
    while (json[at] == ' ' || json[at] == '"')
        ++at;
    size_t end = json.find_first_of("\",}", at);
    return json.substr(at, end - at);
}

// Writes N file entries straight into the server's tables in one transaction (the server
// reads them afresh for every request); the last sync id.
uint64_t fillView(uint64_t view, size_t n)
{
    sqlite3 *db = nullptr;
    sqlite3_open((g_root + "/server.sqlite").c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_exec(db,
                 "INSERT INTO content(md4, sha256, size) VALUES "
                 "('0123456789abcdef0123456789abcdef', 'bench', 4096)",
                 nullptr, nullptr, nullptr);
    sqlite3_int64 content = sqlite3_last_insert_rowid(db);
    sqlite3_stmt *j = nullptr, *c = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO journal(view_id, path, is_dir, is_removed, content_id, mtime, "
                       "origin, time) VALUES (?, ?, ?, 0, ?, 1700000000, 'admin', 1700000000)",
                       -1, &j, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO current(view_id, path, parent, sync_id, max_id, is_dir, "
                       "is_removed, content_id, mtime, origin) VALUES (?, ?, ?, ?, ?, ?, 0, ?, "
                       "1700000000, 'admin')",
                       -1, &c, nullptr);
    uint64_t last = 0;
    auto add = [&](const std::string &path, const std::string &parent, bool dir) {
        sqlite3_bind_int64(j, 1, static_cast<sqlite3_int64>(view));
        sqlite3_bind_text(j, 2, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(j, 3, dir ? 1 : 0);
        sqlite3_bind_int64(j, 4, dir ? 0 : content);
        sqlite3_step(j);
        sqlite3_reset(j);
        last = static_cast<uint64_t>(sqlite3_last_insert_rowid(db));
        sqlite3_bind_int64(c, 1, static_cast<sqlite3_int64>(view));
        sqlite3_bind_text(c, 2, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(c, 3, parent.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(c, 4, static_cast<sqlite3_int64>(last));
        sqlite3_bind_int64(c, 5, static_cast<sqlite3_int64>(last));
        sqlite3_bind_int(c, 6, dir ? 1 : 0);
        sqlite3_bind_int64(c, 7, dir ? 0 : content);
        sqlite3_step(c);
        sqlite3_reset(c);
    };
    const size_t per_dir = 1000;
    for (size_t i = 0; i < n; ++i) {
        std::string d = "/d" + std::to_string(i / per_dir);
        if (i % per_dir == 0)
            add(d, "/", true);
        add(d + "/f" + std::to_string(i) + ".dat", d, false);
    }
    sqlite3_finalize(j);
    sqlite3_finalize(c);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return last;
}

pid_t startServer(int &port)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        int null = open("/dev/null", 0);
        dup2(null, 2);
        execl(g_binary.c_str(), g_binary.c_str(), "--root", g_root.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    FILE *f = fdopen(fds[0], "r");
    char line[256] = {0};
    if (!fgets(line, sizeof(line), f))
        return -1;
    const char *colon = strrchr(line, ':');
    port = colon ? atoi(colon + 1) : 0;
    return pid;
}

// Bare pulls over one connection until the answer's next position equals the request's.
double rawPull(int port, const std::string &token, uint64_t view)
{
    Channel ch;
    if (ch.Open("127.0.0.1", port) != 0)
        return -1;
    PStream stream;
    ProtoExchangeOptions options;
    ProtoExchangeHooks hooks;
    PObject request, answer;
    InitRequest(request, "connect");
    request["session"] = token.c_str();
    request["view_id"] = view;
    ProtoRunExchange(ch, stream, SCMD_REQUEST_CONNECT, request, answer, options, hooks);
    Clock::time_point start = Clock::now();
    uint64_t pos = 0;
    for (;;) {
        PObject pull;
        InitRequest(pull, "pull_event");
        pull["session"] = token.c_str();
        pull["view_id"] = view;
        pull["path"] = "/";
        pull["recursive"] = 1;
        pull["sync_id"] = pos;
        PObject got;
        if (ProtoRunExchange(ch, stream, SCMD_EVT_PULL, pull, got, options, hooks) != 0)
            return -1;
        uint64_t next = got["next_sync_id"].asUInt64();
        if (next == pos)
            break;
        pos = next;
    }
    return secondsSince(start);
}

class WorkerStandIn : public Task
{
};

} // namespace

int main(int argc, char **argv)
{
    size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 100000;
    g_binary = argc > 2 ? argv[2] : AEROLITH_SERVER_BINARY;
    char tmpl[] = "/tmp/bench-pull-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    std::string dir = tmpl;
    g_root = dir + "/root";
    std::string token = jsonText(admin("add-user alice"), "token");
    uint64_t view = strtoull(jsonText(admin("add-view docs"), "view_id").c_str(), nullptr, 10);
    admin("grant " + std::to_string(view) + " alice rw");
    uint64_t last = fillView(view, n);
    int port = 0;
    pid_t server = startServer(port);
    if (server <= 0 || port == 0) {
        fprintf(stderr, "server did not start (%s)\n", g_binary.c_str());
        return 1;
    }

    // Quiet logs, no user interface listening, the usual page and rest.
    std::string conf = dir + "/conf";
    FILE *f = fopen(conf.c_str(), "w");
    fprintf(f, "ui_port = 1\npull_interval = 1\n");
    fclose(f);
    Settings::getInstance().loadConfigSettings(conf.c_str());
    std::string levels = dir + "/levels";
    f = fopen(levels.c_str(), "w");
    fprintf(f, "channel_ui_debug = -1\nchannel_debug = -1\nfstat_db_debug = -1\n");
    fclose(f);
    Logger::Initialize(Logger::STDERR_LOGGER, "", levels.c_str(), 1);

    double raw = rawPull(port, token, view);

    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = port;
    info.session = token.c_str();
    info.use_ssl = false;
    ConnectionManager::getInstance().add(info, nullptr, nullptr);
    mkdir((dir + "/local").c_str(), 0700);
    FileEventDB *db = new FileEventDB;
    db->initialize((dir + "/event-db.sqlite").c_str());
    Registry::Entry entry;
    entry.sess_id = 1;
    entry.conn_id = 1;
    entry.view_id = view;
    entry.recursive = true;
    entry.remote_path = "/";
    entry.local_path = (dir + "/local").c_str();
    entry.event_db = db;
    Registry::getInstance().Set(entry);

    // The daemon marks queued paths in its file-status database.
    FileStatusDB::initialize((dir + "/file-status.sqlite").c_str());

    std::atomic<bool> quit{false};
    std::atomic<size_t> done{0};
    WorkerStandIn worker;
    std::thread work([&] {
        EventManager &em = EventManager::getInstance();
        Event e;
        while (!quit) {
            if (em.PullEvent(&worker, e) != 0) {
                // An idle worker waits before asking again (the daemon's workers wait a
                // second); spinning would take the puller's processor time.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            while (em.DoneEvent(&worker, e) != 0) {
            }
            ++done;
        }
    });
    Clock::time_point start = Clock::now();
    Syncer syncer;
    syncer.Run();
    uint64_t pos = 0;
    while (pos != last && secondsSince(start) < 600) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        db->getSyncId(pos);
    }
    double pulled = secondsSince(start);
    syncer.Stop();
    syncer.Join();
    quit = true;
    work.join();

    printf("%zu changes pulled into one session\n", n);
    printf("  server event puller:  %8.2f s  (%zu events done, %.0f events/s)\n", pulled,
           done.load(), done.load() / pulled);
    printf("  bare pull exchanges:  %8.2f s  (puller takes %.1fx the bare exchanges)\n", raw,
           pulled / raw);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::string cleanup = "rm -rf " + dir;
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
