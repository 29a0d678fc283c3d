// Detector and rescan benchmark on one session of FILES files in DIRS directories:
//   1. setting up every watch, against `inotifywait -r -m` (inotify-tools) on the same tree;
//   2. the detector's resident memory with the tree watched;
//   3. NEW files created by a script until all of them are events in the session's tree;
//   4. a rescan of the unchanged tree against the database, against `find -printf` of the
//      same attributes.
// Usage: bench_detector [DIRS [FILES [NEW [PARTS]]]]   (defaults 10000 100000 10000 1234);
// PARTS names the measurements to run, e.g. 4 for the rescan alone.
#include "client/core/expand.h"
#include "client/core/settings.h"
#include "client/core/registry.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "client/linux/detector-linux.h"
#include "fstat-db.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

typedef std::chrono::steady_clock Clock;

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long RssKiB()
{
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(4096, '\n');
    }
    return -1;
}

// DIRS directories (groups of 100 below 100 top ones) and FILES files spread over them;
// every file and directory is also a database row, as if synced.
void MakeTree(const std::string &root, int dirs, int files, FileEventDB &db)
{
    std::vector<std::string> all;
    std::vector<DBFileInfo> rows;
    int top = dirs < 100 ? dirs : 100;
    for (int i = 0; i < dirs; ++i) {
        std::string rel = i < top ? "/d" + std::to_string(i)
                                  : "/d" + std::to_string(i % top) + "/s" + std::to_string(i);
        mkdir((root + rel).c_str(), 0755);
        all.push_back(rel);
    }
    for (int i = 0; i < files; ++i) {
        std::string rel = all[static_cast<size_t>(i % dirs)] + "/f" + std::to_string(i);
        int fd = open((root + rel).c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) {
            if (write(fd, "data", 4) != 4) {
                perror("write");
            }
            close(fd);
        }
        struct stat st;
        stat((root + rel).c_str(), &st);
        DBFileInfo row;
        row.isExist = 1;
        row.syncID = 1;
        row.maxSyncID = 1;
        row.fileSize = 4;
        row.fileModTime = static_cast<uint32_t>(st.st_mtime);
        row.path = rel.c_str();
        rows.push_back(row);
    }
    for (const std::string &rel : all) {
        DBFileInfo row;
        row.isExist = 1;
        row.fileType = 1;
        row.path = rel.c_str();
        rows.push_back(row);
    }
    db.setEventInfos(rows);
}

// Seconds until `inotifywait -r -m` reports its watches established.
double InotifywaitSetup(const std::string &root)
{
    int out[2];
    if (pipe(out) != 0) {
        return -1;
    }
    Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(out[0]);
        execlp("inotifywait", "inotifywait", "-r", "-m", root.c_str(),
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    double seconds = -1;
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0) {
        text.append(buf, static_cast<size_t>(n));
        if (text.find("Watches established") != std::string::npos) {
            seconds = Since(start);
            break;
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    return seconds;
}

// A stand-in user interface on loopback that takes every notification and drops it, so
// that event pushes pay for their notification as in the daemon. Returns the port.
int StartQuietUI(std::atomic<bool> &stop, std::thread &thread)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        return -1;
    }
    thread = std::thread([fd, &stop] {
        char buf[4096];
        while (!stop) {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) {
                continue;
            }
            while (read(c, buf, sizeof(buf)) > 0) {
            }
            close(c);
        }
        close(fd);
    });
    return ntohs(addr.sin_port);
}

double Run(const std::string &command)
{
    Clock::time_point start = Clock::now();
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "failed: %s\n", command.c_str());
    }
    return Since(start);
}

} // namespace

int main(int argc, char **argv)
{
    int dirs = argc > 1 ? atoi(argv[1]) : 10000;
    int files = argc > 2 ? atoi(argv[2]) : 100000;
    int fresh = argc > 3 ? atoi(argv[3]) : 10000;
    std::string parts = argc > 4 ? argv[4] : "1234";
    auto wanted = [&parts](char part) { return parts.find(part) != std::string::npos; };
    const uint64_t sess = 1;

    // BENCH_DETECTOR_KEEP=DIR builds the tree in DIR once and reuses it in later runs, for
    // repeated measurements of one part.
    const char *keep = getenv("BENCH_DETECTOR_KEEP");
    bool reuse = keep != nullptr && access((std::string(keep) + "/folder").c_str(), F_OK) == 0;
    char scratch[] = "/tmp/bench-detector-XXXXXX";
    if (keep != nullptr) {
        mkdir(keep, 0755);
    } else if (mkdtemp(scratch) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string base = keep != nullptr ? keep : scratch;
    std::string root = base + "/folder";
    mkdir(root.c_str(), 0755);
    mkdir((base + "/db").c_str(), 0755);
    FileStatusDB::initialize((base + "/fstat.sqlite").c_str());
    std::atomic<bool> ui_stop(false);
    std::thread ui;
    int ui_port = StartQuietUI(ui_stop, ui);
    std::ofstream(base + "/config") << "ui_port = " << ui_port << "\n";
    Settings::getInstance().loadConfigSettings((base + "/config").c_str());

    Registry::Entry entry;
    entry.sess_id = sess;
    entry.conn_id = 1;
    entry.recursive = true;
    entry.local_path = root.c_str();
    entry.event_db = shared_pointer<FileEventDB>(new FileEventDB);
    entry.event_db->initialize((base + "/db/event-db.sqlite").c_str());
    Registry::getInstance().Set(entry);

    printf("tree: %d directories, %d files\n", dirs, files);
    if (!reuse) {
        MakeTree(root, dirs, files, *entry.event_db);
    }
    Detector::CreateWorkingDirectory(root.c_str());
    std::string drop_new = "find '" + root + "' -maxdepth 2 -name 'new*' -delete";
    Run(drop_new); // files of part 3 left by an earlier run on a kept tree
    Run("find '" + root + "' > /dev/null"); // same warm caches for everyone

    // 1 and 2: watch set-up and memory, best of two rounds each.
    double ref_setup = 1e9, our_setup = 1e9;
    long rss_watched = 0, heap_watched = 0;
    for (int round = 0; round < 2 && (wanted('1') || wanted('2')); ++round) {
        double t = InotifywaitSetup(root);
        ref_setup = t >= 0 && t < ref_setup ? t : ref_setup;
        long before = RssKiB();
        size_t heap_before = mallinfo2().uordblks;
        Detector probe;
        Clock::time_point start = Clock::now();
        probe.AddWatch(root.c_str(), sess);
        t = Since(start);
        our_setup = t < our_setup ? t : our_setup;
        if (round == 0) { // later rounds reuse memory the first one freed
            rss_watched = RssKiB() - before;
            heap_watched = static_cast<long>(mallinfo2().uordblks - heap_before);
        }
    }
    if (wanted('1') || wanted('2')) {
        printf("watch set-up: detector %.3f s, inotifywait -r %.3f s, ratio %.2f (goal <= 1)\n",
               our_setup, ref_setup, our_setup / ref_setup);
        printf("detector memory with the tree watched: %.1f MiB in use on the heap, resident set "
               "grew by %.1f MiB (goal < 30)\n",
               heap_watched / 1048576.0, rss_watched / 1024.0);
    }

    // 4: rescan of the unchanged tree.
    // Best of three rounds each, alternating, as other work may share the processors.
    double ref_list = 1e9, rescan = 1e9;
    int queued = 0;
    for (int round = 0; round < 3 && wanted('4'); ++round) {
        double t = Run("find '" + root + "' -printf '%T@ %s %p\\n' > /dev/null");
        ref_list = t < ref_list ? t : ref_list;
        EventManager::getInstance().Clear();
        Event ev;
        ev.m_type = Event::EV_CREATE;
        ev.m_mode = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN;
        ev.m_path = "/";
        ev.m_sess_id = sess;
        Expander expander(entry, 0, nullptr);
        Clock::time_point start = Clock::now();
        expander.Rescan(ev);
        t = Since(start);
        rescan = t < rescan ? t : rescan;
        queued = EventManager::getInstance().GetAllPendingEventCount(sess);
    }
    if (wanted('4')) {
        printf(
            "rescan of the unchanged tree: %.3f s, find -printf %.3f s, ratio %.2f (goal < 2 s); "
            "%d events queued (expected 0)\n",
            rescan, ref_list, rescan / ref_list, queued);
    }

    // 3a: the detector alone: new files until it has handed all of them on.
    if (wanted('3')) {
        struct Counter : DetectorSink {
            std::atomic<int> created{0};
            void PushLocalEvent(const Event &e) override
            {
                if (e.m_type == Event::EV_CREATE) {
                    ++created;
                }
            }
            void IssueRescan(uint64_t, const ustring &, bool) override {}
            void IssueExpand(uint64_t, const ustring &) override {}
            void ReportWatchLimit(uint64_t) override {}
        } counter;
        Detector detector(&counter);
        detector.AddWatch(root.c_str(), sess);
        detector.Run();
        std::string script = "cd '" + root + "/d1' && seq 1 " + std::to_string(fresh) +
                             " | sed 's/^/new/' | xargs touch";
        double made = Run(script);
        Clock::time_point last = Clock::now();
        while (counter.created < fresh && Since(last) < 60) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        printf("detector alone: %d files made in %.3f s; %d creations handed on %.3f s after "
               "the last file\n",
               fresh, made, counter.created.load(), Since(last));
        detector.Stop();
        detector.Join();
    }

    // 3b: new files created by a script until all are events in the session's tree (each
    // push also marks the path in the file-status database and notifies the interface).
    if (wanted('3')) {
        EventManager::getInstance().Clear();
        Detector detector;
        detector.AddWatch(root.c_str(), sess);
        detector.Run();
        std::string dir = root + "/d0";
        std::string script = "cd '" + dir + "' && seq 1 " + std::to_string(fresh) +
                             " | sed 's/^/new/' | xargs touch";
        double made = Run(script);
        Clock::time_point last = Clock::now();
        while (EventManager::getInstance().GetAllPendingEventCount(sess) < fresh &&
               Since(last) < 60) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        double lag = Since(last);
        printf("%d files made in %.3f s; all %d events in the tree %.3f s after the last file "
               "(goal < 2 s)\n",
               fresh, made, EventManager::getInstance().GetAllPendingEventCount(sess), lag);
        detector.Stop();
        detector.Join();
    }

    EventManager::getInstance().Clear();
    Registry::getInstance().Clear();
    FileStatusDB::destroy();
    Run(keep == nullptr ? "rm -rf '" + base + "'" : drop_new);
    ui_stop = true;
    int wake = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(ui_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(wake, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    close(wake);
    ui.join();
    return 0;
}
