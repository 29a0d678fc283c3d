// RecycleCleaner: the task that empties the recycle bins. Items that server removals and
// rejected downloads take away wait in the session's bin (so that a later download of
// the same content can take them back); once a second the cleaner visits the next
// session and deletes every item that has been in its bin for more than 30 minutes,
// from the disk and from the bin's table.
#pragma once

#include "client/core/registry.h"
#include "client/task.h"
#include "ustring/ustring.h"

#include <atomic>
#include <cstdint>

class RecycleCleaner : public Task
{
public:
    struct Context {
        Registry::Entry entry; // the session being visited
    };

    // How long an item stays in the bin (seconds).
    static const uint32_t RETENTION = 1800;

    explicit RecycleCleaner(TaskManager *owner = nullptr);
    ~RecycleCleaner() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    // Moves on to the session after the current one. 0, or -1 when there is none.
    int UpdateContext();
    // Deletes the expired items of the current session, `now` being the time in seconds
    // since 1970. 0, or -1 on failure.
    int Rotate(uint32_t now);
    int Rotate();
    // The current session's recycle bin.
    ustring GetRecycleBinDir() const;

    uint64_t CurrentSession() const { return context.entry.sess_id; }

private:
    Context context;
    std::atomic<int> abort_flag;
};
