// Logger: the process-wide log. Every message carries a level, a component name and a
// narrow UTF-8 printf format that starts with the level's tag, the source file and line:
//   Logger::LogMsg(Logger::L_ERR, "client_debug", "[ERROR] app.cpp(%d): ...\n", __LINE__);
// A per-component threshold read from the log-level file decides what is written.
#pragma once

#include "ustring/ustring.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

class Logger
{
public:
    enum Type {
        ANDROID_LOGGER = 0,
        SYSLOG_LOGGER = 1,
        STDOUT_LOGGER = 2,
        STDERR_LOGGER = 3,
        FILE_LOGGER = 4,
    };
    enum Level {
        L_EMERG = 0,
        L_ALERT = 1,
        L_CRIT = 2,
        L_ERR = 3,
        L_WARNING = 4,
        L_NOTICE = 5,
        L_INFO = 6,
        L_DEBUG = 7,
    };

    static int Initialize(Type type, const ustring &log_path, const ustring &level_path,
                          int rotate_cnt);
    static void LogMsg(int level, const ustring &component, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    static void LogMsg2(int level, const ustring &component, const char *format, va_list args)
        __attribute__((format(printf, 3, 0)));
    static int Rotate();
    static void Destroy();

    // True when a message of this level and component would be written; lets callers
    // skip building expensive arguments (a debug dump of a whole request, say).
    static bool IsEnabled(int level, const ustring &component);

private:
    static int RotateLocked();
    static int ThresholdLocked(const ustring &component);

    static Type log_type;
    static FILE *log_fp;
    static ustring log_path;
    static long long log_size;
    static int rotate_cnt;
    static std::map<ustring, int> log_level;
    static std::mutex log_lock;
};
