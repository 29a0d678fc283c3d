#include "rsapi-cpp/handler-lane.h"

#include <system_error>

HandlerLane::~HandlerLane()
{
    finish();
    if (!worker.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    worker.join();
}

void HandlerLane::start(RSHandler *handler, const uint8_t *bytes, size_t n)
{
    finish();
    if (!worker.joinable()) {
        try {
            worker = std::thread(&HandlerLane::loop, this);
        } catch (const std::system_error &) {
            // No thread to be had: the pass goes on one piece at a time.
            std::lock_guard<std::mutex> guard(lock);
            result = handler->update(bytes, n);
            busy = false;
            return;
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        job = handler;
        job_bytes = bytes;
        job_size = n;
        busy = true;
    }
    wake.notify_all();
}

int HandlerLane::finish()
{
    std::unique_lock<std::mutex> guard(lock);
    wake.wait(guard, [this] { return !busy; });
    const int rc = result;
    result = 0;
    return rc;
}

void HandlerLane::loop()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return stopping || job != nullptr; });
        if (job == nullptr)
            return;
        RSHandler *handler = job;
        const uint8_t *bytes = job_bytes;
        const size_t n = job_size;
        job = nullptr;
        guard.unlock();
        const int rc = handler->update(bytes, n);
        guard.lock();
        result = rc;
        busy = false;
        wake.notify_all();
    }
}
