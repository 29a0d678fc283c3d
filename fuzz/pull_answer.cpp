// Feeds arbitrary peer bytes as a "pull_event" answer through the event pullers' intake:
// the answer is decoded from the wire, checked, and every object of its list goes through
// event generation into the event manager, whose events a worker stand-in then takes and
// completes.
#include "channel.h"
#include "client/core/puller-common.h"
#include "client/core/registry.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "client/task.h"
#include "fuzz/fuzz-support.h"
#include "protocol/stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace
{

const uint64_t kSession = 7;

const std::string &ScratchDir()
{
    return FuzzScratchDir("pull-answer");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietLogs(ScratchDir(), "stream = -1\nchannel_debug = -1\nevent_generator_debug = -1\n"
                                "event_manager_debug = -1\nevent_list_debug = -1\n"
                                "syncer_debug = -1\nevent_db_debug = -1\nchannel_ui_debug = -1\n");
    std::string local = ScratchDir() + "/local";
    mkdir(local.c_str(), 0700);
    FileEventDB *db = new FileEventDB;
    db->initialize((FuzzScratchFile("pull-answer", "event-db.sqlite")).c_str());
    Registry::Entry entry;
    entry.sess_id = kSession;
    entry.conn_id = 1;
    entry.local_path = local.c_str();
    entry.event_db = db;
    Registry::getInstance().Set(entry);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = FuzzPeerMessage(data, size);
    if (fd < 0)
        return 0;
    PObject answer;
    {
        Channel channel;
        channel.SetTimeout(1);
        if (channel.Open(fd, true) != 0) {
            close(fd);
            return 0;
        }
        PStream stream;
        if (stream.Recv(channel, answer) != 0)
            return 0;
    }
    Registry::Entry entry;
    Registry::getInstance().Find(kSession, entry);
    if (!answer.hasMember("error") && PullerCheckAnswer(false, answer, 0) == 0)
        PullerPushEvents(entry, answer["event_list"]);

    EventManager &em = EventManager::getInstance();
    Task worker;
    Event e;
    while (em.PullEvent(&worker, e) == 0) {
        while (em.DoneEvent(&worker, e) != 0) {
        }
    }
    em.Clear();
    return 0;
}
