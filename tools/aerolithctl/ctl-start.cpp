// aerolithctl start: listens on the user-interface port, starts the daemon and prints what
// it sends until it ends.
#include "ctl.h"

#include "client/core/settings.h"
#include "ipc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits.h>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

const unsigned int kNotificationTimeout = 3;

// Sends the remembered connections and sessions to a daemon that has just announced
// itself; runs beside the notification loop, which keeps accepting what the daemon sends
// while it handles them.
std::thread g_replay;
std::mutex g_announce_lock;

volatile sig_atomic_t g_stop_signal = 0;

void onStopSignal(int sig)
{
    g_stop_signal = sig;
}

void installStopHandlers()
{
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// A listening socket on exactly 127.0.0.1:port (the daemon announces itself there), or -1.
int listenOn(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string defaultDaemonPath()
{
    const char *env = std::getenv("AEROLITH_DAEMON");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return "aerolith-daemon";
    }
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    // tools/ and client/core/ sit side by side in the build tree.
    return dir + "/../client/core/aerolith-daemon";
}

pid_t spawnDaemon(const std::string &daemon, const std::string &config)
{
    pid_t pid = fork();
    if (pid == 0) {
        // The daemon gets the default signal handling back.
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        execl(daemon.c_str(), daemon.c_str(), config.c_str(), static_cast<char *>(nullptr));
        std::fprintf(stderr, "aerolithctl: cannot run %s: %s\n", daemon.c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    return pid;
}

// Reads one message from a connection of the daemon and prints it; remembers an
// announced control port.
void takeNotification(int sock, const Options &opt, pid_t daemon_pid)
{
    IPCSender conn;
    conn.setTimeout(kNotificationTimeout);
    if (conn.assign(sock) != 0) {
        return;
    }
    PObject msg;
    if (conn.recv(msg) != 0) {
        std::fprintf(stderr, "aerolithctl: unreadable message from the daemon\n");
        return;
    }
    printLine(msg);
    if (msg.hasMember("daemon_port")) {
        std::lock_guard<std::mutex> guard(g_announce_lock);
        int port = msg["daemon_port"].asInt32();
        if (!writeState(opt.state_path, port, daemon_pid)) {
            std::fprintf(stderr, "aerolithctl: cannot write %s\n", opt.state_path.c_str());
        }
        if (!g_replay.joinable()) {
            Options replay = opt;
            replay.port = port;
            g_replay = std::thread([replay] { replayRemembered(replay); });
        }
    }
}

// Connections of the daemon are checked and read by a few threads: the daemon keeps each
// one open until it has been read, so a reader that takes them one at a time (and waits for
// the processor between them on a busy machine) would soon hold up every sender.
class NotificationReaders
{
public:
    NotificationReaders(const Options &opt, pid_t daemon_pid) : m_opt(opt), m_pid(daemon_pid)
    {
        for (int i = 0; i < kThreads; ++i) {
            m_threads.emplace_back([this] { run(); });
        }
    }
    // Reads what was accepted before, then ends the threads.
    ~NotificationReaders()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_done = true;
        }
        m_ready.notify_all();
        for (std::thread &t : m_threads) {
            t.join();
        }
    }
    void take(int sock)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_socks.push_back(sock);
        }
        m_ready.notify_one();
    }
    // Whether another connection may be accepted, waiting up to `ms` for room. While the
    // queue is full, new connections wait in the kernel's backlog instead of taking a
    // descriptor each: a local process opening connections that say nothing (each holds a
    // reader for its timeout) cannot make this process run out of descriptors.
    bool waitForRoom(int ms)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_room.wait_for(guard, std::chrono::milliseconds(ms),
                               [this] { return m_socks.size() < kMaxQueued; });
    }

private:
    static const int kThreads = 4;
    static const size_t kMaxQueued = 64;

    void run()
    {
        for (;;) {
            int sock;
            {
                std::unique_lock<std::mutex> guard(m_lock);
                m_ready.wait(guard, [this] { return m_done || !m_socks.empty(); });
                if (m_socks.empty()) {
                    return;
                }
                sock = m_socks.front();
                m_socks.pop_front();
            }
            m_room.notify_one();
            // Only the daemon's user (or root) may announce a port or report files here.
            if (!IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "notification")) {
                ::close(sock);
            } else {
                takeNotification(sock, m_opt, m_pid);
            }
        }
    }

    const Options &m_opt;
    pid_t m_pid;
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::condition_variable m_room;
    std::deque<int> m_socks;
    bool m_done = false;
    std::vector<std::thread> m_threads;
};

// -1 while the daemon runs, else the status to exit with.
int daemonExitStatus(pid_t pid)
{
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == 0 || (done < 0 && errno == EINTR)) {
        return -1;
    }
    if (done < 0) {
        return 1;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int serveNotifications(int listen_fd, const Options &opt, pid_t pid)
{
    bool forwarded = false;
    NotificationReaders readers(opt, pid);
    for (;;) {
        if (g_stop_signal != 0 && !forwarded) {
            ::kill(pid, SIGTERM);
            forwarded = true;
        }
        struct pollfd pfd = {listen_fd, POLLIN, 0};
        if (readers.waitForRoom(200) && ::poll(&pfd, 1, 200) > 0 && (pfd.revents & POLLIN) != 0) {
            int sock = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (sock >= 0) {
                readers.take(sock);
                continue;
            }
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                // Out of descriptors or memory: give the readers a moment instead of
                // polling the still readable socket again at once.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            continue;
        }
        int status = daemonExitStatus(pid);
        if (status >= 0) {
            return status;
        }
    }
}

} // namespace

int commandStart(const Options &opt)
{
    if (opt.config_path.empty()) {
        return fail("start needs --config FILE");
    }
    Settings settings;
    if (settings.loadConfigSettings(ustring(opt.config_path)) != 0) {
        return fail("cannot read the configuration " + opt.config_path);
    }
    int ui_port = settings.getUIPort();
    int listen_fd = ui_port >= 1 && ui_port <= 65535 ? listenOn(ui_port) : -1;
    if (listen_fd < 0) {
        return fail("cannot listen on the user-interface port " + std::to_string(ui_port));
    }
    installStopHandlers();
    std::string daemon = opt.daemon_path.empty() ? defaultDaemonPath() : opt.daemon_path;
    pid_t pid = spawnDaemon(daemon, opt.config_path);
    if (pid < 0) {
        ::close(listen_fd);
        return fail("cannot start " + daemon);
    }
    int status = serveNotifications(listen_fd, opt, pid);
    if (g_replay.joinable()) {
        g_replay.join();
    }
    ::close(listen_fd);
    std::remove(opt.state_path.c_str());
    if (status != 0) {
        std::fprintf(stderr, "aerolithctl: the daemon ended with status %d\n", status);
    }
    return status;
}
