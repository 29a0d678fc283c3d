#include "client/core/filter-utils.h"
#include "filter_db_fixture.h"

namespace
{

const uint64_t SESS = 7;

// Runs the reconciliation of a session's filter files against the filter database the
// way a session reload does, and checks the tables and the progress cache afterwards.
class Reconcile : public FilterDBFixture
{
protected:
    // Black-list file text with the given selective-sync lines in its sections.
    static std::string blackList(const std::string &common, const std::string &file)
    {
        return "[Version]\nmajor = 1\nminor = 0\n[Common]\n" + common + "[File]\n" + file;
    }
    static std::string whiteList(const std::string &exts)
    {
        return "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = " + exts + "\n";
    }

    int reload(const std::string &black_text, const std::string &white_text, uint64_t sync_id)
    {
        Filter black;
        WhiteList white;
        filter_init(&black);
        white_list_init(&white);
        int ret = -1;
        if (filter_read(&black, dir.write("blacklist.filter", black_text)) == 0 &&
            white_list_read(&white, dir.write("whitelist.filter", white_text)) == 0) {
            ret = compare(black, white, sync_id);
        }
        filter_destroy(&black);
        white_list_destroy(&white);
        return ret;
    }

    int compare(const Filter &black, const WhiteList &white, uint64_t sync_id)
    {
        SelectiveSyncInfo file_info, db_info;
        ConvertFilterFileToSelectiveSyncInfo(SESS, sync_id, &black, file_info);
        ConvertWhiteFilterFileToSelectiveSyncInfo(SESS, sync_id, &white, file_info);
        if (db().ConvertFilterDBToSelectiveSyncInfo(SESS, db_info) != 0 ||
            db().ConvertWhiteFilterDBToSelectiveSyncInfo(SESS, db_info) != 0) {
            return -1;
        }
        const ustring folder("/sync");
        if (CompareFilterList(SESS, FILTER_PATH_PREFIX_SELECTIVE_SYNC, db_info.black_prefix,
                              file_info.black_prefix, folder) != 0 ||
            CompareFilterList(SESS, FILTER_NAME_SELECTIVE_SYNC, db_info.black_name,
                              file_info.black_name, folder) != 0 ||
            CompareExtensionFilterList(SESS, db_info, file_info, folder) != 0) {
            return -1;
        }
        return CompareSizeFilter(SESS, db_info.black_size, file_info.black_size);
    }

    // Resume conditions stored since the last call, as "sync_id|type|desc", and the same
    // conditions at the end of the progress cache.
    Rows newResumes()
    {
        Rows stored = rows("SELECT sync_id, filter_type, filter_desc FROM filter_resume_table "
                           "WHERE id > " +
                           std::to_string(last_row_id) + " ORDER BY id");
        Rows cached;
        ProgressCache::Entry entry;
        while (ProgressCache::getInstance().getProgressEntry(entry)) {
            EXPECT_GT(entry.row_id, last_row_id);
            EXPECT_EQ(SESS, entry.condition.sess_id);
            cached.push_back(std::to_string(entry.condition.sync_id) + "|" +
                             std::to_string(entry.condition.filter_type) + "|" +
                             entry.condition.filter_desc.c_str_utf8());
            last_row_id = entry.row_id;
            ProgressCache::getInstance().rmProgressEntry(entry.row_id);
        }
        EXPECT_EQ(stored, cached);
        return stored;
    }

    Rows filters()
    {
        return rows(
            "SELECT sync_id, filter_type, filter_desc FROM filter_table ORDER BY filter_desc");
    }
    Rows whites()
    {
        return rows("SELECT sync_id, filter_desc FROM white_list_table ORDER BY filter_desc");
    }
    Rows sizes() { return rows("SELECT sync_id, filter_desc FROM filter_range_table"); }

    uint64_t last_row_id = 0;
};

const std::string COMMON = "black_path_prefix_selective_sync = \"/Photos\"\n";
const std::string FILE_RULES = "black_name_selective_sync = \"big.iso\"\n"
                               "black_ext_selective_sync = \"mkv\"\n"
                               "max_size_selective_sync = 1000\n";

TEST_F(Reconcile, FirstLoadStoresEveryFilter)
{
    ASSERT_EQ(0, reload(blackList(COMMON, FILE_RULES), whiteList("\"jpg\", \"png\""), 10));
    EXPECT_EQ(Rows({"0|-13|/Photos", "10|-14|big.iso", "10|-12|mkv"}), filters());
    EXPECT_EQ(Rows({"10|jpg", "10|png"}), whites());
    EXPECT_EQ(Rows({"10|1000"}), sizes());
    // Newly white-listed extensions are pulled from the start.
    EXPECT_EQ(Rows({"0|-12|jpg", "0|-12|png"}), newResumes());

    // The same files again change nothing.
    ASSERT_EQ(0, reload(blackList(COMMON, FILE_RULES), whiteList("\"jpg\", \"png\""), 20));
    EXPECT_EQ(Rows(), newResumes());
    EXPECT_EQ(Rows({"10|1000"}), sizes());
}

TEST_F(Reconcile, RemovedNameResumesAndNewPrefixDoesNot)
{
    ASSERT_EQ(0, reload(blackList(COMMON, FILE_RULES), whiteList("\"*\""), 10));
    newResumes();

    const std::string fewer =
        "black_ext_selective_sync = \"mkv\"\nmax_size_selective_sync = 1000\n";
    ASSERT_EQ(0, reload(blackList(COMMON, fewer), whiteList("\"*\""), 20));
    EXPECT_EQ(Rows({"10|-14|big.iso"}), newResumes()); // from the sync id it came in with
    EXPECT_EQ(Rows({"0|-13|/Photos", "10|-12|mkv"}), filters());

    const std::string more = COMMON + "black_path_prefix_selective_sync = \"/Videos\"\n";
    ASSERT_EQ(0, reload(blackList(more, fewer), whiteList("\"*\""), 30));
    EXPECT_EQ(Rows(), newResumes());
    EXPECT_EQ(Rows({"0|-13|/Photos", "0|-13|/Videos", "10|-12|mkv"}), filters());

    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"*\""), 40));
    EXPECT_EQ(Rows({"0|-13|/Photos", "0|-13|/Videos", "10|-12|mkv",
                    "10|-15|from=1000,to=9223372036854775807"}),
              newResumes());
    EXPECT_EQ(Rows(), filters());
}

TEST_F(Reconcile, WhiteListOpensToAllAndNarrowsBack)
{
    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"jpg\", \"png\""), 10));
    newResumes();

    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"*\""), 20));
    EXPECT_EQ(Rows({"0|*"}), whites());
    EXPECT_EQ(Rows({"0|-12|*"}), newResumes());

    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"gif\""), 30));
    EXPECT_EQ(Rows({"30|gif"}), whites());
    EXPECT_EQ(Rows(), newResumes());
}

TEST_F(Reconcile, NarrowingFromAllKeepsExactlyTheFileList)
{
    // "*" next to other extensions: after narrowing, a stale extension must not stay
    // stored, or adding it back later would not pull its files.
    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"*\""), 10));
    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"*\", \"jpg\""), 20));
    EXPECT_EQ(Rows({"0|*", "20|jpg"}), whites());
    newResumes();

    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"png\""), 30));
    EXPECT_EQ(Rows({"30|png"}), whites());
    EXPECT_EQ(Rows(), newResumes());

    ASSERT_EQ(0, reload(blackList("", ""), whiteList("\"png\", \"jpg\""), 40));
    EXPECT_EQ(Rows({"0|-12|jpg"}), newResumes());
}

TEST_F(Reconcile, SizeLimitRaisedLoweredAndRemoved)
{
    auto limit = [](const std::string &value) {
        return blackList("", value.empty() ? "" : "max_size_selective_sync = " + value + "\n");
    };
    const std::string all = whiteList("\"*\"");
    ASSERT_EQ(0, reload(limit(""), all, 5));
    EXPECT_EQ(Rows(), sizes()); // no limit, nothing stored yet
    ASSERT_EQ(0, reload(limit("1000"), all, 10));
    EXPECT_EQ(Rows({"10|1000"}), sizes());
    newResumes();

    const struct {
        const char *limit;
        Rows stored;
        Rows resumes;
    } steps[] = {
        {"5000", {"10|5000"}, {"10|-15|from=1000,to=5000"}},
        {"5000", {"10|5000"}, {}},
        {"500", {"10|500"}, {}},
        {"", {"10|9223372036854775807"}, {"10|-15|from=500,to=9223372036854775807"}},
        {"", {"10|9223372036854775807"}, {}}, // still no limit: nothing more to pull
        {"2000", {"10|2000"}, {}},
    };
    for (const auto &step : steps) {
        ASSERT_EQ(0, reload(limit(step.limit), all, 50)) << step.limit;
        EXPECT_EQ(step.stored, sizes()) << step.limit;
        EXPECT_EQ(step.resumes, newResumes()) << step.limit;
    }
}

TEST_F(Reconcile, RemovedLimitLetsFilesAbove10GiBBackIn)
{
    const uint64_t twelve_gib = 12ULL << 30;
    auto inRange = [&](const std::string &resume) {
        uint64_t lower = 0, upper = 0;
        std::string text = resume.substr(resume.rfind('|') + 1);
        return DecodeResumeSizeFilterDesc(text.c_str(), lower, upper) == 0 && lower <= twelve_gib &&
               twelve_gib <= upper;
    };
    const std::string all = whiteList("\"*\"");
    ASSERT_EQ(0, reload(blackList("", "max_size_selective_sync = 1000\n"), all, 10));
    newResumes();
    ASSERT_EQ(0, reload(blackList("", ""), all, 20));
    Rows resumes = newResumes();
    ASSERT_EQ(1u, resumes.size());
    EXPECT_TRUE(inRange(resumes[0])) << resumes[0];

    // A database from before stored a removed limit as 10 GiB, which kept larger files
    // out: the next reload without a limit pulls them, once.
    ASSERT_EQ(0, db().updateSizeFilter(SESS, SIZE_FILTER_NO_LIMIT, 10737418240ULL));
    ASSERT_EQ(0, reload(blackList("", ""), all, 30));
    EXPECT_EQ(Rows({"10|-15|from=10737418240,to=9223372036854775807"}), newResumes());
    EXPECT_EQ(Rows({"10|9223372036854775807"}), sizes());
    ASSERT_EQ(0, reload(blackList("", ""), all, 40));
    EXPECT_EQ(Rows(), newResumes());
}

TEST_F(Reconcile, StopsAtTheFirstDatabaseFailure)
{
    std::set<FilterInfo> file_set = {FilterInfo(1, "a")}, db_set = {FilterInfo(1, "b")};
    db().destroy();
    EXPECT_EQ(-1, CompareFilterList(SESS, FILTER_NAME_SELECTIVE_SYNC, db_set, file_set, "/"));
    EXPECT_EQ(-1, CompareWhiteFilterList(SESS, FILTER_EXT_SELECTIVE_SYNC, {}, file_set));
    EXPECT_EQ(-1, CompareSizeFilter(SESS, FilterInfo(0, ""), FilterInfo(1, "10")));
    EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(SESS));
    ASSERT_EQ(0, db().initialize(db_path.c_str()));
}

TEST(SizeRangeText, EncodesAndDecodes)
{
    ustring text;
    EncodeResumeSizeFilterDesc(5000, 1000, text);
    EXPECT_STREQ("from=1000,to=5000", text.c_str_utf8());
    const struct {
        const char *text;
        int ret;
        uint64_t lower, upper;
    } cases[] = {
        {"from=1000,to=5000", 0, 1000, 5000},
        {"from=0,to=10737418240", 0, 0, 10737418240ULL},
        {"from=0,to=9223372036854775807", 0, 0, SIZE_FILTER_NO_LIMIT},
        {"", -1, 0, 0},
        {"from=1000", -1, 0, 0},
        {"from=1000,to=", -1, 0, 0},
        {"from=-1,to=5", -1, 0, 0},
        {"to=5,from=1", -1, 0, 0},
        {"from=99999999999999999999,to=1", -1, 0, 0},
    };
    for (const auto &c : cases) {
        uint64_t lower = 0, upper = 0;
        EXPECT_EQ(c.ret, DecodeResumeSizeFilterDesc(c.text, lower, upper)) << c.text;
        EXPECT_EQ(c.lower, lower) << c.text;
        EXPECT_EQ(c.upper, upper) << c.text;
    }
}

} // namespace
