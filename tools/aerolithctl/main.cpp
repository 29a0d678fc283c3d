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
//   aerolithctl [--state FILE] [--port N] connect [--reload] OPTIONS | reconnect OPTIONS
//       adds a server connection ("link_connection") or replaces the settings of one
//       ("reload_connection"). Every key of the message is an option: --connection-id,
//       --server-ip, --server-port and --session are needed; --connection-mode,
//       --ssl-server-hostname, --username, --computer-name, --package-major,
//       --package-minor, --package-version; flags --use-ssl, --ssl-allow-untrust; proxy:
//       --use-proxy, --use-sys-proxy, --proxy-ip, --proxy-port, --proxy-username,
//       --proxy-password, --proxy-domain, --proxy-host; tunnel: --use-tunnel, --tunnel-ip,
//       --tunnel-port. Values follow as "--key value" or "--key=value"; a flag alone means
//       on, "--no-FLAG" or "--FLAG=0" off; absent flags are off.
//   aerolithctl [--state FILE] [--port N] disconnect [--connection-id N]
//       removes one connection ("unlink_connection"), or every one without an id.
//   aerolithctl ... add-session | remove-session | pause | resume | reload-session | add-event
//       the session actions, from named arguments (see the usage text).
//   aerolithctl ... wait-idle [--timeout S]
//       returns 0 once every running session has nothing pending and its puller has found
//       nothing new since the last change; 1 on timeout.
//
// Every connection and session the daemon accepts is remembered (rememberedPath()) and
// sent again whenever "start" starts the daemon.
//
// JSON maps to control messages as: object -> map, array -> array, string -> string,
// integer -> integer (negative ones sign-extended to 64 bits), true/false -> 1/0,
// null -> null. Replies print integers above 2^63 - 1 as negative numbers, which is how
// the daemon's error codes travel.
#include "ctl.h"

#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

struct Verb {
    const char *name;
    int (*run)(const Options &opt);
    const char *usage; // arguments after the verb
};

int commandSend(const Options &opt)
{
    if (opt.args.size() != 1) {
        return fail("send needs exactly one JSON message");
    }
    json parsed = json::parse(opt.args[0], nullptr, false);
    if (parsed.is_discarded()) {
        return fail("not valid JSON: " + opt.args[0]);
    }
    PObject request;
    std::string error;
    if (!jsonToObject(parsed, request, error)) {
        return fail(error);
    }
    return sendMessage(opt, request);
}

int sendAction(const Options &opt, const char *action)
{
    if (!opt.args.empty()) {
        return fail(std::string("unexpected argument: ") + opt.args[0]);
    }
    PObject request;
    request["action"] = action;
    return sendMessage(opt, request);
}

int commandLink(const Options &opt)
{
    return sendAction(opt, "link");
}
int commandUnlink(const Options &opt)
{
    return sendAction(opt, "unlink");
}
int commandStop(const Options &opt)
{
    return sendAction(opt, "stop");
}

const Verb kVerbs[] = {
    {"start", commandStart, "--config FILE [--daemon PATH]"},
    {"send", commandSend, "'<json>'"},
    {"link", commandLink, ""},
    {"unlink", commandUnlink, ""},
    {"status", commandStatus, "[--json]"},
    {"stop", commandStop, ""},
    {"connect", commandConnect,
     "[--reload] --connection-id N --server-ip IP --server-port N --session TOKEN "
     "[connection, proxy and tunnel options]"},
    {"reconnect", commandReconnect, "(the options of connect)"},
    {"disconnect", commandDisconnect, "[--connection-id N] (none: every connection)"},
    {"wait-idle", commandWaitIdle, "[--timeout SECONDS]"},
    {"add-session", commandAddSession,
     "--session-id N --view-id N --folder DIR --config-dir DIR [--connection-id N] [--node-id N]"
     " [--remote-path P] [--recursive 0|1] [--sync-mode 0|1] [--read-only 0|1] [--perm-mode M]"},
    {"remove-session", commandRemoveSession, "[--session-id N] (0 or none: all)"},
    {"pause", commandPause, "[--session-id N] [--connection-id N] (none: all)"},
    {"resume", commandResume, "[--session-id N] [--connection-id N] (none: all)"},
    {"reload-session", commandReloadSession,
     "--session-id N [--reload-filter] [--recursive 0|1] [--read-only 0|1] [--perm-mode M]"},
    {"add-event", commandAddEvent, "--session-id N --type upload|remove --path /P [--dir]"},
};

void printUsage()
{
    std::fprintf(stderr, "usage:\n");
    for (const Verb &verb : kVerbs) {
        std::fprintf(stderr, "  aerolithctl [--state FILE] [--port N] %s %s\n", verb.name,
                     verb.usage);
    }
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

// 0, or 1 after printing what is wrong. Global options may stand anywhere; the first other
// word is the verb and the words after it are its arguments.
int parseArguments(int argc, char **argv, Options &opt)
{
    opt.state_path = defaultStatePath();
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
        } else if (arg == "--json") {
            opt.json_output = true;
        } else if (opt.command.empty()) {
            opt.command = arg;
        } else {
            opt.args.push_back(arg);
        }
    }
    if (opt.command.empty()) {
        printUsage();
        return 1;
    }
    return 0;
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
    for (const Verb &verb : kVerbs) {
        if (opt.command == verb.name) {
            return verb.run(opt);
        }
    }
    printUsage();
    return 1;
}
