#include "squid-process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace
{

const char *const kHelperDir = "/usr/lib/squid";

int FreeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool CanConnect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

// `openssl passwd -apr1 PASSWORD`, the hash form basic_ncsa_auth reads.
std::string Apr1Hash(const std::string &password)
{
    std::string command = "openssl passwd -apr1 '" + password + "'";
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return "";
    char buf[256] = {0};
    std::string out = fgets(buf, sizeof(buf), p) ? buf : "";
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// squid started as root drops to `proxy`, which must read the configuration and write its
// log and pid file.
void HandOverToSquidUser(const std::string &path)
{
    if (geteuid() != 0)
        return;
    if (struct passwd *pw = getpwnam("proxy"))
        if (chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            perror("chown");
}

} // namespace

std::string SquidProcess::Binary()
{
    for (const char *path : {"/usr/sbin/squid", "/usr/local/sbin/squid", "/usr/bin/squid"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

bool SquidProcess::WriteConfig(Auth auth, const std::string &user, const std::string &password,
                               std::string &error)
{
    std::ostringstream conf;
    conf << "http_port 127.0.0.1:" << m_port << "\n"
         << "pid_filename " << m_dir << "/squid.pid\n"
         << "cache_log " << m_dir << "/cache.log\n"
         << "coredump_dir " << m_dir << "\n"
         << "access_log none\n"
         << "cache deny all\n"
         << "shutdown_lifetime 0 seconds\n"
         << "visible_hostname aerolith-test\n"
         << "icp_port 0\nhtcp_port 0\npinger_enable off\nmax_filedescriptors 1024\n";
    if (auth == BASIC) {
        std::string hash = Apr1Hash(password);
        if (hash.empty()) {
            error = "openssl passwd -apr1 failed";
            return false;
        }
        std::ofstream(m_dir + "/htpasswd") << user << ":" << hash << "\n";
        HandOverToSquidUser(m_dir + "/htpasswd");
        conf << "auth_param basic program " << kHelperDir << "/basic_ncsa_auth " << m_dir
             << "/htpasswd\n"
             << "auth_param basic children 2\n"
             << "auth_param basic casesensitive on\n";
    } else if (auth == NTLM) {
        conf << "auth_param ntlm program " << kHelperDir << "/ntlm_fake_auth\n"
             << "auth_param ntlm children 4\n";
    }
    if (auth == OPEN)
        conf << "http_access allow all\n";
    else
        conf << "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
    std::ofstream(m_dir + "/squid.conf") << conf.str();
    HandOverToSquidUser(m_dir + "/squid.conf");
    return true;
}

bool SquidProcess::WaitListening(std::string &error)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            error = "squid exited at start:\n" + CacheLog();
            return false;
        }
        if (CanConnect(m_port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error = "squid did not listen within 30 s:\n" + CacheLog();
    return false;
}

bool SquidProcess::Start(Auth auth, const std::string &user, const std::string &password,
                         std::string &error)
{
    Stop();
    std::string binary = Binary();
    if (binary.empty()) {
        error = "squid is not installed (apt-get install squid)";
        return false;
    }
    char pattern[] = "/tmp/aerolith-squid.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = "mkdtemp failed";
        return false;
    }
    m_dir = pattern;
    chmod(m_dir.c_str(), 0755);
    HandOverToSquidUser(m_dir);
    // The port is free now; another process may take it before squid binds, so a start
    // that cannot listen is tried again on a fresh port.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = FreeLoopbackPort();
        if (!WriteConfig(auth, user, password, error))
            return false;
        std::string conf = m_dir + "/squid.conf";
        const char *argv[] = {binary.c_str(), "-N", "-f", conf.c_str(), nullptr};
        if (posix_spawn(&m_pid, binary.c_str(), nullptr, nullptr, const_cast<char **>(argv),
                        environ) != 0) {
            m_pid = -1;
            error = "posix_spawn squid failed";
            return false;
        }
        if (WaitListening(error))
            return true;
        StopProcess();
    }
    return false;
}

void SquidProcess::Stop()
{
    StopProcess();
    if (!m_dir.empty()) {
        std::string command = "rm -rf '" + m_dir + "'";
        if (system(command.c_str()) != 0)
            perror("rm");
        m_dir.clear();
    }
}

void SquidProcess::StopProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_pid = -1;
    }
}

std::string SquidProcess::CacheLog() const
{
    std::ifstream in(m_dir + "/cache.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
