// The error codes the server answers with ("error" → "code").
#pragma once

#include <cstdint>

namespace srv
{

enum ServerCode : uint32_t {
    CODE_OK = 0,
    CODE_BAD_TOKEN = 0x1001,
    CODE_NO_VIEW = 0x3001,
    CODE_DENIED = 0x3002,
    CODE_BAD_PATH = 0x3003,
    CODE_READ_ONLY = 0x3004,
    CODE_QUOTA = 0x4001,
    CODE_DISK_FULL = 0x4002,
    CODE_VERSION = 0x5001,
    CODE_NO_TLS = 0x5002,
    CODE_BAD_ACTION = 0x5003,
    CODE_BELOW_FILE = 0x6001,
    CODE_TYPE_CONFLICT = 0x6002,
    CODE_BAD_BASIS = 0x7000,
    CODE_NOT_FOUND = 0x8001,
    CODE_BASIS_REMOVED = 0x9001,
    CODE_BASIS_OLD = 0x9002,
    CODE_REMOVE_MISSING = 0xA001,
    CODE_REMOVE_OLD = 0xA002,
    CODE_BAD_TOKEN_STATE = 0xB001,
    CODE_BAD_CONTENT = 0xB002,
};

// Results of the server's inner operations: 0, a positive ServerCode to answer with, or
// a negative value for an internal failure (the connection is closed without an answer).
const int INTERNAL_FAILURE = -1;

} // namespace srv
