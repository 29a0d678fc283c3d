// What the user interface has told the daemon, kept across daemon restarts: the daemon
// keeps no connections or sessions of its own, so whoever starts it sends them again.
// The record lives in $XDG_CONFIG_HOME/aerolithctl/remembered.json (~/.config when the
// variable is unset) and is replaced atomically on every change.
#include "ctl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace
{

std::string configDir()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && *xdg != '\0') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "/tmp") + "/.config";
    }
    return base + "/aerolithctl";
}

json load()
{
    std::ifstream in(rememberedPath());
    json data = in ? json::parse(in, nullptr, false) : json::object();
    if (!data.is_object()) {
        data = json::object();
    }
    for (const char *key : {"connections", "sessions", "paused"}) {
        if (!data.contains(key) || !data[key].is_object()) {
            data[key] = json::object();
        }
    }
    return data;
}

bool save(const json &data)
{
    std::string dir = configDir();
    std::string parent = dir.substr(0, dir.rfind('/'));
    ::mkdir(parent.c_str(), 0700);
    ::mkdir(dir.c_str(), 0700);
    std::string path = rememberedPath();
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << data.dump(2) << "\n";
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string idOf(const PObject &msg, const char *member)
{
    return msg.hasMember(member) ? std::to_string(msg[member].asUInt64()) : std::string("0");
}

// Marks the sessions a pause or resume selects.
void setPaused(json &data, const PObject &msg, bool paused)
{
    bool by_session = msg.hasMember("session_id");
    bool by_connection = msg.hasMember("connection_id");
    uint64_t sess = by_session ? msg["session_id"].asUInt64() : 0;
    uint64_t conn = by_connection ? msg["connection_id"].asUInt64() : 0;
    for (auto it = data["sessions"].begin(); it != data["sessions"].end(); ++it) {
        uint64_t id = std::stoull(it.key());
        uint64_t conn_id = it.value().value("connection_id", uint64_t(0));
        if ((by_session && (sess == 0 || sess == id)) ||
            (by_connection && (conn == 0 || conn == conn_id))) {
            data["paused"][it.key()] = paused;
        }
    }
}

} // namespace

std::string rememberedPath()
{
    return configDir() + "/remembered.json";
}

void rememberAction(const PObject &request)
{
    ustring action = request["action"].asString();
    json data = load();
    if (action == "link") {
        data["linked"] = true;
    } else if (action == "unlink") {
        data["linked"] = false;
    } else if (action == "link_connection" || action == "reload_connection") {
        data["connections"][idOf(request, "connection_id")] = objectToJson(request);
    } else if (action == "unlink_connection") {
        data["connections"].erase(idOf(request, "connection_id"));
    } else if (action == "add_session") {
        std::string id = idOf(request, "session_id");
        data["sessions"][id] = objectToJson(request);
        data["paused"][id] = true; // a new session starts paused until "resume"
    } else if (action == "remove_session") {
        std::string id = idOf(request, "session_id");
        if (id == "0") {
            data["sessions"] = json::object();
            data["paused"] = json::object();
        } else {
            data["sessions"].erase(id);
            data["paused"].erase(id);
        }
    } else if (action == "pause" || action == "resume") {
        setPaused(data, request, action == "pause");
    } else {
        return;
    }
    if (!save(data)) {
        std::fprintf(stderr, "aerolithctl: cannot write %s\n", rememberedPath().c_str());
    }
}

int replayRemembered(const Options &opt)
{
    json data = load();
    if (!data.value("linked", false)) {
        return 0;
    }
    std::vector<json> messages;
    messages.push_back(json{{"action", "link"}});
    for (auto &conn : data["connections"]) {
        messages.push_back(conn);
    }
    for (auto &sess : data["sessions"]) {
        messages.push_back(sess);
    }
    for (auto it = data["sessions"].begin(); it != data["sessions"].end(); ++it) {
        if (!data["paused"].value(it.key(), true)) {
            messages.push_back(json{{"action", "resume"}, {"session_id", std::stoull(it.key())}});
        }
    }
    int failures = 0;
    for (const json &message : messages) {
        PObject request;
        PObject reply;
        std::string error;
        if (!jsonToObject(message, request, error) || exchangeMessage(opt, request, reply) != 0 ||
            reply.hasMember("error")) {
            std::fprintf(stderr, "aerolithctl: replaying %s failed\n", message.dump().c_str());
            ++failures;
        }
    }
    std::printf("aerolithctl: sent %zu remembered messages to the daemon (%d failed)\n",
                messages.size(), failures);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}
