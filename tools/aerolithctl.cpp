// aerolithctl: the command-line stand-in for the desktop user interface.
//
//   aerolithctl [--state FILE] start --config FILE [--daemon PATH]
//       listens on the configured ui_port, starts the daemon, remembers the control port it
//       announces in the state file and prints every message the daemon sends to the user
//       interface, one JSON line each, until the daemon ends (its exit status is ours).
//   aerolithctl [--state FILE] [--port N] send '<json>'
//       sends one control message and prints the reply as JSON.
//   aerolithctl [--state FILE] [--port N] link | unlink | status | stop
//       shortcuts for the actions "link", "unlink", "get_status" and "stop".
//
// JSON maps to control messages as: object -> map, array -> array, string -> string,
// integer -> integer (negative ones sign-extended to 64 bits), true/false -> 1/0,
// null -> null. Replies print integers above 2^63 - 1 as negative numbers, which is how
// the daemon's error codes travel.
#include "client/core/settings.h"
#include "config.h"
#include "ipc.h"
#include "log.h"
#include "protocol/object.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits.h>
#include <string>
#include <vector>

using json = nlohmann::json;

namespace
{

// Seconds to wait for a reply; linking opens databases and may take a moment.
const unsigned int kReplyTimeout = 60;
const unsigned int kNotificationTimeout = 3;

struct Options {
    std::string state_path;
    int port = -1;
    std::string command;
    std::string config_path;
    std::string daemon_path;
    std::string message;
};

int fail(const std::string &text)
{
    std::fprintf(stderr, "aerolithctl: %s\n", text.c_str());
    return 1;
}

void printUsage()
{
    std::fprintf(stderr, "usage: aerolithctl [--state FILE] start --config FILE [--daemon PATH]\n"
                         "       aerolithctl [--state FILE] [--port N] send '<json>'\n"
                         "       aerolithctl [--state FILE] [--port N] link|unlink|status|stop\n");
}

std::string defaultStatePath()
{
    const char *env = std::getenv("AEROLITHCTL_STATE");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    const char *dir = std::getenv("XDG_RUNTIME_DIR");
    std::string base = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    return base + "/aerolithctl-" + std::to_string(getuid()) + ".state";
}

bool parsePort(const char *text, int &port)
{
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 65535) {
        return false;
    }
    port = static_cast<int>(value);
    return true;
}

// 0, or 1 after printing what is wrong.
int parseArguments(int argc, char **argv, Options &opt)
{
    opt.state_path = defaultStatePath();
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--state" && has_value) {
            opt.state_path = argv[++i];
        } else if (arg == "--port" && has_value) {
            if (!parsePort(argv[++i], opt.port)) {
                return fail(std::string("not a port number: ") + argv[i]);
            }
        } else if (arg == "--config" && has_value) {
            opt.config_path = argv[++i];
        } else if (arg == "--daemon" && has_value) {
            opt.daemon_path = argv[++i];
        } else {
            rest.push_back(arg);
        }
    }
    if (rest.empty()) {
        printUsage();
        return 1;
    }
    opt.command = rest[0];
    if (opt.command == "send") {
        if (rest.size() != 2) {
            printUsage();
            return 1;
        }
        opt.message = rest[1];
    } else if (rest.size() != 1) {
        printUsage();
        return 1;
    }
    return 0;
}

// ---- JSON and control messages ----

bool jsonToObject(const json &in, PObject &out, std::string &error)
{
    switch (in.type()) {
    case json::value_t::null:
        out.clear();
        return true;
    case json::value_t::boolean:
        out = static_cast<uint64_t>(in.get<bool>() ? 1 : 0);
        return true;
    case json::value_t::number_unsigned:
        out = in.get<uint64_t>();
        return true;
    case json::value_t::number_integer:
        out = static_cast<uint64_t>(in.get<int64_t>());
        return true;
    case json::value_t::string:
        out = ustring(in.get_ref<const std::string &>());
        return true;
    case json::value_t::array: {
        out = PObject::array_type();
        for (const json &item : in) {
            PObject element;
            if (!jsonToObject(item, element, error)) {
                return false;
            }
            out.asArray().push_back(element);
        }
        return true;
    }
    case json::value_t::object: {
        out = PObject::map_type();
        for (auto it = in.begin(); it != in.end(); ++it) {
            if (!jsonToObject(it.value(), out[ustring(it.key())], error)) {
                return false;
            }
        }
        return true;
    }
    default:
        error = "only objects, arrays, strings, integers, true, false and null can be sent";
        return false;
    }
}

json objectToJson(const PObject &in)
{
    switch (in.getType()) {
    case PObject::TYPE_INTEGER: {
        uint64_t value = in.asUInt64();
        if (value > static_cast<uint64_t>(INT64_MAX)) {
            return json(static_cast<int64_t>(value));
        }
        return json(value);
    }
    case PObject::TYPE_STRING:
        return json(std::string(in.asString().c_str_utf8()));
    case PObject::TYPE_BINARY: {
        const PObject::binary_type &b = in.asBinary();
        return json{{"binary", std::string(b.path.c_str_utf8())},
                    {"offset", b.offset},
                    {"length", b.length}};
    }
    case PObject::TYPE_ARRAY: {
        json out = json::array();
        for (const PObject &item : in.asArray()) {
            out.push_back(objectToJson(item));
        }
        return out;
    }
    case PObject::TYPE_MAP: {
        json out = json::object();
        for (const auto &item : in.asMap()) {
            out[std::string(item.first.c_str_utf8())] = objectToJson(item.second);
        }
        return out;
    }
    default:
        return json(nullptr);
    }
}

void printLine(const PObject &obj)
{
    std::string text = objectToJson(obj).dump(-1, ' ', false, json::error_handler_t::replace);
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

// ---- state file ----

bool writeState(const std::string &path, int port, pid_t pid)
{
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) {
            return false;
        }
        out << "daemon_port = " << port << "\npid = " << pid << "\n";
        if (!out) {
            return false;
        }
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// The remembered control port, or -1.
int readStatePort(const std::string &path)
{
    Config state;
    if (state.read(ustring(path)) != 0 || !state.has("daemon_port")) {
        return -1;
    }
    int port = state.get_int("daemon_port");
    return port >= 1 && port <= 65535 ? port : -1;
}

// ---- send ----

int sendMessage(const Options &opt, const PObject &request)
{
    int port = opt.port > 0 ? opt.port : readStatePort(opt.state_path);
    if (port < 0) {
        return fail("no daemon known: no control port in " + opt.state_path +
                    " (run 'aerolithctl start' or give --port)");
    }
    std::string where = "127.0.0.1:" + std::to_string(port);
    IPCSender sender;
    sender.setTimeout(kReplyTimeout);
    if (sender.connect(port) != 0) {
        return fail("cannot reach the daemon at " + where);
    }
    PObject reply;
    bool is_stop = request["action"].asString() == "stop";
    if (sender.send(request) != 0) {
        return fail("cannot send the message to the daemon at " + where);
    }
    if (is_stop) {
        // No reply to a stop: the daemon closes the connection once it has unlinked.
        sender.recv(reply);
        return 0;
    }
    if (sender.recv(reply) != 0) {
        return fail("no reply from the daemon at " + where);
    }
    printLine(reply);
    return 0;
}

int commandSend(const Options &opt)
{
    json parsed = json::parse(opt.message, nullptr, false);
    if (parsed.is_discarded()) {
        return fail("not valid JSON: " + opt.message);
    }
    PObject request;
    std::string error;
    if (!jsonToObject(parsed, request, error)) {
        return fail(error);
    }
    return sendMessage(opt, request);
}

int commandShortcut(const Options &opt, const char *action)
{
    PObject request;
    request["action"] = action;
    return sendMessage(opt, request);
}

// ---- start ----

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
        int port = msg["daemon_port"].asInt32();
        if (!writeState(opt.state_path, port, daemon_pid)) {
            std::fprintf(stderr, "aerolithctl: cannot write %s\n", opt.state_path.c_str());
        }
    }
}

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
    for (;;) {
        if (g_stop_signal != 0 && !forwarded) {
            ::kill(pid, SIGTERM);
            forwarded = true;
        }
        struct pollfd pfd = {listen_fd, POLLIN, 0};
        if (::poll(&pfd, 1, 200) > 0 && (pfd.revents & POLLIN) != 0) {
            int sock = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            // Only the daemon's user (or root) may announce a port or report files here.
            if (sock >= 0 && !IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "notification")) {
                ::close(sock);
            } else if (sock >= 0) {
                takeNotification(sock, opt, pid);
            }
            continue;
        }
        int status = daemonExitStatus(pid);
        if (status >= 0) {
            return status;
        }
    }
}

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
    ::close(listen_fd);
    std::remove(opt.state_path.c_str());
    if (status != 0) {
        std::fprintf(stderr, "aerolithctl: the daemon ended with status %d\n", status);
    }
    return status;
}

// Library log lines would mix with the tool's output; they go to a file beside the state.
void quietLibraryLogs(const Options &opt)
{
    Logger::Initialize(Logger::FILE_LOGGER, ustring(opt.state_path + ".log"), ustring(), 1);
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (parseArguments(argc, argv, opt) != 0) {
        return 1;
    }
    quietLibraryLogs(opt);
    if (opt.command == "start") {
        return commandStart(opt);
    }
    if (opt.command == "send") {
        return commandSend(opt);
    }
    if (opt.command == "link" || opt.command == "unlink" || opt.command == "stop") {
        return commandShortcut(opt, opt.command.c_str());
    }
    if (opt.command == "status") {
        return commandShortcut(opt, "get_status");
    }
    printUsage();
    return 1;
}
