#include "support/local-session.h"

#include "client/event-db.h"

#include <sys/stat.h>

#include <stdexcept>

LocalSession::LocalSession(uint64_t sess_id)
{
    m_folder = m_dir.file("folder");
    std::string config = m_dir.file("config");
    if (mkdir(m_folder.c_str(), 0755) != 0 || mkdir(config.c_str(), 0755) != 0 ||
        mkdir((config + "/db").c_str(), 0755) != 0) {
        throw std::runtime_error("cannot create the session directories");
    }
    m_entry.sess_id = sess_id;
    m_entry.conn_id = 1;
    m_entry.recursive = true;
    m_entry.local_path = m_folder.c_str();
    m_entry.config_path = config.c_str();
    m_entry.event_db = shared_pointer<FileEventDB>(new FileEventDB);
    if (m_entry.event_db->initialize((config + "/db/event-db.sqlite").c_str()) != 0) {
        throw std::runtime_error("cannot open the event database");
    }
    Registry::getInstance().Set(m_entry);
}

LocalSession::~LocalSession()
{
    Registry::getInstance().Remove(m_entry.sess_id);
}

void LocalSession::synced(const std::string &path, bool is_dir, uint32_t mtime, uint64_t size,
                          uint64_t sync_id)
{
    DBFileInfo info;
    info.isExist = 1;
    info.syncID = sync_id;
    info.maxSyncID = sync_id;
    info.fileType = is_dir ? 1 : 0;
    info.fileSize = size;
    info.fileModTime = mtime;
    info.path = path.c_str();
    if (m_entry.event_db->setEventInfo(info) != 0) {
        throw std::runtime_error("cannot write a database row");
    }
}

Registry::Entry LocalSession::entry() const
{
    Registry::Entry copy;
    Registry::getInstance().Find(m_entry.sess_id, copy);
    return copy;
}
