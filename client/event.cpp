#include "event.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

Event::Event()
    : m_type(EV_EMPTY), m_mode(0), m_sync_id(0), m_max_id(0), m_data_size(0), m_time(0),
      m_mac_attr_size(0), m_sess_id(0), m_exec_bit(0)
{
}

void Event::swap(Event &other) noexcept
{
    std::swap(m_type, other.m_type);
    std::swap(m_mode, other.m_mode);
    std::swap(m_sync_id, other.m_sync_id);
    std::swap(m_max_id, other.m_max_id);
    std::swap(m_data_size, other.m_data_size);
    std::swap(m_time, other.m_time);
    m_data_hash.swap(other.m_data_hash);
    m_path.swap(other.m_path);
    m_opt.swap(other.m_opt);
    m_mac_attr_hash.swap(other.m_mac_attr_hash);
    std::swap(m_mac_attr_size, other.m_mac_attr_size);
    std::swap(m_sess_id, other.m_sess_id);
    std::swap(m_exec_bit, other.m_exec_bit);
}

void swap(Event &a, Event &b) noexcept
{
    a.swap(b);
}

void Event::clear()
{
    m_type = EV_EMPTY;
    m_mode = 0;
    m_sync_id = 0;
    m_max_id = 0;
    m_data_size = 0;
    m_time = 0;
    m_data_hash.clear();
    m_path.clear();
    m_opt.clear();
    m_mac_attr_hash.clear();
    m_mac_attr_size = 0;
    m_sess_id = 0;
    m_exec_bit = 0;
}

static const char *typeName(Event::Type type)
{
    static const char *const names[] = {"EV_EMPTY", "EV_ADD", "EV_REMOVE", "EV_MODIFY",
                                        "EV_RENAME"};
    unsigned index = static_cast<unsigned>(type);
    // A type outside the table can only come from a corrupted record; name it plainly
    // rather than reading past the table.
    return index < sizeof(names) / sizeof(names[0]) ? names[index] : "EV_UNKNOWN";
}

ustring Event::toString() const
{
    ustring text("Event<");
    text += typeName(m_type);
    if (m_type == EV_RENAME) {
        text += ">: from '";
        text += m_path;
        text += "', to '";
        text += m_opt;
        text += "'";
    } else {
        char number[32];
        snprintf(number, sizeof(number), "%" PRIu64, m_sync_id);
        text += ">: [";
        text += number;
        text += "] ";
        text += m_path;
        text += isServerEvent() ? " (server" : " (local";
        text += isDir() ? ",dir" : ",file";
        if (isExpand())
            text += ",expand";
        text += ")";
    }
    if (isFile()) {
        char number[32];
        snprintf(number, sizeof(number), "%" PRIu64, m_data_size);
        text += " size = ";
        text += number;
        text += ", hash = ";
        text += m_data_hash;
    }
    return text;
}
