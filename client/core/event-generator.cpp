#include "client/core/event-generator.h"

#include "client/core/filter-db.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "event.h"
#include "file-op.h"
#include "log.h"
#include "server-path.h"

#include <vector>

namespace
{

const char kComponent[] = "event_generator_debug";

// Sizes are kept in 64 bits but files and offsets on this system are signed 64-bit, so a
// larger size cannot name a real file.
const uint64_t MAX_SERVER_SIZE = 0x8000000000000000ULL;

Event makeEvent(const Registry::Entry &reg, Event::Type type, uint32_t mode, const ustring &path)
{
    Event e;
    e.m_type = type;
    e.m_mode = mode;
    e.m_path = path;
    e.m_sess_id = reg.sess_id;
    return e;
}

uint32_t dirFlag(bool is_dir)
{
    return is_dir ? Event::F_DIR : 0;
}

void logDropped(const PObject &object, const char *reason)
{
    const PObject &path = object["path"];
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] event-generator.cpp(%d): Dropped server object [%s]: %s.\n",
                   __LINE__, path.isString() ? path.asString().c_str_utf8() : "", reason);
}

// Reads the optional nested number `object[outer][inner]` when it is present and well typed.
bool optionalNumber(const PObject &object, const char *outer, const char *inner, uint64_t &out)
{
    const PObject &value = object[outer][inner];
    if (!value.isInteger()) {
        return false;
    }
    out = value.asUInt64();
    return true;
}

bool optionalText(const PObject &object, const char *outer, const char *inner, ustring &out)
{
    const PObject &value = object[outer][inner];
    if (!value.isString()) {
        return false;
    }
    out = value.asString();
    return true;
}

// The keys every object must carry, with their types. nullptr when all are there.
const char *requiredProblem(const PObject &object)
{
    if (!object.isMap()) {
        return "not a map";
    }
    if (!object["path"].isString()) {
        return "\"path\" missing or not text";
    }
    if (!object["is_dir"].isInteger() || !object["is_removed"].isInteger()) {
        return "\"is_dir\" or \"is_removed\" missing or not a number";
    }
    if (!object["sync_id"].isInteger() || !object["max_id"].isInteger()) {
        return "\"sync_id\" or \"max_id\" missing or not a number";
    }
    bool live_file = object["is_dir"].asUInt64() == 0 && object["is_removed"].asUInt64() == 0;
    if (live_file && (!object["file"]["hash"].isString() || !object["file"]["size"].isInteger())) {
        return "file without \"file\" -> \"hash\" and \"size\"";
    }
    return nullptr;
}

void fillOptional(const PObject &object, Event &e)
{
    uint64_t number = 0;
    optionalText(object, "file", "hash", e.m_data_hash);
    if (optionalNumber(object, "file", "size", number))
        e.m_data_size = number;
    if (optionalNumber(object, "mtime", "mtime", number))
        e.m_time = static_cast<uint32_t>(number);
    optionalText(object, "mac_attribute", "hash", e.m_mac_attr_hash);
    if (optionalNumber(object, "mac_attribute", "size", number))
        e.m_mac_attr_size = number;
    if (optionalNumber(object, "exec_bit", "exec_bit", number))
        e.m_exec_bit = static_cast<uint32_t>(number);
}

ustring localPath(const Registry::Entry &reg, const ustring &path)
{
    return path == ustring("/") ? reg.local_path : reg.local_path + path;
}

void logNoRecordEcho(const Event &e)
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] event-generator.cpp(%d): Server delete event [%s] and cannot find db "
                   "record (server echo).\n",
                   __LINE__, e.m_path.c_str_utf8());
}

void logUpToDateEcho(const Event &e)
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] event-generator.cpp(%d): File [%s] is already up-to-date (server "
                   "echo).\n",
                   __LINE__, e.m_path.c_str_utf8());
}

// A change the client made itself comes back from the server: the synced row already has
// this or a later sync id and the local object is there. `found` is the row lookup's
// result (1 row, 0 none, -1 error) and `row_sync_id` the row's sync id.
bool isServerEcho(const Registry::Entry &reg, const Event &e, int found, uint64_t row_sync_id)
{
    if (found == 0) {
        if (e.m_type == Event::EV_REMOVE) {
            logNoRecordEcho(e);
            return true;
        }
        return false;
    }
    if (found < 0 || row_sync_id < e.m_sync_id) {
        return false;
    }
    if (!IsFileExist(localPath(reg, e.m_path))) {
        return false;
    }
    logUpToDateEcho(e);
    return true;
}

bool isServerEcho(const Registry::Entry &reg, const Event &e)
{
    DBFileInfo info;
    int found = reg.event_db ? reg.event_db->getEventInfo(e.m_path, info) : -1;
    return isServerEcho(reg, e, found, info.syncID);
}

} // namespace

int ServerObjectToEvent(uint64_t sess_id, const PObject &object, Event &e)
{
    const char *problem = requiredProblem(object);
    if (problem == nullptr) {
        problem = ServerPathProblem(object["path"].asString());
    }
    if (problem == nullptr && (object["file"]["size"].asUInt64() > MAX_SERVER_SIZE ||
                               object["mac_attribute"]["size"].asUInt64() > MAX_SERVER_SIZE)) {
        problem = "size out of range";
    }
    if (problem != nullptr) {
        logDropped(object, problem);
        return -1;
    }
    e.clear();
    e.m_type = object["is_removed"].asUInt64() != 0 ? Event::EV_REMOVE : Event::EV_CREATE;
    e.m_mode = Event::F_SERVER | dirFlag(object["is_dir"].asUInt64() != 0);
    e.m_path = object["path"].asString();
    e.m_sync_id = object["sync_id"].asUInt64();
    e.m_max_id = object["max_id"].asUInt64();
    e.m_sess_id = sess_id;
    fillOptional(object, e);
    return 0;
}

bool PushEvent(const Registry::Entry &reg, const PObject &object)
{
    Event e;
    if (ServerObjectToEvent(reg.sess_id, object, e) != 0 || isServerEcho(reg, e)) {
        return false;
    }
    return EventManager::getInstance().PushServerEvent(e) == 0;
}

size_t PushEvents(const Registry::Entry &reg, const PObject::array_type &objects)
{
    std::vector<Event> events;
    std::vector<ustring> paths;
    events.reserve(objects.size());
    paths.reserve(objects.size());
    for (const PObject &object : objects) {
        Event e;
        if (ServerObjectToEvent(reg.sess_id, object, e) == 0) {
            paths.push_back(e.m_path);
            events.push_back(std::move(e));
        }
    }
    std::vector<int> found;
    std::vector<uint64_t> sync_ids;
    if (!reg.event_db || reg.event_db->getSyncIds(paths, found, sync_ids) != 0) {
        found.assign(events.size(), -1);
        sync_ids.assign(events.size(), 0);
    }
    std::vector<Event> fresh;
    fresh.reserve(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        if (!isServerEcho(reg, events[i], found[i], sync_ids[i]))
            fresh.push_back(std::move(events[i]));
    }
    return EventManager::getInstance().PushServerEvents(fresh);
}

void PushEvent(const Registry::Entry &reg, const FilterLocalEvent &filtered_event)
{
    bool is_dir = filtered_event.file_type != 0;
    if (filtered_event.is_exist != 0) {
        PushUploadEvent(reg, filtered_event.path, is_dir);
    } else {
        PushDownloadEvent(reg, filtered_event.path, is_dir);
    }
}

void PushUploadEvent(const Registry::Entry &reg, const ustring &path, bool is_dir)
{
    EventManager::getInstance().PushLocalEvent(
        makeEvent(reg, Event::EV_MODIFY, dirFlag(is_dir), path));
}

void PushUploadOverServerRemoval(const Registry::Entry &reg, const ustring &path, bool is_dir,
                                 uint64_t sync_id, uint64_t max_id)
{
    Event e = makeEvent(reg, Event::EV_MODIFY, dirFlag(is_dir), path);
    e.setOverServerRemoval(sync_id, max_id);
    EventManager::getInstance().PushLocalEvent(e);
}

void PushLocalRemoveEvent(const Registry::Entry &reg, const ustring &path, bool is_dir)
{
    EventManager::getInstance().PushLocalEvent(
        makeEvent(reg, Event::EV_REMOVE, dirFlag(is_dir), path));
}

void PushDownloadEvent(const Registry::Entry &reg, const ustring &path, bool is_dir)
{
    Event e = makeEvent(reg, Event::EV_MODIFY, Event::F_SERVER | dirFlag(is_dir), path);
    e.m_sync_id = MAX_SYNC_ID;
    e.m_max_id = MAX_SYNC_ID;
    DBFileInfo info;
    if (reg.event_db && reg.event_db->getEventInfo(path, info) == 1) {
        e.m_time = info.fileModTime;
        e.m_data_size = info.fileSize;
        e.m_data_hash = info.fileCheckSum;
        e.m_mac_attr_hash = info.macHash;
        e.m_exec_bit = info.execBit;
    } else {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] event-generator.cpp(%d): force download event (%s) missing "
                       "required info\n",
                       __LINE__, path.c_str_utf8());
    }
    EventManager::getInstance().PushServerEvent(e);
}

void PushServerRemoveEvent(const Registry::Entry &reg, const ustring &path, bool is_dir,
                           uint64_t sync_id, uint64_t max_id)
{
    Event e = makeEvent(reg, Event::EV_REMOVE, Event::F_SERVER | dirFlag(is_dir), path);
    e.m_sync_id = sync_id;
    e.m_max_id = max_id;
    EventManager::getInstance().PushServerEvent(e);
}
