// Whole-file MD4 of the input of a pass, as 16 bytes and as 32 hexadecimal digits.
#ifndef AEROLITH_RSAPI_MD4_HASH_HANDLER_H
#define AEROLITH_RSAPI_MD4_HASH_HANDLER_H

#include <string>

#include "rsapi-cpp/handler.h"
#include "rsapi-cpp/md4.h"
#include "ustring/ustring.h"

class MD4HashHandler : public RSHandler
{
public:
    // result_string, when given, receives the digits at end().
    explicit MD4HashHandler(ustring *result_string = nullptr) : result_string(result_string) {}

    int begin() override;
    int update(const uint8_t *bytes, size_t n) override;
    int wait() override { return 0; }
    int end() override;

    const std::string &getResult() const { return result_text; }
    const uint8_t *getDigest() const { return result; }

private:
    MD4State mdfour;
    uint8_t result[MD4_DIGEST_BYTES] = {};
    std::string result_text;
    ustring *result_string;
};

#endif
