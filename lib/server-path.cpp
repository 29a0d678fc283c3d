#include "server-path.h"

#include <cstring>
#include <string_view>

namespace
{

// The working directory is matched without regard to ASCII case: on a case-insensitive
// mount a differently cased name still reaches the same directory.
bool isWorkDir(std::string_view component)
{
    const size_t n = sizeof(SERVER_PATH_WORK_DIR) - 1;
    if (component.size() != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        char a = component[i];
        char b = SERVER_PATH_WORK_DIR[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b) {
            return false;
        }
    }
    return true;
}

const char *componentProblem(std::string_view component, bool first)
{
    if (component.empty()) {
        return "empty path component";
    }
    if (component == "." || component == "..") {
        return "'.' or '..' component";
    }
    if (component.size() > SERVER_NAME_MAX_BYTES) {
        return "path component too long";
    }
    if (first && isWorkDir(component)) {
        return "inside the working directory";
    }
    return nullptr;
}

} // namespace

const char *ServerPathProblem(const ustring &path)
{
    std::string_view text(path.c_str_utf8(), path.size());
    if (text.empty()) {
        return "empty path";
    }
    if (text.front() != '/') {
        return "relative path";
    }
    if (text.size() > SERVER_PATH_MAX_BYTES) {
        return "path too long";
    }
    if (text.find('\0') != std::string_view::npos) {
        return "NUL in path";
    }
    if (text.find('\\') != std::string_view::npos) {
        return "backslash in path";
    }
    if (!ustring::is_valid(path)) {
        return "path is not valid UTF-8";
    }
    if (text.size() == 1) {
        return nullptr; // the session folder itself
    }
    size_t pos = 1;
    bool first = true;
    for (;;) {
        size_t end = text.find('/', pos);
        std::string_view component =
            text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        const char *problem = componentProblem(component, first);
        if (problem != nullptr) {
            return problem;
        }
        if (end == std::string_view::npos) {
            return nullptr;
        }
        pos = end + 1;
        first = false;
    }
}
