// Named arguments of a verb: "--key value" pairs and bare "--flag"s after the verb word.
#pragma once

#include "protocol/object.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class VerbArgs
{
public:
    // Flags are the keys that take no value.
    VerbArgs(const std::vector<std::string> &args, const std::vector<std::string> &flags);

    bool ok() const { return m_error.empty(); }
    const std::string &error() const { return m_error; }
    bool has(const std::string &key) const { return m_values.count(key) != 0; }
    std::string text(const std::string &key) const;
    // False (with error set) when present but not a number.
    bool number(const std::string &key, uint64_t &value);
    // Copies "--key" into msg[member] as a number or text when present; a bad number
    // sets the error.
    void copyNumber(const std::string &key, PObject &msg, const char *member);
    void copyText(const std::string &key, PObject &msg, const char *member);
    // Names every key that must be present; false (with error set) when one is missing.
    bool require(const std::vector<std::string> &keys);

private:
    std::map<std::string, std::string> m_values;
    std::string m_error;
};
