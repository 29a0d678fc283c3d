// The delta engine: signatures, deltas, patches and whole-file MD4, computed in
// single passes over files.
#ifndef AEROLITH_RSAPI_API_H
#define AEROLITH_RSAPI_API_H

#include "rsapi-cpp/delta-file-reader.h"
#include "rsapi-cpp/file-reader.h"
#include "rsapi-cpp/rolling-checksum.h"
#include "rsapi-cpp/rs-constant.h"

#endif
