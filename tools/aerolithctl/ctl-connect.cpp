// aerolithctl connect, reconnect and disconnect: a server connection from command-line
// options to "link_connection", "reload_connection" and "unlink_connection". Every key of
// the message is an option named after it ("--server-ip" for "server_ip").
#include "ctl.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

// How a connection option's value travels in the control message.
enum KeyKind { KEY_TEXT, KEY_FLAG, KEY_INT32, KEY_INT64, KEY_ID, KEY_PORT };

struct ConnectionKey {
    const char *key; // message key; the option is "--" followed by it with '-' for '_'
    KeyKind kind;
};

// Every key of a connection as "link_connection" and "reload_connection" read it.
const ConnectionKey kConnectionKeys[] = {
    {"connection_id", KEY_ID},
    {"connection_mode", KEY_INT32},
    {"ssl_server_hostname", KEY_TEXT},
    {"server_ip", KEY_TEXT},
    {"server_port", KEY_PORT},
    {"username", KEY_TEXT},
    {"session", KEY_TEXT},
    {"computer_name", KEY_TEXT},
    {"use_ssl", KEY_FLAG},
    {"ssl_allow_untrust", KEY_FLAG},
    {"package_major", KEY_INT32},
    {"package_minor", KEY_INT32},
    {"package_version", KEY_INT64},
    {"use_proxy", KEY_FLAG},
    {"use_sys_proxy", KEY_FLAG},
    {"proxy_ip", KEY_TEXT},
    {"proxy_port", KEY_PORT},
    {"proxy_username", KEY_TEXT},
    {"proxy_password", KEY_TEXT},
    {"proxy_domain", KEY_TEXT},
    {"proxy_host", KEY_TEXT},
    {"use_tunnel", KEY_FLAG},
    {"tunnel_ip", KEY_TEXT},
    {"tunnel_port", KEY_PORT},
};

std::string optionName(const char *key)
{
    std::string name = key;
    std::replace(name.begin(), name.end(), '_', '-');
    return "--" + name;
}

bool parseFlag(const std::string &text, uint64_t &value)
{
    if (text == "1" || text == "true" || text == "yes" || text == "on") {
        value = 1;
        return true;
    }
    if (text == "0" || text == "false" || text == "no" || text == "off") {
        value = 0;
        return true;
    }
    return false;
}

// A decimal number within [min, max] (negative numbers travel sign-extended).
bool parseNumber(const std::string &text, long long min, unsigned long long max, uint64_t &value)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    if (text[0] == '-') {
        long long v = std::strtoll(text.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || v < min) {
            return false;
        }
        value = static_cast<uint64_t>(v);
        return true;
    }
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max ||
        !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    value = v;
    return true;
}

bool parseKeyValue(KeyKind kind, const std::string &text, PObject &out)
{
    uint64_t value = 0;
    bool ok = false;
    switch (kind) {
    case KEY_TEXT:
        out = ustring(text);
        return true;
    case KEY_FLAG:
        ok = parseFlag(text, value);
        break;
    case KEY_INT32:
        ok = parseNumber(text, INT32_MIN, INT32_MAX, value);
        break;
    case KEY_INT64:
        ok = parseNumber(text, INT64_MIN, INT64_MAX, value);
        break;
    case KEY_ID:
        ok = parseNumber(text, 0, UINT64_MAX, value);
        break;
    case KEY_PORT:
        ok = parseNumber(text, 0, 65535, value);
        break;
    }
    if (ok) {
        out = value;
    }
    return ok;
}

// Takes the connection option at args[i] ("--key value", "--key=value"; flags also alone
// or as "--no-key") into fields. false after printing what is wrong with it.
bool takeConnectionOption(const std::vector<std::string> &args, size_t &i, PObject &fields)
{
    std::string arg = args[i];
    std::string value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        has_value = true;
    }
    for (const ConnectionKey &k : kConnectionKeys) {
        std::string name = optionName(k.key);
        if (k.kind == KEY_FLAG && !has_value && (arg == name || arg == "--no-" + name.substr(2))) {
            fields[k.key] = static_cast<uint64_t>(arg == name ? 1 : 0);
            return true;
        }
        if (arg != name) {
            continue;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                fail(name + " needs a value");
                return false;
            }
            value = args[++i];
        }
        if (!parseKeyValue(k.kind, value, fields[k.key])) {
            fail("invalid value for " + name + ": " + value);
            return false;
        }
        return true;
    }
    fail("unknown connection option: " + args[i]);
    return false;
}

// The options of a connection verb as message members; reload set by "--reload". false
// after printing what is wrong.
bool parseConnectionOptions(const Options &opt, PObject &fields, bool *reload)
{
    fields = PObject::map_type();
    for (size_t i = 0; i < opt.args.size(); ++i) {
        if (reload != nullptr && opt.args[i] == "--reload") {
            *reload = true;
        } else if (!takeConnectionOption(opt.args, i, fields)) {
            return false;
        }
    }
    return true;
}

int connectWith(const Options &opt, bool reload)
{
    PObject fields;
    if (!parseConnectionOptions(opt, fields, &reload)) {
        return 1;
    }
    for (const char *key : {"connection_id", "server_ip", "server_port", "session"}) {
        if (!fields.hasMember(key)) {
            return fail(std::string(reload ? "reconnect" : "connect") + " needs " +
                        optionName(key));
        }
    }
    fields["action"] = reload ? "reload_connection" : "link_connection";
    return sendMessage(opt, fields);
}

} // namespace

int commandConnect(const Options &opt)
{
    return connectWith(opt, false);
}

int commandReconnect(const Options &opt)
{
    return connectWith(opt, true);
}

int commandDisconnect(const Options &opt)
{
    PObject fields;
    if (!parseConnectionOptions(opt, fields, nullptr)) {
        return 1;
    }
    if (fields.asMap().size() > (fields.hasMember("connection_id") ? 1u : 0u)) {
        return fail("disconnect takes no option but --connection-id");
    }
    PObject request;
    request["action"] = "unlink_connection";
    if (fields.hasMember("connection_id")) {
        request["connection_id"] = fields["connection_id"];
    }
    return sendMessage(opt, request);
}
