// Feeds arbitrary bytes to the key = value reader as a whole file, and to the integer
// reading of every value it accepts.
#include "config.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp == nullptr) {
        return 0;
    }
    Config cfg;
    int rc = cfg.readFrom(fp);
    std::fclose(fp);
    if (rc != 0 && !cfg.entries().empty()) {
        __builtin_trap(); // a rejected file must leave nothing behind
    }
    for (const auto &entry : cfg.entries()) {
        Config::parseInt(entry.second);
    }
    return 0;
}
