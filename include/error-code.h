// Error codes returned by every layer: 0 for success, a negative code for a failure.
#pragma once

enum {
    ERR_OK = 0,
    ERR_INT = -1,
    ERR_IO = -2,
    ERR_SYS = -3,
    ERR_INVAL = -4,
    ERR_PROTO = -5,
    ERR_AUTH = -6,
    ERR_SERVER = -7,
    ERR_CONFLICT = -8,
    ERR_TIMEOUT = -9,
    ERR_VERSION = -10,
    ERR_NOENT = -11,
    ERR_USER = -12,
    ERR_PASSWORD = -13,
    ERR_ZentOSDISABLE = -14,
    ERR_QUOTA = -15,
    ERR_DISKFULL = -16,
    ERR_SYNCFOLDER_MISS = -17,
    ERR_VIEW = -18,
    ERR_PERMISS = -19,
    ERR_VIEW_PATH = -20,
    ERR_CH_CONNECTION_ABORT = -21,
    ERR_LOCAL_DISKFULL = -22,
    ERR_LOCKED_FILE = -23,
    ERR_SSL_VERIFY_FAIL = -24,
    ERR_PERMISS_READ_ONLY = -25,
    ERR_MAX = -26,
};

// Text of an error code; the sign is ignored, values beyond the table give "Unknown error".
const char *GetErrorString(int code);
