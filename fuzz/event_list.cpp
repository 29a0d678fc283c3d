// The event tree under operations and paths taken from arbitrary bytes: paths come from
// the server and the local disk, so any byte string must be handled. After the operations
// every held event is completed and the tree drained; the counters must end at zero and
// the tree must be empty.
#include "fuzz/event-list-ops.h"
#include "fuzz/fuzz-support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Silences the tree's own log lines so the fuzzer spends its time in the tree.
    FuzzQuietLogs(FuzzScratchFile("event-list", "logs"),
                  "event_list_debug = 0\nfstat_db_debug = 0\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!event_list_ops::Run(data, size))
        __builtin_trap();
    return 0;
}
