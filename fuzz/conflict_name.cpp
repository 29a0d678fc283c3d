// Conflict names are built from paths and computer names that come from outside (server
// events, the user interface). Whatever they hold, the name must keep the directory, stay
// valid UTF-8 when the input was, and fit in one file name whenever the suffix does.
#include "conflict-rename.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t split = input.find('\0');
    std::string path = input.substr(0, split);
    std::string client = split == std::string::npos ? "PC1" : input.substr(split + 1);
    client = client.substr(0, client.find('\0'));
    // Stay away from real files: every candidate lies under a directory that does not exist.
    path = "/nonexistent-aerolith-fuzz/" + path;

    struct tm when = {};
    when.tm_year = 126;
    when.tm_mon = static_cast<int>(size % 12);
    when.tm_mday = 8;
    const ustring result =
        GenerateNewFileName(ustring(path), ustring(client), ustring("Conflict"), when);
    const std::string out(result.c_str_utf8(), result.length());

    const size_t slash = path.rfind('/');
    if (out.compare(0, slash + 1, path, 0, slash + 1) != 0)
        abort();
    const std::string last = out.substr(out.rfind('/') + 1);
    const std::string suffix = "_" + client + "_";
    const size_t dot = path.rfind('.');
    const size_t ext =
        (dot != std::string::npos && dot > slash && dot + 1 < path.size()) ? path.size() - dot : 0;
    if (suffix.size() + 27 + 5 + ext <= NAME_MAX && last.size() > NAME_MAX)
        abort();
    if (ustring::is_valid(ustring(path)) && ustring::is_valid(ustring(client)) &&
        !ustring::is_valid(result))
        abort();
    return 0;
}
