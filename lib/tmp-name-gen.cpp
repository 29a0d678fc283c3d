// Temporary names: an RC4-style permutation, keyed once from a high-resolution clock,
// yields 6 bytes per name, read as eight 6-bit indexes into a 64-character alphabet.
// The names only need to avoid collisions between concurrent users of one directory;
// the creators of temporary files still refuse to reuse an existing name.
#include "conflict-rename.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace
{

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

} // namespace

TmpNameGen *TmpNameGen::getInstance()
{
    static TmpNameGen instance;
    return &instance;
}

TmpNameGen::TmpNameGen()
{
    memset(m_key, 0, sizeof(m_key));
    memset(m_buffer, 0, sizeof(m_buffer));
    unsigned long long counter = static_cast<unsigned long long>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    snprintf(reinterpret_cast<char *>(m_key), sizeof(m_key), "%llu", counter);
    for (int i = 0; i < 256; ++i) {
        m_s_box[i] = static_cast<uint8_t>(i);
    }
    if (m_key[0] == 0) {
        srand(static_cast<unsigned>(time(nullptr)));
        for (int i = 0; i < 256; ++i) {
            m_key[i] = static_cast<uint8_t>(rand());
        }
    }
    unsigned j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (j + m_s_box[i] + m_key[i]) & 0xFF;
        std::swap(m_s_box[i], m_s_box[j]);
    }
}

ustring TmpNameGen::getTmpName()
{
    char name[9];
    lock();
    unsigned j = 0;
    for (unsigned k = 1; k <= 6; ++k) {
        unsigned i = k;
        j = (j + m_s_box[i]) & 0xFF;
        std::swap(m_s_box[i], m_s_box[j]);
        m_buffer[k - 1] = m_s_box[(m_s_box[i] + m_s_box[j]) & 0xFF];
    }
    for (int group = 0; group < 2; ++group) {
        const uint8_t *b = m_buffer + group * 3;
        uint32_t bits =
            (static_cast<uint32_t>(b[0]) << 16) | (static_cast<uint32_t>(b[1]) << 8) | b[2];
        for (int q = 0; q < 4; ++q) {
            name[group * 4 + q] = kAlphabet[(bits >> (18 - 6 * q)) & 0x3F];
        }
    }
    unlock();
    name[8] = '\0';
    return ustring(name);
}

ustring TmpNameGen::getTmpPath(const ustring &prefix)
{
    return prefix + "/" + getTmpName();
}
