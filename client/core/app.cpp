#include "client/core/app.h"

#include "client/task.h"
#include "log.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace
{
const char kComponent[] = "client_debug";
}

AerolithApp::AerolithApp()
    : app_running(0), task_count(0), thread_alive(false), m_linked(false), m_stop_requested(false),
      m_control_port(0)
{
    kill_request["action"] = "stop";
}

AerolithApp::~AerolithApp()
{
    kill();
}

int AerolithApp::run()
{
    if (app_running.load() != 0 || msg_thread.joinable()) {
        return -1;
    }
    app_running = 1;
    {
        std::lock_guard<std::mutex> guard(msg_lock);
        thread_alive = true;
    }
    try {
        msg_thread = std::thread(&AerolithApp::run_thread, this);
    } catch (const std::system_error &e) {
        int code = e.code().value();
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app.cpp(%d): pthread_create: %s (%d)\n",
                       __LINE__, std::strerror(code), code);
        std::lock_guard<std::mutex> guard(msg_lock);
        thread_alive = false;
        app_running = 0;
        return -1;
    }
    return 0;
}

void AerolithApp::kill()
{
    if (!msg_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(msg_lock);
        if (thread_alive) {
            msg_queue.push_back(msg_t{&kill_request, nullptr, nullptr, nullptr, nullptr});
        }
    }
    msg_cond.notify_one();
    msg_thread.join();
}

int AerolithApp::send_message(const PObject &request, PObject &response)
{
    std::mutex mutex;
    std::condition_variable cond;
    MsgState state = MSG_PENDING;
    std::unique_lock<std::mutex> reply_guard(mutex);
    {
        std::lock_guard<std::mutex> guard(msg_lock);
        if (!thread_alive) {
            return -1;
        }
        msg_queue.push_back(msg_t{&request, &response, &mutex, &cond, &state});
    }
    msg_cond.notify_one();
    // The state guards against spurious wake-ups: the reply is complete only once the
    // message thread has set it.
    cond.wait(reply_guard, [&state] { return state != MSG_PENDING; });
    return state == MSG_HANDLED ? 0 : -1;
}

int AerolithApp::send_message(const PObject &request)
{
    PObject unused;
    return send_message(request, unused);
}

void AerolithApp::run_thread()
{
    do_main_loop();
}

void AerolithApp::do_main_loop()
{
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] app.cpp(%d): main thread starts receiving messages\n", __LINE__);
    while (app_running.load() != 0) {
        msg_t entry;
        {
            std::unique_lock<std::mutex> guard(msg_lock);
            while (msg_queue.empty()) {
                Logger::LogMsg(Logger::L_DEBUG, kComponent,
                               "[DEBUG] app.cpp(%d): waiting for instructions\n", __LINE__);
                msg_cond.wait(guard);
            }
            entry = msg_queue.front();
            msg_queue.pop_front();
        }
        PObject scratch;
        PObject &result = entry.result != nullptr ? *entry.result : scratch;
        handle_control(*entry.msg, result);
        if (entry.result != nullptr && entry.mutex != nullptr && entry.cond != nullptr) {
            (*entry.result)["ack"] = "ok";
            std::lock_guard<std::mutex> guard(*entry.mutex);
            *entry.state = MSG_HANDLED;
            entry.cond->notify_one();
        }
    }
    finish_pending();
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app.cpp(%d): main thread down\n", __LINE__);
}

// After a stop nobody takes messages any more: refuse new ones and release every sender
// still waiting, so that no thread blocks for good on a reply that will never come.
void AerolithApp::finish_pending()
{
    std::deque<msg_t> left;
    {
        std::lock_guard<std::mutex> guard(msg_lock);
        thread_alive = false;
        left.swap(msg_queue);
    }
    for (msg_t &entry : left) {
        if (entry.mutex != nullptr && entry.cond != nullptr && entry.state != nullptr) {
            std::lock_guard<std::mutex> guard(*entry.mutex);
            *entry.state = MSG_DROPPED;
            entry.cond->notify_one();
        }
    }
}

void AerolithApp::request_stop()
{
    m_stop_requested.store(true);
}
