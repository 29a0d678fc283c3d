#include "client/core/settings.h"

#include "config.h"

Settings &Settings::getInstance()
{
    static Settings instance;
    return instance;
}

Settings::Settings()
    : pid_file_path("/var/run/aerolith-daemon.pid"), log_file_path("/var/log/aerolith-daemon.log"),
      log_level_file_path("/var/log/aerolith-daemon.debug"), cert_path(),
      work_dir_name(".ZentoraWorkingDirectory"), fstat_db_path("/tmp/file-status.sqlite"),
      filter_db_path("/tmp/filter.sqlite"), history_db_path("/tmp/history.sqlite"),
      system_filter_path("/tmp/filter"), worker_count(3), socket_path(), ui_socket_path(),
      ui_port(1024), is_foreground(false), pull_interval(5),
      pull_answer_timeout(30 * 60)
{
}

namespace
{

void applyText(Config &cfg, const char *key, ustring &field)
{
    if (cfg.has(key) && !cfg[key].empty()) {
        field = cfg[key];
    }
}

bool hasValue(Config &cfg, const char *key)
{
    return cfg.has(key) && !cfg[key].empty();
}

} // namespace

int Settings::loadConfigSettings(const ustring &path)
{
    std::lock_guard<std::mutex> guard(lock);
    Config cfg;
    if (cfg.read(path) != 0) {
        return -1;
    }
    applyText(cfg, "history_db_path", history_db_path);
    applyText(cfg, "fstat_db_path", fstat_db_path);
    applyText(cfg, "filter_db_path", filter_db_path);
    applyText(cfg, "system_filter_path", system_filter_path);
    applyText(cfg, "pid_file_path", pid_file_path);
    applyText(cfg, "log_file_path", log_file_path);
    applyText(cfg, "log_level_file_path", log_level_file_path);
    applyText(cfg, "cert_path", cert_path);
    applyText(cfg, "work_dir_name", work_dir_name);
    applyText(cfg, "socket_path", socket_path);
    applyText(cfg, "ui_socket_path", ui_socket_path);
    if (hasValue(cfg, "worker_count")) {
        int count = cfg.get_int("worker_count");
        if (count < static_cast<int>(kMinWorkers)) {
            count = kMinWorkers;
        } else if (count > static_cast<int>(kMaxWorkers)) {
            count = kMaxWorkers;
        }
        worker_count = static_cast<uint32_t>(count);
    }
    if (hasValue(cfg, "ui_port")) {
        ui_port = cfg.get_int("ui_port");
    }
    if (hasValue(cfg, "pull_interval")) {
        int seconds = cfg.get_int("pull_interval");
        if (seconds < static_cast<int>(kMinPullInterval)) {
            seconds = kMinPullInterval;
        } else if (seconds > static_cast<int>(kMaxPullInterval)) {
            seconds = kMaxPullInterval;
        }
        pull_interval = static_cast<uint32_t>(seconds);
    }
    if (hasValue(cfg, "pull_answer_timeout")) {
        int seconds = cfg.get_int("pull_answer_timeout");
        pull_answer_timeout = static_cast<uint32_t>(seconds < 1 ? 1 : seconds);
    }
    if (hasValue(cfg, "is_foreground")) {
        is_foreground = cfg["is_foreground"] == ustring("true");
    }
    return 0;
}

ustring Settings::getHistoryDbPath()
{
    return get(history_db_path);
}
ustring Settings::getFStatDbPath()
{
    return get(fstat_db_path);
}
ustring Settings::getFilterDbPath()
{
    return get(filter_db_path);
}
ustring Settings::getSystemFilterPath()
{
    return get(system_filter_path);
}
ustring Settings::getPidFilePath()
{
    return get(pid_file_path);
}
ustring Settings::getLogFilePath()
{
    return get(log_file_path);
}
ustring Settings::getLogLevelFilePath()
{
    return get(log_level_file_path);
}
ustring Settings::getCertPath()
{
    return get(cert_path);
}
ustring Settings::getWorkDirName()
{
    return get(work_dir_name);
}
ustring Settings::getSocketPath()
{
    return get(socket_path);
}
ustring Settings::getUISocketPath()
{
    return get(ui_socket_path);
}

uint32_t Settings::getWorkerCount()
{
    return get(worker_count);
}

int32_t Settings::getUIPort()
{
    return get(ui_port);
}

bool Settings::isForeground()
{
    return get(is_foreground);
}

uint32_t Settings::getPullInterval()
{
    return get(pull_interval);
}

uint32_t Settings::getPullAnswerTimeout()
{
    return get(pull_answer_timeout);
}
