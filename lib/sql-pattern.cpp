#include "sql-pattern.h"

std::string EscapeGlobPattern(const char *text)
{
    std::string out;
    if (!text)
        return out;
    for (const char *p = text; *p; ++p) {
        if (*p == '*' || *p == '?' || *p == '[') {
            out += '[';
            out += *p;
            out += ']';
        } else {
            out += *p;
        }
    }
    return out;
}
