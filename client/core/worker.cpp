// Worker loop. Until the event manager and the connections are in place the loop only
// idles, so that the control plane can start, pause, interrupt and stop workers.
#include "client/core/worker.h"

#include "log.h"

namespace
{
const char kComponent[] = "worker_debug";
}

void Worker::DoTask()
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d) up\n", __LINE__,
                   GetId());
    while (GetState() != STOP) {
        NotifyAbortDone();
        ResetResumeInfo();
        Wait(idle_wait_seconds);
    }
    ClearCache();
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] worker.cpp(%d): Worker (%d) down\n",
                   __LINE__, GetId());
}
