// The protocol shared by every consumer of a pass over a file: begin() once, for each
// piece of input update() then wait(), end() once (also after a failure). update()
// may leave a write in flight that wait() completes; each returns 0 or -1.
#ifndef AEROLITH_RSAPI_HANDLER_H
#define AEROLITH_RSAPI_HANDLER_H

#include <cstddef>
#include <cstdint>

class RSHandler
{
public:
    virtual ~RSHandler() = default;
    virtual int begin() = 0;
    virtual int update(const uint8_t *bytes, size_t n) = 0;
    virtual int wait() = 0;
    virtual int end() = 0;
};

#endif
