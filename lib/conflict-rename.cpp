// Conflict renaming: a local object that must not be overwritten is moved aside under
// "stem_computer_time_reason[_n].ext" in its own directory.
#include "conflict-rename.h"

#include "file-op.h"
#include "log.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <string>

namespace
{

const char kComponent[] = "conflict_rename_debug";

// Counters tried after the plain name. The first 100 are the usual range; beyond that we
// keep looking rather than hand back a name that would replace an earlier copy.
const int kMaxCounter = 9999;

// Upper bound of the "_computer_time_reason" suffix, in bytes.
const size_t kMaxSuffix = 2047;

// "Dec-08-140305-2026". Month names are fixed English abbreviations so that a name never
// depends on the locale (or carries bytes that are not UTF-8).
std::string FormatConflictTime(const struct tm &t)
{
    static const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char *month = (t.tm_mon >= 0 && t.tm_mon < 12) ? kMonths[t.tm_mon] : "???";
    char buf[128];
    snprintf(buf, sizeof(buf), "%s-%02d-%02d%02d%02d-%d", month, t.tm_mday, t.tm_hour, t.tm_min,
             t.tm_sec, t.tm_year + 1900);
    return buf;
}

// Cuts `s` to at most `max` bytes without splitting a UTF-8 sequence.
std::string TruncateUtf8(const std::string &s, size_t max)
{
    if (s.size() <= max) {
        return s;
    }
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) {
        --n;
    }
    return s.substr(0, n);
}

// The pieces a conflict name is built from: `dir` (up to and including the last '/'),
// the stem of the last component, and its extension ("" or ".ext").
struct NameParts {
    std::string dir;
    std::string stem;
    std::string ext;
};

NameParts SplitName(const std::string &path)
{
    size_t slash = path.rfind('/');
    size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    bool has_ext = dot != std::string::npos && dot >= name_start && dot + 1 < path.size();
    NameParts parts;
    parts.dir = path.substr(0, name_start);
    size_t stem_end = has_ext ? dot : path.size();
    parts.stem = path.substr(name_start, stem_end - name_start);
    parts.ext = has_ext ? path.substr(dot) : std::string();
    return parts;
}

// dir + stem + suffix + counter + ext, the stem shortened when the last component would
// not fit in one file name.
std::string BuildCandidate(const NameParts &parts, const std::string &suffix, int counter)
{
    std::string tail =
        suffix + (counter > 0 ? "_" + std::to_string(counter) : std::string()) + parts.ext;
    std::string stem = parts.stem;
    if (stem.size() + tail.size() > NAME_MAX) {
        stem = TruncateUtf8(stem, tail.size() < NAME_MAX ? NAME_MAX - tail.size() : 0);
    }
    return parts.dir + stem + tail;
}

bool PathExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

ustring GenerateNewFileName(const ustring &old_path, const ustring &client_name,
                            const ustring &reason, const struct tm &local_time)
{
    std::string suffix = "_" + std::string(client_name.c_str_utf8()) + "_" +
                         FormatConflictTime(local_time) + "_" + reason.c_str_utf8();
    suffix = TruncateUtf8(suffix, kMaxSuffix);
    const NameParts parts = SplitName(std::string(old_path.c_str_utf8(), old_path.length()));
    for (int counter = 0; counter <= kMaxCounter; ++counter) {
        std::string candidate = BuildCandidate(parts, suffix, counter);
        if (!PathExists(candidate)) {
            return ustring(candidate);
        }
    }
    return ustring();
}

ustring GenerateNewFileName(const ustring &old_path, const ustring &client_name,
                            const ustring &reason)
{
    time_t now = time(nullptr);
    struct tm local_time;
    localtime_r(&now, &local_time);
    return GenerateNewFileName(old_path, client_name, reason, local_time);
}

int ConflictRename(const ustring &old_path, const ustring &client_name, const ustring &reason)
{
    ustring new_path = GenerateNewFileName(old_path, client_name, reason);
    int rc = new_path.empty() ? -1 : FSRename(old_path, new_path);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] conflict-rename.cpp(%d): ConflictRename failed. From:[%s] To:[%s] "
                       "err = [%d]\n",
                       __LINE__, old_path.c_str_utf8(), new_path.c_str_utf8(), rc);
        return rc;
    }
    Logger::LogMsg(
        Logger::L_INFO, kComponent,
        "[INFO] conflict-rename.cpp(%d): ConflictRename from [%s] to [%s], reason = [%s].\n",
        __LINE__, old_path.c_str_utf8(), new_path.c_str_utf8(), reason.c_str_utf8());
    return 0;
}

int WhiteSpaceConflictRename(const ustring &fullpath, const ustring &basename,
                             const ustring &clientname)
{
    std::string trimmed(basename.c_str_utf8(), basename.length());
    while (!trimmed.empty() && trimmed.back() == ' ') {
        trimmed.pop_back();
    }
    const std::string full(fullpath.c_str_utf8(), fullpath.length());
    size_t slash = full.rfind('/');
    const ustring target(slash == std::string::npos ? trimmed
                                                    : full.substr(0, slash) + "/" + trimmed);

    if (!trimmed.empty() && !PathExists(target.c_str_utf8()) && FSRename(fullpath, target) == 0) {
        Logger::LogMsg(
            Logger::L_INFO, kComponent,
            "[INFO] conflict-rename.cpp(%d): WhiteSpaceConflictRename from [%s] to [%s].\n",
            __LINE__, fullpath.c_str_utf8(), target.c_str_utf8());
        return 0;
    }
    ustring conflict = GenerateNewFileName(target, clientname, WHITE_SPACE_CONFLICT_REASON);
    int rc = conflict.empty() ? -1 : FSRename(fullpath, conflict);
    if (rc != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] conflict-rename.cpp(%d): WhiteSpaceConflictRename failed. "
                       "From:[%s] To:[%s] err=[%d]\n",
                       __LINE__, fullpath.c_str_utf8(), conflict.c_str_utf8(), rc);
        return rc;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] conflict-rename.cpp(%d): WhiteSpaceConflictRename from [%s] to [%s].\n",
                   __LINE__, fullpath.c_str_utf8(), conflict.c_str_utf8());
    return 0;
}
