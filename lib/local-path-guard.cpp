// Containment check for local paths built from untrusted session-relative paths. It walks
// the joined path one component at a time with lstat; a symbolic link met on the way is
// resolved and must land inside the session folder and outside its working directory.
#include "local-path-guard.h"

#include "server-path.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const char kWorkingDirName[] = ".ZentoraWorkingDirectory";

bool EqualsIgnoringAsciiCase(const std::string &a, const char *b)
{
    size_t n = strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return true;
}

// Splits a session-relative path into its components. False for anything but an absolute
// path of non-empty components other than "." and "..". "/" gives no components.
bool SplitPath(const std::string &path, std::vector<std::string> &parts)
{
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) {
        return false;
    }
    if (path == "/") {
        return true;
    }
    size_t start = 1;
    while (true) {
        size_t slash = path.find('/', start);
        std::string part = path.substr(start, slash == std::string::npos ? std::string::npos
                                                                          : slash - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        parts.push_back(part);
        if (slash == std::string::npos) {
            return true;
        }
        start = slash + 1;
    }
}

// Canonical form of an existing path, or "" when it cannot be resolved.
std::string RealPath(const std::string &p)
{
    char *resolved = realpath(p.c_str(), nullptr);
    if (resolved == nullptr) {
        return std::string();
    }
    std::string result(resolved);
    free(resolved);
    return result;
}

// True when `p` equals `dir` or lies below it (both canonical).
bool IsWithin(const std::string &p, const std::string &dir)
{
    if (dir == "/") {
        return true;
    }
    return p == dir || (p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 &&
                        p[dir.size()] == '/');
}

// Follows the link at `prefix` and checks where it leads. A dangling link leads nowhere
// that could be written through it safely, so it counts as an escape too.
int CheckLinkTarget(const std::string &prefix, const std::string &real_root)
{
    std::string target = RealPath(prefix);
    if (target.empty() || !IsWithin(target, real_root)) {
        return LPC_LINK_ESCAPE;
    }
    std::string rel = target.substr(real_root == "/" ? 0 : real_root.size());
    if (rel.empty()) {
        return LPC_OK;
    }
    return IsInWorkingDirectory(ustring(rel)) ? LPC_WORKING_DIR : LPC_OK;
}

} // namespace

bool IsInWorkingDirectory(const ustring &path)
{
    std::string p(path.c_str_utf8(), path.length());
    size_t start = p.find_first_not_of('/');
    if (start == std::string::npos) {
        return false;
    }
    size_t end = p.find('/', start);
    std::string first = p.substr(start, end == std::string::npos ? std::string::npos
                                                                    : end - start);
    return EqualsIgnoringAsciiCase(first, kWorkingDirName);
}

int CheckLocalPath(const ustring &local_root, const ustring &path, unsigned flags)
{
    const std::string rel(path.c_str_utf8(), path.length());
    std::vector<std::string> parts;
    if (!SplitPath(rel, parts)) {
        return LPC_MALFORMED;
    }
    if ((flags & LPC_SERVER_NAME) && ServerPathProblem(path) != nullptr) {
        return IsInWorkingDirectory(path) ? LPC_WORKING_DIR : LPC_MALFORMED;
    }
    if (parts.empty()) {
        return (flags & LPC_ALLOW_ROOT) ? LPC_OK : LPC_ROOT;
    }
    if (EqualsIgnoringAsciiCase(parts[0], kWorkingDirName)) {
        return LPC_WORKING_DIR;
    }
    std::string root(local_root.c_str_utf8(), local_root.length());
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    const std::string real_root = RealPath(root);
    if (real_root.empty()) {
        return LPC_SYSTEM;
    }
    // Every component but the last must be a directory or a link that stays inside. Once
    // a component is missing nothing below it exists yet; creating it later makes plain
    // directories, never links.
    std::string prefix = root;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        prefix += "/" + parts[i];
        struct stat st;
        if (lstat(prefix.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                return LPC_OK;
            }
            return errno == ENOTDIR ? LPC_OK : LPC_SYSTEM;
        }
        if (S_ISLNK(st.st_mode)) {
            int rc = CheckLinkTarget(prefix, real_root);
            if (rc != LPC_OK) {
                return rc;
            }
        }
    }
    return LPC_OK;
}

const char *LocalPathCheckText(int code)
{
    switch (code) {
    case LPC_OK:
        return "inside the session folder";
    case LPC_MALFORMED:
        return "malformed path";
    case LPC_WORKING_DIR:
        return "inside the working directory";
    case LPC_LINK_ESCAPE:
        return "symbolic link leads out of the session folder";
    case LPC_ROOT:
        return "the session folder itself";
    case LPC_SYSTEM:
        return "cannot examine the path";
    default:
        return "unknown";
    }
}
