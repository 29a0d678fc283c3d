// Tree changes of a view.
#include "server/tree.h"

#include "server/codes.h"

#include <ctime>
#include <map>

namespace srv
{

namespace
{

// Live paths below a removed directory in post-order: the contents of a directory in byte
// order of their paths, each directory after its contents. below is in byte order.
void PostOrder(const std::string &dir, const std::map<std::string, std::vector<const Entry *>> &kids,
               std::vector<const Entry *> &out)
{
    auto it = kids.find(dir);
    if (it == kids.end())
        return;
    for (const Entry *e : it->second) {
        if (e->is_dir)
            PostOrder(e->path, kids, out);
        out.push_back(e);
    }
}

} // namespace

uint32_t NowMtime()
{
    return static_cast<uint32_t>(time(nullptr));
}

int Tree::ensureParents(uint64_t view_id, const std::string &path, const std::string &origin)
{
    for (const std::string &a : Ancestors(path)) {
        Entry cur;
        bool have = m_store.current(view_id, a, cur);
        if (have && cur.liveDir())
            continue;
        if (have && cur.liveFile())
            return CODE_BELOW_FILE;
        Entry dir;
        dir.path = a;
        dir.is_dir = true;
        dir.mtime = NowMtime();
        dir.origin = origin;
        if (m_store.writeRow(view_id, dir) == 0)
            return INTERNAL_FAILURE;
    }
    return 0;
}

int Tree::makeDir(uint64_t view_id, const std::string &path, uint32_t mtime,
                  const std::string &origin, Entry &out)
{
    Entry cur;
    if (m_store.current(view_id, path, cur) && cur.live()) {
        if (!cur.is_dir)
            return CODE_TYPE_CONFLICT;
        out = cur;
        return 0;
    }
    int rc = ensureParents(view_id, path, origin);
    if (rc != 0)
        return rc;
    Entry dir;
    dir.path = path;
    dir.is_dir = true;
    dir.mtime = mtime;
    dir.origin = origin;
    if (m_store.writeRow(view_id, dir) == 0 || !m_store.current(view_id, path, out))
        return INTERNAL_FAILURE;
    return 0;
}

int Tree::putFile(uint64_t view_id, const std::string &path, uint64_t content_id, uint32_t mtime,
                  const std::string &origin, Entry &out)
{
    Entry cur;
    if (m_store.current(view_id, path, cur) && cur.liveDir())
        return CODE_TYPE_CONFLICT;
    int rc = ensureParents(view_id, path, origin);
    if (rc != 0)
        return rc;
    Entry file;
    file.path = path;
    file.content_id = content_id;
    file.mtime = mtime;
    file.origin = origin;
    if (m_store.writeRow(view_id, file) == 0 || !m_store.current(view_id, path, out))
        return INTERNAL_FAILURE;
    return 0;
}

int Tree::remove(uint64_t view_id, const std::string &path, const std::string &origin,
                 uint64_t &sync_id)
{
    Entry cur;
    if (!m_store.current(view_id, path, cur) || !cur.live())
        return CODE_REMOVE_MISSING;
    std::vector<const Entry *> order;
    std::vector<Entry> below;
    std::map<std::string, std::vector<const Entry *>> kids;
    if (cur.is_dir) {
        if (m_store.liveBelow(view_id, path, below) < 0)
            return INTERNAL_FAILURE;
        for (const Entry &e : below)
            kids[ParentPath(e.path)].push_back(&e);
        PostOrder(path, kids, order);
    }
    order.push_back(&cur);
    for (const Entry *e : order) {
        Entry tomb;
        tomb.path = e->path;
        tomb.is_dir = e->is_dir;
        tomb.is_removed = true;
        tomb.content_id = e->content_id;
        tomb.mtime = e->mtime;
        tomb.origin = origin;
        sync_id = m_store.writeRow(view_id, tomb);
        if (sync_id == 0)
            return INTERNAL_FAILURE;
    }
    return 0;
}

} // namespace srv
