// Push, pruning, completion, redo and the counters of the per-session event tree.
#include "client/event-list2.h"

#include "fstat-db.h"
#include "log.h"

#include <cinttypes>

using event_tree::DirNode;
using event_tree::TreeNode;

namespace
{

const ustring COMPONENT("event_list_debug");
const size_t MAX_PATH_BYTES = 4095;
const size_t MAX_NAME_BYTES = 1023;

bool sameOrigin(const TreeNode *node, bool server)
{
    return node->isServer() == server;
}

} // namespace

const char *EventList2::StatusName(int status)
{
    static const char *const names[] = {"WAITING", "PROCESSING", "DONE", "RETRY"};
    return status >= 0 && status < 4 ? names[status] : "UNKNOWN";
}

EventList2::EventList2()
    : root(new DirNode("/", nullptr)), server_event_count(0), local_event_count(0)
{
}

EventList2::~EventList2() = default;

// Splits an event path at its last '/'. Trailing '/', empty names and paths or names
// beyond the size limits are refused rather than cut short, which could make two paths
// share one node.
bool EventList2::splitPath(const ustring &path, SplitPath &out)
{
    std::string_view text(path.c_str_utf8(), path.size());
    if (text.empty() || text.back() == '/' || text.size() > MAX_PATH_BYTES) {
        Logger::LogMsg(Logger::L_WARNING, COMPONENT,
                       "[WARNING] event-list2.cpp(%d): Refused event path [%s].\n", __LINE__,
                       path.c_str_utf8());
        return false;
    }
    size_t slash = text.rfind('/');
    out.name = slash == std::string_view::npos ? text : text.substr(slash + 1);
    std::string_view parent =
        slash == std::string_view::npos ? std::string_view() : text.substr(0, slash);
    out.parents.clear();
    size_t pos = 0;
    while (pos < parent.size()) {
        size_t end = parent.find('/', pos);
        if (end == std::string_view::npos)
            end = parent.size();
        if (end > pos)
            out.parents.push_back(parent.substr(pos, end - pos));
        pos = end + 1;
    }
    bool names_fit = out.name.size() <= MAX_NAME_BYTES;
    for (std::string_view component : out.parents)
        names_fit = names_fit && component.size() <= MAX_NAME_BYTES;
    if (!names_fit) {
        Logger::LogMsg(Logger::L_WARNING, COMPONENT,
                       "[WARNING] event-list2.cpp(%d): Refused event path [%s].\n", __LINE__,
                       path.c_str_utf8());
    }
    return names_fit;
}

// Walks the parent components from the root. With `create`, missing directories are
// appended as DONE nodes; otherwise a missing one ends the walk with nullptr. `chain`
// collects the directories passed, top first.
DirNode *EventList2::walk(const SplitPath &split, bool create, std::vector<DirNode *> *chain)
{
    DirNode *dir = root.get();
    for (std::string_view component : split.parents) {
        DirNode *child = dir->findDir(component);
        if (!child) {
            if (!create)
                return nullptr;
            child = new DirNode(component, dir);
            child->status = DONE;
            dir->adopt(child);
        }
        if (chain)
            chain->push_back(child);
        dir = child;
    }
    return dir;
}

int EventList2::Push(const Event &e)
{
    if (Logger::IsEnabled(Logger::L_INFO, COMPONENT)) {
        Logger::LogMsg(Logger::L_INFO, COMPONENT,
                       "[INFO] event-list2.cpp(%d): [Push Event] = [%s]\n", __LINE__,
                       e.toString().c_str_utf8());
    }
    Event old;
    return Push(e, old);
}

int EventList2::Push(const Event &e, Event &old)
{
    std::lock_guard<std::mutex> lock(mutex);
    old.clear();
    // An empty (or unknown) type is no event: queueing it would count a node that holds
    // nothing.
    if (e.m_type <= Event::EV_EMPTY || e.m_type > Event::EV_RENAME) {
        Logger::LogMsg(Logger::L_WARNING, COMPONENT,
                       "[WARNING] event-list2.cpp(%d): Refused event without a type [%s].\n",
                       __LINE__, e.m_path.c_str_utf8());
        return -1;
    }
    if (e.m_path == "/")
        return pushRoot(e, old);
    SplitPath split;
    if (!splitPath(e.m_path, split))
        return -1;
    return pushNode(walk(split, true, nullptr), split.name, e, old);
}

int EventList2::pushRoot(const Event &e, Event &old)
{
    DirNode *node = root.get();
    if (!node->hasEvent()) {
        node->assign(e);
        node->status = WAITING;
        countEvent(e.isServerEvent(), +1);
        return 0;
    }
    node->toEvent(old);
    Event result = Merge(old, e);
    if (node->status == PROCESSING)
        countRefs(node, old.isServerEvent(), -1);
    countEvent(old.isServerEvent(), -1);
    countEvent(result.isServerEvent(), +1);
    node->assign(result);
    bool held = node->status == PROCESSING || node->status == RETRY;
    node->status = held ? RETRY : WAITING;
    return 0;
}

int EventList2::pushNode(DirNode *parent, std::string_view name, const Event &e, Event &old)
{
    bool is_dir = e.isDir();
    TreeNode *node = is_dir ? parent->findDir(name) : parent->findFile(name);
    if (!node) {
        node = is_dir ? new DirNode(name, parent) : new TreeNode(name, false);
        node->assign(e);
        node->status = WAITING;
        parent->adopt(node);
        countEvent(e.isServerEvent(), +1);
        return 0;
    }

    node->toEvent(old);
    bool held = node->status == PROCESSING || node->status == RETRY;
    if (node->status == DONE) {
        node->assign(e);
    } else {
        if (node->status == PROCESSING)
            countRefs(parent, old.isServerEvent(), -1);
        countEvent(old.isServerEvent(), -1);
        node->assign(Merge(old, e));
    }
    node->status = held ? RETRY : WAITING;
    countEvent(node->isServer(), +1);

    if (is_dir && node->type == Event::EV_REMOVE) {
        prune(static_cast<DirNode *>(node), node->isServer(), node->syncID);
        removeStaleRows();
    }
    return 0;
}

// Drops the events below a removed directory that the removal makes obsolete: events of
// the removal's origin that no worker holds and, for a server removal, that are older
// than it. Returns how many nodes were kept.
int EventList2::prune(DirNode *dir, bool server, uint64_t base)
{
    int kept = 0;
    for (DirNode *child = DirNode::firstDir(dir); child;) {
        DirNode *following = DirNode::nextDir(child);
        pruneDir(dir, child, server, base, kept);
        child = following;
    }
    for (TreeNode *file = dir->files.head; file;) {
        TreeNode *following = file->next;
        bool stays = file->status == PROCESSING || file->status == RETRY ||
                     !sameOrigin(file, server) || (file->isServer() && file->syncID >= base);
        if (stays) {
            ++kept;
            Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                           "[DEBUG] event-list2.cpp(%d): [Cannot Remove File Node] = [%s]\n",
                           __LINE__, file->label());
        } else {
            Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                           "[DEBUG] event-list2.cpp(%d): [Remove File Node] = [%s]\n", __LINE__,
                           file->label());
            if (file->status == WAITING)
                countEvent(server, -1);
            removeFStat(file);
            dir->release(file);
        }
        file = following;
    }
    return kept;
}

// Prunes one child directory; returns true when it was removed.
bool EventList2::pruneDir(DirNode *dir, DirNode *child, bool server, uint64_t base, int &kept)
{
    int inside = prune(child, server, base);
    bool same_origin = sameOrigin(child, server);
    bool obsolete = child->status == WAITING && same_origin && (!server || child->syncID < base);
    if (inside == 0 && (child->status == DONE || obsolete)) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): [Remove Dir Node] = [%s]\n", __LINE__,
                       child->label());
        if (child->status == WAITING)
            countEvent(server, -1);
        removeFStat(child);
        dir->release(child);
        return true;
    }
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] event-list2.cpp(%d): [Cannot Remove Dir Node] = [%s],refTemp = "
                   "[%d],status = [%d], event_mode_equal[%d]\n",
                   __LINE__, child->label(), inside, static_cast<int>(child->status),
                   same_origin ? 1 : 0);
    if (obsolete) {
        countEvent(server, -1);
        child->status = DONE;
        removeFStat(child);
        child->clearAttr();
    }
    kept += inside + 1;
    return false;
}

// Queues the syncing row of a pruned event for removal. A node without an event of its own
// has no row; its empty path would name the session folder, whose row is not ours to drop.
void EventList2::removeFStat(const TreeNode *node)
{
    if (!node->hasEvent())
        return;
    stale_rows.push_back(watch_path + node->path());
}

// One transaction for every row a removal made obsolete, instead of a connection and a
// commit each: a removal of a directory with thousands of queued files below it holds
// the event manager's lock meanwhile.
void EventList2::removeStaleRows()
{
    if (!stale_rows.empty() && FileStatusDB::rmFileStatByPaths(stale_rows) != 0) {
        for (const ustring &full : stale_rows) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] event-list2.cpp(%d): Failed to rm synced event from FStatDB "
                           "[%s].\n",
                           __LINE__, full.c_str_utf8());
        }
    }
    // A large removal's list is not kept at its size between removals.
    std::vector<ustring>().swap(stale_rows);
}

// Adds `delta` to the reference count of the origin in `from` and every ancestor.
void EventList2::countRefs(DirNode *from, bool server, int delta)
{
    for (DirNode *dir = from; dir; dir = dir->parent) {
        if (server)
            dir->refServerCount += delta;
        else
            dir->refLocalCount += delta;
    }
}

void EventList2::countEvent(bool server, int delta)
{
    std::lock_guard<std::mutex> lock(mutex_count);
    if (server)
        server_event_count += delta;
    else
        local_event_count += delta;
}

// Frees `dir` and its ancestors below the root while they are DONE and empty.
void EventList2::freeEmptyAncestors(DirNode *dir)
{
    while (dir != root.get() && dir->status == DONE && !dir->hasChildren()) {
        DirNode *parent = dir->parent;
        parent->release(dir);
        dir = parent;
    }
}

int EventList2::DoneEvent(const Event &e)
{
    std::lock_guard<std::mutex> lock(mutex);
    int ret;
    SplitPath split;
    if (e.m_path == "/")
        ret = doneRoot(e);
    else if (!splitPath(e.m_path, split))
        ret = -1;
    else
        ret = e.isDir() ? doneDir(e, split) : doneFile(e, split);
    logDone(ret, e);
    return ret;
}

void EventList2::logDone(int ret, const Event &e)
{
    if (!Logger::IsEnabled(Logger::L_DEBUG, COMPONENT))
        return;
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] event-list2.cpp(%d): DoneEvent ret = [%d], %s.\n", __LINE__, ret,
                   e.toString().c_str_utf8());
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] event-list2.cpp(%d): DoneEvent local event = [%d], server event = "
                   "[%d]\n",
                   __LINE__, GetLocalEventCount(), GetServerEventCount());
}

int EventList2::doneRoot(const Event &e)
{
    DirNode *node = root.get();
    if (!sameOrigin(node, e.isServerEvent())) {
        Logger::LogMsg(Logger::L_WARNING, COMPONENT,
                       "[WARNING] event-list2.cpp(%d): Failed to UpdateRoot(attr mode is "
                       "different) [%s].\n",
                       __LINE__, e.m_path.c_str_utf8());
        return -1;
    }
    if (node->status != PROCESSING) {
        Logger::LogMsg(Logger::L_WARNING, COMPONENT,
                       "[WARNING] event-list2.cpp(%d): Failed to UpdateRoot (NOT PROCESSING) "
                       "[%s] in status[%d].\n",
                       __LINE__, e.m_path.c_str_utf8(), static_cast<int>(node->status));
        return -1;
    }
    node->status = DONE;
    countRefs(node, node->isServer(), -1);
    node->clearAttr();
    countEvent(e.isServerEvent(), -1);
    return 0;
}

int EventList2::doneDir(const Event &e, const SplitPath &split)
{
    const char *path = e.m_path.c_str_utf8();
    DirNode *parent = walk(split, false, nullptr);
    if (!parent) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): Failed to UpdateDirDoneEvent(parent not "
                       "found) [%s].\n",
                       __LINE__, path);
        return -1;
    }
    DirNode *node = parent->findDir(split.name);
    if (!node) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): Failed to UpdateDirDoneEvent(DirNode not "
                       "found) [%s].\n",
                       __LINE__, path);
        return -1;
    }
    if (!sameOrigin(node, e.isServerEvent())) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): Failed to UpdateDirDoneEvent(attr mode is "
                       "diff) [%s].\n",
                       __LINE__, path);
        return -1;
    }
    if (node->status != PROCESSING) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): Failed to UpdateDirDoneEvent(NOT "
                       "PROCESSING) [%s] in status[%d].\n",
                       __LINE__, path, static_cast<int>(node->status));
        return -1;
    }
    countRefs(parent, node->isServer(), -1);
    if (node->hasChildren()) {
        node->status = DONE;
        node->clearAttr();
    } else {
        parent->release(node);
        freeEmptyAncestors(parent);
    }
    countEvent(e.isServerEvent(), -1);
    return 0;
}

int EventList2::doneFile(const Event &e, const SplitPath &split)
{
    const char *path = e.m_path.c_str_utf8();
    DirNode *parent = walk(split, false, nullptr);
    if (!parent) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] event-list2.cpp(%d): Failed to UpdateFileDoneEvent(parent not "
                       "found) [%s]\n",
                       __LINE__, path);
        return -1;
    }
    TreeNode *node = parent->findFile(split.name);
    if (!node) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): Failed to UpdateFileDoneEvent(FileNode not "
                       "found) [%s].\n",
                       __LINE__, path);
        return -1;
    }
    if (!sameOrigin(node, e.isServerEvent())) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): Failed to UpdateFileDoneEvent(attr mode is "
                       "diff) [%s].\n",
                       __LINE__, path);
        return -1;
    }
    if (node->status != PROCESSING) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                       "[DEBUG] event-list2.cpp(%d): Failed to UpdateFileDoneEvent(NOT "
                       "PROCESSING) [%s] in status[%d].\n",
                       __LINE__, path, static_cast<int>(node->status));
        return -1;
    }
    countRefs(parent, node->isServer(), -1);
    countEvent(node->isServer(), -1);
    parent->release(node);
    freeEmptyAncestors(parent);
    return 0;
}

// Gives a handed-out event back. The node and every directory above it move to the end
// of their lists, so the retried event comes after the others still waiting.
int EventList2::Redo(const Event &e)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (e.m_path == "/") {
        // A RETRY root goes back to WAITING like any other node; refusing it would leave
        // the whole session blocked behind an event nobody takes.
        DirNode *node = root.get();
        if (node->status != PROCESSING && node->status != RETRY)
            return -1;
        if (node->status == PROCESSING)
            countRefs(node, node->isServer(), -1);
        node->status = WAITING;
        return 0;
    }
    SplitPath split;
    if (!splitPath(e.m_path, split))
        return -1;
    std::vector<DirNode *> chain;
    DirNode *parent = walk(split, false, &chain);
    if (!parent)
        return -1;
    TreeNode *node = e.isDir() ? parent->findDir(split.name) : parent->findFile(split.name);
    // A DONE node holds no event: making it WAITING would hand out an empty event.
    if (!node || node->status == DONE)
        return -1;
    for (DirNode *dir : chain)
        dir->parent->moveToEnd(dir);
    if (node->status == PROCESSING)
        countRefs(parent, node->isServer(), -1);
    parent->moveToEnd(node);
    node->status = WAITING;
    return 0;
}

void EventList2::Clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    Logger::LogMsg(Logger::L_INFO, COMPONENT,
                   "[INFO] event-list2.cpp(%d): ========Clear=========\n", __LINE__);
    root.reset(new DirNode("/", nullptr));
    std::lock_guard<std::mutex> count_lock(mutex_count);
    server_event_count = 0;
    local_event_count = 0;
}

bool EventList2::IsEmpty()
{
    std::lock_guard<std::mutex> lock(mutex_count);
    return server_event_count == 0 && local_event_count == 0;
}

int EventList2::GetServerEventCount()
{
    std::lock_guard<std::mutex> lock(mutex_count);
    return server_event_count;
}

int EventList2::GetLocalEventCount()
{
    std::lock_guard<std::mutex> lock(mutex_count);
    return local_event_count;
}

void EventList2::SetWatchPath(const ustring &path)
{
    std::lock_guard<std::mutex> lock(mutex);
    watch_path = path;
}
