// Writes the input of a pass into a new file (an existing one is replaced). The
// writeback of a long output starts while it is written, as the file is usually flushed
// when the pass ends.
#ifndef AEROLITH_RSAPI_COPY_HANDLER_H
#define AEROLITH_RSAPI_COPY_HANDLER_H

#include <string>

#include "rsapi-cpp/handler.h"
#include "rsapi-cpp/xio.h"

class CopyHandler : public RSHandler
{
public:
    explicit CopyHandler(const std::string &path) : file(path) {}
    ~CopyHandler() override { end(); }

    int begin() override;
    // Appends from the caller's bytes, which must stay untouched until wait().
    int update(const uint8_t *bytes, size_t n) override;
    int wait() override;
    int end() override;

private:
    std::string file;
    fd_t fd;
    fd_aio_t aio;
    // Bytes handed to the writer, and how far their writeback has been started.
    uint64_t written = 0;
    uint64_t written_back = 0;
};

#endif
