// "status": the daemon's state for a person (or the raw answer with --json), and
// "wait-idle": returns once every running session has nothing pending and its puller has
// found nothing new since the last change.
#include "ctl-args.h"
#include "ctl.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

namespace
{

// Folder and view of the sessions this tool added, keyed by session id.
std::map<uint64_t, json> rememberedSessions()
{
    std::map<uint64_t, json> out;
    std::ifstream in(rememberedPath());
    json data = in ? json::parse(in, nullptr, false) : json();
    if (data.is_object() && data.contains("sessions") && data["sessions"].is_object()) {
        for (auto it = data["sessions"].begin(); it != data["sessions"].end(); ++it) {
            out[std::stoull(it.key())] = it.value();
        }
    }
    return out;
}

void printSessions(const PObject &list)
{
    std::map<uint64_t, json> known = rememberedSessions();
    std::printf("sessions (%zu):\n", list.isArray() ? list.asArray().size() : size_t(0));
    if (!list.isArray()) {
        return;
    }
    for (const PObject &s : list.asArray()) {
        uint64_t id = s["session_id"].asUInt64();
        std::string folder = "?";
        std::string view = "?";
        auto it = known.find(id);
        if (it != known.end()) {
            folder = it->second.value("sync_folder", "?");
            view = std::to_string(it->second.value("view_id", uint64_t(0)));
        }
        std::printf("  #%llu  %-8s  %llu pending  connection %llu  view %s  %s\n",
                    static_cast<unsigned long long>(id), s["status"].asString().c_str_utf8(),
                    static_cast<unsigned long long>(s["unfinished_files"].asUInt64()),
                    static_cast<unsigned long long>(s["connection_id"].asUInt64()), view.c_str(),
                    folder.c_str());
    }
}

void printWorkers(const PObject &list)
{
    size_t busy = list.isArray() ? list.asArray().size() : 0;
    std::printf("workers busy (%zu):\n", busy);
    for (size_t i = 0; i < busy; ++i) {
        const PObject &w = list[i];
        uint64_t done = w["progress"].asUInt64();
        uint64_t total = w["total_size"].asUInt64();
        std::printf("  session #%llu  %s  %s  %llu/%llu bytes\n",
                    static_cast<unsigned long long>(w["session_id"].asUInt64()),
                    w["status"].asString().c_str_utf8(), w["path"].asString().c_str_utf8(),
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    }
}

void printConnections(const PObject &list)
{
    size_t count = list.isArray() ? list.asArray().size() : 0;
    std::printf("connections (%zu):\n", count);
    for (size_t i = 0; i < count; ++i) {
        json item = objectToJson(list[i]);
        std::printf("  %s\n", item.dump().c_str());
    }
}

// True when the session needs no more work: paused, or nothing pending and a pull that
// began after the last busy sighting found nothing new.
struct SessionWatch {
    uint64_t busy_mark = 0;
    bool seen = false;
};

bool allIdle(const PObject &status, std::map<uint64_t, SessionWatch> &watch)
{
    const PObject &list = status["session_list"];
    if (!list.isArray()) {
        return true;
    }
    bool idle = true;
    for (const PObject &s : list.asArray()) {
        uint64_t id = s["session_id"].asUInt64();
        SessionWatch &w = watch[id];
        if (s["status"].asString() == "pause") {
            continue;
        }
        if (!w.seen || s["unfinished_files"].asUInt64() > 0) {
            // A pull in progress now may have begun before the last change: only one begun
            // later can tell that nothing is left.
            w.busy_mark = s["pulls_begun"].asUInt64();
            w.seen = true;
            idle = false;
        } else if (s["last_idle_pull"].asUInt64() <= w.busy_mark) {
            idle = false;
        }
    }
    return idle;
}

} // namespace

int commandStatus(const Options &opt)
{
    if (!opt.args.empty()) {
        return fail("unexpected argument: " + opt.args[0]);
    }
    PObject request;
    request["action"] = "get_status";
    PObject reply;
    if (exchangeMessage(opt, request, reply) != 0) {
        return 1;
    }
    if (opt.json_output) {
        printLine(reply);
        return 0;
    }
    printSessions(reply["session_list"]);
    printWorkers(reply["worker_list"]);
    printConnections(reply["connection_list"]);
    return 0;
}

int commandWaitIdle(const Options &opt)
{
    VerbArgs args(opt.args, {});
    uint64_t timeout = 300;
    if (args.has("timeout")) {
        args.number("timeout", timeout);
    }
    if (!args.ok()) {
        return fail(args.error());
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    std::map<uint64_t, SessionWatch> watch;
    PObject request;
    request["action"] = "get_status";
    while (std::chrono::steady_clock::now() < deadline) {
        PObject reply;
        if (exchangeMessage(opt, request, reply) != 0) {
            return 1;
        }
        if (allIdle(reply, watch)) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return fail("not idle after " + std::to_string(timeout) + " seconds");
}
