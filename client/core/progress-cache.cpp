#include "client/core/progress-cache.h"

#include "log.h"

#include <algorithm>

namespace
{

const ustring &component()
{
    static const ustring name("progress_cache_debug");
    return name;
}

typedef unsigned long long ull;

} // namespace

ProgressCache &ProgressCache::getInstance()
{
    static ProgressCache instance;
    return instance;
}

void ProgressCache::addProgressEntry(uint64_t row_id, const ResumeCondition &condition)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry entry;
    entry.row_id = row_id;
    entry.condition = condition;
    cache_list.push_back(entry);
    Logger::LogMsg(Logger::L_DEBUG, component(),
                   "[DEBUG] progress-cache.cpp(%d): addProgressEntry row_id = '%llu', sess_id = "
                   "'%llu', sync_id = '%llu', type = '%d', desc= '%s'.\n",
                   __LINE__, ull(row_id), ull(condition.sess_id), ull(condition.sync_id),
                   condition.filter_type, condition.filter_desc.c_str_utf8());
}

bool ProgressCache::getProgressEntry(Entry &entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (cache_list.empty()) {
        Logger::LogMsg(Logger::L_DEBUG, component(),
                       "[DEBUG] progress-cache.cpp(%d): cache_list is empty. \n", __LINE__);
        return false;
    }
    entry = cache_list.front();
    return true;
}

void ProgressCache::updateProgressSyncId(uint64_t row_id, uint64_t sync_id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Entry &entry : cache_list) {
        if (entry.row_id == row_id) {
            entry.condition.sync_id = sync_id;
            Logger::LogMsg(
                Logger::L_DEBUG, component(),
                "[DEBUG] progress-cache.cpp(%d): updateProgressSyncId to %llu for row_id = %llu.\n",
                __LINE__, ull(sync_id), ull(row_id));
            return;
        }
    }
}

int ProgressCache::rmProgressEntry(uint64_t row_id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(cache_list.begin(), cache_list.end(),
                           [row_id](const Entry &entry) { return entry.row_id == row_id; });
    if (it == cache_list.end()) {
        return -1;
    }
    cache_list.erase(it);
    return 0;
}

int ProgressCache::rmProgressEntryBySessionId(uint64_t sess_id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(cache_list.begin(), cache_list.end(), [sess_id](const Entry &entry) {
        return entry.condition.sess_id == sess_id;
    });
    if (it == cache_list.end()) {
        return -1;
    }
    cache_list.erase(it);
    return 0;
}

int ProgressCache::rmProgressEntriesBySessionId(uint64_t sess_id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t before = cache_list.size();
    cache_list.remove_if([sess_id](const Entry &entry) { return entry.condition.sess_id == sess_id; });
    return static_cast<int>(before - cache_list.size());
}

void ProgressCache::getProgressEntries(std::list<Entry> &entries)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    entries = cache_list;
}

bool ProgressCache::isInProgrssCache(uint64_t sess_id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(cache_list.begin(), cache_list.end(), [sess_id](const Entry &entry) {
        return entry.condition.sess_id == sess_id;
    });
}

void ProgressCache::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    cache_list.clear();
}
