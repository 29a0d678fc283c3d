// Worker: the task threads that carry events out. This header holds what the control
// thread uses to interrupt them and to read their progress; the worker loop itself
// overrides SetAbort(filter, barrier) and GetWorkingStatus.
#pragma once

#include "client/task.h"
#include "ustring/ustring.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

class Worker : public Task
{
public:
    enum WorkingType {
        W_TYPE_NONE = 0,
        W_TYPE_UPLOAD = 1,
        W_TYPE_DOWNLOAD = 2,
    };

    // Counts the workers that still have to leave an interrupted event; the interrupting
    // thread waits until all have.
    class Barrier
    {
    public:
        Barrier() : count(0) {}
        Barrier(const Barrier &) = delete;
        Barrier &operator=(const Barrier &) = delete;

        void increase(int id);
        void signal(int id);
        // Blocks until every registered worker has signalled.
        void wait();

    private:
        std::mutex mutex;
        std::condition_variable cond;
        uint32_t count;
    };

    // Which work to interrupt: one session, one connection, or (id 0) all of them.
    class AbortFilter
    {
    public:
        AbortFilter() : sess_id(0), conn_id(0), sess_id_set(false), conn_id_set(false) {}
        void setSession(uint64_t id)
        {
            sess_id = id;
            sess_id_set = true;
        }
        void setConnection(uint64_t id)
        {
            conn_id = id;
            conn_id_set = true;
        }
        // A set session selector decides alone; otherwise a set connection selector.
        bool matches(uint64_t event_sess_id, uint64_t event_conn_id) const;

        uint64_t sess_id;
        uint64_t conn_id;
        bool sess_id_set;
        bool conn_id_set;
    };

    using Task::SetAbort;
    // Interrupts the current event when it matches the filter, registering with the
    // barrier so that the caller can wait until the event has been left. Base: no work.
    virtual int SetAbort(const AbortFilter &filter, Barrier *barrier)
    {
        (void)filter;
        (void)barrier;
        return 0;
    }
    // The transfer in progress; zero and empty when there is none. Base: none.
    virtual void GetWorkingStatus(uint64_t &session_id, ustring &path, WorkingType &type,
                                  uint64_t &sent, uint64_t &total)
    {
        session_id = 0;
        path.clear();
        type = W_TYPE_NONE;
        sent = 0;
        total = 0;
    }
};
