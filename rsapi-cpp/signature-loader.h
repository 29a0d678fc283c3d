// Reading a signature file for delta generation.
#ifndef AEROLITH_RSAPI_SIGNATURE_LOADER_H
#define AEROLITH_RSAPI_SIGNATURE_LOADER_H

#include <cstddef>
#include <cstdint>

#include "rsapi-cpp/signature-index.h"

// Both give 0, -2 (the file cannot be read) or -5 (malformed header).
int rs_load_signature(const char *path, SignatureIndex *sig);
int rs_signature_from_bytes(const uint8_t *data, size_t n, SignatureIndex *sig);

#endif
