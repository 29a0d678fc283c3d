// Hand-out order of the event tree: the session folder's own event first and alone;
// then, within a directory, its waiting files in list order, then its subdirectories,
// where a directory's own event goes before anything inside it and waits while
// anything inside it is with a worker.
#include "client/event-list2.h"

#include "log.h"

#include <cinttypes>

using event_tree::DirNode;
using event_tree::TreeNode;

namespace
{

const ustring COMPONENT("event_list_debug");

bool isRemove(const TreeNode *node)
{
    return node->type == Event::EV_REMOVE;
}

// True when every node below `dir` is DONE or carries a removal.
bool onlyRemovalsBelow(const DirNode *dir)
{
    for (const TreeNode *f = dir->files.head; f; f = f->next) {
        if (f->status != event_tree::DONE && !isRemove(f))
            return false;
    }
    for (const DirNode *d = DirNode::firstDir(dir); d; d = DirNode::nextDir(d)) {
        if (d->status != event_tree::DONE && !isRemove(d))
            return false;
        if (!onlyRemovalsBelow(d))
            return false;
    }
    return true;
}

// True when some node below `dir` is with a worker for something other than a removal.
bool processingOtherThanRemoval(const DirNode *dir)
{
    for (const TreeNode *f = dir->files.head; f; f = f->next) {
        if (f->status == event_tree::PROCESSING && !isRemove(f))
            return true;
    }
    for (const DirNode *d = DirNode::firstDir(dir); d; d = DirNode::nextDir(d)) {
        if (d->status == event_tree::PROCESSING && !isRemove(d))
            return true;
        if (processingOtherThanRemoval(d))
            return true;
    }
    return false;
}

} // namespace

void EventList2::handOut(TreeNode *node, DirNode *chain_start, Event &e)
{
    node->status = PROCESSING;
    countRefs(chain_start, node->isServer(), +1);
    node->toEvent(e);
}

int EventList2::Pop(Event &e)
{
    std::lock_guard<std::mutex> lock(mutex);
    DirNode *top = root.get();
    if (top->status == WAITING) {
        handOut(top, top, e);
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-list2.cpp(%d): [Pop Event] = ['/', %llu, %s]\n", __LINE__,
                       static_cast<unsigned long long>(e.m_sync_id),
                       e.isServerEvent() ? "server" : "local");
        return 0;
    }
    if (top->status != DONE)
        return -1;
    return popFrom(top, e);
}

int EventList2::popFrom(DirNode *dir, Event &e)
{
    while (dir) {
        for (TreeNode *file = dir->files.head; file; file = file->next) {
            if (file->status != WAITING)
                continue;
            handOut(file, dir, e);
            Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                           "[DEBUG] event-list2.cpp(%d): [Pop File Event] = [%s], server = "
                           "[%d], type = [%d], path = [%s]\n",
                           __LINE__, file->text.get(), file->isServer() ? 1 : 0,
                           static_cast<int>(file->type), file->path());
            return 0;
        }
        DirNode *descend = nullptr;
        for (DirNode *child = DirNode::firstDir(dir); child && !descend;
             child = DirNode::nextDir(child)) {
            if (child->status == DONE) {
                // The search goes on inside the first DONE directory only.
                descend = child;
            } else if (child->status != WAITING) {
                continue;
            } else if (child->refServerCount == 0 && child->refLocalCount == 0) {
                markRemoveOverPending(child);
                handOut(child, dir, e);
                Logger::LogMsg(Logger::L_INFO, COMPONENT,
                               "[INFO] event-list2.cpp(%d): [Pop Dir Event] = [%s], server = "
                               "[%d], type = [%d], path = [%s]\n",
                               __LINE__, child->text.get(), child->isServer() ? 1 : 0,
                               static_cast<int>(child->type), child->path());
                return 0;
            } else {
                markRemoveOverProcessing(child);
            }
        }
        dir = descend;
    }
    return -1;
}

// A directory removal handed out while changes below it still wait: the worker has to
// compare the directory's content first.
void EventList2::markRemoveOverPending(DirNode *dir)
{
    if (!isRemove(dir) || !dir->hasChildren() || onlyRemovalsBelow(dir))
        return;
    if (dir->isServer()) {
        dir->mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-list2.cpp(%d): Mark node to be "
                       "SetServerSubDirRescanWithStat(sub-node not empty) [%s].\n",
                       __LINE__, dir->path());
    } else {
        dir->mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-list2.cpp(%d): Mark node to be "
                       "SetLocalSubDirRescanWithStat(sub-node not empty) [%s].\n",
                       __LINE__, dir->path());
    }
}

// A directory removal waiting on work of the other side below it.
void EventList2::markRemoveOverProcessing(DirNode *dir)
{
    if (!isRemove(dir) || !processingOtherThanRemoval(dir))
        return;
    if (dir->isServer() && dir->refLocalCount > 0) {
        dir->mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-list2.cpp(%d): Mark node to be "
                       "SetServerSubDirRescanWithStat(sub-node processing) [%s].\n",
                       __LINE__, dir->path());
    } else if (!dir->isServer() && dir->refServerCount > 0) {
        dir->mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-list2.cpp(%d): Mark node to be "
                       "SetLocalSubDirRescanWithStat(sub-node processing) [%s].\n",
                       __LINE__, dir->path());
    }
}

namespace
{

// Which node of a name pop by path takes.
enum PopKind { ANY_PREFER_DIR, PREFER_FILE_ONLY, PREFER_DIR_ONLY };

// The RETRY node pop by path hands out among the directory `dir` and the file `file` of
// one name (either may be missing). Without a kind, the directory goes first. With a
// kind, a node of that kind is the only candidate when it exists; the other kind is taken
// only when it is the sole node of the name.
TreeNode *retryNode(DirNode *dir, TreeNode *file, PopKind kind)
{
    auto retry = [](TreeNode *n) { return n && n->status == event_tree::RETRY ? n : nullptr; };
    switch (kind) {
    case PREFER_FILE_ONLY:
        return file ? retry(file) : retry(dir);
    case PREFER_DIR_ONLY:
        return dir ? retry(dir) : retry(file);
    default:
        return retry(dir) ? dir : retry(file);
    }
}

} // namespace

int EventList2::Pop(const ustring &path, Event &e)
{
    return popRetry(path, ANY_PREFER_DIR, e);
}

int EventList2::Pop(const Event &held, Event &e)
{
    return popRetry(held.m_path, held.isDir() ? PREFER_DIR_ONLY : PREFER_FILE_ONLY, e);
}

int EventList2::popRetry(const ustring &path, int kind, Event &e)
{
    std::lock_guard<std::mutex> lock(mutex);
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] event-list2.cpp(%d): Event tree current status local_evnet: %d, "
                   "server_event:%d.\n",
                   __LINE__, GetLocalEventCount(), GetServerEventCount());
    TreeNode *node = nullptr;
    DirNode *chain_start = nullptr;
    if (path == "/") {
        if (root->hasEvent() && root->status == RETRY) {
            node = root.get();
            chain_start = root.get();
        }
    } else {
        SplitPath split;
        DirNode *parent = splitPath(path, split) ? walk(split, false, nullptr) : nullptr;
        if (parent) {
            node = retryNode(parent->findDir(split.name), parent->findFile(split.name),
                             static_cast<PopKind>(kind));
            chain_start = parent;
        }
    }
    if (!node)
        return -1;
    handOut(node, chain_start, e);
    if (Logger::IsEnabled(Logger::L_INFO, COMPONENT)) {
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-list2.cpp(%d): [Pop Event] = [%s]\n", __LINE__,
                       e.toString().c_str_utf8());
    }
    return 0;
}
