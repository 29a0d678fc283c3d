#include "black-list-v2.h"
#include "force-hash-check-list.h"
#include "white-list.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

// A black list loaded from filter-file text.
class BlackListFixture : public testing::Test
{
protected:
    void load(const std::string &text)
    {
        ASSERT_EQ(0, list.Load(dir.write("blacklist.filter", text))) << text;
    }
    TempDir dir;
    BlackList2 list;
};

struct PathCase {
    const char *path;
    bool is_dir;
    int expected;
};

const char RULES[] = "[Version]\nmajor = 1\nminor = 0\n"
                     "[Common]\n"
                     "black_char = \"\\\\:\xc3\xa9\"\n"
                     "black_prefix = \"~$\"\n"
                     "black_dir_prefix = \"/a/b\"\n"
                     "black_name = \"Thumbs.db\"\n"
                     "black_path_prefix_selective_sync = \"/Photos/Raw\"\n"
                     "max_length = 255\n"
                     "[File]\n"
                     "black_ext = \"tmp\"\n"
                     "black_name = \"desktop.ini\"\n"
                     "black_prefix = \".~lock\"\n"
                     "black_name_selective_sync = \"big.iso\"\n"
                     "black_ext_selective_sync = \"mkv\"\n"
                     "[Directory]\n"
                     "black_name = \"cache\"\n"
                     "black_prefix = \"@\"\n"
                     "black_char = \"#\"\n"
                     "[EA]\n"
                     "black_ea_name = \"com.apple.quarantine\"\n";

TEST_F(BlackListFixture, PathRulesInTheirOrder)
{
    load(RULES);
    const std::string name255 = "/" + std::string(255, 'n');
    const std::string name256 = "/" + std::string(256, 'n');
    const std::string under256 = name256 + "/f";
    const std::string long_dir = "/" + std::string(4095, 'd') + "/f";
    const std::string long_name = "/" + std::string(512, 'f');
    const PathCase cases[] = {
        {"/a/b.TMP", false, FILTER_EXT},
        {"/a/.tmp", false, 0}, // a leading dot starts no extension
        {"/a/b", false, FILTER_DIR_PREFIX},
        {"/a/b/c.txt", false, FILTER_DIR_PREFIX},
        {"/A/B/c.txt", false, FILTER_DIR_PREFIX},
        {"/a/bc.txt", false, 0},
        {"/a/b", true, FILTER_DIR_PREFIX},
        {"/a/bc", true, 0},
        {"/x/cache/y.jpg", false, FILTER_NAME},
        {"/x/cache", false, 0}, // [Directory] rules do not apply to a file's own name
        {"/x/cache", true, FILTER_NAME},
        {"/x/@eaDir/y", false, FILTER_PREFIX},
        {"/x/a#b/y", false, FILTER_CHAR},
        {"/x/a#b", false, 0},
        {"/a:b", false, FILTER_CHAR},
        {"/dir\\x/file", false, FILTER_CHAR},
        {"/caf\xc3\xa9.txt", false, FILTER_CHAR},
        {"/\xc3\xa0.txt", false, 0}, // shares only the lead byte with a black character
        {"/x/~$doc.docx", false, FILTER_PREFIX},
        {"/x/THUMBS.DB", false, FILTER_NAME},
        {"/x/desktop.ini", false, FILTER_NAME},
        {"/x/.~lock.a#", false, FILTER_PREFIX},
        {"/Photos/Raw", true, FILTER_PATH_PREFIX_SELECTIVE_SYNC},
        {"/photos/raw/1.cr2", false, FILTER_PATH_PREFIX_SELECTIVE_SYNC},
        {"/Photos/Raw2/1.cr2", false, 0},
        {"/x/big.iso", false, FILTER_NAME_SELECTIVE_SYNC},
        {"/x/film.MKV", false, FILTER_EXT_SELECTIVE_SYNC},
        {"/x/film.mkv.part", false, 0},
        {name255.c_str(), false, 0},
        {name256.c_str(), false, FILTER_LENGTH},
        {under256.c_str(), false, FILTER_LENGTH},
        {"relative/file", false, FILTER_ERROR},
        {"", false, FILTER_ERROR},
        {"relative/file", true, 0},
        {"/", true, 0},
        {"//x///y//", true, 0},
        {long_dir.c_str(), false, FILTER_ERROR},
        {long_name.c_str(), false, FILTER_ERROR},
    };
    for (const PathCase &c : cases) {
        int got = c.is_dir ? list.TestDirectoryPath(c.path) : list.TestFilePath(c.path);
        EXPECT_EQ(c.expected, got) << c.path << (c.is_dir ? " (dir)" : " (file)");
    }
}

TEST_F(BlackListFixture, EarlierRulesWin)
{
    // A name that several rules refuse reports the first one tested.
    load("[Common]\nmax_length = 5\nblack_char = \"q\"\n[File]\nblack_ext = \"txt\"\n");
    EXPECT_EQ(FILTER_LENGTH, list.TestFilePath("/qq.txt"));
    EXPECT_EQ(FILTER_CHAR, list.TestFilePath("/q.t"));
    EXPECT_EQ(FILTER_EXT, list.TestFilePath("/a.txt"));
    EXPECT_EQ(FILTER_LENGTH, list.TestDirectoryPath("/abcdef"));
}

TEST_F(BlackListFixture, SizeAndPathLengthLimits)
{
    load("[Common]\nmax_path = 10\n[File]\nmax_size = 100\nmax_size_selective_sync = 50\n");
    const struct {
        uint64_t size;
        int expected;
    } sizes[] = {{101, FILTER_FILE_SIZE}, {60, FILTER_FILE_SIZE_SELECTIVE_SYNC}, {50, 0}, {0, 0}};
    for (const auto &c : sizes)
        EXPECT_EQ(c.expected, list.TestFileSize(c.size)) << c.size;
    EXPECT_EQ(0, list.TestFullPathSize(10));
    EXPECT_EQ(FILTER_PATH_SIZE, list.TestFullPathSize(11));

    load("[File]\nmax_size_selective_sync = 50\n"); // 0 means no limit
    EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, list.TestFileSize(UINT64_MAX));
    EXPECT_EQ(0, list.TestFullPathSize(UINT64_MAX));
}

TEST_F(BlackListFixture, FailedLoadLeavesNoRules)
{
    load(RULES);
    EXPECT_EQ(1, list.GetMajorVersion());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, list.Load(dir.write("bad.filter", "[File]\nblack_ext = \"tmp\" \"x\"\n")));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, list.TestFilePath("/a/b.tmp"));
    EXPECT_EQ(0, list.GetMajorVersion());
    EXPECT_EQ(0, list.GetMinorVersion());
    EXPECT_EQ(0, BlackList2::getInstance().TestFilePath("/anything"));
    EXPECT_EQ(&BlackList2::getInstance(), &BlackList2::getInstance());
}

TEST(FilterEA, MatchesBlackAttributeNames)
{
    Filter f;
    filter_init(&f);
    ASSERT_EQ(0, vt_string_set_insert(&f.EA.black_ea_name, "com.apple.quarantine"));
    EXPECT_EQ(FILTER_EA_NAME, filter_test_ea(&f, "com.apple.quarantine"));
    EXPECT_EQ(0, filter_test_ea(&f, "user.comment"));
    filter_destroy(&f);
}

TEST(ExtensionLists, WhiteAndForceHashTests)
{
    TempDir dir;
    WhiteListCpp white;
    ForceHashCheckListCpp force;
    EXPECT_EQ(-1, white.Test("photo.jpg")); // an empty white list lets nothing pass
    EXPECT_EQ(0, force.Test("photo.jpg"));

    ASSERT_EQ(0, white.Load(dir.write("w", "[File]\nwhite_ext = \"jpg\"\n")));
    ASSERT_EQ(0, force.Load(dir.write("f", "[File]\nforce_hash_ext = \"doc\", \"XLS\"\n")));
    const struct {
        const char *name;
        int white;
        int force;
    } cases[] = {
        {"photo.JPG", 0, 0}, {"photo.jpeg", -1, 0}, {"README", -1, 0},    {".jpg", -1, 0},
        {"a.b.jpg", 0, 0},   {"report.Doc", -1, 1}, {"sheet.xls", -1, 1}, {"", -1, -1},
        {"doc", -1, 0},      {"x.", -1, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.white, white.Test(c.name)) << c.name;
        EXPECT_EQ(c.force, force.Test(c.name)) << c.name;
    }

    ASSERT_EQ(0, white.Load(dir.write("w", "[File]\nwhite_ext = \"*\"\n")));
    EXPECT_EQ(0, white.Test("README"));
    EXPECT_EQ(0, white.Test(".bashrc"));
    EXPECT_EQ(-1, white.Test(""));
    EXPECT_EQ(-1, white.Load(dir.file("missing")));
    EXPECT_EQ(-1, white.Test("photo.jpg"));
}

TEST(BlackListConcurrency, TestsSeeWholeRuleSetsWhileReloading)
{
    TempDir dir;
    BlackList2 list;
    // Both files refuse the name, each through its own rule; a half-loaded list would
    // let it through.
    std::string a = dir.write("a", "[File]\nblack_ext = \"tmp\"\n");
    std::string b = dir.write("b", "[Common]\nblack_prefix = \"x\"\n");
    ASSERT_EQ(0, list.Load(a));
    std::atomic<bool> stop{false};
    std::atomic<int> passed{0};
    std::vector<std::thread> testers;
    for (int i = 0; i < 2; ++i) {
        testers.emplace_back([&] {
            while (!stop) {
                if (list.TestFilePath("/d/x.tmp") == 0)
                    ++passed;
            }
        });
    }
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(0, list.Load(i % 2 ? a : b));
    stop = true;
    for (std::thread &t : testers)
        t.join();
    EXPECT_EQ(0, passed.load());
}

} // namespace
