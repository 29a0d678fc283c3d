#include "rsapi-cpp/md4-hash-handler.h"

int MD4HashHandler::begin()
{
    mdfour.init();
    result_text.clear();
    return 0;
}

int MD4HashHandler::update(const uint8_t *bytes, size_t n)
{
    mdfour.update(bytes, n);
    return 0;
}

int MD4HashHandler::end()
{
    mdfour.final(result);
    result_text = rs_md4_hex(result);
    if (result_string)
        *result_string = result_text;
    return 0;
}
