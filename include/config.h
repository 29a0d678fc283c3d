// Config: reader of the key = value files (the configuration file and the log-level file).
#pragma once

#include "ustring/ustring.h"

#include <cstdio>
#include <map>

class Config
{
public:
    // Reads `path`; 0 on success, -1 when it cannot be opened or a line is malformed (then
    // nothing read so far is kept).
    int read(const ustring &path);
    // The same from an open stream, read line by line in pieces of at most 8191 bytes.
    int readFrom(FILE *fp);

    // Value of `key` as an integer: an optionally signed decimal number after optional
    // white space; 0 when absent or not numeric. Looking a key up inserts it (empty).
    int get_int(const ustring &key);

    // Text value of `key`; looking it up inserts it with an empty value.
    ustring &operator[](const ustring &key) { return m_entries[key]; }
    bool has(const ustring &key) const { return m_entries.count(key) != 0; }
    const std::map<ustring, ustring> &entries() const { return m_entries; }

    // Parses one line of the file into `entries`; false when it is malformed.
    static bool parseLine(const char *line, std::map<ustring, ustring> &entries);
    // The integer reading used for every numeric key and threshold.
    static int parseInt(const ustring &text);

private:
    std::map<ustring, ustring> m_entries;
};
