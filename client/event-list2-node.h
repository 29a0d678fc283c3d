// Nodes of the per-session event tree (EventList2). A node keeps its pending event in a
// packed form (numbers inline, all texts in one block together with the node name), and
// a directory keeps its children in ordered lists with a hash index beside them once
// they grow, so that lookups stay cheap in directories with very many children while the
// hand-out order is still the order of the lists.
#pragma once

#include "event.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace event_tree
{

enum Status : uint8_t { WAITING = 0, PROCESSING = 1, DONE = 2, RETRY = 3 };

struct DirNode;

struct TreeNode {
    TreeNode *prev = nullptr; // neighbours in the parent's ordered list
    TreeNode *next = nullptr;
    std::unique_ptr<char[]> text; // name, hash, path, opt, mac_attr_hash; each NUL-ended
    uint32_t path_off = 0;
    uint32_t opt_off = 0;
    uint32_t mac_off = 0;
    uint16_t name_len = 0;
    uint8_t status = DONE;
    uint8_t type = Event::EV_EMPTY;
    uint8_t is_dir = 0;
    uint32_t mode = 0;
    int32_t time = 0;
    uint32_t exec_bit = 0;
    uint64_t syncID = 0;
    uint64_t maxSyncID = 0;
    uint64_t sessID = 0;
    uint64_t size = 0;
    uint64_t mac_attr_size = 0;

    TreeNode(std::string_view name, bool dir);

    std::string_view name() const { return std::string_view(text.get(), name_len); }
    const char *hash() const { return text.get() + name_len + 1; }
    const char *path() const { return text.get() + path_off; }

    bool hasEvent() const { return type != Event::EV_EMPTY; }
    bool isServer() const { return (mode & Event::F_SERVER) != 0; }

    // The node's attribute becomes `e`; the name stays.
    void assign(const Event &e);
    // Copies the attribute out, field for field.
    void toEvent(Event &e) const;
    // Drops the event: empty type, no flags, sync ids 0, empty texts.
    void clearAttr();
    // Path for log lines: the event path, or the name when the node holds no event.
    const char *label() const { return hasEvent() ? path() : text.get(); }
};

// Ordered list of the children of one kind, linked through the nodes.
struct ChildList {
    TreeNode *head = nullptr;
    TreeNode *tail = nullptr;
    uint32_t count = 0;

    void append(TreeNode *n);
    void unlink(TreeNode *n);
};

// Open-addressing hash set over the children of one directory, keyed by name and kind.
class ChildIndex
{
public:
    TreeNode *find(std::string_view name, bool dir) const;
    void insert(TreeNode *n);
    void erase(TreeNode *n);

private:
    size_t home(std::string_view name, bool dir) const;
    void grow();

    std::vector<TreeNode *> slots;
    size_t used = 0;
};

struct DirNode : TreeNode {
    DirNode *parent = nullptr;
    ChildList files;
    ChildList dirs;
    int32_t refServerCount = 0;
    int32_t refLocalCount = 0;
    std::unique_ptr<ChildIndex> index;

    DirNode(std::string_view name, DirNode *parent_dir);
    ~DirNode();
    DirNode(const DirNode &) = delete;
    DirNode &operator=(const DirNode &) = delete;

    bool hasChildren() const { return files.count + dirs.count > 0; }
    TreeNode *findFile(std::string_view name) const { return find(name, false); }
    DirNode *findDir(std::string_view name) const
    {
        return static_cast<DirNode *>(find(name, true));
    }
    // Appends a new child at the end of its list; the directory takes ownership.
    void adopt(TreeNode *n);
    // Unlinks a child and frees it (with its subtree).
    void release(TreeNode *n);
    // Moves a child to the end of its list.
    void moveToEnd(TreeNode *n);

    static DirNode *nextDir(const DirNode *d) { return static_cast<DirNode *>(d->TreeNode::next); }
    static DirNode *firstDir(const DirNode *d) { return static_cast<DirNode *>(d->dirs.head); }

private:
    TreeNode *find(std::string_view name, bool dir) const;
    ChildList &listOf(const TreeNode *n) { return n->is_dir ? dirs : files; }
};

void freeNode(TreeNode *n);

} // namespace event_tree
