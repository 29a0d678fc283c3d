#include "client/core/event-generator.h"

#include "client/core/filter-db.h"
#include "client/core/registry.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "client/task.h"
#include "event.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

namespace
{

PObject serverFile(const char *path, uint64_t sync_id, bool removed = false)
{
    PObject o;
    o["path"] = path;
    o["is_dir"] = 0;
    o["is_removed"] = removed ? 1 : 0;
    o["sync_id"] = sync_id;
    o["max_id"] = sync_id;
    if (!removed) {
        o["file"]["hash"] = "0123456789abcdef0123456789abcdef";
        o["file"]["size"] = static_cast<uint64_t>(12);
    }
    return o;
}

class EventGeneratorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
        db = new FileEventDB;
        ASSERT_EQ(0, db->initialize(dir.file("event-db.sqlite").c_str()));
        entry.sess_id = 4;
        entry.conn_id = 1;
        entry.local_path = dir.file("local").c_str();
        entry.event_db = db;
        ASSERT_EQ(0, mkdir(dir.file("local").c_str(), 0700));
        Registry::getInstance().Set(entry);
    }
    void TearDown() override
    {
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
    }

    void addRow(const char *path, uint64_t sync_id, bool is_dir = false)
    {
        DBFileInfo info;
        info.path = path;
        info.syncID = sync_id;
        info.maxSyncID = sync_id;
        info.fileType = is_dir ? 1 : 0;
        info.fileSize = 77;
        info.fileCheckSum = "feed";
        info.fileModTime = 1234;
        info.execBit = 1;
        info.isExist = 1;
        ASSERT_EQ(0, db->setEventInfo(info));
    }

    // The one event queued for the session, taken and completed.
    bool takeOne(Event &e)
    {
        Task worker;
        if (EventManager::getInstance().PullEvent(&worker, e) != 0)
            return false;
        Event done = e;
        EventManager::getInstance().DoneEvent(&worker, done);
        return true;
    }

    TempDir dir;
    FileEventDB *db = nullptr;
    Registry::Entry entry;
};

TEST_F(EventGeneratorTest, MalformedServerObjectsNeverBecomeEvents)
{
    auto with = [](PObject o, const char *key, const PObject &value) {
        o[key] = value;
        return o;
    };
    auto without = [](PObject o, const char *key) {
        o.asMap().erase(key);
        return o;
    };
    PObject good = serverFile("/ok.txt", 5);
    PObject big_size = good;
    big_size["file"]["size"] = static_cast<uint64_t>(0x8000000000000001ULL);
    PObject hash_number = good;
    hash_number["file"]["hash"] = static_cast<uint64_t>(3);
    PObject cases[] = {
        PObject("not a map"),
        without(good, "path"),
        with(good, "path", PObject(static_cast<uint64_t>(7))),
        with(good, "path", PObject("relative.txt")),
        with(good, "path", PObject("/a/../b")),
        with(good, "path", PObject("/a//b")),
        with(good, "path", PObject("/a\\b")),
        with(good, "path", PObject("/.ZentoraWorkingDirectory/#ZentRecycle/x")),
        with(good, "path", PObject("")),
        without(good, "is_dir"),
        with(good, "is_removed", PObject("no")),
        without(good, "sync_id"),
        with(good, "max_id", PObject("9")),
        without(good, "file"),
        hash_number,
        big_size,
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        Event e;
        EXPECT_EQ(-1, ServerObjectToEvent(4, cases[i], e)) << i;
        EXPECT_FALSE(PushEvent(entry, cases[i])) << i;
    }
    EXPECT_EQ(0, EventManager::getInstance().GetAllPendingEventCount(4));

    // A removal or a directory needs no "file"; every known key is carried over.
    PObject dir_obj = without(good, "file");
    dir_obj["is_dir"] = 1;
    PObject removed = serverFile("/gone.txt", 6, true);
    Event e;
    EXPECT_EQ(0, ServerObjectToEvent(4, dir_obj, e));
    EXPECT_EQ(Event::F_SERVER | Event::F_DIR, e.m_mode);
    EXPECT_EQ(0, ServerObjectToEvent(4, removed, e));
    EXPECT_EQ(Event::EV_REMOVE, e.m_type);
    PObject full = good;
    full["mtime"]["mtime"] = static_cast<uint64_t>(99);
    full["mac_attribute"]["hash"] = "mh";
    full["mac_attribute"]["size"] = static_cast<uint64_t>(3);
    full["exec_bit"]["exec_bit"] = static_cast<uint64_t>(1);
    ASSERT_EQ(0, ServerObjectToEvent(4, full, e));
    EXPECT_EQ(std::string("Event<EV_ADD>: [5] /ok.txt (server,file) size = 12, hash = "
                          "0123456789abcdef0123456789abcdef"),
              e.toString().c_str_utf8());
    EXPECT_EQ(99u, e.m_time);
    EXPECT_EQ(std::string("mh"), e.m_mac_attr_hash.c_str_utf8());
    EXPECT_EQ(3u, e.m_mac_attr_size);
    EXPECT_EQ(1u, e.m_exec_bit);
    EXPECT_EQ(4u, e.m_sess_id);
}

TEST_F(EventGeneratorTest, ServerEchoesAreDropped)
{
    addRow("/synced.txt", 10);
    addRow("/missing.txt", 10);
    dir.write("local/synced.txt", "x");
    struct {
        PObject object;
        bool pushed;
    } cases[] = {
        {serverFile("/synced.txt", 10), false},     // not newer, local copy there: echo
        {serverFile("/synced.txt", 9), false},      // older still
        {serverFile("/synced.txt", 11), true},      // newer
        {serverFile("/missing.txt", 10), true},     // local copy gone: fetch again
        {serverFile("/norow.txt", 3), true},        // unknown path: new
        {serverFile("/norow.txt", 3, true), false}, // removal of an unknown path
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        EXPECT_EQ(cases[i].pushed, PushEvent(entry, cases[i].object)) << i;
        Event e;
        EXPECT_EQ(cases[i].pushed, takeOne(e)) << i;
    }
}

TEST_F(EventGeneratorTest, GeneratedEventsCarryTheirKindAndForcedDownloadsTheRow)
{
    addRow("/known.txt", 8);
    Event e;
    PushDownloadEvent(entry, "/known.txt", false);
    ASSERT_TRUE(takeOne(e));
    EXPECT_EQ(Event::EV_MODIFY, e.m_type);
    EXPECT_EQ(Event::F_SERVER, e.m_mode);
    EXPECT_EQ(MAX_SYNC_ID, e.m_sync_id);
    EXPECT_EQ(MAX_SYNC_ID, e.m_max_id);
    EXPECT_EQ(77u, e.m_data_size);
    EXPECT_EQ(std::string("feed"), e.m_data_hash.c_str_utf8());
    EXPECT_EQ(1234u, e.m_time);
    EXPECT_EQ(1u, e.m_exec_bit);

    PushDownloadEvent(entry, "/unknown", true);
    ASSERT_TRUE(takeOne(e));
    EXPECT_EQ(Event::F_SERVER | Event::F_DIR, e.m_mode);
    EXPECT_EQ(0u, e.m_data_size);
    EXPECT_TRUE(e.m_data_hash.empty());

    PushServerRemoveEvent(entry, "/r", true, 12, 14);
    ASSERT_TRUE(takeOne(e));
    EXPECT_EQ(std::string("Event<EV_REMOVE>: [12] /r (server,dir)"), e.toString().c_str_utf8());
    EXPECT_EQ(14u, e.m_max_id);

    PushUploadEvent(entry, "/u", false);
    ASSERT_TRUE(takeOne(e));
    EXPECT_EQ(std::string("Event<EV_MODIFY>: [0] /u (local,file) size = 0, hash = "),
              e.toString().c_str_utf8());
    PushLocalRemoveEvent(entry, "/d", true);
    ASSERT_TRUE(takeOne(e));
    EXPECT_EQ(std::string("Event<EV_REMOVE>: [0] /d (local,dir)"), e.toString().c_str_utf8());

    FilterLocalEvent held;
    held.path = "/held";
    held.is_exist = 1;
    PushEvent(entry, held);
    ASSERT_TRUE(takeOne(e));
    EXPECT_TRUE(e.isLocalEvent());
    held.is_exist = 0;
    held.file_type = 1;
    PushEvent(entry, held);
    ASSERT_TRUE(takeOne(e));
    EXPECT_TRUE(e.isServerEvent());
    EXPECT_TRUE(e.isDir());
}

} // namespace
