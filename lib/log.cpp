#include "log.h"

#include "config.h"

#include <cstdio>
#include <ctime>

namespace
{

const long long kRotateLimit = 1048576;
const int kWarningThreshold = 4;

// Opens the log file for appending; the descriptor is not inherited by child processes.
FILE *openLogFile(const ustring &path)
{
    return std::fopen(path.c_str_utf8(), "ae");
}

ustring rotatedName(const ustring &path, int index)
{
    char name[2048];
    std::snprintf(name, sizeof(name), "%s_%d", path.c_str_utf8(), index);
    return ustring(name);
}

} // namespace

Logger::Type Logger::log_type = Logger::STDOUT_LOGGER;
FILE *Logger::log_fp = stderr;
ustring Logger::log_path;
long long Logger::log_size = -1;
int Logger::rotate_cnt = 50;
std::map<ustring, int> Logger::log_level;
std::mutex Logger::log_lock;

int Logger::Initialize(Type type, const ustring &path, const ustring &level_path, int rotate)
{
    std::lock_guard<std::mutex> guard(log_lock);
    log_level.clear();
    log_level["default_component"] = kWarningThreshold;
    if (!level_path.empty()) {
        Config levels;
        if (levels.read(level_path) == 0) {
            for (const auto &entry : levels.entries()) {
                log_level[entry.first] = Config::parseInt(entry.second);
            }
        }
    }
    log_type = type;
    switch (type) {
    case FILE_LOGGER: {
        if (path.empty()) {
            return -1;
        }
        FILE *fp = openLogFile(path);
        if (fp == nullptr) {
            return -1;
        }
        if (log_fp != nullptr && log_fp != stdout && log_fp != stderr) {
            std::fclose(log_fp);
        }
        log_fp = fp;
        log_size = 0;
        log_path = path;
        rotate_cnt = rotate;
        break;
    }
    case STDERR_LOGGER:
        log_fp = stderr;
        log_path.clear();
        log_size = -1;
        break;
    case SYSLOG_LOGGER:
        log_fp = nullptr;
        log_path.clear();
        log_size = -1;
        break;
    default:
        log_fp = stdout;
        log_path.clear();
        log_size = -1;
        break;
    }
    return 0;
}

int Logger::ThresholdLocked(const ustring &component)
{
    auto it = log_level.find(component);
    return it == log_level.end() ? kWarningThreshold : it->second;
}

bool Logger::IsEnabled(int level, const ustring &component)
{
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_fp == nullptr && log_type != SYSLOG_LOGGER) {
        return false;
    }
    return level <= ThresholdLocked(component);
}

void Logger::LogMsg(int level, const ustring &component, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogMsg2(level, component, format, args);
    va_end(args);
}

void Logger::LogMsg2(int level, const ustring &component, const char *format, va_list args)
{
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_fp == nullptr && log_type != SYSLOG_LOGGER) {
        return;
    }
    if (level > ThresholdLocked(component)) {
        return;
    }
    if (log_type == SYSLOG_LOGGER) {
        std::vfprintf(stderr, format, args);
        return;
    }
    char stamp[1024];
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    size_t stamp_len = std::strftime(stamp, sizeof(stamp), "%b %d %H:%M:%S ", &local);
    int written = std::fprintf(log_fp, "%.*s", static_cast<int>(stamp_len), stamp);
    int body = std::vfprintf(log_fp, format, args);
    std::fflush(log_fp);
    long long count = (written < 0 || body < 0) ? -1 : static_cast<long long>(written) + body;
    if (log_type == FILE_LOGGER && log_size != -1 && count >= 0) {
        log_size += count;
        if (log_size > kRotateLimit) {
            RotateLocked();
            log_size = 0;
        }
    }
}

int Logger::Rotate()
{
    std::lock_guard<std::mutex> guard(log_lock);
    return RotateLocked();
}

int Logger::RotateLocked()
{
    if (log_path.empty() || rotate_cnt <= 0) {
        return -1;
    }
    std::remove(rotatedName(log_path, rotate_cnt - 1).c_str_utf8());
    for (int i = rotate_cnt - 2; i >= 0; --i) {
        ustring from = rotatedName(log_path, i);
        std::rename(from.c_str_utf8(), rotatedName(log_path, i + 1).c_str_utf8());
    }
    if (log_fp != nullptr) {
        std::fclose(log_fp);
        log_fp = nullptr;
    }
    if (std::rename(log_path.c_str_utf8(), rotatedName(log_path, 0).c_str_utf8()) != 0) {
        return -1;
    }
    log_fp = openLogFile(log_path);
    return log_fp == nullptr ? -1 : 0;
}

void Logger::Destroy()
{
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_type != FILE_LOGGER) {
        return;
    }
    if (log_fp != nullptr) {
        std::fclose(log_fp);
    }
    log_type = STDOUT_LOGGER;
    log_fp = stdout;
    log_size = -1;
    rotate_cnt = 32;
    log_path.clear();
}
