// The force-hash-check list of a session: extensions of files whose content is always
// compared by hash, even when size and modification time are unchanged.
#pragma once

#include "filter/filter.h"
#include "ustring/ustring.h"

#include <mutex>

class ForceHashCheckListCpp
{
public:
    ForceHashCheckListCpp();
    ~ForceHashCheckListCpp();
    ForceHashCheckListCpp(const ForceHashCheckListCpp &) = delete;
    ForceHashCheckListCpp &operator=(const ForceHashCheckListCpp &) = delete;

    // Replaces the list with the file's. 0, or -1 with an empty list.
    int Load(const ustring &path);
    // 1 when the extension of the file name is on the list, 0 when not, -1 for an empty name.
    int Test(const ustring &name);

private:
    ForceHashCheckList m_list;
    std::mutex m_mutex;
};
