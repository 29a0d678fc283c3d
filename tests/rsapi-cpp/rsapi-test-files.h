// Scratch files for the delta engine tests: a fresh directory per test, and small
// helpers to write, read and derive byte strings.
#ifndef AEROLITH_TESTS_RSAPI_TEST_FILES_H
#define AEROLITH_TESTS_RSAPI_TEST_FILES_H

#include "rsapi-cpp/handler.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

class RsapiFiles : public ::testing::Test
{
protected:
    std::string path(const std::string &name) const { return dir.file(name); }

    std::string write(const std::string &name, const Bytes &data) const
    {
        std::ofstream out(path(name), std::ios::binary);
        out.write(reinterpret_cast<const char *>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        return path(name);
    }

    Bytes read(const std::string &name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    bool exists(const std::string &name) const { return access(path(name).c_str(), F_OK) == 0; }

    TempDir dir;
};

// Runs one pass of `handler` over `input`, fed in pieces of `piece` bytes.
inline void feedInPieces(RSHandler &handler, const Bytes &input, size_t piece)
{
    EXPECT_EQ(handler.begin(), 0);
    for (size_t at = 0; at < input.size(); at += piece) {
        size_t n = std::min(piece, input.size() - at);
        EXPECT_EQ(handler.update(input.data() + at, n), 0);
        EXPECT_EQ(handler.wait(), 0);
    }
    EXPECT_EQ(handler.end(), 0);
}

inline Bytes randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto &b : out)
        b = static_cast<uint8_t>(gen());
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

#endif
