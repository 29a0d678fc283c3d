#include "ustring/ustring.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <new>
#include <ostream>
#include <stdexcept>

namespace
{

// The terminator that every empty string points at. An empty string owns no buffer
// (capacity 0), so that making, moving and clearing strings allocates nothing; its two
// forms still read as valid empty texts. Nothing ever writes here.
char g_empty_narrow[1] = {0};
UChar g_empty_wide[1] = {0};

// Sizes a buffer for `need` elements (terminator included): kept when it is large enough
// and not more than twice too large, otherwise reallocated to exactly `need`. A buffer of
// capacity 0 is the shared terminator and is replaced by a new one, holding an empty text.
// On failure the old buffer stays and std::bad_alloc is thrown.
template <typename T> void fitBuffer(T *&buf, uint32_t &cap, size_t need)
{
    if (need > UINT32_MAX) {
        throw std::bad_alloc();
    }
    if (cap >= need && need >= cap / 2) {
        return;
    }
    bool shared = cap == 0;
    T *grown = static_cast<T *>(shared ? std::malloc(need * sizeof(T))
                                       : std::realloc(buf, need * sizeof(T)));
    if (grown == nullptr) {
        throw std::bad_alloc();
    }
    if (shared) {
        grown[0] = 0;
    }
    buf = grown;
    cap = static_cast<uint32_t>(need);
}

// Lets go of a buffer and points at the shared terminator instead.
template <typename T> void releaseBuffer(T *&buf, uint32_t &len, uint32_t &cap, T *empty)
{
    if (cap != 0) {
        std::free(buf);
    }
    buf = empty;
    len = 0;
    cap = 0;
}

size_t boundedLength(const char *s, size_t n)
{
    const void *nul = std::memchr(s, 0, n);
    return nul ? static_cast<const char *>(nul) - s : n;
}

size_t wideLength(const wchar_t *s, size_t n)
{
    size_t len = 0;
    while (len < n && s[len] != 0) {
        ++len;
    }
    return len;
}

void warnIcu(const char *call, UErrorCode status, int line)
{
    std::fprintf(stderr, "Warning: %s: error code %d at line %d\n", call, static_cast<int>(status),
                 line);
}

} // namespace

ustring::ustring()
    : data(g_empty_narrow), data_len(0), data_cap(0), wdata(g_empty_wide), wdata_len(0),
      wdata_cap(0)
{
}

ustring::ustring(const ustring &other) : ustring()
{
    appendBytes(other.data, other.data_len);
}

ustring::ustring(ustring &&other) noexcept : ustring()
{
    swap(other);
}

ustring::ustring(const char *s) : ustring()
{
    append(s);
}

ustring::ustring(const wchar_t *s) : ustring()
{
    append(s);
}

ustring::ustring(const std::string &s) : ustring()
{
    append(s);
}

ustring::ustring(char c) : ustring()
{
    append(1, c);
}

ustring::~ustring()
{
    clear();
}

ustring &ustring::operator=(const ustring &other)
{
    if (this != &other) {
        assign(other.data, other.data_len);
    }
    return *this;
}

ustring &ustring::operator=(ustring &&other) noexcept
{
    swap(other);
    return *this;
}

void ustring::swap(ustring &other) noexcept
{
    std::swap(data, other.data);
    std::swap(data_len, other.data_len);
    std::swap(data_cap, other.data_cap);
    std::swap(wdata, other.wdata);
    std::swap(wdata_len, other.wdata_len);
    std::swap(wdata_cap, other.wdata_cap);
}

void swap(ustring &a, ustring &b) noexcept
{
    a.swap(b);
}

void ustring::dropCache() const
{
    wdata_len = 0;
    if (wdata_cap != 0) {
        wdata[0] = 0;
    }
}

void ustring::clear()
{
    releaseBuffer(data, data_len, data_cap, g_empty_narrow);
    releaseBuffer(wdata, wdata_len, wdata_cap, g_empty_wide);
}

// Appends n bytes (already cut at a NUL) to the UTF-8 form. A source inside our own
// buffer is copied first, since growing may move it.
void ustring::appendBytes(const char *s, size_t n)
{
    if (n == 0) {
        return;
    }
    if (s >= data && s < data + data_cap) {
        std::string copy(s, n);
        appendBytes(copy.data(), copy.size());
        return;
    }
    fitBuffer(data, data_cap, size_t(data_len) + n + 1);
    std::memcpy(data + data_len, s, n);
    data_len += static_cast<uint32_t>(n);
    data[data_len] = 0;
    dropCache();
}

// Wide changes edit the UTF-16 form (starting from the cached units) and then rebuild
// the UTF-8 form from it.
void ustring::appendUnits(const UChar *s, size_t n)
{
    if (n == 0 && data_len == 0) {
        return;
    }
    if (wdata_len == 0 && data_len != 0) {
        buildUtf16();
    }
    fitBuffer(wdata, wdata_cap, size_t(wdata_len) + n + 1);
    std::memcpy(wdata + wdata_len, s, n * sizeof(UChar));
    wdata_len += static_cast<uint32_t>(n);
    wdata[wdata_len] = 0;
    rebuildUtf8();
}

int ustring::buildUtf16() const
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strFromUTF8(nullptr, 0, &len, data, -1, &status);
    fitBuffer(wdata, wdata_cap, size_t(len) + 1);
    status = U_ZERO_ERROR;
    u_strFromUTF8(wdata, static_cast<int32_t>(wdata_cap), &len, data, -1, &status);
    if (U_FAILURE(status)) {
        warnIcu("u_strFromUTF8", status, __LINE__);
        dropCache();
        return -1;
    }
    wdata_len = static_cast<uint32_t>(len);
    wdata[wdata_len] = 0;
    return 0;
}

int ustring::rebuildUtf8()
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strToUTF8(nullptr, 0, &len, wdata, static_cast<int32_t>(wdata_len), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status)) {
        fitBuffer(data, data_cap, size_t(len) + 1);
        status = U_ZERO_ERROR;
        u_strToUTF8(data, static_cast<int32_t>(data_cap), &len, wdata,
                    static_cast<int32_t>(wdata_len), &status);
    }
    if (U_FAILURE(status)) {
        warnIcu("u_strToUTF8", status, __LINE__);
        data_len = 0;
        if (data_cap != 0) {
            data[0] = 0;
        }
        dropCache();
        return -1;
    }
    data_len = static_cast<uint32_t>(len);
    data[data_len] = 0;
    return 0;
}

const UChar *ustring::c_str() const
{
    if (wdata_len == 0 && data_len != 0) {
        buildUtf16();
    }
    return wdata;
}

size_t ustring::length_utf16() const
{
    c_str();
    return wdata_len;
}

// A wchar_t is one UTF-32 code point here; it becomes one or two UTF-16 units. A value
// that is no code point becomes an unpaired surrogate, which empties the string on the
// rebuild, as any invalid wide input does.
void ustring::appendCodePoint(wchar_t c)
{
    uint32_t cp = static_cast<uint32_t>(c);
    UChar units[2];
    size_t n = 1;
    if (cp > 0x10FFFF) {
        units[0] = 0xDC00;
    } else if (cp >= 0x10000) {
        units[0] = static_cast<UChar>(0xD800 + ((cp - 0x10000) >> 10));
        units[1] = static_cast<UChar>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        n = 2;
    } else {
        units[0] = static_cast<UChar>(cp);
    }
    appendUnits(units, n);
}

ustring &ustring::append(const char *s)
{
    return append(s, npos);
}

ustring &ustring::append(const char *s, size_t n)
{
    if (s != nullptr) {
        appendBytes(s, boundedLength(s, n == npos ? std::strlen(s) : n));
    }
    return *this;
}

ustring &ustring::append(const wchar_t *s)
{
    return append(s, npos);
}

ustring &ustring::append(const wchar_t *s, size_t n)
{
    if (s == nullptr) {
        return *this;
    }
    size_t len = wideLength(s, n);
    std::u16string units;
    units.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        uint32_t cp = static_cast<uint32_t>(s[i]);
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            units.push_back(static_cast<UChar>(0xD800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<UChar>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            units.push_back(cp > 0x10FFFF ? UChar(0xDC00) : static_cast<UChar>(cp));
        }
    }
    appendUnits(units.data(), units.size());
    return *this;
}

ustring &ustring::append(size_t n, char c)
{
    if (c != 0 && n != 0) {
        std::string run(n, c);
        appendBytes(run.data(), n);
    }
    return *this;
}

ustring &ustring::append(size_t n, wchar_t c)
{
    if (c != 0) {
        for (size_t i = 0; i < n; ++i) {
            appendCodePoint(c);
        }
    }
    return *this;
}

ustring &ustring::append(const ustring &s, size_t pos, size_t len)
{
    ustring part = s.substr(pos, len);
    appendBytes(part.data, part.data_len);
    return *this;
}

ustring &ustring::append(const std::string &s, size_t pos, size_t len)
{
    if (pos > s.size()) {
        throw std::out_of_range("basic_string::substr");
    }
    size_t avail = s.size() - pos;
    size_t n = len < avail ? len : avail;
    appendBytes(s.data() + pos, boundedLength(s.data() + pos, n));
    return *this;
}

ustring &ustring::assign(const char *s)
{
    return assign(s, npos);
}

ustring &ustring::assign(const char *s, size_t n)
{
    if (s == data) {
        // Our own buffer: only a shorter count changes anything.
        if (n < data_len) {
            data[n] = 0;
            data_len = static_cast<uint32_t>(n);
            dropCache();
        }
        return *this;
    }
    if (s != nullptr && s > data && s < data + data_cap) {
        std::string copy(s, boundedLength(s, n == npos ? std::strlen(s) : n));
        clear();
        return append(copy.c_str());
    }
    size_t len = s == nullptr ? 0 : boundedLength(s, n == npos ? std::strlen(s) : n);
    if (len == 0) {
        clear();
        return *this;
    }
    // The text replaces ours in the buffer we have when it fits, so that a string assigned
    // again and again (a reused scratch copy) does not allocate each time.
    fitBuffer(data, data_cap, len + 1);
    std::memcpy(data, s, len);
    data_len = static_cast<uint32_t>(len);
    data[data_len] = 0;
    releaseBuffer(wdata, wdata_len, wdata_cap, g_empty_wide);
    return *this;
}

ustring &ustring::assign(const wchar_t *s)
{
    clear();
    return append(s);
}

ustring &ustring::assign(const wchar_t *s, size_t n)
{
    clear();
    return append(s, n);
}

ustring &ustring::assign(size_t n, char c)
{
    clear();
    return append(n, c);
}

ustring &ustring::assign(size_t n, wchar_t c)
{
    clear();
    return append(n, c);
}

ustring &ustring::assign(const ustring &s, size_t pos, size_t len)
{
    ustring part = s.substr(pos, len);
    swap(part);
    return *this;
}

ustring &ustring::assign(const std::string &s, size_t pos, size_t len)
{
    if (pos > s.size()) {
        throw std::out_of_range("basic_string::substr");
    }
    ustring part;
    part.append(s, pos, len);
    swap(part);
    return *this;
}

ustring ustring::substr(size_t pos, size_t len) const
{
    if (pos > data_len) {
        throw std::out_of_range("substr");
    }
    size_t avail = data_len - pos;
    ustring part;
    part.appendBytes(data + pos, len < avail ? len : avail);
    return part;
}

size_t ustring::findBytes(const char *needle, size_t n, size_t pos) const
{
    if (pos >= data_len) {
        return npos;
    }
    if (n == 0) {
        return pos;
    }
    if (n > data_len - pos) {
        return npos;
    }
    const char *hit = static_cast<const char *>(memmem(data + pos, data_len - pos, needle, n));
    return hit ? static_cast<size_t>(hit - data) : npos;
}

size_t ustring::rfindBytes(const char *needle, size_t n, size_t pos) const
{
    if (data_len == 0) {
        return npos;
    }
    size_t start = pos >= data_len ? data_len - 1 : pos;
    if (n == 0) {
        return start;
    }
    if (n > data_len) {
        return npos;
    }
    if (start > data_len - n) {
        start = data_len - n;
    }
    for (size_t i = start + 1; i-- > 0;) {
        if (std::memcmp(data + i, needle, n) == 0) {
            return i;
        }
    }
    return npos;
}

size_t ustring::findFirstOf(const char *set, size_t n, size_t pos, bool in_set) const
{
    if (pos >= data_len) {
        return npos;
    }
    if (n == 0) {
        return in_set ? npos : pos;
    }
    for (size_t i = pos; i < data_len; ++i) {
        if ((std::memchr(set, data[i], n) != nullptr) == in_set) {
            return i;
        }
    }
    return npos;
}

size_t ustring::findLastOf(const char *set, size_t n, size_t pos, bool in_set) const
{
    if (data_len == 0) {
        return npos;
    }
    size_t start = pos >= data_len ? data_len - 1 : pos;
    if (n == 0) {
        return in_set ? npos : start;
    }
    for (size_t i = start + 1; i-- > 0;) {
        if ((std::memchr(set, data[i], n) != nullptr) == in_set) {
            return i;
        }
    }
    return npos;
}

// The four needle forms of every search: a ustring, a std::string or a C string (each up
// to its first NUL), or one byte (NUL meaning the empty needle).
#define USTRING_SEARCH_FORMS(NAME, IMPL, ...)                                                      \
    size_t ustring::NAME(const ustring &s, size_t pos) const                                       \
    {                                                                                              \
        return IMPL(s.data, s.data_len, pos, ##__VA_ARGS__);                                       \
    }                                                                                              \
    size_t ustring::NAME(const std::string &s, size_t pos) const                                   \
    {                                                                                              \
        return IMPL(s.c_str(), std::strlen(s.c_str()), pos, ##__VA_ARGS__);                        \
    }                                                                                              \
    size_t ustring::NAME(const char *s, size_t pos) const                                          \
    {                                                                                              \
        return IMPL(s ? s : "", s ? std::strlen(s) : 0, pos, ##__VA_ARGS__);                       \
    }                                                                                              \
    size_t ustring::NAME(char c, size_t pos) const                                                 \
    {                                                                                              \
        return IMPL(&c, c ? 1 : 0, pos, ##__VA_ARGS__);                                            \
    }

USTRING_SEARCH_FORMS(find, findBytes)
USTRING_SEARCH_FORMS(rfind, rfindBytes)
USTRING_SEARCH_FORMS(find_first_of, findFirstOf, true)
USTRING_SEARCH_FORMS(find_first_not_of, findFirstOf, false)
USTRING_SEARCH_FORMS(find_last_of, findLastOf, true)
USTRING_SEARCH_FORMS(find_last_not_of, findLastOf, false)

#undef USTRING_SEARCH_FORMS

ustring &ustring::ltrim(const char *set)
{
    size_t first = find_first_not_of(set ? set : "", 0);
    if (first == npos) {
        first = data_len;
    }
    if (first != 0) {
        std::memmove(data, data + first, data_len - first + 1);
        data_len -= static_cast<uint32_t>(first);
        dropCache();
    }
    return *this;
}

ustring &ustring::rtrim(const char *set)
{
    if (set == nullptr || *set == 0 || data_len == 0) {
        return *this;
    }
    size_t last = find_last_not_of(set, npos);
    size_t keep = last == npos ? 0 : last + 1;
    if (keep != data_len) {
        data_len = static_cast<uint32_t>(keep);
        data[data_len] = 0;
        dropCache();
    }
    return *this;
}

ustring &ustring::trim(const char *set)
{
    ltrim(set);
    return rtrim(set);
}

ustring &ustring::replace(char from, char to)
{
    for (uint32_t i = 0; i < data_len; ++i) {
        if (data[i] == from) {
            data[i] = to;
        }
    }
    // A NUL replacement ends the text there, keeping the no-embedded-NUL rule.
    data_len = static_cast<uint32_t>(std::strlen(data));
    dropCache();
    return *this;
}

namespace
{

unsigned char foldAscii(unsigned char c, bool ignore_case)
{
    return (ignore_case && c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

int compareBytes(const char *a, const char *b, size_t n, bool ignore_case)
{
    for (size_t i = 0; i < n; ++i) {
        int ca = foldAscii(static_cast<unsigned char>(a[i]), ignore_case);
        int cb = foldAscii(static_cast<unsigned char>(b[i]), ignore_case);
        if (ca != cb || ca == 0) {
            return ca - cb;
        }
    }
    return 0;
}

} // namespace

int ustring::compare(const ustring &other) const
{
    return compareBytes(data, other.data, npos, false);
}

int ustring::compare(const ustring &other, size_t n) const
{
    return compareBytes(data, other.data, n, false);
}

int ustring::compare(const ustring &a, const ustring &b, bool ignore_case)
{
    return compareBytes(a.data, b.data, npos, ignore_case);
}

bool ustring::is_valid(const ustring &s)
{
    if (s.empty()) {
        return true;
    }
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strFromUTF8(nullptr, 0, &len, s.data, static_cast<int32_t>(s.data_len), &status);
    return status != U_INVALID_CHAR_FOUND;
}

ustring ustring::normalize(normalization_form form) const
{
    return normalize(*this, form);
}

ustring ustring::normalize(const ustring &s, normalization_form form)
{
    ustring result;
    if (s.empty()) {
        return result;
    }
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2 *norm = unorm2_getInstance(
        nullptr, "nfc", form == NFC ? UNORM2_COMPOSE : UNORM2_DECOMPOSE, &status);
    if (U_FAILURE(status) || norm == nullptr) {
        warnIcu("unorm2_getInstance", status, __LINE__);
        return result;
    }
    const UChar *source = s.c_str();
    int32_t len = unorm2_normalize(norm, source, -1, nullptr, 0, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        status = U_ZERO_ERROR;
    }
    if (U_SUCCESS(status)) {
        fitBuffer(result.wdata, result.wdata_cap, size_t(len) + 1);
        len = unorm2_normalize(norm, source, -1, result.wdata,
                               static_cast<int32_t>(result.wdata_cap), &status);
    }
    if (U_FAILURE(status)) {
        warnIcu("unorm2_normalize", status, __LINE__);
        return ustring();
    }
    result.wdata_len = static_cast<uint32_t>(len);
    result.wdata[len] = 0;
    result.rebuildUtf8();
    return result;
}

ustring operator+(const ustring &a, const ustring &b)
{
    return ustring(a) += b;
}
ustring operator+(const ustring &a, const char *b)
{
    return ustring(a) += b;
}
ustring operator+(const ustring &a, char b)
{
    return ustring(a) += b;
}
ustring operator+(const ustring &a, const wchar_t *b)
{
    return ustring(a) += b;
}
ustring operator+(const ustring &a, wchar_t b)
{
    return ustring(a) += b;
}

std::ostream &operator<<(std::ostream &os, const ustring &s)
{
    return os.write(s.c_str_utf8(), static_cast<std::streamsize>(s.length()));
}

std::istream &operator>>(std::istream &is, ustring &s)
{
    std::string token;
    if (is >> token) {
        s.assign(token);
    }
    return is;
}
