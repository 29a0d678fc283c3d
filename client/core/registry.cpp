#include "client/core/registry.h"

PermissionMode PermissionModeFromText(const ustring &text)
{
    if (text == "sync-all") {
        return PERM_SYNC_ALL;
    }
    if (text == "domain-only") {
        return PERM_SYNC_DOMAIN_ONLY;
    }
    return PERM_SYNC_EXEC_BIT_ONLY;
}

Registry::Entry::Entry()
    : conn_id(0), sess_id(0), view_id(0), node_id(0), recycle_time(0), recursive(false),
      isMSDOS(false), pause(false), read_only(false), perm_mode(PERM_SYNC_ALL)
{
}

void Registry::Entry::clear()
{
    *this = Entry();
}

Registry &Registry::getInstance()
{
    static Registry instance;
    return instance;
}

void Registry::Set(const Entry &entry)
{
    std::lock_guard<std::mutex> guard(mutex);
    index[entry.sess_id] = entry;
}

bool Registry::Find(uint64_t sess_id, Entry &entry)
{
    std::lock_guard<std::mutex> guard(mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) {
        return false;
    }
    entry = it->second;
    return true;
}

bool Registry::GetLocalPath(uint64_t sess_id, ustring &local_path)
{
    std::lock_guard<std::mutex> guard(mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) {
        return false;
    }
    local_path = it->second.local_path;
    return true;
}

bool Registry::FindNext(uint64_t sess_id, Entry &entry)
{
    std::lock_guard<std::mutex> guard(mutex);
    if (index.empty()) {
        return false;
    }
    auto it = index.lower_bound(sess_id);
    if (it == index.end() || it->first != sess_id) {
        it = index.begin();
    } else if (++it == index.end()) {
        it = index.begin();
    }
    entry = it->second;
    return true;
}

void Registry::GetAll(std::list<Entry> &list)
{
    std::lock_guard<std::mutex> guard(mutex);
    list.clear();
    for (const auto &item : index) {
        list.push_back(item.second);
    }
}

void Registry::Remove(uint64_t sess_id)
{
    std::lock_guard<std::mutex> guard(mutex);
    index.erase(sess_id);
}

void Registry::Clear(uint64_t sess_id)
{
    Remove(sess_id);
}

void Registry::Clear()
{
    // Release the entries outside the lock: the last handle of a session may close its
    // event database, which should not hold up other threads reading the registry.
    std::map<uint64_t, Entry> dropped;
    {
        std::lock_guard<std::mutex> guard(mutex);
        dropped.swap(index);
    }
}

size_t Registry::Size()
{
    std::lock_guard<std::mutex> guard(mutex);
    return index.size();
}

void Registry::UpdateRecycleTime(const Entry &entry, uint32_t time)
{
    std::lock_guard<std::mutex> guard(mutex);
    auto it = index.find(entry.sess_id);
    if (it != index.end()) {
        it->second.recycle_time = time;
    }
}

void Registry::InitRecycleTime(const Entry &entry, uint32_t time)
{
    // 0 means "nothing recorded"; it must not wipe out a known oldest item.
    if (time == 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(mutex);
    auto it = index.find(entry.sess_id);
    if (it != index.end() && (it->second.recycle_time == 0 || it->second.recycle_time > time)) {
        it->second.recycle_time = time;
    }
}
