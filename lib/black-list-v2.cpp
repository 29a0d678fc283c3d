#include "black-list-v2.h"

#include <cstring>

namespace
{

// A stretch of bytes of a path.
struct Text {
    const char *p;
    size_t n;
};

Text textOf(const char *s)
{
    return Text{s, strlen(s)};
}

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameIgnoringCase(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

bool equalsEntry(Text text, const char *entry)
{
    size_t n = strlen(entry);
    return text.n == n && sameIgnoringCase(text.p, entry, n);
}

bool startsWithEntry(Text text, const char *entry)
{
    size_t n = strlen(entry);
    return text.n >= n && sameIgnoringCase(text.p, entry, n);
}

bool nameMatch(const value_type_string_set &set, Text text)
{
    for (size_t i = 0; i < set.used; ++i) {
        if (equalsEntry(text, set.set[i]))
            return true;
    }
    return false;
}

bool prefixMatch(const value_type_string_set &set, Text text)
{
    for (size_t i = 0; i < set.used; ++i) {
        if (startsWithEntry(text, set.set[i]))
            return true;
    }
    return false;
}

// The path is the entry itself or lies below it.
bool directoryMatch(const value_type_string_set &set, Text path)
{
    for (size_t i = 0; i < set.used; ++i) {
        size_t n = strlen(set.set[i]);
        if (startsWithEntry(path, set.set[i]) && (path.n == n || path.p[n] == '/'))
            return true;
    }
    return false;
}

// Bytes of the UTF-8 character that starts at `s` (1 for a byte that starts none).
size_t utf8CharLength(const unsigned char *s, size_t left)
{
    size_t n = s[0] < 0xC0 ? 1 : s[0] < 0xE0 ? 2 : s[0] < 0xF0 ? 3 : s[0] < 0xF8 ? 4 : 1;
    if (n > left)
        return 1;
    for (size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 1;
    }
    return n;
}

bool containsBytes(Text text, const char *needle, size_t n)
{
    for (size_t i = 0; i + n <= text.n; ++i) {
        if (memcmp(text.p + i, needle, n) == 0)
            return true;
    }
    return false;
}

// The text holds one of the characters of `chars`. Characters are whole UTF-8 sequences,
// so a black "é" does not refuse every name that merely shares its lead byte.
bool charMatch(const value_type_string &chars, Text text)
{
    if (chars.str == nullptr)
        return false;
    const unsigned char *c = reinterpret_cast<const unsigned char *>(chars.str);
    size_t left = strlen(chars.str);
    while (left > 0) {
        size_t n = utf8CharLength(c, left);
        if (containsBytes(text, reinterpret_cast<const char *>(c), n))
            return true;
        c += n;
        left -= n;
    }
    return false;
}

bool overLimit(uint64_t value, int64_t limit)
{
    return limit != 0 && value > static_cast<uint64_t>(limit);
}

// The rules for one directory component; `path` is the whole path under test.
int testComponent(const Filter *f, Text component, Text path)
{
    const FilterCommon &common = f->Common;
    const FilterDirectory &dir = f->Directory;
    if (charMatch(common.black_char, component))
        return FILTER_CHAR;
    if (prefixMatch(common.black_prefix, component))
        return FILTER_PREFIX;
    if (directoryMatch(common.black_dir_prefix, path))
        return FILTER_DIR_PREFIX;
    if (nameMatch(common.black_name, component))
        return FILTER_NAME;
    if (overLimit(component.n, common.max_length))
        return FILTER_LENGTH;
    if (directoryMatch(common.black_path_prefix_selective_sync, path)) {
        return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    }
    if (charMatch(dir.black_char, component))
        return FILTER_CHAR;
    if (nameMatch(dir.black_name, component))
        return FILTER_NAME;
    if (prefixMatch(dir.black_prefix, component))
        return FILTER_PREFIX;
    return 0;
}

// Tests every component of `dirs` (the text between '/'s) in order.
int testComponents(const Filter *f, Text dirs, Text path)
{
    size_t i = 0;
    while (i < dirs.n) {
        if (dirs.p[i] == '/') {
            ++i;
            continue;
        }
        const char *end = static_cast<const char *>(memchr(dirs.p + i, '/', dirs.n - i));
        size_t n = end != nullptr ? static_cast<size_t>(end - (dirs.p + i)) : dirs.n - i;
        int ret = testComponent(f, Text{dirs.p + i, n}, path);
        if (ret != 0)
            return ret;
        i += n;
    }
    return 0;
}

int testFileName(const Filter *f, Text name, Text ext, Text path)
{
    const FilterCommon &common = f->Common;
    const FilterFile &file = f->File;
    if (overLimit(name.n, common.max_length))
        return FILTER_LENGTH;
    if (charMatch(common.black_char, name))
        return FILTER_CHAR;
    if (prefixMatch(common.black_prefix, name))
        return FILTER_PREFIX;
    if (directoryMatch(common.black_dir_prefix, path))
        return FILTER_DIR_PREFIX;
    if (nameMatch(common.black_name, name))
        return FILTER_NAME;
    if (directoryMatch(common.black_path_prefix_selective_sync, path)) {
        return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    }
    if (charMatch(file.black_char, name))
        return FILTER_CHAR;
    if (nameMatch(file.black_ext, ext))
        return FILTER_EXT;
    if (nameMatch(file.black_name, name))
        return FILTER_NAME;
    if (prefixMatch(file.black_prefix, name))
        return FILTER_PREFIX;
    if (nameMatch(file.black_name_selective_sync, name))
        return FILTER_NAME_SELECTIVE_SYNC;
    if (nameMatch(file.black_ext_selective_sync, ext))
        return FILTER_EXT_SELECTIVE_SYNC;
    return 0;
}

int testFile(const Filter *f, Text path)
{
    if (path.n == 0 || path.p[0] != '/')
        return FILTER_ERROR;
    const char *last_slash = static_cast<const char *>(memrchr(path.p, '/', path.n));
    Text dirs{path.p, static_cast<size_t>(last_slash - path.p) + 1};
    Text name{last_slash + 1, path.n - dirs.n};
    if (dirs.n >= FILTER_MAX_DIR_PATH || name.n >= FILTER_MAX_NAME)
        return FILTER_ERROR;
    const char *dot = static_cast<const char *>(memrchr(name.p, '.', name.n));
    Text ext{name.p + name.n, 0};
    if (dot != nullptr && dot != name.p) {
        ext = Text{dot + 1, static_cast<size_t>(name.p + name.n - dot - 1)};
    }
    int ret = testFileName(f, name, ext, path);
    return ret != 0 ? ret : testComponents(f, dirs, path);
}

int testDirectory(const Filter *f, Text path)
{
    if (path.n >= FILTER_MAX_DIR_PATH)
        return FILTER_ERROR;
    return testComponents(f, path, path);
}

} // namespace

int filter_test_path(const Filter *filter, const char *path, bool is_directory)
{
    Text text = textOf(path);
    return is_directory ? testDirectory(filter, text) : testFile(filter, text);
}

int filter_test_ea(const Filter *filter, const char *name)
{
    return nameMatch(filter->EA.black_ea_name, textOf(name)) ? FILTER_EA_NAME : 0;
}

const char *filter_name_extension(const char *name)
{
    const char *dot = strrchr(name, '.');
    if (dot == nullptr || dot == name) {
        return name + strlen(name);
    }
    return dot + 1;
}

bool filter_extension_listed(const value_type_string_set *list, const char *name)
{
    Text ext = textOf(filter_name_extension(name));
    for (size_t i = 0; i < list->used; ++i) {
        if (strcmp(list->set[i], "*") == 0 || equalsEntry(ext, list->set[i]))
            return true;
    }
    return false;
}

BlackList2::BlackList2()
{
    filter_init(&m_filter);
}

BlackList2::~BlackList2()
{
    filter_destroy(&m_filter);
}

BlackList2 &BlackList2::getInstance()
{
    static BlackList2 instance;
    return instance;
}

int BlackList2::Load(const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return filter_read(&m_filter, path);
}

int BlackList2::TestFilePath(const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return filter_test_path(&m_filter, path.c_str_utf8(), false);
}

int BlackList2::TestDirectoryPath(const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return filter_test_path(&m_filter, path.c_str_utf8(), true);
}

int BlackList2::TestFileSize(uint64_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (overLimit(size, m_filter.File.max_size))
        return FILTER_FILE_SIZE;
    if (overLimit(size, m_filter.File.max_size_selective_sync)) {
        return FILTER_FILE_SIZE_SELECTIVE_SYNC;
    }
    return 0;
}

int BlackList2::TestFullPathSize(uint64_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return overLimit(length, m_filter.Common.max_path) ? FILTER_PATH_SIZE : 0;
}

int BlackList2::GetMajorVersion()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_filter.Version.major;
}

int BlackList2::GetMinorVersion()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_filter.Version.minor;
}
