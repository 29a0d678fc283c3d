// A session on disk for the worker tests: a synced folder, a configuration folder with an
// event database, the filter database, and a worker whose context points at them (as the
// loop would build it) without a running thread.
#pragma once

#include "black-list-v2.h"
#include "client/core/filter-db.h"
#include "client/core/worker.h"
#include "client/event-db.h"
#include "force-hash-check-list.h"
#include "fstat-db.h"
#include "support/temp-dir.h"
#include "white-list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>

class WorkerSessionFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        local = dir.path() + "/local";
        config = dir.path() + "/config";
        ASSERT_EQ(0, mkdir(local.c_str(), 0755));
        ASSERT_EQ(0, mkdir(config.c_str(), 0755));
        ASSERT_EQ(0, mkdir((config + "/db").c_str(), 0755));
        ASSERT_EQ(0, mkdir((local + "/.ZentoraWorkingDirectory").c_str(), 0755));
        ASSERT_EQ(0, FilterDB::getInstance().initialize((dir.path() + "/filter.sqlite").c_str()));
        FileStatusDB::initialize((dir.path() + "/fstat.sqlite").c_str());

        entry.sess_id = 7;
        entry.conn_id = 3;
        entry.view_id = 70;
        entry.recursive = true;
        entry.local_path = local.c_str();
        entry.config_path = config.c_str();
        FileEventDB *db = new FileEventDB();
        entry.event_db = shared_pointer<FileEventDB>(db);
        ASSERT_EQ(0, db->initialize((config + "/db/event-db.sqlite").c_str()));
        entry.black_list = shared_pointer<BlackList2>(new BlackList2());
        entry.white_list = shared_pointer<WhiteListCpp>(new WhiteListCpp());
        entry.force_hash_check_list =
            shared_pointer<ForceHashCheckListCpp>(new ForceHashCheckListCpp());
        ASSERT_EQ(0, entry.white_list->Load(dir.write("white", "[File]\nwhite_ext = \"*\"\n").c_str()));
    }

    void TearDown() override
    {
        worker.context.clear();
        entry.clear();
        FilterDB::getInstance().destroy();
        FileStatusDB::destroy();
    }

    // Points the worker at `event` the way building its context does.
    void use(const Event &event)
    {
        Event e = event;
        e.m_sess_id = entry.sess_id;
        worker.context.current_event = e;
        worker.context.root_entry = entry;
        worker.context.working_directory = entry.local_path + "/.ZentoraWorkingDirectory";
        worker.context.sign_directory = entry.config_path + "/db/sign";
        worker.context.full_path = entry.local_path + e.m_path;
        worker.context.database_record.Clear();
        db().getEventInfo(e.m_path, worker.context.database_record);
    }

    FileEventDB &db() { return *entry.event_db; }

    std::string put(const std::string &rel, const std::string &content, uint32_t mtime = 1000000)
    {
        std::string path = local + rel;
        writeTo(path, content);
        struct utimbuf times = {mtime, mtime};
        utime(path.c_str(), &times);
        return path;
    }

    static void writeTo(const std::string &path, const std::string &content)
    {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f) << path;
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }

    std::string md4(const std::string &path)
    {
        ustring hash;
        EXPECT_EQ(0, worker.CalculateMD4(path.c_str(), hash));
        return hash.c_str_utf8();
    }

    // A synced row for a file as the last sync left it.
    DBFileInfo fileRow(const std::string &rel, const std::string &content, uint32_t mtime,
                       uint64_t sync_id = 5)
    {
        TempDir scratch;
        DBFileInfo row;
        row.isExist = 1;
        row.syncID = sync_id;
        row.maxSyncID = sync_id;
        row.fileType = 0;
        row.fileSize = content.size();
        row.fileCheckSum = md4(scratch.write("c", content)).c_str();
        row.fileModTime = mtime;
        row.path = rel.c_str();
        return row;
    }

    static Event serverEvent(const std::string &rel, bool is_dir = false)
    {
        Event e;
        e.m_type = Event::EV_MODIFY;
        e.m_path = rel.c_str();
        e.setServerEvent();
        if (is_dir) {
            e.setDir();
        }
        return e;
    }

    TempDir dir;
    std::string local;
    std::string config;
    Registry::Entry entry;
    Worker worker;
};
