// Evaluation of the black list: may a file or directory path be synced, is a file size or
// a full path length allowed. Paths are session paths ("/"-separated UTF-8 starting with
// "/"); names, prefixes and extensions compare without regard to ASCII letter case.
#pragma once

#include "filter/filter.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <mutex>

// Results of the black-list tests: 0 passes, otherwise the rule that refused.
enum {
    FILTER_ERROR = -1, // the path cannot be tested
    FILTER_CHAR = -2,
    FILTER_PREFIX = -3,
    FILTER_NAME = -4,
    FILTER_EXT = -5,
    FILTER_LENGTH = -6,
    FILTER_PATH = -7,
    FILTER_FILE_SIZE = -8,
    FILTER_PATH_SIZE = -9,
    FILTER_EA_NAME = -10,
    FILTER_DIR_PREFIX = -11,
    FILTER_EXT_SELECTIVE_SYNC = -12,
    FILTER_PATH_PREFIX_SELECTIVE_SYNC = -13,
    FILTER_NAME_SELECTIVE_SYNC = -14,
    FILTER_FILE_SIZE_SELECTIVE_SYNC = -15,
};

enum {
    FILTER_MAX_DIR_PATH = 4096, // bytes of a directory path (or a file's directory part)
    FILTER_MAX_NAME = 512,      // bytes of a file name or extension
};

// Tests a path against the rules of `filter`; 0 or the refusing FILTER_ code.
int filter_test_path(const Filter *filter, const char *path, bool is_directory);
// FILTER_EA_NAME when `name` is a black extended-attribute name, else 0.
int filter_test_ea(const Filter *filter, const char *name);

// The extension of a file name: the text after its last '.', unless that '.' is the
// name's first character; "" when there is none. Points into `name`.
const char *filter_name_extension(const char *name);
// True when `list` holds "*" or the extension of `name` (ASCII case ignored).
bool filter_extension_listed(const value_type_string_set *list, const char *name);

class BlackList2
{
public:
    BlackList2();
    ~BlackList2();
    BlackList2(const BlackList2 &) = delete;
    BlackList2 &operator=(const BlackList2 &) = delete;

    // The process-wide list, created empty on first use.
    static BlackList2 &getInstance();

    // Replaces the rules with those of the file. 0, or -1 with no rules at all.
    int Load(const ustring &path);
    int TestFilePath(const ustring &path);
    int TestDirectoryPath(const ustring &path);
    // FILTER_FILE_SIZE or FILTER_FILE_SIZE_SELECTIVE_SYNC for a file too large, else 0.
    int TestFileSize(uint64_t size);
    // FILTER_PATH_SIZE when a full local path of `length` units is too long, else 0.
    int TestFullPathSize(uint64_t length);
    int GetMajorVersion();
    int GetMinorVersion();

private:
    Filter m_filter;
    std::mutex m_mutex;
};
