// A helper thread that carries out one handler's update() on a piece of input while the
// caller goes on, so that the handlers of one pass (MD4, signature, delta) work on the
// same piece at once and the next piece is read meanwhile.
#ifndef AEROLITH_RSAPI_HANDLER_LANE_H
#define AEROLITH_RSAPI_HANDLER_LANE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "rsapi-cpp/handler.h"

class HandlerLane
{
public:
    HandlerLane() = default;
    HandlerLane(const HandlerLane &) = delete;
    HandlerLane &operator=(const HandlerLane &) = delete;
    // Waits for an update in flight, then stops the thread.
    ~HandlerLane();

    // Starts handler->update(bytes, n) on the lane's thread (started on first use). The
    // bytes must stay untouched until finish(). Without a thread it runs in place.
    void start(RSHandler *handler, const uint8_t *bytes, size_t n);
    // Waits for the update in flight; its result, 0 when none was in flight.
    int finish();

private:
    void loop();

    std::mutex lock;
    std::condition_variable wake;
    std::thread worker;
    RSHandler *job = nullptr;
    const uint8_t *job_bytes = nullptr;
    size_t job_size = 0;
    bool busy = false;
    bool stopping = false;
    int result = 0;
};

#endif
