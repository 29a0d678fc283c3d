// ConnectionInfo: what one server connection is made of, as the user interface sends it
// with "link_connection" and "reload_connection". The pullers and workers read the server
// address, SSL settings, login session and computer name from it; the other fields are
// stored and copied along with the connection.
#pragma once

#include "ustring/ustring.h"

#include <cstdint>

// How the user interface found the server address. Stored only; nothing decides by it.
enum ConnectionMode {
    CM_UNKNOW = 0,
    CM_IP = 1,
    CM_DDNS = 2,
    CM_SKYREACH = 3,
};

// The client package version.
struct VersionInfo {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t build_number = 0;
};

struct ConnectionInfo {
    int32_t c_mode = CM_UNKNOW;
    ustring server_name; // host name expected in the server's SSL certificate
    ustring server_ip;
    int32_t server_port = 0;
    ustring farlink_mode;
    ustring username;
    ustring password;
    ustring zb_id;
    ustring session; // login session token issued to the user interface
    int32_t protocol_version = 0;
    uint64_t conn_id = 0; // the connection manager's key
    ustring computer_name;
    int32_t linked = 0;
    bool use_ssl = true;
    bool ssl_allow_untrust = false;
    VersionInfo version_info;
    int32_t status = 0;
    int32_t error = 0;
    uint32_t user_uid = 0;
    uint32_t user_gid = 0;
    bool user_is_admin = false;
};
