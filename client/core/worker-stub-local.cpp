// Placeholder bodies for rescan and expand until their own sources land; each fails
// clearly and changes nothing.
#include "client/core/worker.h"

#include "log.h"

namespace
{
int notBuilt(const char *what)
{
    Logger::LogMsg(Logger::L_ERR, "worker_debug", "[ERROR] worker.cpp(%d): %s is not built yet\n",
                   __LINE__, what);
    return -1;
}
} // namespace

int Worker::Rescan() { return notBuilt("Rescan"); }
int Worker::Expand() { return notBuilt("Expand"); }
int Worker::ExpandDeleteEvent() { return notBuilt("ExpandDeleteEvent"); }
void Worker::CreateDirSelfEvent() { notBuilt("CreateDirSelfEvent"); }
