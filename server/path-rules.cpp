// View path rules.
#include "server/path-rules.h"

namespace srv
{

bool ValidViewPath(const std::string &path)
{
    if (path.empty() || path[0] != '/' || path.size() > 4095)
        return false;
    if (path == "/")
        return true;
    size_t start = 1;
    for (;;) {
        size_t end = path.find('/', start);
        size_t len = (end == std::string::npos ? path.size() : end) - start;
        std::string comp = path.substr(start, len);
        if (comp.empty() || comp == "." || comp == ".." || comp.size() > 255 ||
            comp.find('\0') != std::string::npos)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

} // namespace srv
