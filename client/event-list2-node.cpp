#include "client/event-list2-node.h"

#include <cstring>
#include <functional>

namespace event_tree
{

namespace
{

// Children lists shorter than this are searched directly; longer ones get an index.
const uint32_t INDEX_THRESHOLD = 8;

void put(char *&out, const char *s, size_t n)
{
    memcpy(out, s, n);
    out[n] = '\0';
    out += n + 1;
}

} // namespace

TreeNode::TreeNode(std::string_view name, bool dir)
    : text(new char[name.size() + 5]), name_len(static_cast<uint16_t>(name.size())),
      is_dir(dir ? 1 : 0)
{
    char *out = text.get();
    put(out, name.data(), name.size());
    memset(out, 0, 4);
    path_off = opt_off = mac_off = name_len + 1u;
}

void TreeNode::assign(const Event &e)
{
    size_t hash_len = e.m_data_hash.size();
    size_t path_len = e.m_path.size();
    size_t opt_len = e.m_opt.size();
    size_t mac_len = e.m_mac_attr_hash.size();
    std::unique_ptr<char[]> block(new char[name_len + hash_len + path_len + opt_len + mac_len + 5]);
    char *out = block.get();
    put(out, text.get(), name_len);
    put(out, e.m_data_hash.c_str_utf8(), hash_len);
    path_off = static_cast<uint32_t>(out - block.get());
    put(out, e.m_path.c_str_utf8(), path_len);
    opt_off = static_cast<uint32_t>(out - block.get());
    put(out, e.m_opt.c_str_utf8(), opt_len);
    mac_off = static_cast<uint32_t>(out - block.get());
    put(out, e.m_mac_attr_hash.c_str_utf8(), mac_len);
    text = std::move(block);

    type = static_cast<uint8_t>(e.m_type);
    mode = e.m_mode;
    syncID = e.m_sync_id;
    maxSyncID = e.m_max_id;
    sessID = e.m_sess_id;
    size = e.m_data_size;
    mac_attr_size = e.m_mac_attr_size;
    time = static_cast<int32_t>(e.m_time);
    exec_bit = e.m_exec_bit;
}

void TreeNode::toEvent(Event &e) const
{
    e.m_type = static_cast<Event::Type>(type);
    e.m_mode = mode;
    e.m_sync_id = syncID;
    e.m_max_id = maxSyncID;
    e.m_data_size = size;
    e.m_time = static_cast<uint32_t>(time);
    e.m_data_hash = hash();
    e.m_path = path();
    e.m_opt = text.get() + opt_off;
    e.m_mac_attr_hash = text.get() + mac_off;
    e.m_mac_attr_size = mac_attr_size;
    e.m_sess_id = sessID;
    e.m_exec_bit = exec_bit;
}

void TreeNode::clearAttr()
{
    Event empty;
    assign(empty);
}

void ChildList::append(TreeNode *n)
{
    n->prev = tail;
    n->next = nullptr;
    if (tail)
        tail->next = n;
    else
        head = n;
    tail = n;
    ++count;
}

void ChildList::unlink(TreeNode *n)
{
    if (n->prev)
        n->prev->next = n->next;
    else
        head = n->next;
    if (n->next)
        n->next->prev = n->prev;
    else
        tail = n->prev;
    n->prev = n->next = nullptr;
    --count;
}

size_t ChildIndex::home(std::string_view name, bool dir) const
{
    return (std::hash<std::string_view>()(name) + (dir ? 1 : 0)) & (slots.size() - 1);
}

TreeNode *ChildIndex::find(std::string_view name, bool dir) const
{
    if (slots.empty())
        return nullptr;
    size_t mask = slots.size() - 1;
    for (size_t i = home(name, dir);; i = (i + 1) & mask) {
        TreeNode *n = slots[i];
        if (!n)
            return nullptr;
        if (n->is_dir == (dir ? 1 : 0) && n->name() == name)
            return n;
    }
}

void ChildIndex::grow()
{
    std::vector<TreeNode *> old;
    old.swap(slots);
    slots.assign(old.empty() ? 32 : old.size() * 2, nullptr);
    used = 0;
    for (TreeNode *n : old) {
        if (n)
            insert(n);
    }
}

void ChildIndex::insert(TreeNode *n)
{
    if ((used + 1) * 2 > slots.size())
        grow();
    size_t mask = slots.size() - 1;
    size_t i = home(n->name(), n->is_dir);
    while (slots[i])
        i = (i + 1) & mask;
    slots[i] = n;
    ++used;
}

// Linear probing with backward-shift deletion: entries after the hole that would no
// longer be reachable from their home slot move into it, so no tombstones are needed.
void ChildIndex::erase(TreeNode *n)
{
    if (slots.empty())
        return;
    size_t mask = slots.size() - 1;
    size_t hole = home(n->name(), n->is_dir);
    while (slots[hole] && slots[hole] != n)
        hole = (hole + 1) & mask;
    if (!slots[hole])
        return;
    slots[hole] = nullptr;
    --used;
    for (size_t j = (hole + 1) & mask; slots[j]; j = (j + 1) & mask) {
        size_t k = home(slots[j]->name(), slots[j]->is_dir);
        bool reachable = (hole <= j) ? (hole < k && k <= j) : (hole < k || k <= j);
        if (!reachable) {
            slots[hole] = slots[j];
            slots[j] = nullptr;
            hole = j;
        }
    }
}

DirNode::DirNode(std::string_view name, DirNode *parent_dir)
    : TreeNode(name, true), parent(parent_dir)
{
}

DirNode::~DirNode()
{
    // Children are freed one list at a time; subdirectories free their own subtrees.
    for (ChildList *list : {&files, &dirs}) {
        TreeNode *n = list->head;
        while (n) {
            TreeNode *following = n->next;
            freeNode(n);
            n = following;
        }
        list->head = list->tail = nullptr;
        list->count = 0;
    }
}

TreeNode *DirNode::find(std::string_view name, bool dir) const
{
    if (index)
        return index->find(name, dir);
    for (TreeNode *n = dir ? dirs.head : files.head; n; n = n->next) {
        if (n->name() == name)
            return n;
    }
    return nullptr;
}

void DirNode::adopt(TreeNode *n)
{
    listOf(n).append(n);
    if (index) {
        index->insert(n);
    } else if (files.count + dirs.count > INDEX_THRESHOLD) {
        index.reset(new ChildIndex);
        for (const ChildList *list : {&files, &dirs}) {
            for (TreeNode *c = list->head; c; c = c->next)
                index->insert(c);
        }
    }
}

void DirNode::release(TreeNode *n)
{
    listOf(n).unlink(n);
    if (index)
        index->erase(n);
    freeNode(n);
}

void DirNode::moveToEnd(TreeNode *n)
{
    ChildList &list = listOf(n);
    list.unlink(n);
    list.append(n);
}

void freeNode(TreeNode *n)
{
    if (n->is_dir)
        delete static_cast<DirNode *>(n);
    else
        delete n;
}

} // namespace event_tree
