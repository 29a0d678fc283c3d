// Settings: the process-wide configuration, read once from the configuration file at
// start and read-only afterwards. Every getter copies its field under one mutex.
#pragma once

#include "ustring/ustring.h"

#include <cstdint>
#include <mutex>

class Settings
{
public:
    static Settings &getInstance();

    // A fresh object with every default; the daemon uses the one of getInstance().
    Settings();

    // Applies the file's values over the defaults; 0, or -1 when the file cannot be read
    // or is malformed (then every field keeps its value).
    int loadConfigSettings(const ustring &path);

    ustring getHistoryDbPath();
    ustring getFStatDbPath();
    ustring getFilterDbPath();
    ustring getSystemFilterPath();
    ustring getPidFilePath();
    ustring getLogFilePath();
    ustring getLogLevelFilePath();
    ustring getCertPath();
    ustring getWorkDirName();
    uint32_t getWorkerCount();
    ustring getSocketPath();
    ustring getUISocketPath();
    int32_t getUIPort();
    bool isForeground();
    // Seconds the server event puller rests once every session is up to date.
    uint32_t getPullInterval();
    // Longest time one exchange of an event puller may take in all, keep-alives included.
    uint32_t getPullAnswerTimeout();

    // Bounds of worker_count: a daemon without workers would never sync, and each worker
    // holds a server channel, so very large counts are cut down.
    static const uint32_t kMinWorkers = 1;
    static const uint32_t kMaxWorkers = 64;
    static const uint32_t kMinPullInterval = 1;
    static const uint32_t kMaxPullInterval = 3600;

private:
    // A copy of one field, taken under the lock.
    template <typename T> T get(const T &field)
    {
        std::lock_guard<std::mutex> guard(lock);
        return field;
    }

    ustring pid_file_path;
    ustring log_file_path;
    ustring log_level_file_path;
    ustring cert_path;
    ustring work_dir_name;
    ustring fstat_db_path;
    ustring filter_db_path;
    ustring history_db_path;
    ustring system_filter_path;
    uint32_t worker_count;
    ustring socket_path;
    ustring ui_socket_path;
    int32_t ui_port;
    bool is_foreground;
    uint32_t pull_interval;
    uint32_t pull_answer_timeout;
    std::mutex lock;
};
