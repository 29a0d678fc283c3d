// AerolithApp: the application object. Its message thread runs every control message of
// the user interface, one at a time in arrival order; it owns the task threads that
// "link" starts and "unlink" stops. The main thread serves the control connections
// (recieve_from_ipc) and hands each message over with send_message.
#pragma once

#include "client/core/registry.h"
#include "client/core/worker.h"
#include "protocol/object.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class Task;
class Detector;
class Syncer;
struct SessionPaths;

class AerolithApp
{
public:
    // Positions in the task table; the workers follow from TASK_FIRST_WORKER on.
    enum TaskSlot {
        TASK_DETECTOR = 0,
        TASK_RECYCLE_CLEANER = 1,
        TASK_SYNCER = 2,
        TASK_PROGRESS_SYNCER = 3,
        TASK_FIRST_WORKER = 4,
    };

    // One queued control message. The request and the reply belong to the sender, who
    // waits on its own mutex and condition until `state` leaves MSG_PENDING.
    enum MsgState { MSG_PENDING = 0, MSG_HANDLED = 1, MSG_DROPPED = 2 };
    struct msg_t {
        const PObject *msg;
        PObject *result;
        std::mutex *mutex;
        std::condition_variable *cond;
        MsgState *state;
    };

    typedef int (AerolithApp::*Handler)(const PObject &msg, PObject &response);
    struct Action {
        const char *name;
        Handler handler;
    };

    AerolithApp();
    // Stops the message thread (kill) if it still runs.
    ~AerolithApp();
    AerolithApp(const AerolithApp &) = delete;
    AerolithApp &operator=(const AerolithApp &) = delete;

    // Starts the message thread. 0, or -1 when it already runs or cannot be created.
    int run();
    // Unlinks and ends the message thread; returns when it has ended.
    void kill();
    // Queues a request and waits until the message thread has handled it. 0, or -1 when
    // the message thread is not running or ended before the request's turn (the request
    // is then not handled).
    int send_message(const PObject &request, PObject &response);
    int send_message(const PObject &request);

    // Runs one control message; the reply members go into response.
    void handle_control(const PObject &msg, PObject &response);

    int do_link(const PObject &msg, PObject &response);
    int do_unlink();
    int do_unlink(const PObject &msg, PObject &response);
    int get_status(const PObject &msg, PObject &rsp);

    // Connection actions: add, reload (rebuilding the channel pool) and remove (id 0 or
    // none: all connections).
    int add_connection(const PObject &msg, PObject &response);
    int reload_connection(const PObject &msg, PObject &response);
    int remove_connection(const PObject &msg, PObject &response);
    // Sessions: add, remove, pause, resume, inject events, reload.
    int add_session(const PObject &msg, PObject &response);
    int remove_session(const PObject &msg, PObject &response);
    int pause_session(const PObject &msg, PObject &response);
    int resume_session(const PObject &msg, PObject &response);
    int add_event(const PObject &msg, PObject &response);
    int reload_session(const PObject &msg, PObject &response);
    int create_registry_entry(const PObject &create_info);
    int create_session_environment(const ustring &local_path, const ustring &config_path);
    int remove_one_session(uint64_t sess_id, PObject &response);
    int load_resume_condition(uint64_t sess_id);
    void change_permission(Registry::Entry &entry, bool read_only);
    void change_recursive(Registry::Entry &entry, bool recursive);
    // The session's filter reload (files into its filter objects, then reconciliation).
    int reload_filter(Registry::Entry &entry, PObject &response);
    // Reconciles the filter files with the filter database. 0 or -1.
    int reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring &black_list_path,
                      const ustring &white_list_path, const ustring &sync_folder);
    void reload_local_events(const Registry::Entry &entry);

    int init_env();
    void destroy_env();
    int init_members() { return init_tasks(); }
    void destroy_members() { destroy_tasks(); }
    int init_tasks();
    void destroy_tasks();
    void start_all();
    void stop_all();

    void pause_worker();
    void resume_worker();
    // Asks every worker to leave work that matches the filter and waits until all have.
    void interrupt_worker(const Worker::AbortFilter &filter);

    // Entries of the task table (null where a task kind is not built yet).
    uint32_t getTaskCount() const { return task_count; }
    // Places a task at a slot of the table, growing it; lets tests stand in for tasks.
    void set_task(size_t slot, std::unique_ptr<Task> t);
    bool isLinked() const { return m_linked; }

    // Asks the control listener to end as if "stop" had arrived (signals). Safe from any
    // thread.
    void request_stop();
    bool stop_requested() const { return m_stop_requested.load(); }
    // The bound control port, once the listener is up (0 before).
    void set_control_port(int port) { m_control_port.store(port); }
    int control_port() const { return m_control_port.load(); }

    // The handler table: every action the daemon understands besides "stop".
    static const Action *actions(size_t &count);

private:
    void run_thread();
    void do_main_loop();
    void finish_pending();
    std::vector<Worker *> workers();
    // The detector and the server event puller of the task table; null while unlinked.
    Detector *detector();
    Syncer *syncer();
    int prepare_session_objects(const SessionPaths &paths, uint64_t sess_id,
                                Registry::Entry &entry);

    std::atomic<int> app_running;
    std::vector<std::unique_ptr<Task>> task;
    uint32_t task_count;
    std::deque<msg_t> msg_queue;
    std::mutex msg_lock;
    std::condition_variable msg_cond;
    std::thread msg_thread;
    bool thread_alive;    // under msg_lock: the message thread takes messages
    bool m_linked;        // message thread only: link succeeded, no unlink since
    PObject kill_request; // the internal stop of kill()
    std::atomic<bool> m_stop_requested;
    std::atomic<int> m_control_port;
};

// The control listener: announces the control port to the user interface and serves one
// control message per connection until "stop" (or a stop request). 0 after a stop, -1
// when the listener cannot be set up.
int recieve_from_ipc(AerolithApp *daemon);
