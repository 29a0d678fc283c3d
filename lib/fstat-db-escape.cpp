// Statement builder of the file-status database: copies a format and replaces its
// "@ZENT:" placeholders with escaped arguments.
#include "fstat-db.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

const size_t INITIAL_CAPACITY = 4096;
const char CLAUSE[] = " escape '\\'";

// Output buffer that doubles past the size needed whenever a write would fill it.
class StatementBuffer
{
public:
    StatementBuffer()
        : data(static_cast<char *>(malloc(INITIAL_CAPACITY))), len(0),
          cap(data ? INITIAL_CAPACITY : 0), failed(data == nullptr)
    {
    }
    ~StatementBuffer() { free(data); }
    StatementBuffer(const StatementBuffer &) = delete;
    StatementBuffer &operator=(const StatementBuffer &) = delete;

    void put(char c) { append(&c, 1); }
    void append(const char *s, size_t n)
    {
        if (failed || !ExpendBufSize(len + n + 1))
            return;
        memcpy(data + len, s, n);
        len += n;
    }
    // Hands the NUL-terminated text to the caller; nullptr after a failed allocation.
    char *release()
    {
        if (failed)
            return nullptr;
        data[len] = '\0';
        char *out = data;
        data = nullptr;
        return out;
    }

private:
    bool ExpendBufSize(size_t needed)
    {
        if (needed < cap)
            return true;
        size_t grown = needed * 2;
        char *bigger = static_cast<char *>(realloc(data, grown));
        if (!bigger) {
            failed = true;
            return false;
        }
        data = bigger;
        cap = grown;
        return true;
    }

    char *data;
    size_t len;
    size_t cap;
    bool failed;
};

bool startsWith(const char *p, const char *prefix)
{
    return strncmp(p, prefix, strlen(prefix)) == 0;
}

void appendQuoted(StatementBuffer &out, const char *s, bool like_literal)
{
    for (; s && *s; ++s) {
        if (*s == '\'') {
            out.put('\'');
        } else if (like_literal && (*s == '%' || *s == '_')) {
            out.put('\\');
        } else if (like_literal && *s == '\\') {
            out.put('\\');
        }
        out.put(*s);
    }
}

} // namespace

char *SQLITEEscapeStringEX3(const char *format, va_list args)
{
    if (!format)
        return nullptr;
    StatementBuffer out;
    bool clause_armed = false;
    bool seen_quote = false;
    char scratch[256];
    for (const char *p = format; *p;) {
        if (*p == '\'') {
            out.put('\'');
            if (clause_armed && seen_quote) {
                out.append(CLAUSE, sizeof(CLAUSE) - 1);
                clause_armed = false;
            }
            seen_quote = true;
            ++p;
        } else if (*p != '@') {
            out.put(*p++);
        } else if (startsWith(p, "@ZENT:VAR")) {
            appendQuoted(out, va_arg(args, const char *), false);
            p += strlen("@ZENT:VAR");
        } else if (startsWith(p, "@ZENT:LVAR")) {
            appendQuoted(out, va_arg(args, const char *), true);
            clause_armed = true;
            p += strlen("@ZENT:LVAR");
        } else if (startsWith(p, "@ZENT:INT")) {
            int n = snprintf(scratch, sizeof(scratch), "%d", va_arg(args, int));
            out.append(scratch, static_cast<size_t>(n));
            p += strlen("@ZENT:INT");
        } else if (startsWith(p, "@ZENT:LLINT")) {
            int n = snprintf(scratch, sizeof(scratch), "%lld", va_arg(args, long long));
            out.append(scratch, static_cast<size_t>(n));
            p += strlen("@ZENT:LLINT");
        } else if (startsWith(p, "@ZENT:NEVAR")) {
            const char *s = va_arg(args, const char *);
            if (s)
                out.append(s, strlen(s));
            p += strlen("@ZENT:NEVAR");
        } else {
            out.put(*p++);
        }
    }
    return out.release();
}

char *ZENTDBEscapeStringEX3(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char *result = SQLITEEscapeStringEX3(format, args);
    va_end(args);
    return result;
}
