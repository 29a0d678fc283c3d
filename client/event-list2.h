// EventList2: the per-session tree of pending events. It mirrors the folder hierarchy:
// one node per path with a pending event plus the directories above it. Pushing onto a
// path that already has an event merges the two under fixed conflict rules, so each path
// holds at most one pending event. Pop hands events out parent first, never two for one
// path at once, and lets the worker that held an event take over what was merged into it
// meanwhile (Pop by path). The event manager is the only user; `mutex` serialises the tree
// and `mutex_count` guards the two counters so they can be read without the tree lock.
#pragma once

#include "client/event-list2-node.h"
#include "event.h"
#include "ustring/ustring.h"

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

class EventList2
{
public:
    enum Status {
        WAITING = event_tree::WAITING,
        PROCESSING = event_tree::PROCESSING,
        DONE = event_tree::DONE,
        RETRY = event_tree::RETRY,
    };
    static const char *StatusName(int status);

    EventList2();
    ~EventList2();
    EventList2(const EventList2 &) = delete;
    EventList2 &operator=(const EventList2 &) = delete;

    int Push(const Event &e);
    int Push(const Event &e, Event &old);
    int Pop(Event &e);
    int Pop(const ustring &path, Event &e);
    // Take-over by path for the worker that held `held`: like Pop(path, e) for held's
    // path, but where a file and a directory of that name both exist, only the node of
    // held's kind (F_DIR) is taken. The other node's event belongs to the worker that
    // holds it; handing it out here would leave this node RETRY with nobody to ask.
    int Pop(const Event &held, Event &e);
    int DoneEvent(const Event &e);
    int Redo(const Event &e);
    void Clear();

    bool IsEmpty();
    int GetServerEventCount();
    int GetLocalEventCount();
    void SetWatchPath(const ustring &path);

    // Merge of a pending event with an incoming one for the same path.
    static Event Merge(const Event &old_event, const Event &new_event);

private:
    using TreeNode = event_tree::TreeNode;
    using DirNode = event_tree::DirNode;

    // The parent components and the name of an event path.
    struct SplitPath {
        std::vector<std::string_view> parents;
        std::string_view name;
    };
    static bool splitPath(const ustring &path, SplitPath &out);

    DirNode *walk(const SplitPath &split, bool create, std::vector<DirNode *> *chain);
    int pushRoot(const Event &e, Event &old);
    int pushNode(DirNode *parent, std::string_view name, const Event &e, Event &old);
    int prune(DirNode *dir, bool server, uint64_t base);
    bool pruneDir(DirNode *dir, DirNode *child, bool server, uint64_t base, int &kept);
    void removeFStat(const TreeNode *node);
    void removeStaleRows();

    int popFrom(DirNode *dir, Event &e);
    int popRetry(const ustring &path, int kind, Event &e);
    void handOut(TreeNode *node, DirNode *chain_start, Event &e);
    void markRemoveOverPending(DirNode *dir);
    void markRemoveOverProcessing(DirNode *dir);

    void countRefs(DirNode *from, bool server, int delta);
    void countEvent(bool server, int delta);
    void freeEmptyAncestors(DirNode *dir);
    int doneRoot(const Event &e);
    int doneDir(const Event &e, const SplitPath &split);
    int doneFile(const Event &e, const SplitPath &split);
    void logDone(int ret, const Event &e);

    std::mutex mutex;
    std::mutex mutex_count;
    std::unique_ptr<DirNode> root;
    int server_event_count;
    int local_event_count;
    ustring watch_path;
    // The syncing rows of the events a directory removal made obsolete, cleared in one
    // transaction once the removal has pruned the tree below it.
    std::vector<ustring> stale_rows;
};
