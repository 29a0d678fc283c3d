#include "support/control-fake-ui.h"

#include "ipc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

namespace
{

const std::string kDaemon = std::string(AEROLITH_BINARY_DIR) + "/client/core/aerolith-daemon";

int listenEphemeral(int &port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    socklen_t len = sizeof(addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

FakeUI::FakeUI() : m_fd(-1), m_port(0), m_done(false)
{
    m_fd = listenEphemeral(m_port);
    m_thread = std::thread(&FakeUI::serve, this);
}

FakeUI::~FakeUI()
{
    m_done = true;
    m_thread.join();
    ::close(m_fd);
}

void FakeUI::serve()
{
    while (!m_done) {
        struct pollfd pfd = {m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) {
            continue;
        }
        int sock = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) {
            continue;
        }
        IPCSender conn;
        conn.setTimeout(5);
        PObject msg;
        if (conn.assign(sock) != 0 || conn.recv(msg) != 0) {
            continue;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_messages.push_back(msg);
        m_arrivals.push_back(std::chrono::steady_clock::now());
        m_arrived.notify_all();
    }
}

bool FakeUI::waitFor(size_t n, int timeout_ms)
{
    std::unique_lock<std::mutex> guard(m_lock);
    return m_arrived.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                              [&] { return m_messages.size() >= n; });
}

std::vector<PObject> FakeUI::messages()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_messages;
}

std::vector<std::chrono::steady_clock::time_point> FakeUI::arrivals()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_arrivals;
}

void writeSessionFilterFiles(const std::string &config)
{
    ::mkdir(config.c_str(), 0700);
    ::mkdir((config + "/conf").c_str(), 0700);
    const std::string version = "[Version]\nmajor = 1\nminor = 0\n";
    std::ofstream(config + "/conf/blacklist.filter") << version;
    std::ofstream(config + "/conf/whitelist.filter") << version << "[File]\nwhite_ext = \"*\"\n";
    std::ofstream(config + "/conf/force-hash-check-list.filter") << version;
}

int controlRequest(int port, const PObject &request, PObject &reply)
{
    IPCSender sender;
    sender.setTimeout(10);
    if (sender.connect(port) != 0 || sender.send(request) != 0) {
        return -1;
    }
    return sender.recv(reply) == 0 ? 0 : -2;
}

PObject action(const char *name)
{
    PObject msg;
    msg["action"] = name;
    return msg;
}

int unusedPort()
{
    int port = 0;
    int fd = listenEphemeral(port);
    ::close(fd);
    return port;
}

DaemonProcess::DaemonProcess(const TempDir &dir, FakeUI &ui, const std::string &extra)
    : m_dir(dir), m_ui(ui), m_pid(-1), m_status(-1), m_control_port(0)
{
    m_pid_path = dir.file("daemon.pid");
    m_out_path = dir.file("daemon.out");
    std::string levels = dir.write("levels", "client_debug = 7\nipc = 6\n");
    m_config_path = dir.write(
        "daemon.conf",
        "is_foreground = true\npid_file_path = " + m_pid_path +
            "\nlog_level_file_path = " + levels + "\nfstat_db_path = " + dir.file("fstat.sqlite") +
            "\nfilter_db_path = " + dir.file("filter.sqlite") + "\nhistory_db_path = " +
            dir.file("history.sqlite") + "\nsystem_filter_path = " + dir.file("system.filter") +
            "\nworker_count = 2\nui_port = " + std::to_string(ui.port()) + "\n" + extra);
}

DaemonProcess::~DaemonProcess()
{
    if (running()) {
        ::kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void DaemonProcess::writeSystemFilter()
{
    m_dir.write("system.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"tmp\"\n");
}

bool DaemonProcess::start(int timeout_ms)
{
    size_t seen = m_ui.messages().size();
    m_pid = fork();
    if (m_pid == 0) {
        int out = open(m_out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(out, 2);
        execl(kDaemon.c_str(), kDaemon.c_str(), m_config_path.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    if (m_pid < 0 || !m_ui.waitFor(seen + 1, timeout_ms)) {
        return false;
    }
    m_control_port = m_ui.messages()[seen]["daemon_port"].asInt32();
    return m_control_port > 0;
}

bool DaemonProcess::running()
{
    waitExit(0);
    return m_pid > 0;
}

int DaemonProcess::waitExit(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (m_pid > 0) {
        int status = 0;
        pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_pid = -1;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        usleep(20 * 1000);
    }
    return m_status;
}

std::string DaemonProcess::output() const
{
    return readFile(m_out_path);
}
