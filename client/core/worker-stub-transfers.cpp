// Placeholder bodies for the transfers (download, upload, removal) until their own sources
// land; each fails clearly so that an event reaching one is retried, never reported done.
#include "client/core/worker.h"

#include "error-code.h"
#include "log.h"

namespace
{
int notBuilt(const char *what)
{
    Logger::LogMsg(Logger::L_ERR, "worker_debug", "[ERROR] worker.cpp(%d): %s is not built yet\n",
                   __LINE__, what);
    return ERR_SYS;
}
} // namespace

int Worker::DownloadRemote() { return notBuilt("DownloadRemote"); }
int Worker::UploadLocal() { return notBuilt("UploadLocal"); }
int Worker::RemoveRemote() { return notBuilt("RemoveRemote"); }
int Worker::RemoveLocal() { return notBuilt("RemoveLocal"); }
int Worker::RemoveDirectoryW(const ustring &)
{
    notBuilt("RemoveDirectoryW");
    return -1;
}
int Worker::ProtoResumeDownloadObject(Channel &, PObject &, PObject &)
{
    return notBuilt("ProtoResumeDownloadObject");
}
int Worker::ProtoDownloadObject(Channel &, PObject &, PObject &)
{
    return notBuilt("ProtoDownloadObject");
}
int Worker::ProtoResumeUploadObject(Channel &, PObject &, PObject &)
{
    return notBuilt("ProtoResumeUploadObject");
}
int Worker::ProtoUploadObject(Channel &, PObject &, PObject &)
{
    return notBuilt("ProtoUploadObject");
}
