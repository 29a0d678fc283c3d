// Starting and driving aerolith-server for tests.
#include "support/server-process.h"

#include "proto-common.h"
#include "support/temp-dir.h"
#include "support/tls-certs.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace
{

// fork + exec of the server binary with args; stdout to a pipe (read end in out_fd) or
// captured, stderr appended to log.
pid_t Spawn(const std::vector<std::string> &args, const std::string &log, int &out_fd)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0)
            dup2(err, 2);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(pipe_fds[1]);
    out_fd = pipe_fds[0];
    return pid;
}

// Reads from fd until it closes or timeout_ms passed (or, with until_newline, a line
// arrived).
std::string ReadOut(int fd, int timeout_ms, bool until_newline)
{
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
        if (until_newline && out.find('\n') != std::string::npos)
            break;
    }
    return out;
}

bool Reap(pid_t pid, int timeout_ms, int &status)
{
    return WaitFor(
        [&] {
            pid_t r = waitpid(pid, &status, WNOHANG);
            return r == pid;
        },
        timeout_ms);
}

} // namespace

bool WaitFor(const std::function<bool()> &cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ServerProcess::binaryPath()
{
    return std::string(AEROLITH_BINARY_DIR) + "/server/aerolith-server";
}

ServerProcess::ServerProcess() : m_dir(new TempDir())
{
    m_root = m_dir->file("root");
    m_log = m_dir->file("server.log");
}

ServerProcess::~ServerProcess()
{
    // A server that does not end cleanly on SIGTERM (a sanitizer report, a crash, a hang)
    // fails the test that ran it, with the end of its log.
    if (m_pid > 0 && !stop()) {
        kill9();
        std::string text = log();
        const size_t kTail = 4000;
        ADD_FAILURE() << "aerolith-server did not end cleanly on SIGTERM; the end of its log:\n"
                      << (text.size() > kTail ? text.substr(text.size() - kTail) : text);
    }
}

std::string ServerProcess::caPath() const
{
    return m_certs ? m_certs->caPath() : std::string();
}

bool ServerProcess::start(const Options &options)
{
    if (m_pid > 0)
        return false;
    m_options = options;
    std::vector<std::string> args = {binaryPath(), "--root", m_root, "--port", "0"};
    if (options.tls) {
        if (!m_certs) {
            m_certs.reset(new TlsTestCerts(m_dir->path()));
            TlsTestCerts::Leaf leaf;
            if (!m_certs->ok() || !m_certs->issue("server", "localhost", {"localhost"}, true, leaf))
                return false;
            m_cert = leaf.cert_path;
            m_key = leaf.key_path;
        }
        args.insert(args.end(), {"--tls", m_cert, m_key});
    }
    args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
    int out_fd = -1;
    m_pid = Spawn(args, m_log, out_fd);
    if (m_pid < 0)
        return false;
    std::string line = ReadOut(out_fd, 20000, true);
    ::close(out_fd);
    const std::string kPrefix = "aerolith-server listening on ";
    size_t at = line.find(kPrefix);
    size_t colon = at == std::string::npos ? std::string::npos : line.rfind(':');
    if (colon == std::string::npos || colon < at) {
        kill9();
        return false;
    }
    m_port = atoi(line.c_str() + colon + 1);
    return m_port > 0;
}

bool ServerProcess::stop()
{
    if (m_pid <= 0)
        return true;
    kill(m_pid, SIGTERM);
    int status = 0;
    bool ended = Reap(m_pid, 30000, status);
    if (!ended) {
        kill9();
        return false;
    }
    m_pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void ServerProcess::kill9()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

bool ServerProcess::restart()
{
    if (m_pid > 0 && !stop())
        return false;
    return start(m_options);
}

std::string ServerProcess::log() const
{
    return readFile(m_log);
}

bool ServerProcess::waitForLog(const std::string &text, int timeout_ms) const
{
    return WaitFor([&] { return log().find(text) != std::string::npos; }, timeout_ms);
}

int ServerProcess::admin(const std::vector<std::string> &args, std::string *out) const
{
    std::vector<std::string> all = {binaryPath(), "admin", "--root", m_root};
    all.insert(all.end(), args.begin(), args.end());
    int out_fd = -1;
    pid_t pid = Spawn(all, m_dir->file("admin.log"), out_fd);
    if (pid < 0)
        return -1;
    std::string text = ReadOut(out_fd, 30000, false);
    ::close(out_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

nlohmann::json ServerProcess::adminJson(const std::vector<std::string> &args) const
{
    std::string out;
    if (admin(args, &out) != 0)
        return nlohmann::json();
    return nlohmann::json::parse(out, nullptr, false);
}

ServerAccount ServerProcess::createAccount(const std::string &user, const std::string &view)
{
    ServerAccount acct;
    acct.user = user;
    nlohmann::json u = adminJson({"add-user", user});
    if (u.is_object())
        acct.token = u["token"].get<std::string>();
    else
        acct.token = adminJson({"set-token", user})["token"].get<std::string>();
    nlohmann::json v = adminJson({"add-view", view});
    acct.view_id = v.is_object() ? v["view_id"].get<uint64_t>() : 0;
    admin({"grant", std::to_string(acct.view_id), user, "rw"});
    return acct;
}

int ServerClient::open()
{
    m_channel.Close();
    return m_channel.Open("127.0.0.1", m_port);
}

void ServerClient::setRecvDir(const std::string &dir)
{
    m_stream.SetDefaultRecvLocation(ustring(dir));
}

int ServerClient::request(uint8_t command, const std::string &action, const PObject &fields,
                          PObject &answer, int *keepalives)
{
    struct Counter : ProtoExchangeHooks {
        int count = 0;
        void OnKeepAlive() override { ++count; }
    } hooks;
    PObject req = fields;
    if (!req.isMap())
        req.asMap();
    InitRequest(req, ustring(action));
    ProtoExchangeOptions options;
    int rc = ProtoRunExchange(m_channel, m_stream, command, req, answer, options, hooks);
    if (keepalives != nullptr)
        *keepalives = hooks.count;
    return rc;
}

int ServerClient::connect(const ServerAccount &account)
{
    PObject req, ans;
    req["session"] = account.token;
    req["view_id"] = account.view_id;
    int rc = request(14, "connect", req, ans);
    if (rc < 0)
        return rc;
    return AnswerCode(ans) == 0 ? 0 : -1;
}

uint32_t AnswerCode(const PObject &answer)
{
    const PObject &err = answer["error"];
    return err.isMap() ? err["code"].asUInt32() : 0;
}
