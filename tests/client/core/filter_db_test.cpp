#include "filter_db_fixture.h"

#include <thread>

namespace
{

class FilterDBTest : public FilterDBFixture
{
};

TEST_F(FilterDBTest, FreshDatabaseAndReopening)
{
    EXPECT_EQ(Rows({"version|2"}), rows("SELECT key, value FROM config_table"));
    int overflow = -1;
    ASSERT_EQ(0, db().checkEventOverflow(overflow));
    EXPECT_EQ(E_OVERFLOW, overflow);
    ASSERT_EQ(0, db().setConfigItem("event_overflow", "0"));
    ASSERT_EQ(0, db().checkEventOverflow(overflow));
    EXPECT_EQ(E_NOT_OVERFLOW, overflow);

    EXPECT_EQ(0, db().initialize(db_path.c_str())); // already open: no-op
    ASSERT_EQ(0, db().setFilter(1, 5, FILTER_NAME_SELECTIVE_SYNC, "a"));
    db().destroy();
    db().destroy();

    // Closed: every operation fails cleanly.
    FilterInfo finfo;
    ResumeCondition condition;
    uint64_t row_id = 0;
    EXPECT_EQ(-1, db().setFilter(1, 5, FILTER_NAME_SELECTIVE_SYNC, "b"));
    EXPECT_EQ(-1, db().getSizeFilter(1, finfo));
    EXPECT_EQ(-1, db().getResumeCondition(row_id, condition));
    EXPECT_EQ(-1, db().checkEventOverflow(overflow));

    // Rows survive a close.
    ASSERT_EQ(0, db().initialize(db_path.c_str()));
    EXPECT_EQ(Rows({"1|5|-14|a"}), rows("SELECT * FROM filter_table"));
    EXPECT_EQ(Rows({"event_overflow|0", "version|2"}),
              rows("SELECT key, value FROM config_table ORDER BY key"));
}

TEST_F(FilterDBTest, OpenFailureIsReported)
{
    db().destroy();
    EXPECT_EQ(-1, db().initialize(dir.file("no/such/dir/db.sqlite").c_str()));
    std::string not_a_db = dir.write("garbage.sqlite", std::string(4096, 'x'));
    EXPECT_EQ(-1, db().initialize(not_a_db.c_str()));
    EXPECT_EQ(-1, db().rmFilter(1, FILTER_NAME_SELECTIVE_SYNC, "a"));
}

TEST_F(FilterDBTest, FilterRowsKeepTheFirstInsertAndMatchQuotesExactly)
{
    ASSERT_EQ(0, db().setFilter(1, 5, FILTER_NAME_SELECTIVE_SYNC, "it's"));
    ASSERT_EQ(0, db().setFilter(1, 9, FILTER_NAME_SELECTIVE_SYNC, "it's"));
    ASSERT_EQ(0, db().setFilter(1, 7, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/Photos"));
    ASSERT_EQ(0, db().setFilter(1, 7, FILTER_EXT_SELECTIVE_SYNC, "mkv"));
    ASSERT_EQ(0, db().setFilter(1, 7, FILTER_NAME, "odd type"));
    ASSERT_EQ(0, db().setFilter(2, 7, FILTER_NAME_SELECTIVE_SYNC, "other session"));
    ASSERT_EQ(0, db().setSizeFilter(1, 3, 1000));
    ASSERT_EQ(0, db().setWhiteListFilter(1, 4, FILTER_EXT_SELECTIVE_SYNC, "jpg"));
    ASSERT_EQ(0, db().setWhiteListFilter(1, 8, FILTER_EXT_SELECTIVE_SYNC, "jpg"));
    ASSERT_EQ(0, db().setWhiteListFilter(1, 4, FILTER_NAME, "ignored"));
    EXPECT_EQ(Rows({"1|5|-14|it's"}),
              rows("SELECT * FROM filter_table WHERE filter_desc = 'it''s'"));

    SelectiveSyncInfo info;
    ASSERT_EQ(0, db().ConvertFilterDBToSelectiveSyncInfo(1, info));
    ASSERT_EQ(0, db().ConvertWhiteFilterDBToSelectiveSyncInfo(1, info));
    ASSERT_EQ(1u, info.black_name.size());
    EXPECT_EQ(5u, info.black_name.begin()->sync_id);
    ASSERT_EQ(1u, info.black_prefix.size());
    EXPECT_STREQ("/Photos", info.black_prefix.begin()->filter_desc.c_str_utf8());
    ASSERT_EQ(1u, info.black_ext.size());
    EXPECT_STREQ("1000", info.black_size.filter_desc.c_str_utf8());
    EXPECT_EQ(3u, info.black_size.sync_id);
    ASSERT_EQ(1u, info.white_ext.size());
    EXPECT_EQ(4u, info.white_ext.begin()->sync_id);

    ASSERT_EQ(0, db().rmFilter(1, FILTER_NAME_SELECTIVE_SYNC, "it's"));
    ASSERT_EQ(0, db().rmWhiteListFilter(1, FILTER_EXT_SELECTIVE_SYNC, "jpg"));
    ASSERT_EQ(0, db().rmFilter(1, FILTER_NAME_SELECTIVE_SYNC, "absent"));
    EXPECT_EQ(Rows({"2|other session"}),
              rows("SELECT sess_id, filter_desc FROM filter_table WHERE filter_type = -14"));
    EXPECT_EQ(Rows({"ignored"}), rows("SELECT filter_desc FROM white_list_table"));
}

TEST_F(FilterDBTest, SizeFilterIsSetUpdatedAndRemoved)
{
    FilterInfo finfo;
    ASSERT_EQ(0, db().getSizeFilter(1, finfo));
    EXPECT_TRUE(finfo.filter_desc.empty());
    ASSERT_EQ(0, db().setSizeFilter(1, 5, 1000));
    ASSERT_EQ(0, db().updateSizeFilter(1, 1000, 5000));
    ASSERT_EQ(0, db().getSizeFilter(1, finfo));
    EXPECT_STREQ("5000", finfo.filter_desc.c_str_utf8());
    EXPECT_EQ(5u, finfo.sync_id);
    ASSERT_EQ(0, db().rmSizeFilter(1, 5000));
    EXPECT_EQ(Rows(), rows("SELECT * FROM filter_range_table"));
}

TEST_F(FilterDBTest, ResumeConditionsInRowOrder)
{
    ResumeCondition a{1, 10, FILTER_NAME_SELECTIVE_SYNC, "big.iso"};
    ResumeCondition b{2, 0, FILTER_EXT_SELECTIVE_SYNC, "*"};
    ResumeCondition c{1, 20, FILTER_FILE_SIZE_SELECTIVE_SYNC, "from=1,to=2"};
    uint64_t ra = 0, rb = 0, rc = 0, first = 0;
    ResumeCondition got;
    ASSERT_EQ(0, db().getResumeCondition(first, got));
    ASSERT_EQ(0, db().setResumeCondition(a, ra));
    ASSERT_EQ(0, db().setResumeCondition(b, rb));
    ASSERT_EQ(0, db().setResumeCondition(c, rc));
    EXPECT_LT(ra, rb);
    EXPECT_LT(rb, rc);

    ASSERT_EQ(0, db().updateResumeSyncId(rc, 33));
    ResumeConditionList list;
    ASSERT_EQ(0, db().getResumeConditionsBySession(1, list));
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(ra, list.front().first);
    EXPECT_STREQ("big.iso", list.front().second.filter_desc.c_str_utf8());
    EXPECT_EQ(1u, list.front().second.sess_id);
    EXPECT_EQ(rc, list.back().first);
    EXPECT_EQ(33u, list.back().second.sync_id);
    EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, list.back().second.filter_type);

    ASSERT_EQ(0, db().rmResumeCondition(ra));
    ASSERT_EQ(1, db().getResumeCondition(first, got));
    EXPECT_EQ(rb, first);
    EXPECT_EQ(2u, got.sess_id);
    EXPECT_STREQ("*", got.filter_desc.c_str_utf8());
    got.clear();
    EXPECT_EQ(0u, got.sess_id);
    EXPECT_TRUE(got.filter_desc.empty());
}

FilterLocalEvent localEvent(const char *path, int32_t filtered_type)
{
    FilterLocalEvent e;
    e.sess_id = 1;
    e.path = path;
    e.filtered_type = filtered_type;
    e.is_exist = 1;
    return e;
}

TEST_F(FilterDBTest, LocalFilteredEventRoundTrip)
{
    FilterLocalEvent e = localEvent("/docs/it's.txt", FILTER_EXT_SELECTIVE_SYNC);
    e.file_checksum = "abc";
    e.base_name = "it's.txt";
    e.linux_hash = "lh";
    e.sync_id = 42;
    e.file_size = 5000000000ULL;
    e.file_mod_time = 4000000000U;
    e.inode = 77;
    e.file_type = 0;
    ASSERT_EQ(0, db().setLocalFilteredEvent(e));
    e.zent_hash = "zh";
    ASSERT_EQ(0, db().setLocalFilteredEvent(e)); // replaces

    FilterLocalEvent got;
    ASSERT_EQ(1, db().getLocalFilteredEventByPath(1, "/docs/it's.txt", got));
    EXPECT_STREQ("/docs/it's.txt", got.path.c_str_utf8());
    EXPECT_EQ(1u, got.sess_id);
    EXPECT_STREQ("abc", got.file_checksum.c_str_utf8());
    EXPECT_STREQ("it's.txt", got.base_name.c_str_utf8());
    EXPECT_STREQ("lh", got.linux_hash.c_str_utf8());
    EXPECT_STREQ("zh", got.zent_hash.c_str_utf8());
    EXPECT_TRUE(got.win_hash.empty());
    EXPECT_EQ(42u, got.sync_id);
    EXPECT_EQ(5000000000ULL, got.file_size);
    EXPECT_EQ(4000000000U, got.file_mod_time);
    EXPECT_EQ(77u, got.inode);
    EXPECT_EQ(FILTER_EXT_SELECTIVE_SYNC, got.filtered_type);
    EXPECT_EQ(1, got.is_exist);
    EXPECT_EQ(0, db().getLocalFilteredEventByPath(2, "/docs/it's.txt", got));
    EXPECT_EQ(Rows({"1"}), rows("SELECT count(*) FROM filtered_local_event_table"));
}

TEST_F(FilterDBTest, RemovingAPathTakesOnlyItselfAndWhatIsBelowIt)
{
    const char *paths[] = {"/a",    "/a/b", "/a/b/c", "/abc",    "/abc/d", "/a*",
                           "/a*/x", "/a?",  "/a[1]",  "/a[1]/z", "/A/b"};
    for (const char *p : paths)
        ASSERT_EQ(0, db().setLocalFilteredEvent(localEvent(p, 0)));
    FilterLocalEvent other = localEvent("/a/b", 0);
    other.sess_id = 2;
    ASSERT_EQ(0, db().setLocalFilteredEvent(other));

    const struct {
        const char *removed;
        Rows left; // of session 1, in path order
    } steps[] = {
        {"/a*", {"/A/b", "/a", "/a/b", "/a/b/c", "/a?", "/a[1]", "/a[1]/z", "/abc", "/abc/d"}},
        {"/a[1]", {"/A/b", "/a", "/a/b", "/a/b/c", "/a?", "/abc", "/abc/d"}},
        {"/a", {"/A/b", "/a?", "/abc", "/abc/d"}},
        {"/abc/d", {"/A/b", "/a?", "/abc"}},
        {"/nothing", {"/A/b", "/a?", "/abc"}},
    };
    for (const auto &step : steps) {
        ASSERT_EQ(0, db().rmLocalFilteredEventByPath(1, step.removed));
        std::set<FilterLocalEvent> left;
        ASSERT_EQ(0, db().dumpLocalFilteredEvent(1, left));
        Rows paths_left;
        for (const FilterLocalEvent &e : left) {
            EXPECT_EQ(1u, e.sess_id);
            paths_left.push_back(e.path.c_str_utf8());
        }
        EXPECT_EQ(step.left, paths_left) << "after removing " << step.removed;
    }
    EXPECT_EQ(Rows({"2|/a/b"}), rows("SELECT sess_id, path FROM filtered_local_event_table "
                                     "WHERE sess_id = 2"));
    ASSERT_EQ(0, db().cleanLocalFilteredEventBySession(1));
    EXPECT_EQ(Rows({"2"}), rows("SELECT sess_id FROM filtered_local_event_table"));
}

TEST_F(FilterDBTest, ConcurrentCallersAreSerialised)
{
    // Workers record filtered events while the resume puller works off its conditions.
    const int per_thread = 50;
    std::thread worker([this] {
        for (int i = 0; i < per_thread; ++i) {
            std::string path = "/w/" + std::to_string(i);
            EXPECT_EQ(0, db().setLocalFilteredEvent(localEvent(path.c_str(), 0)));
        }
    });
    std::thread puller([this] {
        for (int i = 0; i < per_thread; ++i) {
            uint64_t row_id = 0;
            ResumeCondition condition{1, static_cast<uint64_t>(i), FILTER_NAME_SELECTIVE_SYNC, "n"};
            EXPECT_EQ(0, db().setResumeCondition(condition, row_id));
            EXPECT_EQ(0, db().updateResumeSyncId(row_id, row_id + 1));
        }
    });
    worker.join();
    puller.join();
    EXPECT_EQ(Rows({std::to_string(per_thread)}),
              rows("SELECT count(*) FROM filtered_local_event_table"));
    EXPECT_EQ(Rows({"0"}),
              rows("SELECT count(*) FROM filter_resume_table WHERE sync_id != id + 1"));
}

} // namespace
