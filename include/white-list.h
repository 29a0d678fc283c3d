// The white list of a session: the file extensions that are synced ("*" lets every file
// through; an empty list lets none through).
#pragma once

#include "filter/filter.h"
#include "ustring/ustring.h"

#include <mutex>

class WhiteListCpp
{
public:
    WhiteListCpp();
    ~WhiteListCpp();
    WhiteListCpp(const WhiteListCpp &) = delete;
    WhiteListCpp &operator=(const WhiteListCpp &) = delete;

    // Replaces the list with the file's. 0, or -1 with an empty list.
    int Load(const ustring &path);
    // 0 when the extension of the file name is on the list, -1 when not or the name is empty.
    int Test(const ustring &name);

private:
    WhiteList m_list;
    std::mutex m_mutex;
};
