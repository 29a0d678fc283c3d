// Feeds arbitrary bytes to the control-message path: decoded as the daemon's listener
// decodes a control connection (binary items dropped), then dispatched by the
// application object. Checks that no file is left behind by a binary item, whatever the
// input.
#include "client/core/app.h"
#include "fuzz/fuzz-support.h"
#include "ipc.h"
#include "utility.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const std::string &scratch = FuzzScratchDir("control-message");
    TempFile::initialize(scratch.c_str());
    // Keep the fuzzer's output readable: only emergencies are logged.
    FuzzQuietLogs(scratch, "stream = -1\nchannel_debug = -1\nipc = -1\nclient_debug = -1\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = FuzzPeerMessage(data, size);
    if (fd < 0) {
        return 0;
    }
    PObject request;
    {
        IPCSender conn;
        conn.setTimeout(1);
        if (conn.assign(fd) == 0 && conn.recv(request) == 0) {
            // Linking opens the databases and starts threads: not what this target is about.
            if (request["action"].asString() != "link") {
                static AerolithApp app;
                PObject reply;
                app.handle_control(request, reply);
            }
        }
    }
    if (!FuzzDirEntries(FuzzScratchDir("control-message")).empty()) {
        fprintf(stderr, "a binary item of a control message left a file behind\n");
        abort();
    }
    return 0;
}
