// The relay endpoint's answer to the tunnel request, judged line by line.
#pragma once

#include <functional>
#include <string>

enum ZENTTunnelLine {
    ZENT_LINE_OK,      // a line, through its line feed (or kZENTTunnelMaxLine bytes)
    ZENT_LINE_END,     // the connection ended or failed
    ZENT_LINE_TIMEOUT, // time ran out or the wait was aborted
};

// The status the answer reports: the first line must be an HTTP status line (otherwise
// -ZENTTUNNEL_ERR_CONN_FAILED, or -ZENTTUNNEL_ERR_CONN_TIMEOUT when it never came); header
// lines follow until an empty line or the end of the connection or of the time; the last
// "X-Target-Status: N" header (name in any case) gives the result, 0 without one.
int ZENTTunnelReadAnswer(const std::function<ZENTTunnelLine(std::string &line)> &next_line);
