#include "force-hash-check-list.h"

#include "black-list-v2.h"

ForceHashCheckListCpp::ForceHashCheckListCpp()
{
    force_hash_check_list_init(&m_list);
}

ForceHashCheckListCpp::~ForceHashCheckListCpp()
{
    force_hash_check_list_destroy(&m_list);
}

int ForceHashCheckListCpp::Load(const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return force_hash_check_list_read(&m_list, path);
}

int ForceHashCheckListCpp::Test(const ustring &name)
{
    if (name.empty()) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return filter_extension_listed(&m_list.File.force_hash_ext, name.c_str_utf8()) ? 1 : 0;
}
