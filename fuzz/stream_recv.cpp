// Feeds arbitrary peer bytes to PStream::Recv through a socketpair. Binary items land in a
// scratch directory that is emptied after every input.
#include "channel.h"
#include "fuzz/fuzz-support.h"
#include "protocol/stream.h"

#include <unistd.h>

#include <cstdint>
#include <string>

namespace
{

const std::string &ScratchDir()
{
    return FuzzScratchDir("stream-recv");
}

void EmptyScratchDir()
{
    for (const std::string &name : FuzzDirEntries(ScratchDir()))
        unlink((ScratchDir() + "/" + name).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Silence the stream's and the channel's logs so the fuzzer's own output stays readable.
    FuzzQuietLogs(ScratchDir(), "stream = -1\nchannel_debug = -1\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The peer's whole message is queued, then the peer hangs up: Recv sees it all and
    // then the end of the stream.
    int fd = FuzzPeerMessage(data, size);
    if (fd < 0)
        return 0;
    {
        Channel channel;
        channel.SetTimeout(1);
        if (channel.Open(fd, true) != 0) {
            close(fd);
            return 0;
        }
        PStream stream;
        stream.SetDefaultRecvLocation(ScratchDir().c_str());
        PObject message;
        stream.Recv(channel, message);
        (void)message.toString();
    }
    EmptyScratchDir();
    return 0;
}
