// Walk: the recursive listing under the expand. The visitor is called once for every
// entry below `root` ("." and ".." excluded), a directory before its contents:
//   bool visit(const ustring &path, const DIR_ENTRY &entry)
//     path is root + "/" + name; for a directory, false skips its contents (other
//     answers are ignored);
//   void leave(const ustring &path)
//     after the contents of a directory whose visit accepted it.
#pragma once

#include "file-op.h"
#include "log.h"
#include "ustring/ustring.h"

#include <atomic>

namespace expand_walk
{

inline bool Aborted(const std::atomic<int> *abort_flag)
{
    return abort_flag != nullptr && abort_flag->load() != 0;
}

template <class Visitor>
int Walk(const ustring &root, Visitor &visitor, const std::atomic<int> *abort_flag)
{
    DIR_HANDLE dh;
    if (FSOpenDir(root, 0, dh) != 0) {
        Logger::LogMsg(Logger::L_WARNING, "worker_debug",
                       "[WARNING] worker.cpp(%d): FSOpenDir(%s)\n", __LINE__, root.c_str_utf8());
        return 0;
    }
    DIR_ENTRY entry;
    int rc;
    while ((rc = FSReadDir(dh, entry)) == 1) {
        if (entry.name == "." || entry.name == "..") {
            continue;
        }
        ustring child = root + "/" + entry.name;
        if (Aborted(abort_flag)) {
            Logger::LogMsg(Logger::L_NOTICE, "worker_debug",
                           "[NOTE] worker.cpp(%d): Traversing '%s' ... abort\n", __LINE__,
                           child.c_str_utf8());
            return -1;
        }
        if (entry.type != FT_DIR) {
            visitor.visit(child, entry);
            continue;
        }
        if (!visitor.visit(child, entry)) {
            continue;
        }
        if (Walk(child, visitor, abort_flag) != 0) {
            Logger::LogMsg(Logger::L_NOTICE, "worker_debug",
                           "[NOTE] worker.cpp(%d): Traversing '%s' ... abort\n", __LINE__,
                           child.c_str_utf8());
            return -1;
        }
        visitor.leave(child);
    }
    // A listing that breaks off part-way counts as ending there, as an unreadable
    // directory counts as empty.
    return 0;
}

} // namespace expand_walk
