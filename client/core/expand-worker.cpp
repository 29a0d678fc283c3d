// The worker's rescan, expand and sub-directory rescan operations: each runs an Expander
// over the worker's current event, its session and its abort flag.
#include "client/core/expand.h"
#include "client/core/worker.h"

namespace
{

Expander MakeExpander(Worker &worker)
{
    Expander expander(worker.GetEntry(), worker.GetId(), worker.AbortFlag());
    // Rows hidden by a selective-sync path rule produce no removal or download.
    expander.SetFilteredDeleteTest([&worker](uint64_t sess_id, const ustring &path, bool is_dir) {
        return worker.TestFilteredDeleteEvent(sess_id, path, is_dir);
    });
    return expander;
}

} // namespace

int Worker::Rescan() { return MakeExpander(*this).Rescan(GetCurrentEvent()); }

int Worker::Expand() { return MakeExpander(*this).Expand(GetCurrentEvent()); }

int Worker::ExpandDeleteEvent() { return MakeExpander(*this).ExpandDeleteEvent(GetCurrentEvent()); }

int Worker::ExpandLocalDeleteEvent(const ustring &path)
{
    return MakeExpander(*this).ExpandLocalDeleteEvent(path);
}

int Worker::ExpandServerDeleteEvent(const ustring &path, uint64_t sess_id, uint64_t sync_id)
{
    return MakeExpander(*this).ExpandServerDeleteEvent(path, sess_id, sync_id);
}

void Worker::CreateDirSelfEvent() { MakeExpander(*this).CreateDirSelfEvent(GetCurrentEvent()); }

int Worker::CompareFileList(const ustring &root, FileList &fs_list, FileList &db_list, bool merge)
{
    return MakeExpander(*this).CompareFileList(root, fs_list, db_list, merge);
}

int Worker::BuildLocalFileListWithoutResursive(const ustring &path, FileList &list)
{
    return MakeExpander(*this).BuildLocalFileListWithoutResursive(path, list);
}

int Worker::PushUploadEvent(const ustring &path, bool is_dir)
{
    MakeExpander(*this).PushUploadEvent(path, is_dir);
    return 0;
}

int Worker::PushRemoveEvent(const ustring &path, bool is_dir)
{
    MakeExpander(*this).PushRemoveEvent(path, is_dir);
    return 0;
}

int Worker::PushDownloadEvent(const ustring &path, bool is_dir)
{
    MakeExpander(*this).PushDownloadEvent(path, is_dir);
    return 0;
}
