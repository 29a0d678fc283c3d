// HTTP proxy client: opens a tunnel to a target through an HTTP proxy with the CONNECT
// method, authenticating with no authentication, Basic, NTLMv1 or NTLMv2, or trying all
// four at once and keeping the first one (in that fixed order) that worked. The result is
// a connected, non-blocking socket whose next bytes belong to the target.
//
// Every message goes to the callback installed by ZENTProxyInitLogger under the component
// "proxy_debug"; without a callback nothing is logged. All strings are UTF-8.
#pragma once

#include <cstdarg>
#include <string>

enum {
    PROXY_EMERG = 0,
    PROXY_ALERT = 1,
    PROXY_CRIT = 2,
    PROXY_ERR = 3,
    PROXY_WARNING = 4,
    PROXY_NOTICE = 5,
    PROXY_INFO = 6,
    PROXY_DEBUG = 7,
};

typedef enum {
    PROXY_NO_AUTH = 0,
    PROXY_BASIC_AUTH = 1,
    PROXY_NTLM_AUTH = 2, // NTLMv1
    PROXY_NTLMv2_AUTH = 3,
    PROXY_AUTO_AUTH = 4,
} PROXY_AUTH_TYPE;

typedef struct {
    const char *szProxyAddress; // host name or dotted address of the proxy
    int ProxyPort;
} PROXY_SERVER_INFO;

typedef struct {
    const char *szTargetAddress; // host or address the proxy is to connect to
    int TargetPort;
} PROXY_TARGET_INFO;

// The credential strings must be present (not null) but may be empty.
typedef struct {
    const char *szUserName;
    const char *szUserPasswd;
    const char *szUserDomain;
    const char *szUserHost;
    int AuthType; // PROXY_AUTH_TYPE
} PROXY_AUTH_INFO;

// Receives every message of the library: level (PROXY_*), component ("proxy_debug"), a
// printf format and its arguments.
typedef void (*ZENTProxyLogCallback)(int level, const char *component, const char *format,
                                     va_list args);

// Error codes of the method handlers.
enum {
    ZENTPROXY_ERR_SEND = -1,      // send or connection failure
    ZENTPROXY_ERR_AUTH = -2,      // authentication failure
    ZENTPROXY_ERR_REFUSED = -3,   // method not supported or refused
    ZENTPROXY_ERR_BUILD = -4,     // message construction failure
    ZENTPROXY_ERR_MALFORMED = -5, // malformed or unexpected answer
    ZENTPROXY_ERR_PARAM = -6,     // bad parameters
};

void ZENTProxyInitLogger(ZENTProxyLogCallback callback);

// The socket connected through the proxy to the target, -6 for bad parameters, -2 when no
// method succeeded. Every socket of a failed attempt is closed.
int ZENTProxyTunnelOpen(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                        const PROXY_AUTH_INFO *auth);
// The same, and when it fails, *auth_refused tells whether the proxy was reached and
// answered "407" to the last request of an attempt: it wants credentials that it did not
// accept (a wrong user name or password), as opposed to a proxy that cannot be reached or
// answers nonsense. The caller can then tell the user what to fix.
int ZENTProxyTunnelOpenChecked(const PROXY_SERVER_INFO *server, const PROXY_TARGET_INFO *target,
                               const PROXY_AUTH_INFO *auth, bool *auth_refused);
// Shuts the socket down in both directions and closes it.
void ZENTProxyTunnelClose(int sock);
// A connected, non-blocking socket to the proxy, or -1.
int ZENTProxyConnect(const char *host, int port);
