// ustring: the one text type of the daemon. UTF-8 is the authoritative form; a UTF-16
// form (ICU UChar units) is produced on demand and cached until the next narrow change.
// Every length, position and count is a UTF-8 byte count. wchar_t input is UTF-32 on
// Linux and is converted through UTF-16.
#pragma once

#include <unicode/umachine.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

class ustring
{
public:
    static const size_t npos = static_cast<size_t>(-1);
    enum normalization_form { NFC = 0, NFD = 1 };

    ustring();
    ustring(const ustring &other);
    ustring(ustring &&other) noexcept;
    ustring(const char *s);
    ustring(const wchar_t *s);
    ustring(const std::string &s);
    ustring(char c);
    ~ustring();

    ustring &operator=(const ustring &other);
    ustring &operator=(ustring &&other) noexcept;
    ustring &operator=(const char *s) { return assign(s); }
    ustring &operator=(const wchar_t *s) { return assign(s); }
    ustring &operator=(const std::string &s) { return assign(s); }
    ustring &operator=(char c) { return assign(1, c); }
    ustring &operator=(wchar_t c) { return assign(1, c); }

    ustring &operator+=(const ustring &s) { return append(s); }
    ustring &operator+=(const char *s) { return append(s); }
    ustring &operator+=(const wchar_t *s) { return append(s); }
    ustring &operator+=(const std::string &s) { return append(s); }
    ustring &operator+=(char c) { return append(1, c); }
    ustring &operator+=(wchar_t c) { return append(1, c); }

    ustring &append(const char *s);
    ustring &append(const char *s, size_t n);
    ustring &append(const wchar_t *s);
    ustring &append(const wchar_t *s, size_t n);
    ustring &append(size_t n, char c);
    ustring &append(size_t n, wchar_t c);
    ustring &append(const ustring &s, size_t pos = 0, size_t len = npos);
    ustring &append(const std::string &s, size_t pos = 0, size_t len = npos);

    ustring &assign(const char *s);
    ustring &assign(const char *s, size_t n);
    ustring &assign(const wchar_t *s);
    ustring &assign(const wchar_t *s, size_t n);
    ustring &assign(size_t n, char c);
    ustring &assign(size_t n, wchar_t c);
    ustring &assign(const ustring &s, size_t pos = 0, size_t len = npos);
    ustring &assign(const std::string &s, size_t pos = 0, size_t len = npos);

    void clear();
    void swap(ustring &other) noexcept;

    const char *c_str_utf8() const { return data; }
    // The UTF-16 form, converted first when the cache is empty.
    const UChar *c_str() const;
    const UChar *c_str_utf16() const { return c_str(); }
    // Number of UTF-16 units of the cached form (converting first when needed).
    size_t length_utf16() const;

    char operator[](size_t i) const { return data[i]; }
    char &operator[](size_t i) { return data[i]; }
    size_t length() const { return data_len; }
    size_t size() const { return data_len; }
    bool empty() const { return data_len == 0; }

    ustring substr(size_t pos, size_t len = npos) const;

    size_t find(const ustring &s, size_t pos = 0) const;
    size_t find(const std::string &s, size_t pos = 0) const;
    size_t find(const char *s, size_t pos = 0) const;
    size_t find(char c, size_t pos = 0) const;
    size_t rfind(const ustring &s, size_t pos = npos) const;
    size_t rfind(const std::string &s, size_t pos = npos) const;
    size_t rfind(const char *s, size_t pos = npos) const;
    size_t rfind(char c, size_t pos = npos) const;
    size_t find_first_of(const ustring &set, size_t pos = 0) const;
    size_t find_first_of(const std::string &set, size_t pos = 0) const;
    size_t find_first_of(const char *set, size_t pos = 0) const;
    size_t find_first_of(char c, size_t pos = 0) const;
    size_t find_first_not_of(const ustring &set, size_t pos = 0) const;
    size_t find_first_not_of(const std::string &set, size_t pos = 0) const;
    size_t find_first_not_of(const char *set, size_t pos = 0) const;
    size_t find_first_not_of(char c, size_t pos = 0) const;
    size_t find_last_of(const ustring &set, size_t pos = npos) const;
    size_t find_last_of(const std::string &set, size_t pos = npos) const;
    size_t find_last_of(const char *set, size_t pos = npos) const;
    size_t find_last_of(char c, size_t pos = npos) const;
    size_t find_last_not_of(const ustring &set, size_t pos = npos) const;
    size_t find_last_not_of(const std::string &set, size_t pos = npos) const;
    size_t find_last_not_of(const char *set, size_t pos = npos) const;
    size_t find_last_not_of(char c, size_t pos = npos) const;

    ustring &ltrim(const char *set);
    ustring &ltrim(const ustring &set) { return ltrim(set.c_str_utf8()); }
    ustring &rtrim(const char *set);
    ustring &rtrim(const ustring &set) { return rtrim(set.c_str_utf8()); }
    ustring &trim(const char *set);
    ustring &trim(const ustring &set) { return trim(set.c_str_utf8()); }
    ustring &replace(char from, char to);

    int compare(const ustring &other) const;
    int compare(const ustring &other, size_t n) const;
    static int compare(const ustring &a, const ustring &b, bool ignore_case);

    static bool is_valid(const ustring &s);
    ustring normalize(normalization_form form) const;
    static ustring normalize(const ustring &s, normalization_form form);

private:
    char *data;
    uint32_t data_len;
    uint32_t data_cap;
    mutable UChar *wdata;
    mutable uint32_t wdata_len;
    mutable uint32_t wdata_cap;

    void appendBytes(const char *s, size_t n);
    void appendUnits(const UChar *s, size_t n);
    void appendCodePoint(wchar_t c);
    void dropCache() const;
    int buildUtf16() const;
    int rebuildUtf8();
    size_t findBytes(const char *needle, size_t n, size_t pos) const;
    size_t rfindBytes(const char *needle, size_t n, size_t pos) const;
    size_t findFirstOf(const char *set, size_t n, size_t pos, bool in_set) const;
    size_t findLastOf(const char *set, size_t n, size_t pos, bool in_set) const;
};

typedef ustring zentstring;

void swap(ustring &a, ustring &b) noexcept;

ustring operator+(const ustring &a, const ustring &b);
ustring operator+(const ustring &a, const char *b);
ustring operator+(const ustring &a, char b);
ustring operator+(const ustring &a, const wchar_t *b);
ustring operator+(const ustring &a, wchar_t b);

inline bool operator<(const ustring &a, const ustring &b)
{
    return a.compare(b) < 0;
}
inline bool operator>(const ustring &a, const ustring &b)
{
    return a.compare(b) > 0;
}
inline bool operator==(const ustring &a, const ustring &b)
{
    return a.compare(b) == 0;
}
inline bool operator!=(const ustring &a, const ustring &b)
{
    return a.compare(b) != 0;
}
inline bool operator<=(const ustring &a, const ustring &b)
{
    return a.compare(b) <= 0;
}
inline bool operator>=(const ustring &a, const ustring &b)
{
    return a.compare(b) >= 0;
}

std::ostream &operator<<(std::ostream &os, const ustring &s);
std::istream &operator>>(std::istream &is, ustring &s);
