#include "client/core/worker.h"

#include "log.h"

namespace
{
const char kComponent[] = "worker_debug";
}

void Worker::Barrier::increase(int id)
{
    std::lock_guard<std::mutex> guard(mutex);
    ++count;
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] worker.cpp(%d): worker %d register barrier\n", __LINE__, id);
}

void Worker::Barrier::signal(int id)
{
    std::lock_guard<std::mutex> guard(mutex);
    // A signal without a matching increase would wrap the count and block the waiter
    // for good; ignore it instead.
    if (count > 0) {
        --count;
    }
    cond.notify_all();
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] worker.cpp(%d): worker %d reach barrier\n",
                   __LINE__, id);
}

void Worker::Barrier::wait()
{
    std::unique_lock<std::mutex> guard(mutex);
    cond.wait(guard, [this] { return count == 0; });
}

bool Worker::AbortFilter::matches(uint64_t event_sess_id, uint64_t event_conn_id) const
{
    if (sess_id_set) {
        return sess_id == 0 || sess_id == event_sess_id;
    }
    if (conn_id_set) {
        return conn_id == 0 || conn_id == event_conn_id;
    }
    return false;
}
