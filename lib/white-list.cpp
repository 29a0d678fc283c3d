#include "white-list.h"

#include "black-list-v2.h"

WhiteListCpp::WhiteListCpp()
{
    white_list_init(&m_list);
}

WhiteListCpp::~WhiteListCpp()
{
    white_list_destroy(&m_list);
}

int WhiteListCpp::Load(const ustring &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return white_list_read(&m_list, path);
}

int WhiteListCpp::Test(const ustring &name)
{
    if (name.empty()) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return filter_extension_listed(&m_list.File.white_ext, name.c_str_utf8()) ? 0 : -1;
}
