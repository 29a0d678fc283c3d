// Feeds arbitrary proxy answers to the proxy client's response reader through a socket
// pair, and the NTLM challenge of any "Proxy-Authenticate: NTLM" header (and the raw input
// itself) to the challenge decoder and the authenticate message built from it.
#include "fuzz/fuzz-support.h"
#include "zentproxy/lib/zentproxyclient-internal.h"
#include "zentproxy/lib/zentproxyclient_ntlm.h"

#include <unistd.h>

#include <cstdint>
#include <string>

namespace
{

void AnswerChallenge(const NTLMBytes &message)
{
    NTLMChallenge challenge;
    if (NTLMParseChallenge(message, challenge) != 0)
        return;
    static const uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (bool v2 : {false, true}) {
        ZENT_PROXY_AUTH_DATA data{"User", "Password", "Domain", "ws", v2, !v2, !v2, 0};
        NTLMBytes type3 = NTLMBuildAuthenticate(data, challenge, nonce, 0);
        if (type3.size() < 64)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AnswerChallenge(NTLMBytes(reinterpret_cast<const char *>(data), size));
    int fd = FuzzPeerMessage(data, size);
    if (fd < 0)
        return 0;
    int code = 0;
    ProxyHeaderList headers;
    if (ProxyReadResponse(fd, code, headers) == 0) {
        const PROXY_HTTP_HEADER_ENTRY *ntlm = headers.Find("Proxy-Authenticate", "NTLM ");
        NTLMBytes message;
        if (ntlm != nullptr && ProxyBase64Decode(ntlm->szValue.substr(5), message))
            AnswerChallenge(message);
    }
    close(fd);
    return 0;
}
