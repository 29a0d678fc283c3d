// ProgressSyncer: the task that works off resume conditions. When a selective-sync filter
// of a session is loosened, the server is asked once more for the changes the old filter
// had hid: for each condition the puller pulls server changes restricted to it, from the
// condition's own position, feeds them into the event pipeline as the server event puller
// does, and advances the condition's position until the server reports nothing new; then
// the condition is deleted.
#pragma once

#include "client/core/connection.h"
#include "client/core/progress-cache.h"
#include "client/core/puller-channel.h"
#include "client/core/registry.h"
#include "client/task.h"
#include "protocol/object.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>

class Channel;

class ProgressSyncer : public Task
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

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    int RequestChannel(Channel &channel);
    int RunProtocol(Channel &channel, uint8_t command, const PObject &request, PObject &response);
    int ProtoPullEvent(const PObject &request, PObject &response);
    int ProtoResp2ErrorCode(uint32_t code);

protected:
    int UpdateContext();
    bool IsSessionReady();
    int PullEvent();
    void PrepareRequest(PObject &request);
    int ProcessEvents(const PObject &response);
    int WaitForWorkers();
    int HandleError(int code);

private:
    using Clock = std::chrono::steady_clock;

    bool takeCondition(const ProgressCache::Entry &candidate);
    bool inBackoff(uint64_t row_id);

    Context context;
    std::atomic<int> abort_flag;
    // A condition whose pull failed is retried after its own wait; the others go first.
    std::map<uint64_t, Clock::time_point> retry_at;
    PullerChannel channel_proc;
};
