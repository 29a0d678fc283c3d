#include "error-code.h"

namespace
{

// Indexed by the absolute value of the code.
const char *const kErrorTexts[] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "ZentOS disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "View missing/invalid",
    "no permission ",
    "pull event by path, but the path is missing",
    "connection about by setting flag",
    "Local Disk is full",
    "file locked or no permission",
    "ssl certificate verify fail",
    "permission is read-only",
};

} // namespace

const char *GetErrorString(int code)
{
    // Widen before negating: -INT_MIN does not fit an int.
    long long magnitude = code < 0 ? -static_cast<long long>(code) : code;
    if (magnitude >= static_cast<long long>(sizeof(kErrorTexts) / sizeof(kErrorTexts[0])))
        return "Unknown error";
    return kErrorTexts[magnitude];
}
