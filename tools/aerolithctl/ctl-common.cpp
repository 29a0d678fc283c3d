#include "ctl.h"

#include "config.h"
#include "ipc.h"

#include <cstdio>
#include <fstream>

namespace
{

// Seconds to wait for a reply; linking opens databases and may take a moment.
const unsigned int kReplyTimeout = 60;

} // namespace

int fail(const std::string &text)
{
    std::fprintf(stderr, "aerolithctl: %s\n", text.c_str());
    return 1;
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

int exchangeMessage(const Options &opt, const PObject &request, PObject &reply)
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
    return 0;
}

int sendMessage(const Options &opt, const PObject &request)
{
    PObject reply;
    int status = exchangeMessage(opt, request, reply);
    if (status == 0 && request["action"].asString() != "stop") {
        printLine(reply);
        if (!reply.hasMember("error")) {
            rememberAction(request);
        }
    }
    return status;
}
