// Changes to a view's tree, shared by the protocol requests and the admin commands. Each
// runs inside the caller's write transaction and keeps the tree's invariant: the parent of
// every live path is a live directory or the root.
#pragma once

#include "server/store.h"

#include <string>

namespace srv
{

class Tree
{
public:
    explicit Tree(Store &store) : m_store(store) {}

    // Creates each missing ancestor of path, outermost first. 0, CODE_BELOW_FILE when an
    // ancestor is a live file, or INTERNAL_FAILURE.
    int ensureParents(uint64_t view_id, const std::string &path, const std::string &origin);
    // A directory at path: an existing live one is left as it is. out is its current row.
    // 0, CODE_TYPE_CONFLICT (a live file there), CODE_BELOW_FILE or INTERNAL_FAILURE.
    int makeDir(uint64_t view_id, const std::string &path, uint32_t mtime,
                const std::string &origin, Entry &out);
    // A new version of a file at path. 0, CODE_TYPE_CONFLICT (a live directory there),
    // CODE_BELOW_FILE or INTERNAL_FAILURE; out is the new current row.
    int putFile(uint64_t view_id, const std::string &path, uint64_t content_id, uint32_t mtime,
                const std::string &origin, Entry &out);
    // Tombstones for everything live below path, deepest first, then for path. 0,
    // CODE_REMOVE_MISSING when path is not live, or INTERNAL_FAILURE; sync_id is the
    // path's own tombstone.
    int remove(uint64_t view_id, const std::string &path, const std::string &origin,
               uint64_t &sync_id);

private:
    Store &m_store;
};

// Seconds since 1970, as the 32-bit modification times of the protocol.
uint32_t NowMtime();

} // namespace srv
