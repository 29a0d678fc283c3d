// A registered session for tests of local-side work: a synced folder and an event
// database in a scratch directory, entered in the session registry (and taken out again
// when the fixture goes).
#pragma once

#include "client/core/registry.h"
#include "support/temp-dir.h"

#include <string>

class LocalSession
{
public:
    explicit LocalSession(uint64_t sess_id);
    ~LocalSession();
    LocalSession(const LocalSession &) = delete;
    LocalSession &operator=(const LocalSession &) = delete;

    // The synced folder, and a full path below it for a session path ("/a/b").
    const std::string &folder() const { return m_folder; }
    std::string full(const std::string &path) const { return m_folder + path; }
    // A database row for the path, as if it had been synced (a file unless `is_dir`).
    void synced(const std::string &path, bool is_dir = false, uint32_t mtime = 0, uint64_t size = 0,
                uint64_t sync_id = 1);
    // The registered entry (a copy).
    Registry::Entry entry() const;
    FileEventDB &db() const { return *m_entry.event_db; }
    const TempDir &scratch() const { return m_dir; }

private:
    TempDir m_dir;
    std::string m_folder;
    Registry::Entry m_entry;
};
