// ProgressSyncer: the task that works off resume conditions. When a selective-sync filter
// of a session is loosened, the server is asked once more for the changes the old filter
// had hid: for each condition the puller pulls server changes restricted to it, from the
// condition's own position, feeds them into the event pipeline as the server event puller
// does, and advances the condition's position until the server reports nothing new; then
// the condition is deleted.
#pragma once

#include "client/core/connection.h"
#include "client/core/progress-cache.h"
#include "client/core/puller-common.h"
#include "client/core/registry.h"
#include "protocol/object.h"

#include <cstdint>

class ProgressSyncer : public PullerTask
{
public:
    struct Context {
        uint64_t row_id = 0;
        ProgressCache::Entry progress_entry;
        Connection connection;
        Registry::Entry reg_entry;
        void clear();
    };

    explicit ProgressSyncer(TaskManager *owner = nullptr);
    ~ProgressSyncer() override;

    void DoTask() override;

protected:
    int UpdateContext();
    bool IsSessionReady();
    int PullEvent();
    void PrepareRequest(PObject &request);
    int ProcessEvents(const PObject &response);
    // Reports the result of a pull; a failed condition waits before its next try while
    // the others go first.
    void HandleError(int code);

private:
    bool takeCondition(const ProgressCache::Entry &candidate);

    Context context;
};
