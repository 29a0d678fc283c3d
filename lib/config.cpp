#include "config.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{

const int kLineBuffer = 8192;

bool isSpace(unsigned char c)
{
    return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}

bool isKeyChar(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool isControlOrDel(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

const unsigned char *skipSpace(const unsigned char *p)
{
    while (isSpace(*p)) {
        ++p;
    }
    return p;
}

} // namespace

bool Config::parseLine(const char *line, std::map<ustring, ustring> &entries)
{
    const unsigned char *p = skipSpace(reinterpret_cast<const unsigned char *>(line));
    const unsigned char *key = p;
    while (isKeyChar(*p)) {
        ++p;
    }
    const unsigned char *key_end = p;
    if (*p == '#' || *p == 0) {
        return true; // blank line, comment, or a bare key without a line end
    }
    p = skipSpace(p);
    if (*p != '=') {
        return false;
    }
    p = skipSpace(p + 1);
    if (*p == 0) {
        return false; // an empty value needs quotes
    }
    const unsigned char *value;
    const unsigned char *value_end;
    if (*p == '"' || *p == '\'') {
        unsigned char quote = *p;
        value = ++p;
        while (!isControlOrDel(*p) && *p != quote) {
            ++p;
        }
        if (*p != quote) {
            return false;
        }
        value_end = p++;
    } else {
        value = p;
        while (*p != ' ' && !isControlOrDel(*p)) {
            ++p;
        }
        value_end = p;
    }
    p = skipSpace(p);
    if (*p != 0 && *p != '#') {
        return false;
    }
    ustring k;
    k.append(reinterpret_cast<const char *>(key), key_end - key);
    ustring v;
    v.append(reinterpret_cast<const char *>(value), value_end - value);
    entries[k] = v;
    return true;
}

int Config::read(const ustring &path)
{
    if (path.empty()) {
        return -1;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> fp(std::fopen(path.c_str_utf8(), "r"), &std::fclose);
    if (!fp) {
        return -1;
    }
    return readFrom(fp.get());
}

int Config::readFrom(FILE *fp)
{
    std::map<ustring, ustring> entries;
    char line[kLineBuffer];
    while (std::fgets(line, sizeof(line), fp) != nullptr) {
        if (!parseLine(line, entries)) {
            m_entries.clear();
            return -1;
        }
    }
    for (auto &entry : entries) {
        m_entries[entry.first] = entry.second;
    }
    return 0;
}

int Config::parseInt(const ustring &text)
{
    errno = 0;
    long long value = std::strtoll(text.c_str_utf8(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int Config::get_int(const ustring &key)
{
    return parseInt(m_entries[key]);
}
