#include "client/core/recycle-cleaner.h"

#include "client/core/working-dir.h"
#include "client/event-db.h"
#include "file-op.h"
#include "log.h"

#include <ctime>
#include <set>

namespace
{

const char kComponent[] = "recycle_cleaner_debug";

// A bin item names a path below the bin ("/name"); anything that could lead out of the
// bin is never deleted.
bool IsBinItem(const ustring &item)
{
    const std::string path = item.c_str_utf8();
    if (path.size() < 2 || path[0] != '/') {
        return false;
    }
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

} // namespace

RecycleCleaner::RecycleCleaner(TaskManager *owner) : Task(owner), abort_flag(0) {}

RecycleCleaner::~RecycleCleaner()
{
    Stop();
    Join();
}

int RecycleCleaner::Pause()
{
    abort_flag = 1;
    return Task::Pause();
}

int RecycleCleaner::Resume()
{
    abort_flag = 0;
    return Task::Resume();
}

int RecycleCleaner::Stop()
{
    abort_flag = 1;
    return Task::Stop();
}

void RecycleCleaner::DoTask()
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] recycle-cleaner.cpp(%d): RecycleCleaner START.\n", __LINE__);
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            Logger::LogMsg(Logger::L_DEBUG, kComponent,
                           "[DEBUG] recycle-cleaner.cpp(%d): RecycleCleaner : stop working\n",
                           __LINE__);
            return;
        }
        if (state == PAUSE) {
            WaitPaused(1);
            continue;
        }
        bool ok = UpdateContext() == 0 && Rotate() == 0;
        Wait(ok ? 1 : 3);
    }
}

int RecycleCleaner::UpdateContext()
{
    Registry::Entry next;
    if (!Registry::getInstance().FindNext(context.entry.sess_id, next)) {
        context.entry.clear();
        return -1;
    }
    context.entry = next;
    return 0;
}

ustring RecycleCleaner::GetRecycleBinDir() const
{
    return context.entry.local_path + RECYCLE_BIN_PATH;
}

int RecycleCleaner::Rotate()
{
    return Rotate(static_cast<uint32_t>(time(nullptr)));
}

int RecycleCleaner::Rotate(uint32_t now)
{
    const Registry::Entry &entry = context.entry;
    // A time ahead of the clock (the clock was set back) is not expired either.
    if (entry.recycle_time == 0 || now <= entry.recycle_time ||
        now - entry.recycle_time <= RETENTION - 1 || !entry.event_db) {
        return 0;
    }
    uint32_t criteria = now - RETENTION;
    std::set<ustring> items;
    if (entry.event_db->getRotateList(criteria, items) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] recycle-cleaner.cpp(%d): Failed to getRotateList.\n", __LINE__);
        return -1;
    }
    ustring bin = GetRecycleBinDir();
    for (const ustring &item : items) {
        ustring full = bin + item;
        if (!IsBinItem(item)) {
            // Its row goes with the others below; nothing outside the bin is touched.
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] recycle-cleaner.cpp(%d): not a recycle bin item: '%s'\n",
                           __LINE__, full.c_str_utf8());
            continue;
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent,
                       "[DEBUG] recycle-cleaner.cpp(%d): Need rotate '%s'.\n", __LINE__,
                       full.c_str_utf8());
        if (FSRemove(full) != 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] recycle-cleaner.cpp(%d): Failed to remove file. at '%s'\n",
                           __LINE__, full.c_str_utf8());
            return -1;
        }
    }
    if (entry.event_db->rmRotateRecords(criteria) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] recycle-cleaner.cpp(%d): Failed to rmRotateRecords.\n", __LINE__);
        return -1;
    }
    uint64_t oldest = 0;
    if (entry.event_db->getOldestRecyleTime(oldest) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] recycle-cleaner.cpp(%d): Failed to getOldestRecyleTime.\n",
                       __LINE__);
        return -1;
    }
    Registry::getInstance().UpdateRecycleTime(entry, static_cast<uint32_t>(oldest));
    context.entry.recycle_time = static_cast<uint32_t>(oldest);
    return 0;
}
