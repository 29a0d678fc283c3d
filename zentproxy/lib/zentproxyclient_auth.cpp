// The four methods: each sends CONNECT on its own connection, with the method's
// authorisation, and judges the proxy's answer.
#include "zentproxy/lib/zentproxyclient-internal.h"
#include "zentproxy/lib/zentproxyclient_ntlm.h"

#include <openssl/rand.h>

#include <cstdio>
#include <ctime>

namespace
{

// The request line set every method starts with (target host and port, twice).
#define CONNECT_FORMAT                                                                             \
    "CONNECT %s:%d HTTP/1.1\r\nProxy-Connection: Keep-Alive\r\nHost: %s:%d\r\nContent-Length: 0\r\n"

const int kCodeEstablished = 200;
const int kCodeProxyAuth = 407;

std::string ConnectText(const PROXY_TARGET_INFO *target)
{
    const char *host = target->szTargetAddress;
    int port = target->TargetPort;
    int len = snprintf(nullptr, 0, CONNECT_FORMAT, host, port, host, port);
    std::string text(static_cast<size_t>(len > 0 ? len : 0) + 1, '\0');
    snprintf(&text[0], text.size(), CONNECT_FORMAT, host, port, host, port);
    text.pop_back();
    return text;
}

// The CONNECT request carrying "Proxy-Authorization: SCHEME BASE64(credentials)".
std::string AuthorizedConnect(const PROXY_TARGET_INFO *target, const char *scheme,
                              const std::string &credentials)
{
    return ConnectText(target) + "Proxy-Authorization: " + scheme + " " +
           ProxyBase64Encode(credentials.data(), credentials.size()) + "\r\n\r\n";
}

thread_local int t_last_response_code = 0;

// Sends one request and reads the answer. 0 with the code, or a negative code.
int Exchange(int fd, const std::string &request, int &code, ProxyHeaderList &headers)
{
    if (ProxySendAll(fd, request) != 0)
        return ZENTPROXY_ERR_SEND;
    int ret = ProxyReadResponse(fd, code, headers);
    if (ret != 0)
        return ret;
    t_last_response_code = code;
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_auth.c [%d]Response code = %d\n", __LINE__,
             code);
    return 0;
}

int Established()
{
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_auth.c [%d]Connection establish OK\n",
             __LINE__);
    return 0;
}

int Unhandled(int code)
{
    ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_auth.c [%d]Unhandled response code: %d\n",
             __LINE__, code);
    return ZENTPROXY_ERR_MALFORMED;
}

// Basic and NTLM need a user name and all other credential strings present.
int CheckCredentials(const PROXY_AUTH_INFO *auth)
{
    if (auth->szUserName == nullptr || auth->szUserName[0] == '\0') {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_auth.c [%d]Need specified user name\n",
                 __LINE__);
        return ZENTPROXY_ERR_PARAM;
    }
    if (auth->szUserPasswd == nullptr || auth->szUserDomain == nullptr ||
        auth->szUserHost == nullptr) {
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_auth.c [%d]Need specified password\n",
                 __LINE__);
        return ZENTPROXY_ERR_PARAM;
    }
    return 0;
}

int AuthNone(int fd, const PROXY_TARGET_INFO *target, const PROXY_AUTH_INFO *)
{
    int code = 0;
    ProxyHeaderList headers;
    int ret = Exchange(fd, ConnectText(target) + "\r\n", code, headers);
    if (ret != 0)
        return ret;
    if (code == kCodeEstablished)
        return Established();
    if (code == kCodeProxyAuth) {
        ProxyLog(PROXY_ERR,
                 "[ERROR] lib/zentproxyclient_auth.c [%d]Peer proxy server need authentication\n",
                 __LINE__);
        return ZENTPROXY_ERR_REFUSED;
    }
    return Unhandled(code);
}

int AuthBasic(int fd, const PROXY_TARGET_INFO *target, const PROXY_AUTH_INFO *auth)
{
    int ret = CheckCredentials(auth);
    if (ret != 0)
        return ret;
    std::string request =
        AuthorizedConnect(target, "Basic", std::string(auth->szUserName) + ":" + auth->szUserPasswd);
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_auth.c [%d]pkt buf = '%s'\n\n", __LINE__,
             request.c_str());
    int code = 0;
    ProxyHeaderList headers;
    ret = Exchange(fd, request, code, headers);
    if (ret != 0)
        return ret;
    if (code == kCodeEstablished)
        return Established();
    if (code == kCodeProxyAuth) {
        ProxyLog(PROXY_ERR,
                 "[ERROR] lib/zentproxyclient_auth.c [%d]Basic proxy auth failed, Not support basic "
                 "auth?\n",
                 __LINE__);
        return ZENTPROXY_ERR_REFUSED;
    }
    return Unhandled(code);
}

ZENT_PROXY_AUTH_DATA AuthData(const PROXY_AUTH_INFO *auth, bool v2)
{
    ZENT_PROXY_AUTH_DATA data;
    data.szUserName = auth->szUserName;
    data.szUserPasswd = auth->szUserPasswd;
    data.szDomainName = auth->szUserDomain;
    data.szHostName = auth->szUserHost;
    data.hashntlm2 = v2;
    data.hashnt = !v2;
    data.hashlm = !v2;
    data.flags = v2 ? kNTLMv2NegotiateFlags : kNTLMv1NegotiateFlags;
    return data;
}

// Second step: answers the challenge of the 407 with the authenticate message.
int NTLMPhase2(int fd, const PROXY_TARGET_INFO *target, const ZENT_PROXY_AUTH_DATA &data,
               const ProxyHeaderList &headers)
{
    const PROXY_HTTP_HEADER_ENTRY *header = headers.Find("Proxy-Authenticate", "NTLM ");
    if (header == nullptr) {
        ProxyLog(PROXY_ERR,
                 "[ERROR] lib/zentproxyclient_auth.c [%d]No NTLM Proxy-Authenticate, NTLM not "
                 "supported?\n",
                 __LINE__);
        return ZENTPROXY_ERR_REFUSED;
    }
    NTLMBytes message;
    if (!ProxyBase64Decode(header->szValue.substr(5), message)) {
        ProxyLog(PROXY_ERR,
                 "[ERROR] lib/zentproxyclient_auth.c [%d]Decode challenge from base64 failed\n",
                 __LINE__);
        return ZENTPROXY_ERR_MALFORMED;
    }
    NTLMChallenge challenge;
    if (NTLMParseChallenge(message, challenge) != 0) {
        ProxyLog(PROXY_ERR,
                 "[ERROR] lib/zentproxyclient_auth.c [%d]Proxy server returning invalid challenge!\n",
                 __LINE__);
        return ZENTPROXY_ERR_MALFORMED;
    }
    uint8_t nonce[8];
    if (RAND_bytes(nonce, sizeof(nonce)) != 1)
        return ZENTPROXY_ERR_BUILD;
    NTLMBytes type3 = NTLMBuildAuthenticate(data, challenge, nonce, NTLMTimestamp(time(nullptr)));
    if (type3.empty())
        return ZENTPROXY_ERR_BUILD;
    std::string request = AuthorizedConnect(target, "NTLM", type3);
    ProxyLog(PROXY_WARNING, "[WARN]lib/zentproxyclient_auth.c [%d]%s\n\n", __LINE__,
             request.c_str());
    int code = 0;
    ProxyHeaderList answer;
    int ret = Exchange(fd, request, code, answer);
    if (ret == 0 && code == kCodeEstablished)
        return Established();
    if (ret == 0 && code == kCodeProxyAuth)
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_auth.c [%d]phase 2 transaction failed\n",
                 __LINE__);
    else if (ret == 0)
        Unhandled(code);
    ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_auth.c [%d]handle pahse 2 http auth failed\n",
             __LINE__);
    return ZENTPROXY_ERR_AUTH;
}

int AuthNTLM(int fd, const PROXY_TARGET_INFO *target, const PROXY_AUTH_INFO *auth, bool v2)
{
    int ret = CheckCredentials(auth);
    if (ret != 0)
        return ret;
    ZENT_PROXY_AUTH_DATA data = AuthData(auth, v2);
    NTLMBytes type1 = NTLMBuildNegotiate(data.flags, data.szDomainName, data.szHostName);
    if (type1.empty())
        return ZENTPROXY_ERR_BUILD;
    int code = 0;
    ProxyHeaderList headers;
    ret = Exchange(fd, AuthorizedConnect(target, "NTLM", type1), code, headers);
    if (ret != 0)
        return ret;
    if (code == kCodeEstablished)
        return Established();
    if (code != kCodeProxyAuth)
        return Unhandled(code);
    ret = NTLMPhase2(fd, target, data, headers);
    if (ret == ZENTPROXY_ERR_AUTH)
        ProxyLog(PROXY_ERR, "[ERROR] lib/zentproxyclient_auth.c [%d]NTLM auth failed\n", __LINE__);
    return ret;
}

int AuthNTLMv1(int fd, const PROXY_TARGET_INFO *target, const PROXY_AUTH_INFO *auth)
{
    return AuthNTLM(fd, target, auth, false);
}

int AuthNTLMv2(int fd, const PROXY_TARGET_INFO *target, const PROXY_AUTH_INFO *auth)
{
    return AuthNTLM(fd, target, auth, true);
}

} // namespace

int ProxyLastResponseCode()
{
    return t_last_response_code;
}

void ProxyResetLastResponseCode()
{
    t_last_response_code = 0;
}

const ZENT_PROXY_AUTH_CONTROL kProxyAuthControl[kProxyMethodCount] = {
    {PROXY_NO_AUTH, "NO Auth", AuthNone},
    {PROXY_BASIC_AUTH, "BASIC Auth", AuthBasic},
    {PROXY_NTLM_AUTH, "NTLMv1 Auth", AuthNTLMv1},
    {PROXY_NTLMv2_AUTH, "NTLMv2 Auth", AuthNTLMv2},
};
