#include "ctl-args.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

VerbArgs::VerbArgs(const std::vector<std::string> &args, const std::vector<std::string> &flags)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            m_error = "unexpected argument: " + arg;
            return;
        }
        std::string key = arg.substr(2);
        if (std::find(flags.begin(), flags.end(), key) != flags.end()) {
            m_values[key] = "1";
            continue;
        }
        if (i + 1 >= args.size()) {
            m_error = arg + " needs a value";
            return;
        }
        m_values[key] = args[++i];
    }
}

std::string VerbArgs::text(const std::string &key) const
{
    auto it = m_values.find(key);
    return it == m_values.end() ? std::string() : it->second;
}

bool VerbArgs::number(const std::string &key, uint64_t &value)
{
    std::string t = text(key);
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(t.c_str(), &end, 10);
    if (t.empty() || t[0] == '-' || errno != 0 || end == nullptr || *end != '\0') {
        m_error = "--" + key + " needs a number, not '" + t + "'";
        return false;
    }
    value = v;
    return true;
}

void VerbArgs::copyNumber(const std::string &key, PObject &msg, const char *member)
{
    uint64_t value = 0;
    if (has(key) && number(key, value)) {
        msg[member] = value;
    }
}

void VerbArgs::copyText(const std::string &key, PObject &msg, const char *member)
{
    if (has(key)) {
        msg[member] = ustring(text(key));
    }
}

bool VerbArgs::require(const std::vector<std::string> &keys)
{
    for (const std::string &key : keys) {
        if (!has(key)) {
            m_error = "missing --" + key;
            return false;
        }
    }
    return true;
}
