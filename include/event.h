// Event: one change to carry out, seen either on the server or in a local folder. It
// travels by value from the producers through the event manager and the per-session
// event tree to a worker.
#pragma once

#include "ustring/ustring.h"

#include <cstdint>

// Sync id of a download that the client generated itself; any real server event for the
// same path supersedes it.
static const uint64_t MAX_SYNC_ID = 0x7FFFFFFFFFFFFFFFULL;

class Event
{
public:
    // A fixed underlying type: a record read from outside may carry any value.
    enum Type : int32_t {
        EV_EMPTY = 0,
        EV_CREATE = 1,
        EV_REMOVE = 2,
        EV_MODIFY = 3,
        EV_RENAME = 4,
    };

    // Mode flags; the event tree uses the same values for the events it stores. Plain
    // constants so that they mix with 0 and with each other in expressions.
    static constexpr uint32_t F_DIR = 1;
    static constexpr uint32_t F_SERVER = 2;
    static constexpr uint32_t F_EXPAND = 4;
    static constexpr uint32_t F_RESCAN = 8;
    static constexpr uint32_t F_MERGE = 16;
    static constexpr uint32_t F_LOCAL_SUBDIR_RESCAN = 64;
    static constexpr uint32_t F_SERVER_SUBDIR_RESCAN = 128;
    static constexpr uint32_t F_LOCAL_SUBDIR_RESCAN_STAT = 256;
    static constexpr uint32_t F_SERVER_SUBDIR_RESCAN_STAT = 512;
    static constexpr uint32_t F_CONFLICT = 1024;
    // A local change that a server removal of the same path gave way to; m_sync_id and
    // m_max_id are the removal's. Should the change turn out to be none, the removal applies.
    static constexpr uint32_t F_SERVER_REMOVED = 2048;

    Type m_type;
    uint32_t m_mode;
    uint64_t m_sync_id;
    uint64_t m_max_id;
    uint64_t m_data_size;
    uint32_t m_time;
    ustring m_data_hash;
    ustring m_path;
    ustring m_opt;
    ustring m_mac_attr_hash;
    uint64_t m_mac_attr_size;
    uint64_t m_sess_id;
    uint32_t m_exec_bit;

    Event();
    Event(const Event &other) = default;
    Event(Event &&other) noexcept = default;
    Event &operator=(const Event &other) = default;
    Event &operator=(Event &&other) noexcept = default;
    ~Event() = default;

    void swap(Event &other) noexcept;
    void clear();

    bool isValid() const { return m_type != EV_EMPTY; }
    bool isServerEvent() const { return has(F_SERVER); }
    bool isLocalEvent() const { return !has(F_SERVER); }
    bool isDir() const { return has(F_DIR); }
    bool isFile() const { return !has(F_DIR); }
    bool isExpand() const { return has(F_EXPAND); }
    bool isRescan() const { return has(F_RESCAN); }
    bool isSubDirRescan() const
    {
        return (m_mode & (F_LOCAL_SUBDIR_RESCAN | F_SERVER_SUBDIR_RESCAN |
                          F_LOCAL_SUBDIR_RESCAN_STAT | F_SERVER_SUBDIR_RESCAN_STAT)) != 0;
    }
    bool isLocalSubDirRescan() const { return has(F_LOCAL_SUBDIR_RESCAN); }
    bool isServerSubDirRescan() const { return has(F_SERVER_SUBDIR_RESCAN); }
    bool isLocalSubDirRescanWithStat() const { return has(F_LOCAL_SUBDIR_RESCAN_STAT); }
    bool isServerSubDirRescanWithStat() const { return has(F_SERVER_SUBDIR_RESCAN_STAT); }
    bool isMerge() const { return has(F_MERGE); }
    bool isConflict() const { return has(F_CONFLICT); }
    bool isOverServerRemoval() const { return has(F_SERVER_REMOVED); }

    void setServerEvent() { m_mode |= F_SERVER; }
    void setFile() { m_mode &= ~F_DIR; }
    void setDir() { m_mode |= F_DIR; }
    void setExpand() { m_mode |= F_EXPAND; }
    void setRescan() { m_mode |= F_RESCAN; }
    void setLocalSubDirRescan() { m_mode |= F_LOCAL_SUBDIR_RESCAN; }
    void setServerSubDirRescan() { m_mode |= F_SERVER_SUBDIR_RESCAN; }
    void setLocalSubDirRescanWithStat() { m_mode |= F_LOCAL_SUBDIR_RESCAN_STAT; }
    void setServerSubDirRescanWithStat() { m_mode |= F_SERVER_SUBDIR_RESCAN_STAT; }
    void setMerge() { m_mode |= F_MERGE; }
    void setConflict() { m_mode |= F_CONFLICT; }
    // Records that this local change overrode a server removal with these ids.
    void setOverServerRemoval(uint64_t sync_id, uint64_t max_id)
    {
        m_mode |= F_SERVER_REMOVED;
        m_sync_id = sync_id;
        m_max_id = max_id;
    }

    // The one-line text by which log lines name this event.
    ustring toString() const;

private:
    bool has(uint32_t flag) const { return (m_mode & flag) != 0; }
};

void swap(Event &a, Event &b) noexcept;
