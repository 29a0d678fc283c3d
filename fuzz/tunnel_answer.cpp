// Feeds arbitrary relay endpoint answers, cut into lines as the SSL reader delivers them,
// to the tunnel handshake's answer reader; and the same bytes, read as Base64 text and as an
// envelope, to the token decoder.
#include "libzenttunnelclient/zent-crypto.h"
#include "libzenttunnelclient/zent-tunnel-answer.h"
#include "libzenttunnelclient/zent-tunnel-client.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    size_t at = 0;
    ZENTTunnelReadAnswer([&](std::string &line) {
        if (at >= size)
            return ZENT_LINE_END;
        size_t room = std::min(size - at, static_cast<size_t>(kZENTTunnelMaxLine));
        const void *lf = memchr(text + at, '\n', room);
        size_t take = lf ? static_cast<size_t>(static_cast<const char *>(lf) - (text + at)) + 1 : room;
        line.assign(text + at, take);
        at += take;
        return ZENT_LINE_OK;
    });

    std::vector<uint8_t> envelope(size);
    size_t n = ZENTCryptoBase64Decode(text, size, envelope.data(), envelope.size());
    std::vector<uint8_t> plain(size + 8);
    ZENTCryptoDecrypt(envelope.data(), n, plain.data(), plain.size());
    ZENTCryptoDecrypt(data, size, plain.data(), plain.size());
    return 0;
}
