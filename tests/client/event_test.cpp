#include "event.h"

#include <gtest/gtest.h>

TEST(Event, NewAndClearedEventsAreEmpty)
{
    Event e;
    EXPECT_FALSE(e.isValid());
    EXPECT_EQ(0u, e.m_mode);
    EXPECT_EQ(0u, e.m_sync_id);
    EXPECT_TRUE(e.m_path.empty());

    e.m_type = Event::EV_RENAME;
    e.m_mode = Event::F_SERVER | Event::F_DIR;
    e.m_sync_id = 4;
    e.m_max_id = 5;
    e.m_data_size = 6;
    e.m_time = 7;
    e.m_data_hash = "h";
    e.m_path = "/p";
    e.m_opt = "/o";
    e.m_mac_attr_hash = "m";
    e.m_mac_attr_size = 8;
    e.m_sess_id = 9;
    e.m_exec_bit = 1;

    Event copy(e);
    Event other;
    swap(copy, other);
    EXPECT_FALSE(copy.isValid());
    EXPECT_EQ(ustring("/o"), other.m_opt);
    EXPECT_EQ(9u, other.m_sess_id);

    e.clear();
    EXPECT_EQ(Event::EV_EMPTY, e.m_type);
    EXPECT_EQ(0u, e.m_mode + e.m_sync_id + e.m_max_id + e.m_data_size + e.m_time +
                      e.m_mac_attr_size + e.m_sess_id + e.m_exec_bit);
    EXPECT_TRUE(e.m_data_hash.empty() && e.m_path.empty() && e.m_opt.empty() &&
                e.m_mac_attr_hash.empty());
}

TEST(Event, EachSetterTurnsOnItsPredicateOnly)
{
    struct Case {
        void (Event::*set)();
        bool (Event::*is)() const;
    };
    const Case cases[] = {
        {&Event::setServerEvent, &Event::isServerEvent},
        {&Event::setDir, &Event::isDir},
        {&Event::setExpand, &Event::isExpand},
        {&Event::setRescan, &Event::isRescan},
        {&Event::setLocalSubDirRescan, &Event::isLocalSubDirRescan},
        {&Event::setServerSubDirRescan, &Event::isServerSubDirRescan},
        {&Event::setLocalSubDirRescanWithStat, &Event::isLocalSubDirRescanWithStat},
        {&Event::setServerSubDirRescanWithStat, &Event::isServerSubDirRescanWithStat},
        {&Event::setMerge, &Event::isMerge},
        {&Event::setConflict, &Event::isConflict},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        Event e;
        (e.*cases[i].set)();
        for (size_t j = 0; j < sizeof(cases) / sizeof(cases[0]); ++j)
            EXPECT_EQ(i == j, (e.*cases[j].is)()) << "setter " << i << " predicate " << j;
        EXPECT_EQ(i >= 4 && i <= 7, e.isSubDirRescan()) << i;
    }
    Event e;
    EXPECT_TRUE(e.isLocalEvent() && e.isFile());
    e.setDir();
    e.setFile();
    EXPECT_TRUE(e.isFile());
}

TEST(Event, ToStringNamesTheEvent)
{
    Event add;
    add.m_type = Event::EV_CREATE;
    add.m_mode = Event::F_SERVER;
    add.m_sync_id = 12;
    add.m_path = "/a/b.txt";
    add.m_data_size = 3;
    add.m_data_hash = "x";
    EXPECT_STREQ("Event<EV_ADD>: [12] /a/b.txt (server,file) size = 3, hash = x",
                 add.toString().c_str_utf8());

    Event rename;
    rename.m_type = Event::EV_RENAME;
    rename.m_mode = Event::F_DIR;
    rename.m_path = "/d";
    rename.m_opt = "/e";
    EXPECT_STREQ("Event<EV_RENAME>: from '/d', to '/e'", rename.toString().c_str_utf8());

    Event expand;
    expand.m_type = Event::EV_MODIFY;
    expand.m_mode = Event::F_DIR | Event::F_EXPAND;
    expand.m_sync_id = MAX_SYNC_ID;
    expand.m_path = "/";
    EXPECT_STREQ("Event<EV_MODIFY>: [9223372036854775807] / (local,dir,expand)",
                 expand.toString().c_str_utf8());

    Event broken;
    broken.m_type = static_cast<Event::Type>(42);
    broken.m_mode = Event::F_DIR;
    broken.m_path = "/x";
    EXPECT_STREQ("Event<EV_UNKNOWN>: [0] /x (local,dir)", broken.toString().c_str_utf8());
}
