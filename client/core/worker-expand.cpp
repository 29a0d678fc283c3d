// Worker: directory-wide events (rescan, expand, sub-directory rescans) and follow-up
// events are carried out by an Expander over the worker's current event.
#include "client/core/worker.h"

#include "client/core/expand.h"

namespace
{
Expander makeExpander(Worker &worker)
{
    Expander expander(worker.GetEntry(), worker.GetId(), worker.AbortFlag());
    expander.SetFilteredDeleteTest([&worker](uint64_t sess_id, const ustring &path, bool is_dir) {
        return worker.TestFilteredDeleteEvent(sess_id, path, is_dir);
    });
    return expander;
}
} // namespace

int Worker::Rescan() { return makeExpander(*this).Rescan(context.current_event); }

int Worker::Expand() { return makeExpander(*this).Expand(context.current_event); }

int Worker::ExpandDeleteEvent() { return makeExpander(*this).ExpandDeleteEvent(context.current_event); }

int Worker::ExpandLocalDeleteEvent(const ustring &path)
{
    return makeExpander(*this).ExpandLocalDeleteEvent(path);
}

int Worker::ExpandServerDeleteEvent(const ustring &path, uint64_t sess_id, uint64_t sync_id)
{
    return makeExpander(*this).ExpandServerDeleteEvent(path, sess_id, sync_id);
}

void Worker::CreateDirSelfEvent() { makeExpander(*this).CreateDirSelfEvent(context.current_event); }

int Worker::PushUploadEvent(const ustring &path, bool is_dir)
{
    makeExpander(*this).PushUploadEvent(path, is_dir);
    return 0;
}

int Worker::PushRemoveEvent(const ustring &path, bool is_dir)
{
    makeExpander(*this).PushRemoveEvent(path, is_dir);
    return 0;
}

int Worker::PushDownloadEvent(const ustring &path, bool is_dir)
{
    makeExpander(*this).PushDownloadEvent(path, is_dir);
    return 0;
}
