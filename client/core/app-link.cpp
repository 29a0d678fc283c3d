#include "client/core/app.h"

#include "black-list-v2.h"
#include "channel.h"
#include "client/core/connection.h"
#include "client/core/filter-db.h"
#include "client/core/progress-cache.h"
#include "client/core/progress-syncer.h"
#include "client/core/recycle-cleaner.h"
#include "client/core/registry.h"
#include "client/core/settings.h"
#include "client/core/syncer.h"
#include "client/event-manager.h"
#include "client/linux/detector-linux.h"
#include "client/task.h"
#include "fstat-db.h"
#include "log.h"

#include <new>
#include <utility>

namespace
{

const char kComponent[] = "client_debug";

void logSettings(Settings &settings)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): ======= Settings =======\n",
                   __LINE__);
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): pid_file_path: %s\n",
                   __LINE__, settings.getPidFilePath().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): log_file_path: %s\n",
                   __LINE__, settings.getLogFilePath().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): log_level_file_path: %s\n",
                   __LINE__, settings.getLogLevelFilePath().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): worker_count: %u\n", __LINE__,
                   settings.getWorkerCount());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): socket_path: %s\n", __LINE__,
                   settings.getSocketPath().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): is_foreground: %s\n",
                   __LINE__, settings.isForeground() ? "true" : "false");
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): fstat_db_path: %s\n",
                   __LINE__, settings.getFStatDbPath().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): filter_db_path: %s\n",
                   __LINE__, settings.getFilterDbPath().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): cert_path: %s\n", __LINE__,
                   settings.getCertPath().c_str_utf8());
}

// The task kinds that exist so far; a slot stays empty until its kind is built.
std::unique_ptr<Task> createTask(size_t slot)
{
    switch (slot) {
    case AerolithApp::TASK_DETECTOR:
        return std::unique_ptr<Task>(new Detector());
    case AerolithApp::TASK_RECYCLE_CLEANER:
        return std::unique_ptr<Task>(new RecycleCleaner());
    case AerolithApp::TASK_SYNCER:
        return std::unique_ptr<Task>(new Syncer());
    case AerolithApp::TASK_PROGRESS_SYNCER:
        return std::unique_ptr<Task>(new ProgressSyncer());
    default: // workers
        return std::unique_ptr<Task>(new Worker());
    }
}

} // namespace

int AerolithApp::init_env()
{
    Settings &settings = Settings::getInstance();
    logSettings(settings);
    Channel::SetVerifyCAPath(settings.getCertPath());

    ustring filter_db_path = settings.getFilterDbPath();
    if (FilterDB::getInstance().initialize(filter_db_path) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to init filter DB at [%s]\n", __LINE__,
                       filter_db_path.c_str_utf8());
        return -1;
    }
    FileStatusDB::initialize(settings.getFStatDbPath());
    FileStatusDB::removeAllEntry();

    ustring system_filter = settings.getSystemFilterPath();
    if (BlackList2::getInstance().Load(system_filter) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to load system filter from %s.\n", __LINE__,
                       system_filter.c_str_utf8());
        // Leave nothing open behind a failed link.
        FilterDB::getInstance().destroy();
        FileStatusDB::destroy();
        return -1;
    }
    return 0;
}

void AerolithApp::destroy_env()
{
    FilterDB::getInstance().destroy();
    FileStatusDB::destroy();
    BlackList2::getInstance().Load(ustring()); // an empty path leaves the list without rules
    EventManager::getInstance().Clear();
    Registry::getInstance().Clear();
    ConnectionManager::getInstance().clear();
    ProgressCache::getInstance().clear();
}

int AerolithApp::init_tasks()
{
    size_t count = TASK_FIRST_WORKER + Settings::getInstance().getWorkerCount();
    try {
        task.clear();
        task.reserve(count);
        for (size_t slot = 0; slot < count; ++slot) {
            task.push_back(createTask(slot));
        }
    } catch (const std::bad_alloc &) {
        task.clear();
        task_count = 0;
        return -1;
    }
    task_count = static_cast<uint32_t>(task.size());
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): totally %lu tasks\n",
                   __LINE__, static_cast<unsigned long>(task_count));
    return 0;
}

void AerolithApp::set_task(size_t slot, std::unique_ptr<Task> t)
{
    if (task.size() <= slot) {
        task.resize(slot + 1);
    }
    task[slot] = std::move(t);
    task_count = static_cast<uint32_t>(task.size());
}

void AerolithApp::destroy_tasks()
{
    task.clear();
    task_count = 0;
}

void AerolithApp::start_all()
{
    for (auto &t : task) {
        if (t) {
            t->Run();
        }
    }
}

void AerolithApp::stop_all()
{
    // Every task is asked first, so that they wind down in parallel.
    for (auto &t : task) {
        if (t) {
            t->Stop();
        }
    }
    for (auto &t : task) {
        if (t) {
            t->Join();
        }
    }
}

int AerolithApp::do_link(const PObject &msg, PObject &response)
{
    (void)msg;
    if (m_linked) {
        // Linking again would start a second set of tasks over the running ones.
        Logger::LogMsg(Logger::L_NOTICE, kComponent,
                       "[NOTE] app.cpp(%d): daemon is already linked\n", __LINE__);
        return 0;
    }
    if (init_env() != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): failed to initialize environment\n", __LINE__);
        response["error"] = "Failed to initialize environment";
        return -1;
    }
    if (init_tasks() != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): failed to initialize members\n", __LINE__);
        response["error"] = "Failed to initialize members";
        destroy_env();
        return -1;
    }
    m_linked = true;
    start_all();
    return 0;
}

int AerolithApp::do_unlink()
{
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): unlink daemon\n", __LINE__);
    stop_all();
    destroy_tasks();
    destroy_env();
    m_linked = false;
    return 0;
}

std::vector<Worker *> AerolithApp::workers()
{
    std::vector<Worker *> list;
    for (size_t i = TASK_FIRST_WORKER; i < task.size(); ++i) {
        if (task[i]) {
            list.push_back(static_cast<Worker *>(task[i].get()));
        }
    }
    return list;
}

void AerolithApp::pause_worker()
{
    for (Worker *w : workers()) {
        w->Pause();
    }
}

void AerolithApp::resume_worker()
{
    for (Worker *w : workers()) {
        w->Resume();
    }
}

void AerolithApp::interrupt_worker(const Worker::AbortFilter &filter)
{
    Worker::Barrier barrier;
    for (Worker *w : workers()) {
        w->SetAbort(filter, &barrier);
    }
    barrier.wait();
}
